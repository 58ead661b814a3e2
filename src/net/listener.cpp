#include "net/listener.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/proxy_trust.h"
#include "config/settings.h"
#include "net/client.h"
#include "net/proxy_accept.h"
#include "imap/capability.h"
#include "imap/session.h"
#include "net/tmqueue.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/time.h"

std::atomic<int32_t> bStop{0};

namespace {

constexpr int MAX_LISTEN_SOCKETS = 64;
constexpr unsigned int MIN_ACCEPT_BACKOFF_MS = 10;
constexpr unsigned int MAX_ACCEPT_BACKOFF_MS = 1000;
// How long the accept loop waits before it looks at the stop flag again, should the stop's own
// connection not reach it (an address that routes elsewhere, a firewall).
constexpr int STOP_POLL_MS = 250;
// A wake-up aimed at an address that does not answer (a host name that resolves elsewhere) must
// not hold the stop: the accept loop sees the flag by itself.
constexpr unsigned int WAKE_CONNECT_TIMEOUT_MS = 500;
// The capabilities come first (RFC 9051 recommends them there): a client then needs no
// CAPABILITY command before it logs in.
constexpr const char* GREETING_FORMAT = "* OK [CAPABILITY %s] Velmora IMAP4rev1 Server (0.07) Ready. %s\r\n";

// The host name the accept thread found at start; a stop from the control thread reads it to
// reach the listener.
struct HostDomain {
    std::mutex lock;
    char szName[256] = "";
};

HostDomain& TheHostDomain() {
    static HostDomain* pHostDomain = new HostDomain();
    return *pHostDomain;
}

void CopyHostDomain(char* pszOut, size_t nSize) {
    HostDomain& host = TheHostDomain();
    std::lock_guard<std::mutex> guard(host.lock);
    static_cast<void>(FormatText(pszOut, nSize, "%s", host.szName));
}

void SetHostDomain(const char* pszName) {
    HostDomain& host = TheHostDomain();
    std::lock_guard<std::mutex> guard(host.lock);
    static_cast<void>(FormatText(host.szName, sizeof(host.szName), "%s", pszName));
}

// Counts the entries by kind; the pass that binds IPv4 sockets takes entries with a ".", the
// IPv6 pass entries with a ":".
void CountListenEntries(int* pnIpv4, int* pnIpv6) {
    *pnIpv4 = 0;
    *pnIpv6 = 0;
    for (const char* pEntry = Settings.ListenIP; *pEntry != '\0'; pEntry += strlen(pEntry) + 1) {
        if (IsIpv4ListenEntry(pEntry)) {
            (*pnIpv4)++;
        } else if (IsIpv6ListenEntry(pEntry)) {
            (*pnIpv6)++;
        }
    }
}

// Next entry of the pass's kind in the list pszList after pPrevious (NULL: from the first entry).
const char* NextListenEntry(const char* pszList, const char* pPrevious, bool bIpv6) {
    const char* pEntry = pPrevious == nullptr ? pszList : pPrevious + strlen(pPrevious) + 1;
    for (; *pEntry != '\0'; pEntry += strlen(pEntry) + 1) {
        if (bIpv6 ? strchr(pEntry, ':') != nullptr : strchr(pEntry, '.') != nullptr) {
            return pEntry;
        }
    }
    return nullptr;
}

// Splits "address port" at its first blank; without one the port is nDefaultPort.
void SplitListenEntry(const char* pEntry, int nDefaultPort, char* pszAddress, size_t nSize, int* pnPort) {
    static_cast<void>(FormatText(pszAddress, nSize, "%s", pEntry));
    *pnPort = nDefaultPort;
    char* pBlank = strchr(pszAddress, ' ');
    if (pBlank != nullptr) {
        *pBlank = '\0';
        *pnPort = atoi(pBlank + 1);
    }
}

void CloseAccepted(SOCKET sock) {
    ShutdownSocket(sock);
    CloseSocket(sock);
}

void PrintAcceptError(int nCode) {
    switch (nCode) {
    case WSANOTINITIALISED: printf("WSANOTINITIALISED\n"); break;
    case WSAENETDOWN: printf("WSAENETDOWN\n"); break;
    case WSAEFAULT: printf("WSAEFAULT\n"); break;
    case WSAEINPROGRESS: printf("WSAEINPROGRESS\n"); break;
    case WSAEINVAL: printf("WSAEINVAL\n"); break;
    case WSAEMFILE: printf("WSAEMFILE\n"); break;
    case WSAENOBUFS: printf("WSAENOBUFS\n"); break;
    case WSAENOTSOCK: printf("WSAENOTSOCK\n"); break;
    case WSAEOPNOTSUPP: printf("WSAEOPNOTSUPP\n"); break;
    case WSAEWOULDBLOCK: printf("WSAEWOULDBLOCK\n"); break;
    default: printf("UNKNOWN CODE\n"); break;
    }
    printf("invalid socket\n");
}

// The listening sockets of one start, owned by the accept thread, and slot by slot whether a
// socket is an implicit-TLS port.
struct ListenSet {
    int nSlot;
    int nCapacity;
    std::vector<SOCKET> sockets;
    bool abImplicitTls[MAX_LISTEN_SOCKETS];
    // What was opened ("127.0.0.1:143, 127.0.0.1:993 TLS") and, after a failure, why.
    char szOpened[512];
    char szError[512];
};

// Opened before the service says it runs, then served by the accept loop.
ListenSet g_listenSet{};
bool g_bListenersOpen = false;

// "address:port" (IPv6 in brackets) of a bound address.
void DescribeAddress(const SocketAddress& address, int nPort, char* pszOut, size_t nSize) {
    char szText[64];
    if (!AddressToText(address, szText, sizeof(szText))) {
        static_cast<void>(FormatText(szText, sizeof(szText), "?"));
    }
    static_cast<void>(FormatText(pszOut, nSize, address.nFamily == FAMILY_IPV6 ? "[%s]:%d" : "%s:%d", szText, nPort));
}

// A bind that failed, told with the setting it came from and the file that holds it.
void ReportBindFailure(ListenSet* pSet, const SocketAddress& address, int nPort, const char* pszSetting) {
    char szError[256];
    LastSocketErrorText(szError, sizeof(szError));
    char szWhere[128];
    DescribeAddress(address, nPort, szWhere, sizeof(szWhere));
    static_cast<void>(FormatText(pSet->szError, sizeof(pSet->szError), "cannot listen on %s (%s in %s): %s", szWhere,
                                 pszSetting, RegistryFilePath(), szError));
}

void NoteOpened(ListenSet* pSet, const SocketAddress& address, int nPort, bool bTls) {
    char szWhere[128];
    DescribeAddress(address, nPort, szWhere, sizeof(szWhere));
    static_cast<void>(AppendFormat(pSet->szOpened, sizeof(pSet->szOpened), "%s%s%s",
                                   pSet->szOpened[0] != '\0' ? ", " : "", szWhere, bTls ? " TLS" : ""));
}

// A second socket on the same address at the implicit-TLS port. A port that cannot be had (taken,
// or privileged) is a failed start like any other: clients must not find TLS silently gone.
bool OpenImplicitTlsSocket(int nFamily, SocketAddress address, ListenSet* pSet) {
    if (pSet->nSlot >= pSet->nCapacity) {
        return true;
    }
    SOCKET sock = CreateListenSocket(nFamily);
    if (sock == INVALID_SOCKET) {
        ReportBindFailure(pSet, address, Settings.TlsPortNo, "TlsPortNo");
        return false;
    }
    SetAddressPort(&address, Settings.TlsPortNo);
    if (BindSocket(sock, address) == SOCKET_ERROR) {
        printf("bind() failed with error (TLS port %d)\n", Settings.TlsPortNo);
        ReportBindFailure(pSet, address, Settings.TlsPortNo, "TlsPortNo");
        CloseSocket(sock);
        return false;
    }
    NoteOpened(pSet, address, Settings.TlsPortNo, true);
    pSet->abImplicitTls[pSet->nSlot] = true;
    pSet->sockets[pSet->nSlot++] = sock;
    return true;
}

// Creates, addresses and binds the sockets of one pass; false ends the listener.
bool OpenPass(bool bIpv6, int nSockets, ListenSet* pSet, bool bTlsPort) {
    int nFamily = bIpv6 ? FAMILY_IPV6 : FAMILY_IPV4;
    char szPort[16];
    static_cast<void>(FormatText(szPort, sizeof(szPort), "%d", Settings.PortNo));
    const char* pEntry = nullptr;
    for (int i = 0; i < nSockets; i++) {
        SocketAddress address{};
        if (!GetPassiveAddress(nFamily, szPort, &address)) {
            printf("getaddrinfo failed with error\n");
            static_cast<void>(FormatText(pSet->szError, sizeof(pSet->szError), "no %s address for PortNo %d in %s",
                                         bIpv6 ? "IPv6" : "IPv4", Settings.PortNo, RegistryFilePath()));
            return false;
        }
        SOCKET sock = CreateListenSocket(nFamily);
        if (sock == INVALID_SOCKET) {
            ReportBindFailure(pSet, address, Settings.PortNo, "AddressFamily");
            return false;
        }
        int nBoundPort = Settings.PortNo;
        const char* pszSetting = "PortNo";
        pSet->abImplicitTls[pSet->nSlot] = false;
        pSet->sockets[pSet->nSlot++] = sock;
        if (Settings.ListenMode != 0) {
            pEntry = NextListenEntry(Settings.ListenIP, pEntry, bIpv6);
            if (pEntry != nullptr) {
                char szAddress[256];
                int nPort;
                SplitListenEntry(pEntry, Settings.PortNo, szAddress, sizeof(szAddress), &nPort);
                SetAddressPort(&address, nPort);
                nBoundPort = nPort;
                pszSetting = "ListenIP";
                if (!SetAddressText(&address, szAddress) && bIpv6) {
                    GetPassiveAddress(nFamily, szPort, &address);
                    SetAddressPort(&address, nPort);
                }
            }
        }
        if (BindSocket(sock, address) == SOCKET_ERROR) {
            printf("bind() failed with error\n");
            ReportBindFailure(pSet, address, nBoundPort, pszSetting);
            CloseSocket(sock);
            pSet->sockets[--pSet->nSlot] = 0;
            return false;
        }
        NoteOpened(pSet, address, nBoundPort, false);
        if (bTlsPort && !OpenImplicitTlsSocket(nFamily, address, pSet)) {
            return false;
        }
    }
    return true;
}

// Sockets set up: count, passes, bind, listen. Returns the socket count, -1 on failure.
int SetUpListenSockets(ListenSet* pSet, bool bTlsPort) {
    int nIpv4 = 1;
    int nIpv6 = 1;
    if (Settings.ListenMode != 0) {
        CountListenEntries(&nIpv4, &nIpv6);
    }
    int nCount = Settings.AddressFamily == 0 ? nIpv4 : Settings.AddressFamily == 1 ? nIpv6 : nIpv4 + nIpv6;
    // Each IMAP socket may bring its implicit-TLS twin, within the same bound.
    int nLimit = bTlsPort ? MAX_LISTEN_SOCKETS / 2 : MAX_LISTEN_SOCKETS;
    if (nCount > nLimit) {
        nCount = nLimit;
    }
    pSet->nSlot = 0;
    pSet->szOpened[0] = '\0';
    pSet->szError[0] = '\0';
    pSet->nCapacity = bTlsPort ? 2 * nCount : nCount;
    try {
        pSet->sockets.assign(pSet->nCapacity > 0 ? pSet->nCapacity : 1, 0);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    bool bOk;
    if (Settings.AddressFamily == 2) {
        bOk = OpenPass(false, nIpv4 < nCount ? nIpv4 : nCount, pSet, bTlsPort) &&
              OpenPass(true, nCount - (nIpv4 < nCount ? nIpv4 : nCount), pSet, bTlsPort);
    } else {
        bOk = OpenPass(Settings.AddressFamily == 1, nCount, pSet, bTlsPort);
    }
    if (!bOk) {
        return -1;
    }
    for (int i = 0; i < pSet->nSlot; i++) {
        if (ListenSocket(pSet->sockets[i]) == SOCKET_ERROR) {
            char szError[256];
            LastSocketErrorText(szError, sizeof(szError));
            static_cast<void>(FormatText(pSet->szError, sizeof(pSet->szError), "cannot listen (%s in %s): %s",
                                         Settings.ListenMode != 0 ? "ListenIP" : "PortNo", RegistryFilePath(), szError));
            // OpenListeners closes every socket of the set, this one too.
            return -1;
        }
    }
    return pSet->nSlot;
}

// How long the name found for one of the server's own addresses is used before it is asked again.
constexpr uint64_t LOCAL_NAME_KEPT_MS = 60000;
// More local addresses than any machine has: past this the table starts again.
constexpr size_t LOCAL_NAMES_KEPT = 64;

struct LocalName {
    uint64_t ullAsked;
    bool bNamed;
    std::string strName;
};

// The name of one of the server's own addresses. Asked of the resolver once a minute at most:
// every connection comes in on one of a few addresses, and the accept loop must not wait for a
// read of the hosts file, or a DNS query that may take seconds, on each one. A name that could
// not be found is kept too, for the same reason.
bool LocalAddressName(const SocketAddress& local, const char* pszLocalAddr, char* pszName, size_t nSize) {
    if (pszLocalAddr[0] == '\0') {
        return NameOfAddress(local, pszName, nSize);
    }
    static std::mutex lock;
    static auto* pNames = new std::unordered_map<std::string, LocalName>();
    uint64_t ullNow = MonotonicMilliseconds();
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = pNames->find(pszLocalAddr);
        if (it != pNames->end() && ullNow - it->second.ullAsked < LOCAL_NAME_KEPT_MS) {
            return it->second.bNamed && FormatText(pszName, nSize, "%s", it->second.strName.c_str());
        }
    }
    bool bNamed = NameOfAddress(local, pszName, nSize);
    try {
        std::lock_guard<std::mutex> guard(lock);
        if (pNames->size() >= LOCAL_NAMES_KEPT) pNames->clear();
        (*pNames)[pszLocalAddr] = LocalName{ullNow, bNamed, bNamed ? pszName : ""};
    } catch (const std::bad_alloc&) {
        // Not kept: asked again next time.
    }
    return bNamed;
}

// Fills the record of an accepted connection; false when the listener must end.
bool PrepareSession(Session* pSession, SOCKET sockAccepted, const SocketAddress& peer, bool bIpv6Conn) {
    pSession->sockClient = sockAccepted;
    pSession->State = 0;

    SocketAddress local{};
    pSession->nLocalLen = bIpv6Conn ? 28 : 16;
    if (!GetLocalAddress(sockAccepted, &local)) {
        printf("getsockname error\n");
        return false;
    }
    if (bIpv6Conn) {
        memcpy(pSession->sinLocal6.bytes, local.bytes, sizeof(pSession->sinLocal6.bytes));
    } else {
        memcpy(pSession->sinLocal.bytes, local.bytes, sizeof(pSession->sinLocal.bytes));
    }

    CopyHostDomain(pSession->szHostName, sizeof(pSession->szHostName));
    char szName[256];
    AddressToText(local, pSession->szLocalAddr, sizeof(pSession->szLocalAddr));
    bool bNamed = LocalAddressName(local, pSession->szLocalAddr, szName, sizeof(szName));
    if (bNamed && strchr(szName, '.') != nullptr) {
        static_cast<void>(FormatText(pSession->szHostName, sizeof(pSession->szHostName), "%s", szName));
    }
    pSession->pHostEnt = nullptr;

    if (!AddressToText(peer, pSession->szPeerAddr, sizeof(pSession->szPeerAddr))) {
        printf(bIpv6Conn ? "inet_ntop(sinListener6.sin6_addr) = NULL\n" : "inet_ntop(sinListener.sin_addr) = NULL\n");
        return false;
    }
    FormatGreeting(pSession);
    return true;
}

// Makes the record of an accepted connection and starts its thread; false when the listener
// must end.
bool StartSession(SOCKET sockAccepted, SOCKET sockListen, const SocketAddress& peer, bool bIpv6Conn, bool bImplicitTls,
                  TlsContext* pTlsContext, LoginFailures* pLoginFailures) {
    // Default-initialised: the record's pages come zero-filled, and stay untouched until used.
    Session* pSession = new (std::nothrow) Session;
    printf("[%08lx] memory alloc()\n", SessionId(pSession));
    if (pSession == nullptr) {
        CloseAccepted(sockAccepted);
        CloseAccepted(sockListen);
        return false;
    }
    pSession->pTlsContext = pTlsContext;
    pSession->pLoginFailures = pLoginFailures;
    pSession->bImplicitTls = bImplicitTls ? 1 : 0;
    if (!PrepareSession(pSession, sockAccepted, peer, bIpv6Conn)) {
        CloseAccepted(sockAccepted);
        delete pSession;
        return false;
    }
    if (IsTrustedBalancer(pSession->szPeerAddr)) {
        // Who the client is, and so whether it is admitted, is known only from the header,
        // which this loop must not wait for: the session's thread reads it, within its time.
        if (!TakeProxyHeaderWait()) {
            printf("[%08lx] too many balancer connections waiting for their PROXY header (%d)\n", SessionId(pSession),
                   MAX_PROXY_HEADER_WAITS);
            CloseAccepted(sockAccepted);
            delete pSession;
            return true;
        }
        pSession->bAwaitsProxyHeader = 1;
    } else if (!AdmitSession(pSession)) {
        CloseAccepted(sockAccepted);
        delete pSession;
        return true;
    }
    printf("[%08lx] SOCKET[%08x] Create thread.\n", SessionId(pSession), sockAccepted);
    try {
        std::thread(ClientThread, pSession).detach();
    } catch (...) {
        // No thread for this client: drop the connection, keep accepting others.
        RemoveTMQueue(pSession);
        if (pSession->bAwaitsProxyHeader) EndProxyHeaderWait();
        CloseAccepted(sockAccepted);
        delete pSession;
    }
    return true;
}

}  // namespace

void FormatGreeting(Session* pSession) {
    char szCapabilities[CAPABILITY_TEXT_SIZE];
    static_cast<void>(FormatCapabilities(pSession, szCapabilities, sizeof(szCapabilities)));
    static_cast<void>(
        FormatText(pSession->szResponse, sizeof(pSession->szResponse), GREETING_FORMAT, szCapabilities, ""));
}

bool AdmitSession(Session* pSession) {
    // AcceptLimit keeps its old tie to Timeout; the per-address limit stands alone.
    uint32_t ulLimit = Settings.Timeout != 0 ? static_cast<uint32_t>(Settings.AcceptLimit) : 0;
    Admission admission = AdmitTMQueue(pSession, ulLimit, static_cast<uint32_t>(Settings.AddressLimit));
    if (admission == ADMITTED) {
        // Greeted at once, a client answers while its thread is still being started, and so is
        // seen to be no trickler by the next admission that must make room.
        if (!pSession->bImplicitTls) {
            // The client's own address (a balancer's header may have just named it) decides
            // what it is offered.
            FormatGreeting(pSession);
            size_t nLength = strlen(pSession->szResponse);
            if (SocketSendNoWait(pSession->sockClient, pSession->szResponse, nLength) != static_cast<int>(nLength)) {
                RemoveTMQueue(pSession);
                return false;
            }
            pSession->bGreeted = 1;
        }
        return true;
    }
    if (admission == REFUSED_LIMIT) {
        printf("exceeds an accepting limit. count=(%ld)\n", static_cast<long>(Settings.AcceptLimit));
        static_cast<void>(
            FormatText(pSession->szResponse, sizeof(pSession->szResponse), "NO %s\r\n", "exceeds an accepting limit."));
    } else {
        printf("exceeds the limit of one address. count=(%ld)\n", static_cast<long>(Settings.AddressLimit));
        static_cast<void>(FormatText(pSession->szResponse, sizeof(pSession->szResponse), "* BYE %s\r\n",
                                     "Too many connections from your address"));
    }
    if (!pSession->bImplicitTls) {
        SocketSendNoWait(pSession->sockClient, pSession->szResponse, strlen(pSession->szResponse));
    }
    return false;
}

bool IsIpv4ListenEntry(const char* pszEntry) {
    return strchr(pszEntry, '.') != nullptr;
}

bool IsIpv6ListenEntry(const char* pszEntry) {
    return strchr(pszEntry, '.') == nullptr && strchr(pszEntry, ':') != nullptr;
}

int RunListener(TlsContext* pTlsContext, LoginFailures* pLoginFailures) {
    if (!ProbeSystem()) {
        printf("it failed.\n");
    }
    return AcceptLoop(pTlsContext, pLoginFailures);
}

int FindHostDomain() {
    SetHostDomain("");
    char szName[256];
    if (Settings.HostName[0] != '\0') {
        static_cast<void>(FormatText(szName, sizeof(szName), "%s", Settings.HostName));
    } else if (!GetMachineName(szName, sizeof(szName))) {
        return 0;
    }
    int nFamily = Settings.AddressFamily == 1 ? FAMILY_IPV6 : FAMILY_IPV4;
    char szOfficial[256];
    if (!OfficialNameOf(szName, nFamily, szOfficial, sizeof(szOfficial))) {
        if (!GetMachineName(szName, sizeof(szName)) || !OfficialNameOf(szName, nFamily, szOfficial, sizeof(szOfficial))) {
            return 0;
        }
    }
    SetHostDomain(szOfficial);
    return 1;
}

bool OpenListeners(bool bTlsPort, char* pszError, size_t nErrorSize, char* pszOpened, size_t nOpenedSize) {
    ListenSet& listenSet = g_listenSet;
    int nSockets = SetUpListenSockets(&listenSet, bTlsPort);
    if (nSockets <= 0) {
        if (nSockets == 0) {
            // Nothing to listen on (no ListenIP entry of the configured kind): waiting in select
            // on an empty set would spin, so end as a failed set-up does.
            printf("no listening address.\n");
            static_cast<void>(FormatText(listenSet.szError, sizeof(listenSet.szError),
                                         "no listening address (ListenIP in %s has no entry for AddressFamily %d)",
                                         RegistryFilePath(), Settings.AddressFamily));
        }
        // What was opened before the failure is given back: a retry must find the ports free.
        for (int i = 0; i < listenSet.nSlot; i++) {
            CloseSocket(listenSet.sockets[i]);
        }
        listenSet.nSlot = 0;
        static_cast<void>(FormatText(pszError, nErrorSize, "%s", listenSet.szError));
        return false;
    }
    static_cast<void>(FormatText(pszOpened, nOpenedSize, "%s", listenSet.szOpened));
    g_bListenersOpen = true;
    return true;
}

int AcceptLoop(TlsContext* pTlsContext, LoginFailures* pLoginFailures) {
    if (!g_bListenersOpen) {
        char szError[512];
        char szOpened[512];
        if (!OpenListeners(pTlsContext != nullptr && Settings.TlsPortNo != 0, szError, sizeof(szError), szOpened,
                           sizeof(szOpened))) {
            return 0;
        }
    }
    // The sockets are this loop's from here on; a later start opens its own.
    g_bListenersOpen = false;
    ListenSet& listenSet = g_listenSet;
    int nSockets = listenSet.nSlot;
    FindHostDomain();
    char szHostDomain[256];
    CopyHostDomain(szHostDomain, sizeof(szHostDomain));
    printf("host.domain=[%s]\n", szHostDomain);

    // A stop that came while the sockets were being opened found nothing to wake.
    if (bStop.load()) {
        printf("Service terminating.\n");
        return 0;
    }
    StartDeadlineWatch();
    unsigned int nBackoffMs = MIN_ACCEPT_BACKOFF_MS;
    for (;;) {
        printf("wait select()\n");
        int nReady = WaitReadable(listenSet.sockets.data(), nSockets, STOP_POLL_MS);
        while (nReady == WAIT_READABLE_TIMEOUT) {
            if (bStop.load()) {
                printf("Service terminating.\n");
                return 0;
            }
            nReady = WaitReadable(listenSet.sockets.data(), nSockets, STOP_POLL_MS);
        }
        if (nReady == SOCKET_ERROR) {
            printf("select() failed with error %d.\n", LastSocketError());
            continue;
        }
        SOCKET sockListen = listenSet.sockets[nReady];

        bool bIpv6Conn = Settings.AddressFamily != 0;
        printf("wait accept()\n");
        SocketAddress peer{};
        SOCKET sockAccepted = AcceptSocket(sockListen, &peer);
        if (sockAccepted != INVALID_SOCKET && bIpv6Conn && peer.nFamily == FAMILY_IPV4) {
            bIpv6Conn = false;
        }
        printf("start accept()\n");
        if (sockAccepted == INVALID_SOCKET) {
            int nError = LastSocketError();
            PrintAcceptError(nError);
            if (bStop.load()) {
                printf("Service terminating.\n");
                return 0;
            }
            // Out of descriptors or memory: the connection waits in the backlog until a session
            // ends. Retrying at once would only spin and flood the console.
            if (nError == WSAEMFILE || nError == WSAENOBUFS) {
                SleepMilliseconds(nBackoffMs);
                nBackoffMs = nBackoffMs * 2 > MAX_ACCEPT_BACKOFF_MS ? MAX_ACCEPT_BACKOFF_MS : nBackoffMs * 2;
            }
            continue;
        }
        nBackoffMs = MIN_ACCEPT_BACKOFF_MS;
        printf("Accept Client sokect.(%08x)(%08x)\n", sockAccepted, sockListen);

        if (bStop.load()) {
            printf("Service terminating.(%08x)(%08x)\n", sockAccepted, sockListen);
            CloseAccepted(sockAccepted);
            CloseAccepted(sockListen);
            return 0;
        }

        if (!StartSession(sockAccepted, sockListen, peer, bIpv6Conn, listenSet.abImplicitTls[nReady], pTlsContext,
                          pLoginFailures)) {
            return 0;
        }
    }
}

int ResolveConnectTarget(SocketAddress* pAddress, const char* pszHost, int nPortNo) {
    if (pszHost[0] == '\0') {
        printf("not found '%s'.(Code %d)\n", pszHost, LastSocketError());
        return 0;
    }
    if (IsDottedDecimal(pszHost)) {
        if (!GetConnectAddress(FAMILY_IPV4, pszHost, nullptr, pAddress)) {
            return 0;
        }
    } else if (!ResolveIpv4(pszHost, pAddress)) {
        printf("not found '%s'.(Code %d)\n", pszHost, LastSocketError());
        return 0;
    }
    SetAddressPort(pAddress, nPortNo);
    return 1;
}

namespace {

// What a stop reads for itself: the listen entries and the port, as the registry has them now.
// Settings stays untouched, for the threads still reading it.
struct StopTarget {
    char szListenIP[sizeof(SettingsRecord::ListenIP)];
    int nPortNo;
};

// Wakes the accept loop over IPv4. Returns false when no wake-up connection was made.
bool WakeIpv4(StopTarget* pTarget) {
    SOCKET sock = CreateStreamSocket(FAMILY_IPV4);
    if (sock == INVALID_SOCKET) {
        printf("socket() failed Error.\n");
        return false;
    }
    char szTarget[256];
    CopyHostDomain(szTarget, sizeof(szTarget));
    if (Settings.ListenMode != 0) {
        const char* pEntry = NextListenEntry(pTarget->szListenIP, nullptr, false);
        if (pEntry != nullptr) {
            int nPort = pTarget->nPortNo;
            SplitListenEntry(pEntry, pTarget->nPortNo, szTarget, sizeof(szTarget), &nPort);
            // Later wake-ups (IPv6, loopback) aim at this port too.
            pTarget->nPortNo = nPort;
        } else {
            szTarget[0] = '\0';
        }
    }
    SocketAddress target{};
    if (!ResolveConnectTarget(&target, szTarget, pTarget->nPortNo)) {
        CloseSocket(sock);
        return false;
    }
    SetSendTimeout(sock, WAKE_CONNECT_TIMEOUT_MS);
    if (ConnectSocket(sock, target) == SOCKET_ERROR) {
        CloseSocket(sock);
        printf("sock connect failed Error.\n");
        return false;
    }
    return true;
}


// Opens the wake-up connection. The connected socket is left open: the accept loop closes
// its end when it sees the stop flag.
bool ConnectWakeUp(int nFamily, const SocketAddress& target, bool bReport) {
    SOCKET sock = CreateStreamSocket(nFamily);
    if (sock == INVALID_SOCKET) {
        return false;
    }
    SetSendTimeout(sock, WAKE_CONNECT_TIMEOUT_MS);
    if (ConnectSocket(sock, target) == SOCKET_ERROR) {
        CloseSocket(sock);
        if (bReport) {
            printf("sock connect failed Error.\n");
        }
        return false;
    }
    return true;
}

bool WakeIpv6(const StopTarget& stopTarget) {
    char szPort[16];
    static_cast<void>(FormatText(szPort, sizeof(szPort), "%d", stopTarget.nPortNo));
    char szNode[256] = "";
    const char* pszService = szPort;
    char szService[32];
    if (Settings.ListenMode != 0) {
        const char* pEntry = NextListenEntry(stopTarget.szListenIP, nullptr, true);
        if (pEntry != nullptr) {
            static_cast<void>(FormatText(szNode, sizeof(szNode), "%s", pEntry));
            char* pBlank = strchr(szNode, ' ');
            if (pBlank != nullptr) {
                *pBlank = '\0';
                static_cast<void>(FormatText(szService, sizeof(szService), "%s", pBlank + 1));
                pszService = szService;
            }
        }
    }
    SocketAddress target{};
    if (!GetConnectAddress(FAMILY_IPV6, szNode[0] != '\0' ? szNode : nullptr, pszService, &target)) {
        printf("getaddrinfo failed with error\n");
        return false;
    }
    return ConnectWakeUp(FAMILY_IPV6, target, true);
}

// Last resort when the configured target cannot be reached: a stop must never leave the
// accept loop blocked for good.
bool WakeLoopback(const StopTarget& stopTarget) {
    char szPort[16];
    static_cast<void>(FormatText(szPort, sizeof(szPort), "%d", stopTarget.nPortNo));
    SocketAddress target{};
    int nFamily = Settings.AddressFamily == 1 ? FAMILY_IPV6 : FAMILY_IPV4;
    return GetConnectAddress(nFamily, nullptr, szPort, &target) && ConnectWakeUp(nFamily, target, false);
}

}  // namespace

void RequestStop() {
    StopTarget stopTarget{};
    RegReadStringList(KEY_SERVICE, "ListenIP", "", stopTarget.szListenIP, sizeof(stopTarget.szListenIP));
    bStop.store(1);
    stopTarget.nPortNo = ReadPortNo();

    bool bWoken = false;
    if (Settings.AddressFamily == 0 || Settings.AddressFamily == 2) {
        bWoken = WakeIpv4(&stopTarget);
        if (!bWoken && Settings.AddressFamily == 0) {
            if (!WakeLoopback(stopTarget)) {
                return;
            }
            bWoken = true;
        }
    }
    if (Settings.AddressFamily == 1 || Settings.AddressFamily == 2) {
        if (!WakeIpv6(stopTarget)) {
            if (bWoken || !WakeLoopback(stopTarget)) {
                return;
            }
        }
    }
    printf("sock connected.\n");
}
