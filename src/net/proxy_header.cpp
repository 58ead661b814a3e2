#include "net/proxy_header.h"

#include <cstring>

#include "platform/format.h"
#include "platform/socket.h"

namespace {

const unsigned char V2_SIGNATURE[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
const char V1_PREFIX[] = "PROXY ";
constexpr size_t V1_PREFIX_LENGTH = sizeof(V1_PREFIX) - 1;

// Version 2 commands, and the family and transport byte of the two kinds the server takes.
constexpr unsigned char V2_LOCAL = 0x0;
constexpr unsigned char V2_PROXY = 0x1;
constexpr unsigned char V2_UNSPEC = 0x00;
constexpr unsigned char V2_TCP_IPV4 = 0x11;
constexpr unsigned char V2_TCP_IPV6 = 0x21;
constexpr size_t V2_IPV4_BLOCK = 12;
constexpr size_t V2_IPV6_BLOCK = 36;

ProxyParse Invalid(ProxyHeader* pHeader, const char* pszError) {
    pHeader->pszError = pszError;
    return PROXY_INVALID;
}

// An IPv4 client behind a balancer that listens on IPv6 comes as ::ffff:a.b.c.d; it is counted
// and logged as the IPv4 client it is.
void UnmapIpv4(IpAddress* pAddress) {
    static const unsigned char MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (pAddress->nFamily == FAMILY_IPV6 && memcmp(pAddress->bytes, MAPPED, sizeof(MAPPED)) == 0) {
        memmove(pAddress->bytes, pAddress->bytes + 12, 4);
        memset(pAddress->bytes + 4, 0, 12);
        pAddress->nFamily = FAMILY_IPV4;
    }
}

bool AddressText(IpAddress address, char* pszText, size_t nSize, int* pnFamily) {
    UnmapIpv4(&address);
    *pnFamily = address.nFamily;
    return IpToText(address, pszText, nSize);
}

// A port as version 1 writes it: 1 to 5 digits, no leading zero, at most 65535.
bool ParseV1Port(const char* pszText, uint16_t* pusPort) {
    size_t nLength = strlen(pszText);
    if (nLength == 0 || nLength > 5 || (nLength > 1 && pszText[0] == '0')) return false;
    uint32_t ulPort = 0;
    for (size_t i = 0; i < nLength; i++) {
        if (pszText[i] < '0' || pszText[i] > '9') return false;
        ulPort = ulPort * 10 + static_cast<uint32_t>(pszText[i] - '0');
    }
    if (ulPort > 65535) return false;
    *pusPort = static_cast<uint16_t>(ulPort);
    return true;
}

// One address of a version 1 line, which must be of the family its protocol word named.
bool ParseV1Address(const char* pszText, int nFamily, char* pszOut, size_t nSize, int* pnFamily) {
    IpAddress address{};
    if (!IpFromText(pszText, &address) || address.nFamily != nFamily) return false;
    // inet_pton takes IPv6 with an embedded dotted quad; a TCP4 line must be dotted decimal.
    if (nFamily == FAMILY_IPV4 && strchr(pszText, ':') != nullptr) return false;
    return AddressText(address, pszOut, nSize, pnFamily);
}

// "PROXY TCP4 src dst sport dport\r\n", "PROXY TCP6 ..." or "PROXY UNKNOWN<anything>\r\n".
ProxyParse ParseV1(const unsigned char* pBytes, size_t nSize, ProxyHeader* pHeader) {
    size_t nScan = nSize < PROXY_V1_MAX_LENGTH ? nSize : PROXY_V1_MAX_LENGTH;
    const void* pLf = memchr(pBytes, '\n', nScan);
    if (pLf == nullptr) {
        if (nSize >= PROXY_V1_MAX_LENGTH) return Invalid(pHeader, "v1 line longer than 107 bytes");
        for (size_t i = 0; i < nSize; i++) {
            unsigned char c = pBytes[i];
            bool bPrintable = c >= 0x20 && c < 0x7f;
            if (!bPrintable && !(c == '\r' && i + 1 == nSize)) return Invalid(pHeader, "v1 line holds a control byte");
        }
        return PROXY_INCOMPLETE;
    }
    size_t nLf = static_cast<size_t>(static_cast<const unsigned char*>(pLf) - pBytes);
    if (nLf == 0 || pBytes[nLf - 1] != '\r') return Invalid(pHeader, "v1 line not ended by CR LF");
    size_t nLine = nLf - 1;
    char szLine[PROXY_V1_MAX_LENGTH + 1];
    for (size_t i = 0; i < nLine; i++) {
        if (pBytes[i] < 0x20 || pBytes[i] >= 0x7f) return Invalid(pHeader, "v1 line holds a control byte");
        szLine[i] = static_cast<char>(pBytes[i]);
    }
    szLine[nLine] = '\0';
    pHeader->nLength = nLf + 1;

    const char* pszRest = szLine + V1_PREFIX_LENGTH;
    if (strncmp(pszRest, "UNKNOWN", 7) == 0 && (pszRest[7] == '\0' || pszRest[7] == ' ')) {
        // What follows UNKNOWN is the sender's business: the connection's own addresses stand.
        pHeader->bLocal = true;
        return PROXY_COMPLETE;
    }
    int nFamily;
    if (strncmp(pszRest, "TCP4 ", 5) == 0) {
        nFamily = FAMILY_IPV4;
    } else if (strncmp(pszRest, "TCP6 ", 5) == 0) {
        nFamily = FAMILY_IPV6;
    } else {
        return Invalid(pHeader, "v1 protocol is not TCP4, TCP6 or UNKNOWN");
    }
    // Exactly four fields, one blank apart.
    char* apField[4];
    char* p = szLine + V1_PREFIX_LENGTH + 5;
    for (int i = 0; i < 4; i++) {
        apField[i] = p;
        char* pBlank = strchr(p, ' ');
        if (i < 3) {
            if (pBlank == nullptr) return Invalid(pHeader, "v1 line has fewer than four address fields");
            *pBlank = '\0';
            p = pBlank + 1;
        } else if (pBlank != nullptr) {
            return Invalid(pHeader, "v1 line has more than four address fields");
        }
    }
    int nSourceFamily = 0;
    int nDestinationFamily = 0;
    if (!ParseV1Address(apField[0], nFamily, pHeader->szSource, sizeof(pHeader->szSource), &nSourceFamily) ||
        !ParseV1Address(apField[1], nFamily, pHeader->szDestination, sizeof(pHeader->szDestination),
                        &nDestinationFamily)) {
        return Invalid(pHeader, "v1 address is not one of the protocol's family");
    }
    if (!ParseV1Port(apField[2], &pHeader->usSourcePort) || !ParseV1Port(apField[3], &pHeader->usDestinationPort)) {
        return Invalid(pHeader, "v1 port is not a number from 0 to 65535");
    }
    pHeader->nFamily = nSourceFamily;
    return PROXY_COMPLETE;
}

uint16_t Read16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool V2Address(const unsigned char* pBytes, int nFamily, char* pszOut, size_t nSize, int* pnFamily) {
    IpAddress address{};
    address.nFamily = nFamily;
    memcpy(address.bytes, pBytes, nFamily == FAMILY_IPV4 ? 4 : 16);
    return AddressText(address, pszOut, nSize, pnFamily);
}

// 12 bytes of signature, version and command, family and transport, the block's length (big
// endian), then the block: the addresses and ports, then type-length-value extensions.
ProxyParse ParseV2(const unsigned char* pBytes, size_t nSize, ProxyHeader* pHeader) {
    if (nSize <= 12) return PROXY_INCOMPLETE;
    unsigned char cVersionCommand = pBytes[12];
    if ((cVersionCommand >> 4) != 2) return Invalid(pHeader, "v2 version is not 2");
    unsigned char cCommand = cVersionCommand & 0x0f;
    if (cCommand != V2_LOCAL && cCommand != V2_PROXY) return Invalid(pHeader, "v2 command is neither LOCAL nor PROXY");
    if (nSize <= 13) return PROXY_INCOMPLETE;
    unsigned char cFamily = pBytes[13];
    // LOCAL is the balancer speaking for itself: whatever it says about family is ignored.
    if (cCommand == V2_PROXY && cFamily != V2_UNSPEC && cFamily != V2_TCP_IPV4 && cFamily != V2_TCP_IPV6) {
        return Invalid(pHeader, "v2 family or transport is not TCP over IPv4 or IPv6");
    }
    if (nSize < PROXY_V2_FIXED_LENGTH) return PROXY_INCOMPLETE;
    size_t nBlock = Read16(pBytes + 14);
    size_t nAddresses = 0;
    if (cCommand == V2_PROXY) {
        nAddresses = cFamily == V2_TCP_IPV4 ? V2_IPV4_BLOCK : cFamily == V2_TCP_IPV6 ? V2_IPV6_BLOCK : 0;
    }
    if (nBlock < nAddresses) return Invalid(pHeader, "v2 block too short for its addresses");
    size_t nTotal = PROXY_V2_FIXED_LENGTH + nBlock;
    if (nSize < nTotal) return PROXY_INCOMPLETE;
    pHeader->nLength = nTotal;
    if (cCommand == V2_LOCAL || cFamily == V2_UNSPEC) {
        pHeader->bLocal = true;
        return PROXY_COMPLETE;
    }
    const unsigned char* pBlock = pBytes + PROXY_V2_FIXED_LENGTH;
    // The extensions (ALPN, authority, TLS details, ...) are not used, but they must fill the
    // rest of the block exactly: anything else is a header cut or run together.
    for (size_t nAt = nAddresses; nAt < nBlock;) {
        if (nBlock - nAt < 3) return Invalid(pHeader, "v2 extension cut short");
        size_t nValue = Read16(pBlock + nAt + 1);
        if (nBlock - nAt - 3 < nValue) return Invalid(pHeader, "v2 extension runs past the block");
        nAt += 3 + nValue;
    }
    int nFamily = cFamily == V2_TCP_IPV4 ? FAMILY_IPV4 : FAMILY_IPV6;
    size_t nAddress = nFamily == FAMILY_IPV4 ? 4 : 16;
    int nSourceFamily = 0;
    int nDestinationFamily = 0;
    if (!V2Address(pBlock, nFamily, pHeader->szSource, sizeof(pHeader->szSource), &nSourceFamily) ||
        !V2Address(pBlock + nAddress, nFamily, pHeader->szDestination, sizeof(pHeader->szDestination),
                   &nDestinationFamily)) {
        return Invalid(pHeader, "v2 address cannot be written as text");
    }
    pHeader->usSourcePort = Read16(pBlock + 2 * nAddress);
    pHeader->usDestinationPort = Read16(pBlock + 2 * nAddress + 2);
    pHeader->nFamily = nSourceFamily;
    return PROXY_COMPLETE;
}

}  // namespace

ProxyParse ParseProxyHeader(const unsigned char* pBytes, size_t nSize, ProxyHeader* pHeader) {
    *pHeader = ProxyHeader{};
    if (nSize == 0) return PROXY_INCOMPLETE;
    // The first byte tells the version: "P" or CR. A partial signature is still a header's.
    if (pBytes[0] == 'P') {
        size_t nCompare = nSize < V1_PREFIX_LENGTH ? nSize : V1_PREFIX_LENGTH;
        if (memcmp(pBytes, V1_PREFIX, nCompare) != 0) return Invalid(pHeader, "not a PROXY header");
        pHeader->nVersion = 1;
        return nSize <= V1_PREFIX_LENGTH ? PROXY_INCOMPLETE : ParseV1(pBytes, nSize, pHeader);
    }
    if (pBytes[0] == V2_SIGNATURE[0]) {
        size_t nCompare = nSize < sizeof(V2_SIGNATURE) ? nSize : sizeof(V2_SIGNATURE);
        if (memcmp(pBytes, V2_SIGNATURE, nCompare) != 0) return Invalid(pHeader, "not a PROXY header");
        pHeader->nVersion = 2;
        return ParseV2(pBytes, nSize, pHeader);
    }
    return Invalid(pHeader, "not a PROXY header");
}

bool LooksLikeProxyHeader(const unsigned char* pBytes, size_t nSize) {
    return (nSize >= V1_PREFIX_LENGTH && memcmp(pBytes, V1_PREFIX, V1_PREFIX_LENGTH) == 0) ||
           (nSize >= sizeof(V2_SIGNATURE) && memcmp(pBytes, V2_SIGNATURE, sizeof(V2_SIGNATURE)) == 0);
}

void EscapeHeaderBytes(const unsigned char* pBytes, size_t nSize, char* pszOut, size_t nOutSize) {
    if (nOutSize == 0) return;
    pszOut[0] = '\0';
    for (size_t i = 0; i < nSize; i++) {
        unsigned char c = pBytes[i];
        char szPiece[5] = {static_cast<char>(c), '\0'};
        if (c < 0x20 || c >= 0x7f || c == '\\' || c == '<' || c == '>') {
            static_cast<void>(FormatText(szPiece, sizeof(szPiece), "\\x%02x", c));
        }
        if (!AppendFormat(pszOut, nOutSize, "%s", szPiece)) {
            return;
        }
    }
}
