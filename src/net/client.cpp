#include "net/client.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "imap/dispatch.h"
#include "imap/logs.h"
#include "imap/session_io.h"
#include "net/tmqueue.h"
#include "platform/accounts.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "platform/tls.h"

namespace {

// The greeting, the refusal and the protocol-log copy all go out in one plain send.
int SendPlain(Session* pSession, const char* pszText) {
    return SessionSend(pSession, pszText, strlen(pszText));
}

void CloseSession(Session* pSession, bool bQueued) {
    if (bQueued) {
        RemoveTMQueue(pSession);
    }
    TlsClose(pSession->pTls);
    pSession->pTls = nullptr;
    ShutdownSocket(pSession->sockClient);
    CloseSocket(pSession->sockClient);
    pSession->sockClient = 0;
    delete pSession;
}

}  // namespace

void ClientThread(Session* pSession) {
    SOCKET sock = pSession->sockClient;
    SetLogonRemoteHost(pSession->szPeerAddr);
    if (Settings.SendDataTimeout != 0) {
        SetSendTimeout(sock, static_cast<unsigned int>(Settings.SendDataTimeout) * 1000);
    }
    SetNoDelay(sock);
    if (SetZeroSocketBuffer(sock, true) == SOCKET_ERROR) {
        printf("setsockopt error(SO_SNDBUF)\n");
        CloseSession(pSession, false);
        return;
    }
    if (SetZeroSocketBuffer(sock, false) == SOCKET_ERROR) {
        printf("setsockopt error(SO_RCVBUF)\n");
        CloseSession(pSession, false);
        return;
    }

    // On the implicit-TLS port even the refusal and the greeting go out encrypted.
    if (pSession->bImplicitTls && !StartSessionTls(pSession)) {
        CloseSession(pSession, false);
        return;
    }

    // AcceptLimit keeps its old tie to Timeout; the per-address limit stands alone.
    uint32_t ulLimit = Settings.Timeout != 0 ? static_cast<uint32_t>(Settings.AcceptLimit) : 0;
    Admission admission = AdmitTMQueue(pSession, ulLimit, static_cast<uint32_t>(Settings.AddressLimit));
    if (admission == REFUSED_LIMIT) {
        printf("exceeds an accepting limit. count=(%ld)\n", static_cast<long>(Settings.AcceptLimit));
        static_cast<void>(
            FormatText(pSession->szResponse, sizeof(pSession->szResponse), "NO %s\r\n", "exceeds an accepting limit."));
        SendPlain(pSession, pSession->szResponse);
        CloseSession(pSession, false);
        return;
    }
    if (admission == REFUSED_ADDRESS) {
        printf("exceeds the limit of one address. count=(%ld)\n", static_cast<long>(Settings.AddressLimit));
        static_cast<void>(FormatText(pSession->szResponse, sizeof(pSession->szResponse), "* BYE %s\r\n",
                                     "Too many connections from your address"));
        SendPlain(pSession, pSession->szResponse);
        CloseSession(pSession, false);
        return;
    }

    int nSent = SendPlain(pSession, pSession->szResponse);
    WriteProtocolLog(pSession, pSession->szResponse);
    if (nSent == SOCKET_ERROR) {
        char szError[SOCKET_ERROR_TEXT_SIZE];
        FormatSocketError(szError, sizeof(szError), true, LastSocketError());
        WriteProtocolLog(pSession, szError);
        CloseSession(pSession, true);
        return;
    }

    TracePrint("[%08lx] START[%08x]\n", SessionId(pSession), sock);

    if (pSession->sockClient != 0) {
        while (RecvLine(pSession, 1) != 0) {
            if (DispatchCommand(pSession) == 0 || pSession->bSendFailed) {
                break;
            }
        }
    }
    CloseSession(pSession, true);
}

