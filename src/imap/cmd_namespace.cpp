#include "imap/commands.h"
#include "imap/response.h"
#include "imap/session_io.h"

int CmdNamespace(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    FormatResponse(pSession, "* NAMESPACE ((\"\" \"/\")) NIL NIL\r\n");
    SendResponse(pSession, 1, 1);
    RespondCompleted(pSession);
    return 1;
}
