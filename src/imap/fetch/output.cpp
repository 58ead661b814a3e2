// What the FETCH writers share: the file a writer reads, and its lines.
#include <cstdio>
#include <cstring>

#include "imap/fetch/items.h"
#include "platform/format.h"

bool MessagePath(const Session* pSession, char* pszPath, size_t nSize) {
    return FormatText(pszPath, nSize, "%s/%s", pSession->szMailbox, pSession->FindData.cFileName);
}

size_t ReadRangeLine(FILE* pFile, char* pszLine, size_t nSize, uint64_t* pullLeft) {
    if (*pullLeft == 0) return 0;
    int nWant = *pullLeft + 1 < nSize ? static_cast<int>(*pullLeft + 1) : static_cast<int>(nSize);
    if (fgets(pszLine, nWant, pFile) == nullptr) return 0;
    size_t nLength = strlen(pszLine);
    *pullLeft -= nLength < *pullLeft ? nLength : *pullLeft;
    return nLength;
}
