#include "net/client.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "imap/dispatch.h"
#include "net/logs.h"
#include "net/tmqueue.h"
#include "platform/socket.h"
#include "platform/tls.h"

namespace {

struct SocketErrorName {
    int nCode;
    const char* pszName;
};

const SocketErrorName kSocketErrors[] = {
    {WSANOTINITIALISED, "WSANOTINITIALISED"}, {WSAENETDOWN, "WSAENETDOWN"},
    {WSAEFAULT, "WSAEFAULT"},                 {WSAEINPROGRESS, "WSAEINPROGRESS"},
    {WSAEINVAL, "WSAEINVAL"},                 {WSAEMFILE, "WSAEMFILE"},
    {WSAENOBUFS, "WSAENOBUFS"},               {WSAENOTSOCK, "WSAENOTSOCK"},
    {WSAEOPNOTSUPP, "WSAEOPNOTSUPP"},         {WSAEWOULDBLOCK, "WSAEWOULDBLOCK"},
};

constexpr size_t ERROR_TEXT_SIZE = 128;
// Long enough for a client on a slow link, short enough that a silent one frees its thread.
constexpr unsigned int TLS_HANDSHAKE_TIMEOUT_MS = 60000;

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

// A fragment without its LF, left by the dispatcher, is the start of the next line.
size_t TakePendingFragment(Session* pSession) {
    if (pSession->szQueue[0] == '\0' || strchr(pSession->szQueue, '\n') != nullptr) {
        return 0;
    }
    size_t nLength = strnlen(pSession->szQueue, RECV_SIZE - 1);
    memcpy(pSession->szRecv, pSession->szQueue, nLength);
    pSession->szRecv[nLength] = '\0';
    pSession->szQueue[0] = '\0';
    return nLength;
}

}  // namespace

int SessionRecv(Session* pSession, char* pBuffer, size_t nLength) {
    if (pSession->pTls != nullptr) {
        return TlsRecv(pSession->pTls, pBuffer, nLength);
    }
    return SocketRecv(pSession->sockClient, pBuffer, nLength);
}

int SessionSend(Session* pSession, const char* pBuffer, size_t nLength) {
    if (pSession->pTls != nullptr) {
        return nLength == 0 ? 0 : TlsSend(pSession->pTls, pBuffer, nLength);
    }
    return SocketSend(pSession->sockClient, pBuffer, nLength);
}

bool StartSessionTls(Session* pSession) {
    memset(pSession->szQueue, 0, sizeof(pSession->szQueue));
    if (pSession->pTlsContext == nullptr || pSession->pTls != nullptr) {
        return false;
    }
    char szError[256];
    pSession->pTls =
        TlsAccept(pSession->pTlsContext, pSession->sockClient, TLS_HANDSHAKE_TIMEOUT_MS, szError, sizeof(szError));
    if (pSession->pTls == nullptr) {
        printf("[%08lx] TLS[%08x] %s\n", SessionId(pSession), pSession->sockClient, szError);
        WriteProtocolLog(pSession, szError);
        return false;
    }
    printf("[%08lx] TLS[%08x] negotiated\n", SessionId(pSession), pSession->sockClient);
    return true;
}

void FormatSocketError(char* pBuffer, size_t nSize, bool bSend, int nCode) {
    const char* pszOp = bSend ? "send()" : "read()";
    for (const SocketErrorName& error : kSocketErrors) {
        if (error.nCode == nCode) {
            snprintf(pBuffer, nSize, "%s SOCKET_ERROR %s=%d", pszOp, error.pszName, nCode);
            return;
        }
    }
    snprintf(pBuffer, nSize, "%s SOCKET_ERROR OTHER CODE=%d", pszOp, nCode);
}

void ClientThread(Session* pSession) {
    SOCKET sock = pSession->sockClient;
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

    // Admission counts and joins in one step; the greeting goes out only to an admitted session.
    bool bQueued = false;
    if (Settings.Timeout != 0) {
        uint32_t ulLimit = Settings.AcceptLimit > 0 ? static_cast<uint32_t>(Settings.AcceptLimit) : 0;
        if (!AdmitTMQueue(pSession, ulLimit)) {
            printf("exceeds an accepting limit. count=(%ld)\n", static_cast<long>(Settings.AcceptLimit));
            snprintf(pSession->szResponse, sizeof(pSession->szResponse), "NO %s\r\n", "exceeds an accepting limit.");
            SendPlain(pSession, pSession->szResponse);
            CloseSession(pSession, false);
            return;
        }
        bQueued = true;
    }

    int nSent = SendPlain(pSession, pSession->szResponse);
    WriteProtocolLog(pSession, pSession->szResponse);
    if (nSent == SOCKET_ERROR) {
        char szError[ERROR_TEXT_SIZE];
        FormatSocketError(szError, sizeof(szError), true, LastSocketError());
        WriteProtocolLog(pSession, szError);
        CloseSession(pSession, bQueued);
        return;
    }

    printf("[%08lx] START[%08x]\n", SessionId(pSession), sock);

    if (pSession->sockClient != 0) {
        while (RecvLine(pSession, 1) != 0) {
            if (DispatchCommand(pSession) == 0) {
                break;
            }
        }
    }
    CloseSession(pSession, bQueued);
}

int RecvLine(Session* pSession, int bTrace) {
    memset(pSession->szRecv, 0, sizeof(pSession->szRecv));
    size_t nFill = TakePendingFragment(pSession);
    for (;;) {
        // A full buffer without an LF is a piece of a long line (or of a literal): the caller
        // takes it and asks for the rest.
        bool bFull = nFill >= RECV_SIZE - 1;
        int nReceived = bFull ? 0 : SessionRecv(pSession, pSession->szRecv + nFill, RECV_SIZE - 1 - nFill);
        if (nReceived == SOCKET_ERROR || (!bFull && pSession->szRecv[nFill] == '\0')) {
            break;
        }
        pSession->szRecv[nFill + static_cast<size_t>(nReceived)] = '\0';
        if (bFull || strchr(pSession->szRecv, '\n') != nullptr) {
            if (bTrace) {
                printf("[%08lx] RECV[%08x] <- [%s]\n", SessionId(pSession), pSession->sockClient, pSession->szRecv);
                WriteProtocolLog(pSession, pSession->szRecv);
            }
            return 1;
        }
        nFill = strlen(pSession->szRecv);
    }

    char szError[ERROR_TEXT_SIZE];
    FormatSocketError(szError, sizeof(szError), false, LastSocketError());
    printf("[%08lx] RECV[%08x] ERROR<- [%s]\n", SessionId(pSession), pSession->sockClient, szError);
    WriteProtocolLog(pSession, szError);
    return 0;
}

int SendResponse(Session* pSession, int bFlush, int bTrace) {
    size_t nResponse = strlen(pSession->szResponse);
    size_t nBuffered = strlen(pSession->szSendBuf);
    if (nResponse + nBuffered >= SENDBUF_SIZE - 1) {
        FlushSend(pSession, bTrace);
        snprintf(pSession->szSendBuf, sizeof(pSession->szSendBuf), "%s", pSession->szResponse);
    } else {
        memcpy(pSession->szSendBuf + nBuffered, pSession->szResponse, nResponse + 1);
    }
    if (bFlush) {
        return FlushSend(pSession, bTrace);
    }
    return 1;
}

int FlushSend(Session* pSession, int bTrace) {
    int nResult = SessionSend(pSession, pSession->szSendBuf, strlen(pSession->szSendBuf));
    if (bTrace) {
        printf("[%08lx] SEND[%08x] -> [%s]\n", SessionId(pSession), pSession->sockClient, pSession->szSendBuf);
        WriteProtocolLog(pSession, pSession->szSendBuf);
    }
    pSession->szSendBuf[0] = '\0';
    if (nResult == SOCKET_ERROR) {
        char szError[ERROR_TEXT_SIZE];
        FormatSocketError(szError, sizeof(szError), true, LastSocketError());
        printf("[%08lx] SEND[%08x] ERROR -> [%s]\n", SessionId(pSession), pSession->sockClient, szError);
        WriteProtocolLog(pSession, szError);
        return 0;
    }
    return 1;
}
