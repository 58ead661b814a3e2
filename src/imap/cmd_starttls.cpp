// STARTTLS: the connection turns to TLS before any login, and everything after it is encrypted.
#include "imap/commands.h"
#include "imap/response.h"
#include "imap/session_io.h"

int CmdStartTls(Session* pSession) {
    if (pSession->pTlsContext == nullptr || pSession->pTls != nullptr) {
        FormatResponse(pSession, "%s BAD STARTTLS not available\r\n", pSession->pTag);
        return 1;
    }
    if (pSession->State != Imap4NonAuthenticated) {
        FormatResponse(pSession, "%s BAD STARTTLS only before login\r\n", pSession->pTag);
        return 1;
    }
    if (pSession->pArgs != nullptr) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // The answer must leave in clear text before the handshake starts.
    FormatResponse(pSession, "%s OK Begin TLS negotiation now\r\n", pSession->pTag);
    SendResponse(pSession, 0, 1);
    pSession->szResponse[0] = '\0';
    return StartSessionTls(pSession) ? 1 : 0;
}
