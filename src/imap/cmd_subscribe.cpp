// SUBSCRIBE and UNSUBSCRIBE: the subscription mark is the mailbox directory's hidden attribute.
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/fs.h"
#include "store/subscriptions.h"

namespace {

int SetSubscription(Session* pSession, bool bHidden) {
    char szName[RECV_SIZE];
    if (!TakeMailboxArgument(pSession, szName, sizeof(szName))) {
        return 1;
    }
    // Names are full names from the top of the tree, as LIST and LSUB show them, also while a
    // mailbox is selected; a leading separator is read as the top itself.
    const char* pszName = szName;
    while (*pszName == '/' || *pszName == '\\') {
        pszName++;
    }
    char szPath[MAX_PATH];
    if (!ResolveClientMailbox(pSession, pszName, szPath, sizeof(szPath))) {
        RespondFails(pSession);
        return 1;
    }
    // A name without a mailbox is kept subscribed all the same, and LIST tells it as such.
    if (MailboxExists(szPath)) SetHiddenAttribute(szPath, bHidden);
    if (bHidden || !MailboxExists(szPath)) {
        if (!NoteLostSubscription(pSession->szMailDir, pszName, !bHidden)) {
            RespondFails(pSession);
            return 1;
        }
    }
    RespondCompleted(pSession);
    return 1;
}

}  // namespace

int CmdSubscribe(Session* pSession) { return SetSubscription(pSession, false); }

int CmdUnsubscribe(Session* pSession) { return SetSubscription(pSession, true); }
