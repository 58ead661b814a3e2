// Winsock stand-in over POSIX sockets. Errors are reported as Winsock codes so that the
// design's error table applies unchanged.
#pragma once

#include <cstddef>

#include "platform/types.h"

enum AddressFamilyKind {
    FAMILY_IPV4 = 4,
    FAMILY_IPV6 = 6,
};

// Winsock error codes the server reports.
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENOBUFS = 10055;
constexpr int WSANOTINITIALISED = 10093;

// A resolved address ready for socket/bind/connect, as getaddrinfo's first result.
struct SocketAddress {
    int nFamily;  // FAMILY_IPV4 or FAMILY_IPV6
    int nLength;
    alignas(8) unsigned char bytes[28];
};

// Winsock code of the last socket call made on this thread; 0 when it succeeded or when a
// receive ended because the peer closed.
int LastSocketError();
// The system's text for the reason of the last failed socket call on this thread.
void LastSocketErrorText(char* pszText, size_t nSize);

// getaddrinfo with AI_PASSIVE|AI_NUMERICHOST and no node: the wildcard address of the port.
bool GetPassiveAddress(int nFamily, const char* pszService, SocketAddress* pAddress);
// getaddrinfo with a node (NULL: loopback) and a service, flags 0.
bool GetConnectAddress(int nFamily, const char* pszNode, const char* pszService, SocketAddress* pAddress);
void SetAddressPort(SocketAddress* pAddress, int nPort);
// Dotted-decimal (IPv4) or inet_pton (IPv6) text into the address; false if it does not convert.
bool SetAddressText(SocketAddress* pAddress, const char* pszText);
bool IsDottedDecimal(const char* pszText);
bool IsIpv6Text(const char* pszText);

// An IP address as its bytes (4 for IPv4, 16 for IPv6), without port or socket layout.
struct IpAddress {
    int nFamily;  // FAMILY_IPV4 or FAMILY_IPV6
    unsigned char bytes[16];
};
// Numeric text (dotted decimal, or IPv6 as inet_pton reads it) into bytes; false if it is not one.
bool IpFromText(const char* pszText, IpAddress* pAddress);
// The address's canonical text (inet_ntop); false when it does not fit.
bool IpToText(const IpAddress& address, char* pszText, size_t nSize);
// gethostbyname stand-in: first IPv4 address of a name.
bool ResolveIpv4(const char* pszName, SocketAddress* pAddress);

SOCKET CreateStreamSocket(int nFamily);
// Listening sockets reuse the address at once after a restart and keep IPv6 to IPv6, so that
// an IPv4 and an IPv6 socket can share a port.
SOCKET CreateListenSocket(int nFamily);
int BindSocket(SOCKET sock, const SocketAddress& address);
int ListenSocket(SOCKET sock);
int ConnectSocket(SOCKET sock, const SocketAddress& address);
// select over the sockets; index of the first readable one, SOCKET_ERROR on failure,
// WAIT_READABLE_TIMEOUT when nTimeoutMs (negative: no limit) passed first.
constexpr int WAIT_READABLE_TIMEOUT = -2;
int WaitReadable(const SOCKET* pSockets, int nCount, int nTimeoutMs = -1);
// Accepts; fills the peer address (the family tells IPv4 from IPv6).
SOCKET AcceptSocket(SOCKET sockListen, SocketAddress* pPeer);
bool GetLocalAddress(SOCKET sock, SocketAddress* pAddress);
// inet_ntop of the address part; false when it does not convert.
bool AddressToText(const SocketAddress& address, char* pszText, size_t nSize);
// getipnodebyaddr stand-in: the official name of an address, empty when none.
bool NameOfAddress(const SocketAddress& address, char* pszName, size_t nSize);
// getipnodebyname stand-in: the official (canonical) name of a host name.
bool OfficialNameOf(const char* pszName, int nFamily, char* pszOfficial, size_t nSize);
bool GetMachineName(char* pszName, size_t nSize);

int SetSendTimeout(SOCKET sock, unsigned int nMilliseconds);
// SO_SNDBUF/SO_RCVBUF 0 mean "use the application's buffer" on Windows; on Linux they would
// shrink the kernel's buffers, so the kernel's defaults are kept and success is reported.
int SetZeroSocketBuffer(SOCKET sock, bool bSend);
// Responses are flushed in several small sends per command; without this each would wait
// for a delayed acknowledgement.
void SetNoDelay(SOCKET sock);
// Sends at once the acknowledgement of what was read, which the kernel would otherwise delay.
// A client that writes a literal and its closing CRLF apart waits, under Nagle's rule, for that
// acknowledgement before it sends the CRLF: delayed, it costs every such APPEND 40 ms.
void AckPromptly(SOCKET sock);
// Waits until the socket has something to read (or the peer closed): 1, 0 when nMilliseconds
// passed first, SOCKET_ERROR on failure.
int WaitSocketReadable(SOCKET sock, unsigned int nMilliseconds);
// Bytes received and not yet read (0 when it cannot be told).
size_t PendingBytes(SOCKET sock);
// Whether the peer has closed its end (or the connection broke), without reading anything.
bool PeerHasClosed(SOCKET sock);
// Ends the receiving side only: a thread blocked reading the socket wakes up with end of
// stream, while the socket can still send its last words.
void ShutdownReceive(SOCKET sock);
int SocketRecv(SOCKET sock, char* pBuffer, size_t nLength);
// Copies what has arrived (at most nLength bytes) without taking it from the socket: 0 when
// the peer closed, SOCKET_ERROR on failure. Never blocks.
int SocketPeek(SOCKET sock, char* pBuffer, size_t nLength);
int SocketSend(SOCKET sock, const char* pBuffer, size_t nLength);
// A send whose bytes may wait (up to a fraction of a second) for the next one, so that a short
// announcement and the data right behind it leave in the same segments.
int SocketSendAhead(SOCKET sock, const char* pBuffer, size_t nLength);
// One send that never blocks: what the socket's buffer does not take is dropped (bytes sent, or
// SOCKET_ERROR).
int SocketSendNoWait(SOCKET sock, const char* pBuffer, size_t nLength);
void ShutdownSocket(SOCKET sock);
void CloseSocket(SOCKET sock);
