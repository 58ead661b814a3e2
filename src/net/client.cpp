#include "net/client.h"

#include <cstdio>
#include <cstring>

#include "auth/login_guard.h"
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
    SetLogonRemoteHost(pSession->szPeerAddr);
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

    // The limits were applied, and a clear-text greeting sent, at accept. On the implicit-TLS port
    // the greeting goes out encrypted.
    if (pSession->bImplicitTls && !StartSessionTls(pSession)) {
        CloseSession(pSession);
        return;
    }

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
            if (DispatchCommand(pSession) == 0 || pSession->bSendFailed) {
                break;
            }
        }
    }
    CloseSession(pSession);
}

