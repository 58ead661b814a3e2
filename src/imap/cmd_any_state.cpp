// CAPABILITY, NOOP and LOGOUT: answered in every state.
#include "imap/commands.h"
#include "imap/response.h"
#include "net/client.h"

int CmdCapability(Session* pSession) {
    FormatResponse(pSession, "* CAPABILITY IMAP4 IMAP4rev1 NAMESPACE AUTH=CRAM-MD5 AUTH=LOGIN\r\n");
    SendResponse(pSession, 1, 1);
    RespondCompleted(pSession);
    return 1;
}

int CmdNoop(Session* pSession) {
    RespondCompleted(pSession);
    return 1;
}

int CmdLogout(Session* pSession) {
    FormatResponse(pSession, "* BYE %s terminating connection\r\n", "Velmora IMAP4rev1 Server");
    SendResponse(pSession, 1, 1);
    RespondCompleted(pSession);
    pSession->State = Imap4NonAuthenticated;
    return 0;
}
