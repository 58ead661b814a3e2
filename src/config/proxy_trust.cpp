#include "config/proxy_trust.h"

#include <cstring>

#include "config/settings.h"
#include "platform/socket.h"

namespace {

struct AddressRange {
    IpAddress address;
    unsigned int nPrefix;
};

bool IsMappedIpv4(const IpAddress& address) {
    static const unsigned char MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return address.nFamily == FAMILY_IPV6 && memcmp(address.bytes, MAPPED, sizeof(MAPPED)) == 0;
}

void UnmapIpv4(IpAddress* pAddress) {
    memmove(pAddress->bytes, pAddress->bytes + 12, 4);
    memset(pAddress->bytes + 4, 0, 12);
    pAddress->nFamily = FAMILY_IPV4;
}

// "address" or "address/prefix", the prefix in decimal up to the family's width.
bool ParseRange(const char* pszText, size_t nLength, AddressRange* pRange) {
    char szText[64];
    if (nLength == 0 || nLength >= sizeof(szText)) return false;
    memcpy(szText, pszText, nLength);
    szText[nLength] = '\0';
    char* pSlash = strchr(szText, '/');
    const char* pszPrefix = nullptr;
    if (pSlash != nullptr) {
        *pSlash = '\0';
        pszPrefix = pSlash + 1;
    }
    if (!IpFromText(szText, &pRange->address)) return false;
    unsigned int nWidth = pRange->address.nFamily == FAMILY_IPV4 ? 32 : 128;
    pRange->nPrefix = nWidth;
    if (pszPrefix != nullptr) {
        size_t nDigits = strlen(pszPrefix);
        if (nDigits == 0 || nDigits > 3 || (nDigits > 1 && pszPrefix[0] == '0')) return false;
        unsigned int nPrefix = 0;
        for (size_t i = 0; i < nDigits; i++) {
            if (pszPrefix[i] < '0' || pszPrefix[i] > '9') return false;
            nPrefix = nPrefix * 10 + static_cast<unsigned int>(pszPrefix[i] - '0');
        }
        if (nPrefix > nWidth) return false;
        pRange->nPrefix = nPrefix;
    }
    return true;
}

bool InRange(const AddressRange& range, const IpAddress& address) {
    if (range.address.nFamily != address.nFamily) return false;
    unsigned int nFull = range.nPrefix / 8;
    if (memcmp(range.address.bytes, address.bytes, nFull) != 0) return false;
    unsigned int nBits = range.nPrefix % 8;
    if (nBits == 0) return true;
    unsigned char cMask = static_cast<unsigned char>(0xff << (8 - nBits));
    return ((range.address.bytes[nFull] ^ address.bytes[nFull]) & cMask) == 0;
}

bool IsSeparator(char c) {
    return c == ' ' || c == ',' || c == '\t';
}

// Calls visit(text, length) for each address or range of the list until it returns false;
// false when a visit did.
template <typename Visit>
bool ForEachRange(const char* pszList, size_t nListSize, Visit visit) {
    const char* pEnd = pszList + nListSize;
    for (const char* pEntry = pszList; pEntry < pEnd && *pEntry != '\0';) {
        size_t nEntry = strnlen(pEntry, static_cast<size_t>(pEnd - pEntry));
        for (size_t i = 0; i < nEntry;) {
            if (IsSeparator(pEntry[i])) {
                i++;
                continue;
            }
            size_t nStart = i;
            while (i < nEntry && !IsSeparator(pEntry[i])) i++;
            if (!visit(pEntry + nStart, i - nStart)) return false;
        }
        pEntry += nEntry + 1;
    }
    return true;
}

}  // namespace

bool CheckProxyTrusted(const char* pszList, size_t nListSize, char* pszBad, size_t nBadSize) {
    if (nBadSize > 0) pszBad[0] = '\0';
    return ForEachRange(pszList, nListSize, [&](const char* pszText, size_t nLength) {
        AddressRange range{};
        if (ParseRange(pszText, nLength, &range)) return true;
        if (nBadSize > 0) {
            size_t nCopy = nLength < nBadSize - 1 ? nLength : nBadSize - 1;
            memcpy(pszBad, pszText, nCopy);
            pszBad[nCopy] = '\0';
        }
        return false;
    });
}

bool IsProxyTrusted(const char* pszList, size_t nListSize, const char* pszAddress) {
    IpAddress address{};
    if (!IpFromText(pszAddress, &address)) return false;
    if (IsMappedIpv4(address)) UnmapIpv4(&address);
    bool bTrusted = false;
    ForEachRange(pszList, nListSize, [&](const char* pszText, size_t nLength) {
        AddressRange range{};
        if (ParseRange(pszText, nLength, &range)) {
            // A mapped range narrow enough to hold only IPv4 addresses is that IPv4 range.
            if (IsMappedIpv4(range.address) && range.nPrefix >= 96) {
                UnmapIpv4(&range.address);
                range.nPrefix -= 96;
            }
            bTrusted = InRange(range, address);
        }
        return !bTrusted;
    });
    return bTrusted;
}

bool IsTrustedBalancer(const char* pszAddress) {
    return IsProxyTrusted(Settings.ProxyTrusted, sizeof(Settings.ProxyTrusted), pszAddress);
}
