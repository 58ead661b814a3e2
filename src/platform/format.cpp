#include "platform/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool FormatArgs(char* pszOut, size_t nSize, const char* pszFormat, va_list args) {
    if (nSize == 0) return false;
    int n = std::vsnprintf(pszOut, nSize, pszFormat, args);
    if (n < 0) {
        pszOut[0] = '\0';
        return false;
    }
    return static_cast<size_t>(n) < nSize;
}

}  // namespace

bool FormatText(char* pszOut, size_t nSize, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool bFits = FormatArgs(pszOut, nSize, pszFormat, args);
    va_end(args);
    return bFits;
}

bool AppendFormat(char* pszOut, size_t nSize, const char* pszFormat, ...) {
    size_t nUsed = strnlen(pszOut, nSize);
    if (nUsed >= nSize) return false;
    va_list args;
    va_start(args, pszFormat);
    bool bFits = FormatArgs(pszOut + nUsed, nSize - nUsed, pszFormat, args);
    va_end(args);
    if (!bFits) pszOut[nUsed] = '\0';
    return bFits;
}
