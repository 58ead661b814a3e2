// CREATE: a mailbox is a directory below the user's mail directory.
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/fs.h"

int CmdCreate(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
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
    // subscribe to what they want to see. One level only; an existing mailbox is answered OK.
    if (CreateDirectoryEntry(szPath)) {
        SetHiddenAttribute(szPath, true);
    }
    RespondCompleted(pSession);
    return 1;
}
