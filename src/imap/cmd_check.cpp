#include "imap/commands.h"
#include "imap/response.h"

// Every change is on disk when its command completes, so there is nothing to check.
int CmdCheck(Session* pSession) {
    if (pSession->State == Imap4Selected) {
        RespondCompleted(pSession);
    } else {
        RespondWrongState(pSession);
    }
    return 1;
}
