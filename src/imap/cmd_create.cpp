// CREATE: a mailbox is a directory below the user's mail directory.
#include <cstring>

#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/fs.h"
#include "store/store.h"
#include "store/subscriptions.h"

int CmdCreate(Session* pSession) {
    char szName[RECV_SIZE];
    if (!TakeMailboxArgument(pSession, szName, sizeof(szName))) {
        return 1;
    }
    char szPath[MAX_PATH];
    if (!ResolveClientMailbox(pSession, szName, szPath, sizeof(szPath))) {
        RespondFails(pSession);
        return 1;
    }
    // A new mailbox starts unsubscribed: the hidden mark is the subscription mark, and clients
    // subscribe to what they want to see. Missing parents are made as well (unsubscribed too),
    // as clients that create "a/b" expect; an existing mailbox is answered OK.
    // A directory that cannot take the mark is removed again: it would show as subscribed.
    size_t nTop = strlen(pSession->szMailDir);
    bool bMarked = true;
    for (size_t i = nTop; bMarked && i <= strlen(szPath); i++) {
        if (szPath[i] != '/' && szPath[i] != '\0') continue;
        char cEnd = szPath[i];
        szPath[i] = '\0';
        if (!MailboxExists(szPath) && CreateMailboxDirectory(szPath) && !SetHiddenAttribute(szPath, true)) {
            RemoveDirectoryEntry(szPath);
            bMarked = false;
        }
        szPath[i] = cEnd;
    }
    if (bMarked && MailboxExists(szPath)) {
        // A name that stayed subscribed while it had no mailbox is subscribed now.
        if (ClaimLostSubscription(pSession->szMailDir, szName)) static_cast<void>(SetHiddenAttribute(szPath, false));
        RespondCompleted(pSession);
    } else {
        RespondFails(pSession);
    }
    return 1;
}
