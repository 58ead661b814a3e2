// Message sets of FETCH, STORE and COPY, and the walk that matches them against a mailbox.
#include <cstdio>
#include <cstring>

#include "store/store.h"

namespace {

// Blanks and tabs, an optional sign, digits up to the first non-digit; no digits read as 0.
// A negative number wraps as the unsigned comparison of the set sees it.
uint32_t ReadSetNumber(const char* p, const char* pEnd) {
    while (p < pEnd && (*p == ' ' || *p == '\t')) ++p;
    bool bNegative = false;
    if (p < pEnd && (*p == '+' || *p == '-')) bNegative = *p++ == '-';
    uint64_t ullValue = 0;
    while (p < pEnd && *p >= '0' && *p <= '9') {
        ullValue = ullValue * 10 + static_cast<uint64_t>(*p++ - '0');
        if (ullValue > 0xFFFFFFFFull) ullValue = 0xFFFFFFFFull;
    }
    uint32_t ulValue = static_cast<uint32_t>(ullValue);
    return bNegative ? 0u - ulValue : ulValue;
}

}  // namespace

int SplitMessageSet(const char* pszSet, MessageRange* pElements) {
    int nCount = 0;
    const char* p = pszSet;
    while (nCount < MAX_SET_ELEMENTS) {
        const char* pEnd = std::strchr(p, ',');
        if (pEnd == nullptr) pEnd = p + std::strlen(p);
        MessageRange& range = pElements[nCount++];
        range.ulFirst = ReadSetNumber(p, pEnd);
        range.ulLast = range.ulFirst;
        range.bUnbounded = false;
        const char* pColon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(pEnd - p)));
        if (pColon != nullptr) {
            if (pColon + 1 < pEnd && pColon[1] == '*') {
                range.bUnbounded = true;
            } else {
                range.ulLast = ReadSetNumber(pColon + 1, pEnd);
            }
        }
        if (*pEnd == '\0') break;
        p = pEnd + 1;
    }
    return nCount;
}

bool RangeContains(const MessageRange& range, uint32_t ulNumber) {
    // n:m with n above m names nothing; the range is not turned round.
    return range.ulFirst <= ulNumber && (range.bUnbounded || ulNumber <= range.ulLast);
}
