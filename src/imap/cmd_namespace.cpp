#include "imap/commands.h"
#include "imap/response.h"
#include "imap/output.h"

int CmdNamespace(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    OutputFormat(pSession, "* NAMESPACE ((\"\" \"/\")) NIL NIL\r\n");
    RespondCompleted(pSession);
    return 1;
}
