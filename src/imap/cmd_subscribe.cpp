// SUBSCRIBE and UNSUBSCRIBE: the subscription mark is the mailbox directory's hidden attribute.
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/fs.h"

namespace {

int SetSubscription(Session* pSession, bool bHidden) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szName[RECV_SIZE];
    if (!TakeMailboxArgument(pSession, szName, sizeof(szName))) {
        return 1;
    }
    const char* pszName = szName;
    // A name with a leading separator starts at the user's mail directory, any other at the
    // mailbox the session addresses (the mail directory itself until a SELECT).
    const char* pszBase = pSession->szMailbox[0] != '\0' ? pSession->szMailbox : pSession->szMailDir;
    if (*pszName == '/' || *pszName == '\\') {
        pszBase = pSession->szMailDir;
        while (*pszName == '/' || *pszName == '\\') {
            pszName++;
        }
    }
    char szPath[MAX_PATH];
    if (!ResolveMailboxBelow(pszBase, pszName, szPath, sizeof(szPath))) {
        RespondFails(pSession);
        return 1;
    }
    // A missing mailbox is answered OK all the same.
    SetHiddenAttribute(szPath, bHidden);
    RespondCompleted(pSession);
    return 1;
}

}  // namespace

int CmdSubscribe(Session* pSession) { return SetSubscription(pSession, false); }

int CmdUnsubscribe(Session* pSession) { return SetSubscription(pSession, true); }
