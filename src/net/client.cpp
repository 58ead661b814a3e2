#include "net/client.h"

#include <cstdio>
#include <cstring>

#include "auth/login_guard.h"
#include "config/settings.h"
#include "imap/dispatch.h"
#include "imap/logs.h"
#include "imap/session_io.h"
#include "net/listener.h"
#include "net/proxy_accept.h"
#include "net/tmqueue.h"
#include "platform/accounts.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "platform/tls.h"

namespace {

// The session was admitted to the queue at accept, so it leaves it here whatever ends it.
void CloseSession(Session* pSession) {
    RemoveTMQueue(pSession);
    if (pSession->bHoldsLoginTurn && pSession->pLoginFailures != nullptr) {
        pSession->pLoginFailures->EndTurn(pSession->szPeerAddr);
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
    if (Settings.SendDataTimeout != 0) {
        SetSendTimeout(sock, static_cast<unsigned int>(Settings.SendDataTimeout) * 1000);
    }
    SetNoDelay(sock);
    if (SetZeroSocketBuffer(sock, true) == SOCKET_ERROR) {
        printf("setsockopt error(SO_SNDBUF)\n");
        CloseSession(pSession);
        return;
    }
    if (SetZeroSocketBuffer(sock, false) == SOCKET_ERROR) {
        printf("setsockopt error(SO_RCVBUF)\n");
        CloseSession(pSession);
        return;
    }

    // The limits were applied, and a clear-text greeting sent, at accept; for a trusted balancer
    // they are applied here, to the client its header names, before anything is sent.
    if (pSession->bAwaitsProxyHeader) {
        bool bRead = ReceiveProxyHeader(pSession);
        EndProxyHeaderWait();
        pSession->bAwaitsProxyHeader = 0;
        if (!bRead || !AdmitSession(pSession)) {
            CloseSession(pSession);
            return;
        }
    }
    SetLogonRemoteHost(pSession->szPeerAddr);

    // On the implicit-TLS port the greeting goes out encrypted.
    if (pSession->bImplicitTls &&
        ((!pSession->bProxyChecked && UntrustedHeaderBeforeTls(pSession)) || !StartSessionTls(pSession))) {
        CloseSession(pSession);
        return;
    }
    // Under TLS the client is offered what an encrypted session may do.
    if (pSession->bImplicitTls) FormatGreeting(pSession);

    // The greeting the listener prepared goes out through the session's output, which logs it
    // and reports a failed send; one already sent at accept is only logged.
    if (pSession->bGreeted) {
        WriteProtocolLog(pSession, pSession->szResponse);
    } else if (SendResponse(pSession, 1, 1) == 0) {
        CloseSession(pSession);
        return;
    }

    TracePrint("[%08lx] START[%08x]\n", SessionId(pSession), sock);

    if (pSession->sockClient != 0) {
        while (RecvLine(pSession, 1) != 0) {
            // A header where none is believed: the sender means to pass for somebody else.
            if (!pSession->bProxyChecked) {
                pSession->bProxyChecked = 1;
                if (RefuseUntrustedHeader(pSession, pSession->szRecv, pSession->nReceived)) break;
            }
            if (DispatchCommand(pSession) == 0 || pSession->bSendFailed) {
                break;
            }
        }
    }
    CloseSession(pSession);
}

