// Shared output pieces of the FETCH writers: the file a writer reads, and IMAP strings.
#include <cstdio>
#include <cstring>

#include "imap/fetch/items.h"
#include "imap/response.h"
#include "imap/session_io.h"
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

void QueueText(Session* pSession, const char* pszText) { OutputAtom(pSession, pszText); }

void AppendString(char* pszOut, size_t nSize, const char* pszValue) {
    bool bLiteral = false;
    for (const char* p = pszValue; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r' || c == '\n' || c >= 0x80) {
            bLiteral = true;
            break;
        }
    }
    size_t nUsed = strnlen(pszOut, nSize);
    if (bLiteral) {
        size_t nLength = strlen(pszValue);
        // A literal that does not fit whole would announce bytes that never come.
        if (!AppendFormat(pszOut, nSize, "{%zu}\r\n%s", nLength, pszValue)) {
            // Where even NIL does not fit there is nothing left to say.
            static_cast<void>(AppendFormat(pszOut, nSize, "NIL"));
        }
        return;
    }
    // Worst case every character is escaped; leave room for the quotes.
    size_t nNeed = 2;
    for (const char* p = pszValue; *p != '\0'; p++) {
        nNeed += (*p == '"' || *p == '\\') ? 2 : 1;
    }
    if (nUsed + nNeed + 1 > nSize) {
        static_cast<void>(AppendFormat(pszOut, nSize, "NIL"));
        return;
    }
    char* pOut = pszOut + nUsed;
    *pOut++ = '"';
    for (const char* p = pszValue; *p != '\0'; p++) {
        if (*p == '"' || *p == '\\') {
            *pOut++ = '\\';
        }
        *pOut++ = *p;
    }
    *pOut++ = '"';
    *pOut = '\0';
}
