#include "imap/session_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "imap/auth_log.h"
#include "imap/command_reader.h"
#include "imap/logs.h"
#include "platform/deflate.h"
#include "platform/format.h"
#include "platform/memory.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "platform/tls.h"

void* Session::operator new(size_t nSize) {
    void* p = AllocatePages(nSize);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* Session::operator new(size_t nSize, const std::nothrow_t&) noexcept {
    return AllocatePages(nSize);
}

void Session::operator delete(void* p, size_t nSize) noexcept {
    FreePages(p, nSize);
}

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

// Compressed bytes read from the wire at a time.
constexpr size_t COMPRESSED_RECV_SIZE = 16384;

// For a session made without settings: long enough for a client on a slow link, short enough
// that a silent one frees its thread.
constexpr unsigned int DEFAULT_TLS_HANDSHAKE_MS = 20000;

// A fragment without its LF, left by the dispatcher, is the start of the next line.
size_t TakePendingFragment(Session* pSession) {
    size_t nHeld = pSession->nQueued < QUEUE_SIZE ? pSession->nQueued : QUEUE_SIZE - 1;
    if (nHeld == 0 || memchr(pSession->szQueue, '\n', nHeld) != nullptr) {
        return 0;
    }
    return TakeQueued(pSession, pSession->szRecv, RECV_SIZE - 1);
}

void SayBye(Session* pSession, const char* pszReason) {
    OutputFormat(pSession, "* BYE %s\r\n", pszReason);
    OutputFlush(pSession);
}

// The BYE of a session that the queue told to leave.
void SayEvicted(Session* pSession) {
    SayBye(pSession, pSession->bEvicted.load() == EVICTED_LATE ? "Login time limit reached"
                                                                : "Too many connections; this one was idle");
}

// Waits for the client's next bytes as long as its state allows; false (after a BYE) when the
// client stayed silent, or when another session's admission asked this idle one to leave.
bool WaitForClient(Session* pSession) {
    if (SessionInputPending(pSession)) {
        return true;
    }
    AckPromptly(pSession->sockClient);
    bool bLoggedIn = pSession->State != Imap4NonAuthenticated;
    uint32_t ulSeconds = static_cast<uint32_t>(bLoggedIn ? Settings.IdleTimeout : Settings.LoginTimeout);
    // No limit read (a session made without settings) waits as long as it takes.
    if (ulSeconds == 0) return true;
    uint64_t ullMs = static_cast<uint64_t>(ulSeconds) * 1000u;
    int nReady = WaitSocketReadable(pSession->sockClient, ullMs > 0x7fffffffu ? 0xffffffffu
                                                                               : static_cast<unsigned int>(ullMs));
    if (pSession->bEvicted.load()) {
        SayEvicted(pSession);
        return false;
    }
    if (nReady == 0) {
        printf("[%08lx] RECV[%08x] idle for %u s\n", SessionId(pSession), pSession->sockClient, ulSeconds);
        SayBye(pSession, bLoggedIn ? "Autologout; idle for too long" : "Idle for too long before login");
        return false;
    }
    // A failed wait leaves the receive to report the error.
    return true;
}

int RecvFromWire(Session* pSession, char* pBuffer, size_t nLength) {
    if (pSession->pTls != nullptr) {
        return TlsRecv(pSession->pTls, pBuffer, nLength);
    }
    return SocketRecv(pSession->sockClient, pBuffer, nLength);
}

// Compressed input is read until it yields bytes: a piece of a DEFLATE block gives none yet,
// and a receive that returns nothing would be taken for a closed connection.
int RecvInflated(Session* pSession, char* pBuffer, size_t nLength) {
    DeflateStream* pInflate = pSession->pInflate.get();
    for (;;) {
        long nMade = InflateTake(pInflate, pBuffer, nLength);
        if (nMade > 0) return static_cast<int>(nMade);
        if (nMade < 0) {
            const char* pszError = "compressed input is no DEFLATE stream";
            TracePrint("[%08lx] RECV[%08x] %s\n", SessionId(pSession), pSession->sockClient, pszError);
            WriteProtocolLog(pSession, pszError);
            return 0;
        }
        char szRaw[COMPRESSED_RECV_SIZE];
        int nRaw = RecvFromWire(pSession, szRaw, sizeof(szRaw));
        if (nRaw == SOCKET_ERROR || nRaw <= 0) return nRaw;
        InflateFeed(pInflate, szRaw, static_cast<size_t>(nRaw));
    }
}

}  // namespace

int SessionRecv(Session* pSession, char* pBuffer, size_t nLength) {
    // Whatever the client is to read before it answers must have left.
    if (OutputHeld(pSession) && OutputFlush(pSession) == 0) return SOCKET_ERROR;
    if (pSession->pInflate != nullptr) {
        return RecvInflated(pSession, pBuffer, nLength);
    }
    return RecvFromWire(pSession, pBuffer, nLength);
}

bool SessionInputPending(const Session* pSession) {
    if (pSession->pInflate != nullptr && InflatePending(pSession->pInflate.get())) return true;
    return pSession->pTls != nullptr && TlsPending(pSession->pTls);
}

bool StartSessionCompression(Session* pSession) {
    pSession->pDeflate = DeflateCreateCompressor();
    pSession->pInflate = DeflateCreateDecompressor();
    if (pSession->pDeflate == nullptr || pSession->pInflate == nullptr) {
        pSession->pDeflate.reset();
        pSession->pInflate.reset();
        return false;
    }
    // A client may send compressed commands right behind COMPRESS: what came with it is theirs.
    size_t nHeld = std::min(pSession->nQueued, sizeof(pSession->szQueue) - 1);
    InflateFeed(pSession->pInflate.get(), pSession->szQueue, nHeld);
    pSession->nQueued = 0;
    pSession->szQueue[0] = '\0';
    return true;
}

bool StartSessionTls(Session* pSession) {
    memset(pSession->szQueue, 0, sizeof(pSession->szQueue));
    pSession->nQueued = 0;
    // The answer to STARTTLS leaves in clear text, before the handshake.
    if (OutputHeld(pSession) && OutputFlush(pSession) == 0) return false;
    if (pSession->pTlsContext == nullptr || pSession->pTls != nullptr) {
        return false;
    }
    char szError[256];
    // A whole handshake, however slowly its bytes come: the queue's watch closes a late one.
    unsigned int nHandshakeMs = Settings.TlsHandshakeTimeLimit > 0
                                    ? static_cast<unsigned int>(Settings.TlsHandshakeTimeLimit) * 1000u
                                    : DEFAULT_TLS_HANDSHAKE_MS;
    pSession->ullHandshakeDeadline.store(MonotonicMilliseconds() + nHandshakeMs);
    pSession->pTls =
        TlsAccept(pSession->pTlsContext, pSession->sockClient, nHandshakeMs, szError, sizeof(szError),
                  &pSession->ullLastInput);
    pSession->ullHandshakeDeadline.store(0);
    if (pSession->pTls == nullptr) {
        TracePrint("[%08lx] TLS[%08x] %s\n", SessionId(pSession), pSession->sockClient, szError);
        WriteProtocolLog(pSession, szError);
        LogTlsFailure(pSession, szError);
        return false;
    }
    TracePrint("[%08lx] TLS[%08x] negotiated\n", SessionId(pSession), pSession->sockClient);
    return true;
}

void FormatSocketError(char* pBuffer, size_t nSize, bool bSend, int nCode) {
    const char* pszOp = bSend ? "send()" : "read()";
    for (const SocketErrorName& error : kSocketErrors) {
        if (error.nCode == nCode) {
            static_cast<void>(FormatText(pBuffer, nSize, "%s SOCKET_ERROR %s=%d", pszOp, error.pszName, nCode));
            return;
        }
    }
    static_cast<void>(FormatText(pBuffer, nSize, "%s SOCKET_ERROR OTHER CODE=%d", pszOp, nCode));
}

// The received bytes are counted: a NUL among them is the client's byte like any other. They
// are logged once the command reader knows what they are (a password is not shown).
int RecvLine(Session* pSession, int /*bTrace*/) {
    size_t nFill = TakePendingFragment(pSession);
    pSession->nReceived = 0;
    pSession->szRecv[nFill] = '\0';
    pSession->bLoggedIn.store(pSession->State != Imap4NonAuthenticated ? 1 : 0);
    for (;;) {
        if (pSession->bSendFailed) {
            return 0;
        }
        // A full buffer without an LF is a piece of a long line (or of a literal): the caller
        // takes it and asks for the rest.
        bool bFull = nFill >= RECV_SIZE - 1;
        if (!bFull && !WaitForClient(pSession)) {
            return 0;
        }
        int nReceived = bFull ? 0 : SessionRecv(pSession, pSession->szRecv + nFill, RECV_SIZE - 1 - nFill);
        if (pSession->bEvicted.load()) {
            SayEvicted(pSession);
            return 0;
        }
        if (nReceived == SOCKET_ERROR || (!bFull && nReceived <= 0)) {
            break;
        }
        size_t nFrom = nFill;
        nFill += static_cast<size_t>(nReceived);
        pSession->szRecv[nFill] = '\0';
        if (bFull || memchr(pSession->szRecv + nFrom, '\n', nFill - nFrom) != nullptr) {
            pSession->ullLastInput.store(MonotonicMilliseconds());
            pSession->nReceived = nFill;
            return 1;
        }
    }

    char szError[SOCKET_ERROR_TEXT_SIZE];
    FormatSocketError(szError, sizeof(szError), false, LastSocketError());
    TracePrint("[%08lx] RECV[%08x] ERROR<- [%s]\n", SessionId(pSession), pSession->sockClient, szError);
    WriteProtocolLog(pSession, szError);
    return 0;
}

