// UNSELECT (RFC 3691): leaves the selected mailbox as CLOSE does, but removes nothing, so that a
// client can move on without expunging what it marked \Deleted.
#include "imap/commands.h"
#include "imap/response.h"
#include "imap/view.h"

int CmdUnselect(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    if (pSession->pArgs != nullptr) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    CloseView(pSession);
    pSession->State = Imap4Authorization;
    RespondCompleted(pSession);
    return 1;
}
