// Body sections as IMAP literals: the header (whole or filtered by field names), the whole
// message with an optional partial range, the text, and numbered parts with their MIME headers.
// Each reader makes two passes over the file: the first counts what the second sends, so the
// literal's size can be announced before its content without holding the content.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imap/fetch/items.h"
#include "imap/response.h"
#include "net/client.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;
constexpr size_t BATCH_LIMIT = 8192;
constexpr size_t DELIMITER_SIZE = 256;

// Where the second pass puts the bytes it owes. The literal must hold exactly the announced
// count, so a pass never sends more, and whatever it falls short of is made up at the end.
struct LiteralOut {
    Session* pSession;
    uint64_t ullLeft;
    bool bBatch;     // body data: batched in szResponse, sent without the trace copy
    size_t nBatch;
};

void PutBytes(LiteralOut* pOut, const char* pData, size_t nLength, bool bFlush) {
    if (nLength > pOut->ullLeft) {
        nLength = static_cast<size_t>(pOut->ullLeft);
    }
    if (nLength == 0) {
        return;
    }
    pOut->ullLeft -= nLength;
    Session* pSession = pOut->pSession;
    if (!pOut->bBatch) {
        FormatResponse(pSession, "%.*s", static_cast<int>(nLength), pData);
        SendResponse(pSession, bFlush ? 1 : 0, 1);
        return;
    }
    if (pOut->nBatch + nLength >= BATCH_LIMIT) {
        SendResponse(pSession, 1, 0);
        pOut->nBatch = 0;
    }
    memcpy(pSession->szResponse + pOut->nBatch, pData, nLength);
    pOut->nBatch += nLength;
    pSession->szResponse[pOut->nBatch] = '\0';
}

void FinishLiteral(LiteralOut* pOut) {
    // Only a file that changed between the passes leaves bytes owed; blanks keep the client
    // in step with the announced size.
    char szFill[64];
    memset(szFill, ' ', sizeof(szFill));
    while (pOut->ullLeft > 0) {
        PutBytes(pOut, szFill, sizeof(szFill), false);
    }
    if (pOut->bBatch && pOut->nBatch > 0) {
        SendResponse(pOut->pSession, 1, 0);
        pOut->nBatch = 0;
    }
}

// Announces a literal of ullTotal bytes and returns where its bytes go. An empty section still
// needs a complete literal: two bytes holding CRLF, put here.
LiteralOut StartLiteral(Session* pSession, uint64_t ullTotal, bool bBatch) {
    uint64_t ullAnnounced = ullTotal == 0 ? 2 : ullTotal;
    FormatResponse(pSession, "%" PRIu64 "}\r\n", ullAnnounced);
    SendResponse(pSession, bBatch ? 1 : 0, 1);
    pSession->szResponse[0] = '\0';
    LiteralOut out = {pSession, ullAnnounced, bBatch, 0};
    if (ullTotal == 0) {
        PutBytes(&out, "\r\n", 2, true);
    }
    return out;
}

// The same when the message cannot even be opened.
void SendEmptyLiteral(Session* pSession) {
    FormatResponse(pSession, "2}\r\n\r\n");
    SendResponse(pSession, 1, 1);
}

// ---- Header reader ----------------------------------------------------------------------

bool MatchesField(const char* pszLine, char* const* ppNames, int nNames) {
    for (int i = 0; i < nNames; i++) {
        size_t nLength = strlen(ppNames[i]);
        // An empty name (from doubled spaces or "()") would match every line.
        if (nLength > 0 && StrNICmp(pszLine, ppNames[i], nLength) == 0) {
            return true;
        }
    }
    return false;
}

// Which lines of a header a section takes; the verdict of a field carries over its folded lines.
struct HeaderFilter {
    int nMode;
    char* const* ppNames;
    int nNames;
    bool bMatch;
};

// Whether the line is taken; *pbEnd tells that it was the blank line ending the header.
bool FilterHeaderLine(HeaderFilter* pFilter, const char* pszLine, bool* pbEnd) {
    *pbEnd = strcmp(pszLine, "\r\n") == 0;
    if (*pbEnd) {
        return true;
    }
    if (pFilter->nMode == HEADER_ALL) {
        return true;
    }
    if (MatchesField(pszLine, pFilter->ppNames, pFilter->nNames)) {
        pFilter->bMatch = true;
    } else if (pszLine[0] != ' ' && pszLine[0] != '\t') {
        pFilter->bMatch = false;
    }
    return pFilter->bMatch == (pFilter->nMode == HEADER_FIELDS);
}

uint64_t HeaderPass(FILE* pFile, HeaderFilter* pFilter, LiteralOut* pOut) {
    char szLine[LINE_SIZE];
    uint64_t ullTotal = 0;
    pFilter->bMatch = false;
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        bool bEnd = false;
        if (!FilterHeaderLine(pFilter, szLine, &bEnd)) {
            continue;
        }
        size_t nLength = strlen(szLine);
        ullTotal += nLength;
        if (pOut != nullptr) {
            PutBytes(pOut, szLine, nLength, bEnd);
        }
        if (bEnd) {
            break;
        }
    }
    return ullTotal;
}

// ---- Section reader ---------------------------------------------------------------------

struct SectionState {
    int nMode;
    unsigned long ulPart;
    uint64_t ullStart;   // partial offset
    bool bLength;        // a partial length was given
    uint64_t ullLength;
    bool bContentType;
    bool bDelimiterFound;
    char szDelimiter[DELIMITER_SIZE];
    bool bMessagePart;       // part n is an encapsulated message (message/rfc822)
    HeaderFilter* pFilter;   // when set, only these header lines of what the mode takes
};

void TakeDelimiter(SectionState* pState, const char* pValue) {
    if (*pValue == '"') {
        pValue++;
    }
    // An unquoted value keeps the rest of the line, its line end included.
    size_t nLength = strcspn(pValue, "\"");
    snprintf(pState->szDelimiter, sizeof(pState->szDelimiter), "--%.*s", static_cast<int>(nLength), pValue);
    pState->bDelimiterFound = true;
}

void DiscoverDelimiter(SectionState* pState, const char* pszLine) {
    if (!pState->bContentType) {
        if (!StartsWithNoCase(pszLine, "Content-Type:")) {
            return;
        }
        pState->bContentType = true;
        const char* pSemicolon = strchr(pszLine, ';');
        if (pSemicolon != nullptr) {
            const char* p = SkipBlanks(pSemicolon + 1);
            if (StartsWithNoCase(p, "boundary=")) {
                TakeDelimiter(pState, p + strlen("boundary="));
            }
        }
        return;
    }
    // The parameter may sit on a folded line after the Content-Type line.
    const char* p = SkipBlanks(pszLine);
    if (StartsWithNoCase(p, "boundary=")) {
        TakeDelimiter(pState, p + strlen("boundary="));
    }
}

// A header line of part n, or of the top level (part 1 of a message that is not multipart; a
// multipart's own type is then overridden by its part's).
void NoteContentType(SectionState* pState, const char* pszLine, unsigned long ulCounter) {
    if ((ulCounter != 0 && ulCounter != pState->ulPart) || !StartsWithNoCase(pszLine, "Content-Type:")) {
        return;
    }
    const char* p = SkipBlanks(pszLine + strlen("Content-Type:"));
    const size_t nType = strlen("message/rfc822");
    pState->bMessagePart = StrNICmp(p, "message/rfc822", nType) == 0 &&
                           (p[nType] == '\0' || strchr("; \t\r\n", p[nType]) != nullptr);
}

// One pass from the partial offset. The delimiter is looked for in the first pass only: the
// second must take exactly the lines the first one counted.
uint64_t SectionPass(FILE* pFile, SectionState* pState, bool bDiscover, LiteralOut* pOut) {
    const uint64_t ullStart = pState->ullStart;
    if (ullStart > static_cast<uint64_t>(LONG_MAX) || fseek(pFile, static_cast<long>(ullStart), SEEK_SET) != 0) {
        return 0;
    }
    const int nMode = pState->nMode;
    const unsigned long ulPart = pState->ulPart;
    bool bInHeader = true;
    unsigned long ulCounter = 0;
    uint64_t ullTotal = 0;
    if (pState->pFilter != nullptr) {
        pState->pFilter->bMatch = false;
    }
    char szLine[LINE_SIZE];
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        bool bAtEnd = feof(pFile) != 0;
        if (bDiscover && bInHeader) {
            if (!pState->bDelimiterFound) {
                DiscoverDelimiter(pState, szLine);
            }
            NoteContentType(pState, szLine, ulCounter);
        }
        bool bBlank = strcmp(szLine, "\r\n") == 0;
        if (nMode != SECTION_MIME && bInHeader && bBlank) {
            bInHeader = false;
            if (nMode == SECTION_BODY) {
                // A message that is not multipart has its body as part 1.
                if (!pState->bDelimiterFound) {
                    ulCounter++;
                }
                continue;
            }
        }
        if (nMode != SECTION_WHOLE && !bInHeader && pState->bDelimiterFound &&
            strncmp(szLine, pState->szDelimiter, strlen(pState->szDelimiter)) == 0) {
            bInHeader = true;
            ulCounter++;
            continue;
        }
        if (strcmp(szLine, ".\r\n") == 0 || (ulPart != 0 && ulCounter > ulPart) || bAtEnd) {
            break;
        }
        bool bTake = nMode == SECTION_WHOLE ||
                     (nMode == SECTION_BODY && !bInHeader && (ulPart == 0 || ulPart == ulCounter)) ||
                     (nMode == SECTION_MIME && bInHeader && ulPart == ulCounter);
        if (nMode == SECTION_MIME && bInHeader && bBlank) {
            bInHeader = false;
        }
        if (!bTake) {
            continue;
        }
        // Nothing after part n's MIME header is taken.
        bool bHeaderEnd = nMode == SECTION_MIME && bBlank;
        if (pState->pFilter != nullptr && !FilterHeaderLine(pState->pFilter, szLine, &bHeaderEnd)) {
            continue;
        }
        size_t nLength = strlen(szLine);
        ullTotal += nLength;
        if (pOut != nullptr) {
            PutBytes(pOut, szLine, nLength, false);
            if (pOut->ullLeft == 0) {
                break;
            }
        }
        if (bHeaderEnd) {
            break;
        }
    }
    return ullTotal;
}

// Counts what the section takes, announces it (at most the partial length) and sends it.
void SendSection(Session* pSession, FILE* pFile, SectionState* pState, bool bDiscover) {
    uint64_t ullTotal = SectionPass(pFile, pState, bDiscover, nullptr);
    uint64_t ullSize = (pState->bLength && pState->ullLength < ullTotal) ? pState->ullLength : ullTotal;
    LiteralOut out = StartLiteral(pSession, ullSize, true);
    if (ullSize != 0) {
        SectionPass(pFile, pState, false, &out);
    }
    FinishLiteral(&out);
}

// The message (or its decoded copy); when it cannot be opened the label already sent still gets
// a complete literal, and the caller has nothing more to send.
FILE* OpenContent(Session* pSession) {
    char szPath[MAX_PATH + 1024];
    ContentPath(pSession, szPath, sizeof(szPath));
    FILE* pFile = fopen(szPath, "rb");
    if (pFile == nullptr) {
        SendEmptyLiteral(pSession);
    }
    return pFile;
}

}  // namespace

void ReadHeaderSection(Session* pSession, int nMode, char* const* ppNames, int nNames) {
    FILE* pFile = OpenContent(pSession);
    if (pFile == nullptr) {
        return;
    }
    HeaderFilter filter = {nMode, ppNames, nNames, false};
    uint64_t ullTotal = HeaderPass(pFile, &filter, nullptr);
    LiteralOut out = StartLiteral(pSession, ullTotal, false);
    if (ullTotal != 0) {
        rewind(pFile);
        HeaderPass(pFile, &filter, &out);
    }
    FinishLiteral(&out);
    fclose(pFile);
}

void ReadPartHeaderSection(Session* pSession, unsigned long ulPart, int nMode, char* const* ppNames, int nNames) {
    FILE* pFile = OpenContent(pSession);
    if (pFile == nullptr) {
        return;
    }
    // A first look at part n's MIME header finds the delimiter and the part's type. The header of
    // an encapsulated message opens the part's body; any other part has only its MIME header.
    SectionState state = {};
    state.nMode = SECTION_MIME;
    state.ulPart = ulPart;
    SectionPass(pFile, &state, true, nullptr);
    if (state.bMessagePart) {
        state.nMode = SECTION_BODY;
    }
    HeaderFilter filter = {nMode, ppNames, nNames, false};
    state.pFilter = &filter;
    SendSection(pSession, pFile, &state, false);
    fclose(pFile);
}

void ReadBodySection(Session* pSession, int nMode, unsigned long ulPart, const char* pszPartial) {
    SectionState state = {};
    state.nMode = nMode;
    state.ulPart = ulPart;
    if (pszPartial != nullptr) {
        state.ullStart = strtoull(pszPartial, nullptr, 10);
        const char* pDot = strchr(pszPartial, '.');
        if (pDot != nullptr) {
            state.bLength = true;
            state.ullLength = strtoull(pDot + 1, nullptr, 10);
        }
    }
    FILE* pFile = OpenContent(pSession);
    if (pFile == nullptr) {
        return;
    }
    SendSection(pSession, pFile, &state, true);
    fclose(pFile);
}
