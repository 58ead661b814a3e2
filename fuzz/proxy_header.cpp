// PROXY protocol headers and the trusted-balancer list. Beyond not crashing: a complete header
// never claims more bytes than it was given, every prefix of it reads as a header still coming,
// the client it names is an address the list matcher reads back, and a whole header is one
// that a peer where none is believed is refused for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/proxy_trust.h"
#include "fuzz_support.h"
#include "net/proxy_header.h"
#include "platform/socket.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    ProxyHeader header{};
    ProxyParse result = ParseProxyHeader(pData, nSize, &header);
    if (result == PROXY_INVALID && header.pszError == nullptr) abort();
    if (result == PROXY_COMPLETE) {
        if (header.nLength == 0 || header.nLength > nSize || header.nLength > PROXY_HEADER_MAX_LENGTH) abort();
        if (!LooksLikeProxyHeader(pData, header.nLength)) abort();
        // The same header alone, and cut one byte short.
        ProxyHeader again{};
        if (ParseProxyHeader(pData, header.nLength, &again) != PROXY_COMPLETE || again.nLength != header.nLength) abort();
        if (ParseProxyHeader(pData, header.nLength - 1, &again) != PROXY_INCOMPLETE) abort();
        if (!header.bLocal) {
            IpAddress address{};
            if (!IpFromText(header.szSource, &address) || address.nFamily != header.nFamily) abort();
            if (!IpFromText(header.szDestination, &address)) abort();
            char szList[64];
            size_t nLength = strlen(header.szSource);
            memcpy(szList, header.szSource, nLength);
            szList[nLength] = '\0';
            szList[nLength + 1] = '\0';
            if (!IsProxyTrusted(szList, nLength + 2, header.szSource)) abort();
        } else if (header.nFamily != 0 || header.szSource[0] != '\0') {
            abort();
        }
    }
    if (result == PROXY_INCOMPLETE && nSize > PROXY_HEADER_MAX_LENGTH) abort();
    char szEscaped[64];
    EscapeHeaderBytes(pData, nSize, szEscaped, sizeof(szEscaped));
    if (strlen(szEscaped) >= sizeof(szEscaped)) abort();

    // The same bytes as a ProxyTrusted list: checking and matching agree.
    char* pList = static_cast<char*>(malloc(nSize + 2));
    if (pList == nullptr) return 0;
    memcpy(pList, pData, nSize);
    pList[nSize] = '\0';
    pList[nSize + 1] = '\0';
    char szBad[64];
    bool bGood = CheckProxyTrusted(pList, nSize + 2, szBad, sizeof(szBad));
    if (!bGood && szBad[0] == '\0') abort();
    (void)IsProxyTrusted(pList, nSize + 2, "192.0.2.1");
    (void)IsProxyTrusted(pList, nSize + 2, "2001:db8::1");
    free(pList);
    return 0;
}
