#include "net/proxy_accept.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "config/settings.h"
#include "net/proxy_header.h"
#include "platform/format.h"
#include "platform/service_host.h"
#include "platform/socket.h"
#include "platform/time.h"

namespace {

std::atomic<int> g_nHeaderWaits{0};

// How much of the offending bytes a refusal shows: enough to tell a header from a stray client.
constexpr size_t SHOWN_BYTES = 48;

// The refusal, on the console and in the system log: who sent what, escaped and bounded.
void LogRefusal(const Session* pSession, const char* pszReason, const unsigned char* pBytes, size_t nSize) {
    char szBytes[SHOWN_BYTES * 4 + 1];
    EscapeHeaderBytes(pBytes, nSize < SHOWN_BYTES ? nSize : SHOWN_BYTES, szBytes, sizeof(szBytes));
    char szLine[512];
    static_cast<void>(FormatText(szLine, sizeof(szLine), "PROXY header refused: rip=%s lip=%s reason=<%s> received=<%s>",
                                 pSession->szPeerAddr, pSession->szLocalAddr, pszReason, szBytes));
    printf("[%08lx] %s\n", SessionId(pSession), szLine);
    WriteSystemLog(SERVICE_NAME, EVENTLOG_WARNING_TYPE, szLine);
}

// Takes exactly nLength bytes that a peek has shown to be there.
bool TakeBytes(SOCKET sock, unsigned char* pBuffer, size_t nLength) {
    while (nLength > 0) {
        int nReceived = SocketRecv(sock, reinterpret_cast<char*>(pBuffer), nLength);
        if (nReceived <= 0) return false;
        pBuffer += nReceived;
        nLength -= static_cast<size_t>(nReceived);
    }
    return true;
}

bool ServesFamily(int nFamily) {
    return nFamily == FAMILY_IPV4 ? Settings.AddressFamily != 1 : Settings.AddressFamily != 0;
}

}  // namespace

bool TakeProxyHeaderWait() {
    if (g_nHeaderWaits.fetch_add(1) >= MAX_PROXY_HEADER_WAITS) {
        g_nHeaderWaits.fetch_sub(1);
        return false;
    }
    return true;
}

void EndProxyHeaderWait() {
    g_nHeaderWaits.fetch_sub(1);
}

bool ReceiveProxyHeader(Session* pSession) {
    pSession->bProxyChecked = 1;
    SOCKET sock = pSession->sockClient;
    std::vector<unsigned char> bytes;
    try {
        bytes.resize(PROXY_HEADER_MAX_LENGTH);
    } catch (const std::bad_alloc&) {
        LogRefusal(pSession, "no memory to read the header", nullptr, 0);
        return false;
    }
    // Bytes are peeked, then taken only as far as they are the header's: what follows (a TLS
    // hello, an eager client's command) stays in the socket for the session.
    size_t nHave = 0;
    ProxyHeader header{};
    uint64_t ullDeadline = MonotonicMilliseconds() + PROXY_HEADER_TIME_MS;
    for (;;) {
        uint64_t ullNow = MonotonicMilliseconds();
        int nReady = ullNow < ullDeadline ? WaitSocketReadable(sock, static_cast<unsigned int>(ullDeadline - ullNow)) : 0;
        if (nReady == 0) {
            // A clear-text client waits for the greeting: a balancer that may connect for itself
            // without a header is told apart only by its silence.
            if (nHave == 0 && Settings.ProxyRequired == 0) break;
            LogRefusal(pSession, nHave == 0 ? "no PROXY header in time" : "PROXY header not finished in time",
                       bytes.data(), nHave);
            return false;
        }
        int nPeeked = nReady < 0 ? SOCKET_ERROR : SocketPeek(sock, reinterpret_cast<char*>(bytes.data() + nHave),
                                                             bytes.size() - nHave);
        if (nPeeked == 0 && nHave == 0) {
            // A balancer's plain TCP health check: connected, said nothing, left. Not worth a
            // warning every few seconds.
            TracePrint("[%08lx] PROXY[%08x] balancer %s closed without a word\n", SessionId(pSession), sock,
                       pSession->szPeerAddr);
            return false;
        }
        if (nPeeked <= 0) {
            LogRefusal(pSession, nPeeked == 0 ? "connection closed before the PROXY header ended"
                                              : "receive failed before the PROXY header ended",
                       bytes.data(), nHave);
            return false;
        }
        size_t nSeen = nHave + static_cast<size_t>(nPeeked);
        ProxyParse result = ParseProxyHeader(bytes.data(), nSeen, &header);
        if (result == PROXY_INVALID) {
            // Nothing like a header: the balancer's own connection, where that is allowed.
            if (header.nVersion == 0 && nHave == 0 && Settings.ProxyRequired == 0) break;
            LogRefusal(pSession, header.nVersion == 0 ? "no PROXY header from a trusted balancer" : header.pszError,
                       bytes.data(), nSeen);
            return false;
        }
        size_t nTake = result == PROXY_COMPLETE ? header.nLength - nHave : static_cast<size_t>(nPeeked);
        if (!TakeBytes(sock, bytes.data() + nHave, nTake)) {
            LogRefusal(pSession, "receive failed inside the PROXY header", bytes.data(), nHave);
            return false;
        }
        nHave += nTake;
        if (result == PROXY_COMPLETE) break;
    }
    if (nHave == 0 || header.bLocal) {
        TracePrint("[%08lx] PROXY[%08x] %s from balancer %s: its own connection\n", SessionId(pSession), sock,
                   nHave == 0 ? "no header" : header.nVersion == 1 ? "v1 UNKNOWN" : "v2 LOCAL", pSession->szPeerAddr);
        return true;
    }
    if (!ServesFamily(header.nFamily)) {
        LogRefusal(pSession,
                   header.nFamily == FAMILY_IPV4 ? "PROXY header names an IPv4 client; AddressFamily serves IPv6 only"
                                                 : "PROXY header names an IPv6 client; AddressFamily serves IPv4 only",
                   bytes.data(), nHave);
        return false;
    }
    static_cast<void>(FormatText(pSession->szBalancerAddr, sizeof(pSession->szBalancerAddr), "%s", pSession->szPeerAddr));
    static_cast<void>(FormatText(pSession->szPeerAddr, sizeof(pSession->szPeerAddr), "%s", header.szSource));
    TracePrint("[%08lx] PROXY[%08x] v%d from balancer %s: client %s port %u\n", SessionId(pSession), sock,
               header.nVersion, pSession->szBalancerAddr, pSession->szPeerAddr,
               static_cast<unsigned int>(header.usSourcePort));
    return true;
}

bool RefuseUntrustedHeader(Session* pSession, const char* pBytes, size_t nSize) {
    const unsigned char* pUnsigned = reinterpret_cast<const unsigned char*>(pBytes);
    if (!LooksLikeProxyHeader(pUnsigned, nSize)) return false;
    LogRefusal(pSession, "PROXY header from an address not in ProxyTrusted", pUnsigned, nSize);
    return true;
}

bool UntrustedHeaderBeforeTls(Session* pSession) {
    pSession->bProxyChecked = 1;
    // A TLS client speaks first; the handshake's own time limit bounds the wait, and the queue's
    // watch ends it there like a handshake that came too late.
    unsigned int nLimitMs = static_cast<unsigned int>(Settings.TlsHandshakeTimeLimit > 0 ? Settings.TlsHandshakeTimeLimit
                                                                                       : 20) * 1000u;
    pSession->ullHandshakeDeadline.store(MonotonicMilliseconds() + nLimitMs);
    char szFirst[PROXY_V2_FIXED_LENGTH];
    int nPeeked = 0;
    if (WaitSocketReadable(pSession->sockClient, nLimitMs) == 1) {
        nPeeked = SocketPeek(pSession->sockClient, szFirst, sizeof(szFirst));
    }
    return nPeeked > 0 && RefuseUntrustedHeader(pSession, szFirst, static_cast<size_t>(nPeeked));
}
