// The PROXY protocol header a load balancer puts in front of a client's first byte (HAProxy's
// version 1 text line and version 2 binary block): who the client is, as the balancer saw it.
// Bytes in, result out; no socket, so that every malformed form can be tried in a test.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest version 1 line, CR LF included, and a version 2 header with the largest block.
constexpr size_t PROXY_V1_MAX_LENGTH = 107;
constexpr size_t PROXY_V2_FIXED_LENGTH = 16;
constexpr size_t PROXY_HEADER_MAX_LENGTH = PROXY_V2_FIXED_LENGTH + 65535;

enum ProxyParse {
    // Every byte so far belongs to a header that has not ended: the reader may take them all.
    PROXY_INCOMPLETE,
    // A whole header of nLength bytes; what follows it is the client's.
    PROXY_COMPLETE,
    // Not a header, or a broken one (pszError says how): the connection cannot be trusted.
    PROXY_INVALID,
};

struct ProxyHeader {
    int nVersion;  // 1 or 2; 0 when the bytes do not begin as either does (no header at all)
    // The balancer's own connection (a v2 LOCAL command, as its health checks send, or a header
    // of an unknown protocol): the connection's own addresses stand.
    bool bLocal;
    // The client's end and the end it reached, as the balancer saw them; an IPv4 client
    // announced as an IPv4-mapped IPv6 address is an IPv4 client. Empty when bLocal.
    int nFamily;  // FAMILY_IPV4 or FAMILY_IPV6; 0 when bLocal
    char szSource[46];
    char szDestination[46];
    uint16_t usSourcePort;
    uint16_t usDestinationPort;
    size_t nLength;
    const char* pszError;  // a fixed text, never the client's bytes
};

ProxyParse ParseProxyHeader(const unsigned char* pBytes, size_t nSize, ProxyHeader* pHeader);

// Whether the bytes begin with a whole version 1 prefix ("PROXY ") or version 2 signature:
// enough to tell a header sent where none is believed from a client's own first bytes.
bool LooksLikeProxyHeader(const unsigned char* pBytes, size_t nSize);

// The first bytes of what was received, for a log line: printable ASCII as it is, every other
// byte (and "\", "<", ">") as \xNN, cut to fit pszOut at a whole byte.
void EscapeHeaderBytes(const unsigned char* pBytes, size_t nSize, char* pszOut, size_t nOutSize);
