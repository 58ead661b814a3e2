#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/format.h"

namespace {

thread_local int tlsLastError = 0;

int WinsockCode(int nErrno) {
    switch (nErrno) {
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return 10037;
    case ENOTSOCK:
    case EBADF: return WSAENOTSOCK;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET:
    case EPIPE: return 10054;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return nErrno;
    }
}

// The system's own code of the last failure, for texts an administrator reads.
thread_local int tlsLastErrno = 0;

int Fail() {
    tlsLastErrno = errno;
    tlsLastError = WinsockCode(errno);
    return SOCKET_ERROR;
}

int Succeed(int nResult) {
    tlsLastError = 0;
    return nResult;
}

int SystemFamily(int nFamily) {
    return nFamily == FAMILY_IPV6 ? AF_INET6 : AF_INET;
}

void FromSockaddr(const sockaddr* pAddr, socklen_t nLength, SocketAddress* pAddress) {
    std::memset(pAddress, 0, sizeof(*pAddress));
    pAddress->nFamily = pAddr->sa_family == AF_INET6 ? FAMILY_IPV6 : FAMILY_IPV4;
    size_t nCopy = nLength < sizeof(pAddress->bytes) ? nLength : sizeof(pAddress->bytes);
    std::memcpy(pAddress->bytes, pAddr, nCopy);
    pAddress->nLength = static_cast<int>(nCopy);
}

const sockaddr* AsSockaddr(const SocketAddress& address) {
    return reinterpret_cast<const sockaddr*>(address.bytes);
}

bool Lookup(int nFamily, const char* pszNode, const char* pszService, int nFlags, SocketAddress* pAddress) {
    addrinfo hints{};
    hints.ai_family = SystemFamily(nFamily);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = nFlags;
    addrinfo* pResult = nullptr;
    if (getaddrinfo(pszNode, pszService, &hints, &pResult) != 0 || pResult == nullptr) {
        return false;
    }
    FromSockaddr(pResult->ai_addr, pResult->ai_addrlen, pAddress);
    freeaddrinfo(pResult);
    return true;
}

}  // namespace

int LastSocketError() {
    return tlsLastError;
}

void LastSocketErrorText(char* pszText, size_t nSize) {
    char szWork[128];
    const char* pszReason = tlsLastErrno != 0 ? strerror_r(tlsLastErrno, szWork, sizeof(szWork)) : "failed";
    static_cast<void>(FormatText(pszText, nSize, "%s", pszReason));
}

bool GetPassiveAddress(int nFamily, const char* pszService, SocketAddress* pAddress) {
    return Lookup(nFamily, nullptr, pszService, AI_PASSIVE | AI_NUMERICHOST, pAddress);
}

bool GetConnectAddress(int nFamily, const char* pszNode, const char* pszService, SocketAddress* pAddress) {
    return Lookup(nFamily, pszNode, pszService, 0, pAddress);
}

void SetAddressPort(SocketAddress* pAddress, int nPort) {
    if (pAddress->nFamily == FAMILY_IPV6) {
        reinterpret_cast<sockaddr_in6*>(pAddress->bytes)->sin6_port = htons(static_cast<uint16_t>(nPort));
    } else {
        reinterpret_cast<sockaddr_in*>(pAddress->bytes)->sin_port = htons(static_cast<uint16_t>(nPort));
    }
}

bool SetAddressText(SocketAddress* pAddress, const char* pszText) {
    if (pAddress->nFamily == FAMILY_IPV6) {
        in6_addr addr{};
        if (inet_pton(AF_INET6, pszText, &addr) != 1) {
            return false;
        }
        reinterpret_cast<sockaddr_in6*>(pAddress->bytes)->sin6_addr = addr;
        return true;
    }
    // inet_addr semantics: a text that does not convert gives INADDR_NONE.
    in_addr_t addr = inet_addr(pszText);
    reinterpret_cast<sockaddr_in*>(pAddress->bytes)->sin_addr.s_addr = addr;
    return addr != INADDR_NONE;
}

bool IsDottedDecimal(const char* pszText) {
    in_addr addr{};
    return inet_pton(AF_INET, pszText, &addr) == 1;
}

bool IsIpv6Text(const char* pszText) {
    in6_addr addr{};
    return inet_pton(AF_INET6, pszText, &addr) == 1;
}

bool IpFromText(const char* pszText, IpAddress* pAddress) {
    *pAddress = IpAddress{};
    if (inet_pton(AF_INET, pszText, pAddress->bytes) == 1) {
        pAddress->nFamily = FAMILY_IPV4;
        return true;
    }
    if (inet_pton(AF_INET6, pszText, pAddress->bytes) == 1) {
        pAddress->nFamily = FAMILY_IPV6;
        return true;
    }
    return false;
}

bool IpToText(const IpAddress& address, char* pszText, size_t nSize) {
    if ((address.nFamily != FAMILY_IPV4 && address.nFamily != FAMILY_IPV6) ||
        inet_ntop(SystemFamily(address.nFamily), address.bytes, pszText, static_cast<socklen_t>(nSize)) == nullptr) {
        if (nSize > 0) pszText[0] = '\0';
        return false;
    }
    return true;
}

bool ResolveIpv4(const char* pszName, SocketAddress* pAddress) {
    return Lookup(FAMILY_IPV4, pszName, nullptr, 0, pAddress);
}

SOCKET CreateStreamSocket(int nFamily) {
    int sock = socket(SystemFamily(nFamily), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return sock < 0 ? Fail() : Succeed(sock);
}

SOCKET CreateListenSocket(int nFamily) {
    SOCKET sock = CreateStreamSocket(nFamily);
    if (sock == INVALID_SOCKET) {
        return sock;
    }
    int nOn = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    if (nFamily == FAMILY_IPV6) {
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &nOn, sizeof(nOn));
    }
    return sock;
}

int BindSocket(SOCKET sock, const SocketAddress& address) {
    int nResult = bind(sock, AsSockaddr(address), static_cast<socklen_t>(address.nLength));
    return nResult < 0 ? Fail() : Succeed(0);
}

int ListenSocket(SOCKET sock) {
    return listen(sock, SOMAXCONN) < 0 ? Fail() : Succeed(0);
}

int ConnectSocket(SOCKET sock, const SocketAddress& address) {
    int nResult;
    do {
        nResult = connect(sock, AsSockaddr(address), static_cast<socklen_t>(address.nLength));
    } while (nResult < 0 && errno == EINTR);
    return nResult < 0 ? Fail() : Succeed(0);
}

int WaitReadable(const SOCKET* pSockets, int nCount, int nTimeoutMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    int nMax = -1;
    for (int i = 0; i < nCount; i++) {
        if (pSockets[i] >= 0 && pSockets[i] < FD_SETSIZE) {
            FD_SET(pSockets[i], &readSet);
            if (pSockets[i] > nMax) {
                nMax = pSockets[i];
            }
        }
    }
    timeval tv{};
    tv.tv_sec = nTimeoutMs / 1000;
    tv.tv_usec = static_cast<suseconds_t>((nTimeoutMs % 1000) * 1000);
    int nReady = select(nMax + 1, &readSet, nullptr, nullptr, nTimeoutMs < 0 ? nullptr : &tv);
    if (nReady < 0) {
        return Fail();
    }
    if (nReady == 0) {
        tlsLastError = 0;
        return WAIT_READABLE_TIMEOUT;
    }
    for (int i = 0; i < nCount; i++) {
        if (pSockets[i] >= 0 && pSockets[i] < FD_SETSIZE && FD_ISSET(pSockets[i], &readSet)) {
            return Succeed(i);
        }
    }
    tlsLastError = WSAEINVAL;
    return SOCKET_ERROR;
}

SOCKET AcceptSocket(SOCKET sockListen, SocketAddress* pPeer) {
    sockaddr_storage peer{};
    socklen_t nLength = sizeof(peer);
    int sock;
    do {
        sock = accept4(sockListen, reinterpret_cast<sockaddr*>(&peer), &nLength, SOCK_CLOEXEC);
    } while (sock < 0 && errno == EINTR);
    if (sock < 0) {
        return Fail();
    }
    FromSockaddr(reinterpret_cast<sockaddr*>(&peer), nLength, pPeer);
    return Succeed(sock);
}

bool GetLocalAddress(SOCKET sock, SocketAddress* pAddress) {
    sockaddr_storage local{};
    socklen_t nLength = sizeof(local);
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &nLength) < 0) {
        Fail();
        return false;
    }
    FromSockaddr(reinterpret_cast<sockaddr*>(&local), nLength, pAddress);
    return true;
}

bool AddressToText(const SocketAddress& address, char* pszText, size_t nSize) {
    const void* pAddr;
    if (address.nFamily == FAMILY_IPV6) {
        pAddr = &reinterpret_cast<const sockaddr_in6*>(address.bytes)->sin6_addr;
    } else {
        pAddr = &reinterpret_cast<const sockaddr_in*>(address.bytes)->sin_addr;
    }
    if (inet_ntop(SystemFamily(address.nFamily), pAddr, pszText, static_cast<socklen_t>(nSize)) == nullptr) {
        if (nSize > 0) {
            pszText[0] = '\0';
        }
        return false;
    }
    return true;
}

bool NameOfAddress(const SocketAddress& address, char* pszName, size_t nSize) {
    char szHost[NI_MAXHOST];
    if (getnameinfo(AsSockaddr(address), static_cast<socklen_t>(address.nLength), szHost, sizeof(szHost), nullptr,
                    0, NI_NAMEREQD) != 0) {
        return false;
    }
    // A cut name would be some other host's.
    return FormatText(pszName, nSize, "%s", szHost);
}

bool OfficialNameOf(const char* pszName, int nFamily, char* pszOfficial, size_t nSize) {
    addrinfo hints{};
    hints.ai_family = SystemFamily(nFamily);
    hints.ai_socktype = SOCK_STREAM;
    // getipnodebyname with AI_V4MAPPED: an IPv6 query may be answered by an IPv4 name.
    hints.ai_flags = AI_CANONNAME | (nFamily == FAMILY_IPV6 ? AI_V4MAPPED : 0);
    addrinfo* pResult = nullptr;
    if (getaddrinfo(pszName, nullptr, &hints, &pResult) != 0 || pResult == nullptr) {
        return false;
    }
    const char* pszCanon = pResult->ai_canonname != nullptr ? pResult->ai_canonname : pszName;
    bool bFits = FormatText(pszOfficial, nSize, "%s", pszCanon);
    freeaddrinfo(pResult);
    return bFits;
}

bool GetMachineName(char* pszName, size_t nSize) {
    if (gethostname(pszName, nSize) != 0) {
        return false;
    }
    pszName[nSize - 1] = '\0';
    return pszName[0] != '\0';
}

int SetSendTimeout(SOCKET sock, unsigned int nMilliseconds) {
    timeval tv{};
    tv.tv_sec = nMilliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>((nMilliseconds % 1000) * 1000);
    return setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) < 0 ? Fail() : Succeed(0);
}

int SetZeroSocketBuffer(SOCKET sock, bool bSend) {
    // Ask for the current size: that tells whether the socket is usable, as setting it would.
    int nSize = 0;
    socklen_t nLength = sizeof(nSize);
    int nResult = getsockopt(sock, SOL_SOCKET, bSend ? SO_SNDBUF : SO_RCVBUF, &nSize, &nLength);
    return nResult < 0 ? Fail() : Succeed(0);
}

void SetNoDelay(SOCKET sock) {
    int nOn = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
}

void AckPromptly(SOCKET sock) {
    int nOn = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &nOn, sizeof(nOn));
}

int WaitSocketReadable(SOCKET sock, unsigned int nMilliseconds) {
    pollfd wait{};
    wait.fd = sock;
    wait.events = POLLIN;
    int nReady;
    do {
        nReady = poll(&wait, 1, nMilliseconds > 0x7fffffffu ? -1 : static_cast<int>(nMilliseconds));
    } while (nReady < 0 && errno == EINTR);
    if (nReady < 0) {
        return Fail();
    }
    return Succeed(nReady > 0 ? 1 : 0);
}

size_t PendingBytes(SOCKET sock) {
    int nPending = 0;
    return ioctl(sock, FIONREAD, &nPending) == 0 && nPending > 0 ? static_cast<size_t>(nPending) : 0;
}

bool PeerHasClosed(SOCKET sock) {
    pollfd check{};
    check.fd = sock;
    check.events = POLLRDHUP;
    return poll(&check, 1, 0) > 0 && (check.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void ShutdownReceive(SOCKET sock) {
    shutdown(sock, SHUT_RD);
}

int SocketRecv(SOCKET sock, char* pBuffer, size_t nLength) {
    ssize_t nResult;
    do {
        nResult = recv(sock, pBuffer, nLength, 0);
    } while (nResult < 0 && errno == EINTR);
    return nResult < 0 ? Fail() : Succeed(static_cast<int>(nResult));
}

int SocketPeek(SOCKET sock, char* pBuffer, size_t nLength) {
    ssize_t nResult;
    do {
        nResult = recv(sock, pBuffer, nLength, MSG_PEEK | MSG_DONTWAIT);
    } while (nResult < 0 && errno == EINTR);
    return nResult < 0 ? Fail() : Succeed(static_cast<int>(nResult));
}

int SocketSendNoWait(SOCKET sock, const char* pBuffer, size_t nLength) {
    ssize_t nResult = send(sock, pBuffer, nLength, MSG_NOSIGNAL | MSG_DONTWAIT);
    return nResult < 0 ? Fail() : Succeed(static_cast<int>(nResult));
}

namespace {

int SendWhole(SOCKET sock, const char* pBuffer, size_t nLength, int nFlags) {
    // A send on Windows either takes the whole buffer or fails; keep that by finishing a
    // partial write here. MSG_NOSIGNAL: a vanished peer is an error, not a signal.
    size_t nSent = 0;
    while (nSent < nLength) {
        ssize_t nResult = send(sock, pBuffer + nSent, nLength - nSent, MSG_NOSIGNAL | nFlags);
        if (nResult < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail();
        }
        nSent += static_cast<size_t>(nResult);
    }
    return Succeed(static_cast<int>(nSent));
}

}  // namespace

int SocketSend(SOCKET sock, const char* pBuffer, size_t nLength) { return SendWhole(sock, pBuffer, nLength, 0); }

// MSG_MORE holds the bytes back even with TCP_NODELAY on, until a send without it pushes them
// out together; the kernel's own timer ends the wait if none comes.
int SocketSendAhead(SOCKET sock, const char* pBuffer, size_t nLength) {
    return SendWhole(sock, pBuffer, nLength, MSG_MORE);
}

void ShutdownSocket(SOCKET sock) {
    shutdown(sock, SHUT_RDWR);
}

void CloseSocket(SOCKET sock) {
    if (sock >= 0) {
        close(sock);
    }
}
