#include "imap/mailbox_name.h"

#include <cstdio>
#include <cstring>

void RemoveQuotes(const char* pszText, char* pszName, size_t nSize) {
    if (pszText[0] != '"') {
        snprintf(pszName, nSize, "%s", pszText);
        return;
    }
    const char* pStart = pszText + 1;
    const char* pEnd = strchr(pStart, '"');
    size_t nLength = pEnd != nullptr ? static_cast<size_t>(pEnd - pStart) : strlen(pStart);
    snprintf(pszName, nSize, "%.*s", static_cast<int>(nLength), pStart);
}
