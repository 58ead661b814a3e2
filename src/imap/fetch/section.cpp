// Body sections as IMAP literals. Every section is a byte range of the message file, known from
// its MIME tree; header sections restricted to or stripped of named fields make two passes over
// their range, the first counting what the second sends, so that the literal's size can be
// announced before its content without holding the content.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "imap/fetch/items.h"
#include "imap/response.h"
#include "imap/session_io.h"
#include "platform/file_range.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;
constexpr size_t BATCH_LIMIT = 8192;
// Ranges this long leave the file directly (sendfile, or large reads under TLS) instead of
// passing through the answer buffer.
constexpr uint64_t DIRECT_MIN = 64 * 1024;
constexpr size_t DIRECT_BLOCK = 256 * 1024;
// A header up to this size is read in one piece and filtered in memory.
constexpr uint64_t HEADER_READ_MAX = 1024 * 1024;

// Where the bytes of a literal go. The literal must hold exactly the announced count, so a writer
// never sends more, and whatever it falls short of is made up at the end.
struct LiteralOut {
    Session* pSession;
    uint64_t ullSkip;  // bytes before a partial range's start
    uint64_t ullLeft;
    size_t nBatch;     // batched in szResponse, sent without the trace copy
};

void PutBytes(LiteralOut* pOut, const char* pData, size_t nLength) {
    if (pOut->ullSkip > 0) {
        size_t nSkip = pOut->ullSkip < nLength ? static_cast<size_t>(pOut->ullSkip) : nLength;
        pOut->ullSkip -= nSkip;
        pData += nSkip;
        nLength -= nSkip;
    }
    if (nLength > pOut->ullLeft) {
        nLength = static_cast<size_t>(pOut->ullLeft);
    }
    Session* pSession = pOut->pSession;
    while (nLength > 0) {
        if (pOut->nBatch + 1 >= BATCH_LIMIT) {
            SendResponse(pSession, 1, 0);
            pOut->nBatch = 0;
        }
        size_t nTake = BATCH_LIMIT - 1 - pOut->nBatch;
        if (nTake > nLength) {
            nTake = nLength;
        }
        char* pTo = pSession->szResponse + pOut->nBatch;
        memcpy(pTo, pData, nTake);
        // The send path is text: a NUL byte would end the batch early and leave the client
        // waiting for bytes that never come, so it goes out as a blank.
        for (char* p = static_cast<char*>(memchr(pTo, '\0', nTake)); p != nullptr;
             p = static_cast<char*>(memchr(p, '\0', static_cast<size_t>(pTo + nTake - p)))) {
            *p = ' ';
        }
        pOut->nBatch += nTake;
        pOut->ullLeft -= nTake;
        pData += nTake;
        nLength -= nTake;
        pSession->szResponse[pOut->nBatch] = '\0';
    }
}

void FinishLiteral(LiteralOut* pOut) {
    // Only a file that changed under us leaves bytes owed; blanks keep the client in step with
    // the announced size.
    char szFill[64];
    memset(szFill, ' ', sizeof(szFill));
    while (pOut->ullLeft > 0) {
        PutBytes(pOut, szFill, sizeof(szFill));
    }
    if (pOut->nBatch > 0) {
        SendResponse(pOut->pSession, 1, 0);
        pOut->nBatch = 0;
    }
    pOut->pSession->szResponse[0] = '\0';
}

// The part of ullTotal bytes that a partial range selects.
uint64_t PartialSize(uint64_t ullTotal, const PartialRange& partial) {
    if (!partial.bGiven) {
        return ullTotal;
    }
    uint64_t ullRest = partial.ullStart < ullTotal ? ullTotal - partial.ullStart : 0;
    return partial.bLength && partial.ullLength < ullRest ? partial.ullLength : ullRest;
}

// Announces a literal of ullSize bytes; an empty section is the empty string instead.
bool StartLiteral(Session* pSession, uint64_t ullSize, LiteralOut* pOut) {
    if (ullSize == 0) {
        SendEmptySection(pSession);
        return false;
    }
    FormatResponse(pSession, "{%" PRIu64 "}\r\n", ullSize);
    SendResponse(pSession, 1, 1);
    pSession->szResponse[0] = '\0';
    *pOut = {pSession, 0, ullSize, 0};
    return true;
}

bool SeekTo(FILE* pFile, uint64_t ullOffset) {
    return ullOffset <= static_cast<uint64_t>(LONG_MAX) && fseek(pFile, static_cast<long>(ullOffset), SEEK_SET) == 0;
}

// Sends the rest of a literal, out.ullLeft bytes from ullFrom of the file, past the answer
// buffer: what is held is sent first, then the range by sendfile when the connection is clear
// text and the range holds no NUL (which goes out as a blank), else in large reads. Whatever
// the file no longer holds is left in out.ullLeft for FinishLiteral. False when the peer could
// not be written to.
bool SendDirect(LiteralOut* pOut, FILE* pFile, uint64_t ullFrom) {
    Session* pSession = pOut->pSession;
    if (FlushSend(pSession, 1) == 0) return false;
    bool bNul = true;
    if (pSession->pTls == nullptr && RangeHoldsNul(pFile, ullFrom, pOut->ullLeft, &bNul) && !bNul) {
        bool bFailed = false;
        uint64_t ullSent = SendFileRangeToSocket(pSession->sockClient, pFile, ullFrom, pOut->ullLeft, &bFailed);
        pOut->ullLeft -= ullSent;
        return !bFailed;
    }
    std::unique_ptr<char[]> block(new char[DIRECT_BLOCK]);
    while (pOut->ullLeft > 0) {
        size_t nWant = pOut->ullLeft < DIRECT_BLOCK ? static_cast<size_t>(pOut->ullLeft) : DIRECT_BLOCK;
        size_t nGot = ReadFileAt(pFile, ullFrom, block.get(), nWant);
        if (nGot == 0) break;
        std::replace(block.get(), block.get() + nGot, '\0', ' ');
        if (SessionSend(pSession, block.get(), nGot) == SOCKET_ERROR) return false;
        pOut->ullLeft -= nGot;
        ullFrom += nGot;
    }
    return true;
}

// ---- Header filter ----------------------------------------------------------------------

// The line starts with one of the names followed by its colon (blanks may come between).
bool MatchesField(const char* pszLine, char* const* ppNames, int nNames) {
    for (int i = 0; i < nNames; i++) {
        size_t nLength = strlen(ppNames[i]);
        if (nLength == 0 || StrNICmp(pszLine, ppNames[i], nLength) != 0) {
            continue;
        }
        const char* p = pszLine + nLength;
        while (*p == ' ' || *p == '\t') {
            p++;
        }
        if (*p == ':') {
            return true;
        }
    }
    return false;
}

struct HeaderFilter {
    int nMode;
    char* const* ppNames;
    int nNames;
    bool bMatch;  // the verdict of a field carries over its folded lines
};

bool TakesLine(HeaderFilter* pFilter, const char* pszLine) {
    if (strcmp(pszLine, "\r\n") == 0 || strcmp(pszLine, "\n") == 0) {
        return true;
    }
    if (pFilter->nMode == HEADER_ALL) {
        return true;
    }
    if (pszLine[0] != ' ' && pszLine[0] != '\t') {
        pFilter->bMatch = MatchesField(pszLine, pFilter->ppNames, pFilter->nNames);
    }
    return pFilter->bMatch == (pFilter->nMode == HEADER_FIELDS);
}

// One pass over the header range; counts what the filter takes and, with pOut, sends it.
uint64_t HeaderPass(FILE* pFile, uint64_t ullOffset, uint64_t ullSize, HeaderFilter* pFilter, LiteralOut* pOut) {
    if (!SeekTo(pFile, ullOffset)) {
        return 0;
    }
    char szLine[LINE_SIZE];
    uint64_t ullLeft = ullSize;
    uint64_t ullTotal = 0;
    bool bLineStart = true;
    bool bTake = false;
    bool bEnded = false;  // the blank line has been taken: a filtered header always ends with it
    pFilter->bMatch = false;
    while (ullLeft > 0) {
        size_t nLength = ReadRangeLine(pFile, szLine, sizeof(szLine), &ullLeft);
        if (nLength == 0) {
            break;
        }
        // A piece of a long line follows the verdict of the line's start.
        if (bLineStart) {
            bTake = TakesLine(pFilter, szLine);
            bEnded = strcmp(szLine, "\r\n") == 0 || strcmp(szLine, "\n") == 0;
        }
        bLineStart = szLine[nLength - 1] == '\n';
        if (bTake) {
            ullTotal += nLength;
            if (pOut != nullptr) {
                PutBytes(pOut, szLine, nLength);
            }
        }
    }
    // A header cut short by the end of the message still ends with a blank line when filtered.
    if (pFilter->nMode != HEADER_ALL && !bEnded) {
        ullTotal += 2;
        if (pOut != nullptr) {
            PutBytes(pOut, "\r\n", 2);
        }
    }
    return ullTotal;
}

// The same filter over a header held in memory: the lines it takes, in order.
std::string FilterHeaderText(const char* pText, size_t nText, HeaderFilter* pFilter) {
    std::string taken;
    bool bEnded = false;
    pFilter->bMatch = false;
    char szStart[LINE_SIZE];
    for (size_t nPos = 0; nPos < nText;) {
        const char* pLf = static_cast<const char*>(memchr(pText + nPos, '\n', nText - nPos));
        size_t nLine = pLf != nullptr ? static_cast<size_t>(pLf - (pText + nPos)) + 1 : nText - nPos;
        // The verdict falls on the line's start, as far as a line is ever compared.
        size_t nStart = nLine < sizeof(szStart) - 1 ? nLine : sizeof(szStart) - 1;
        memcpy(szStart, pText + nPos, nStart);
        szStart[nStart] = '\0';
        if (TakesLine(pFilter, szStart)) taken.append(pText + nPos, nLine);
        bEnded = strcmp(szStart, "\r\n") == 0 || strcmp(szStart, "\n") == 0;
        nPos += nLine;
    }
    if (pFilter->nMode != HEADER_ALL && !bEnded) taken += "\r\n";
    return taken;
}

}  // namespace

void SendEmptySection(Session* pSession) {
    FormatResponse(pSession, "\"\"");
    SendResponse(pSession, 0, 1);
}

void SendFileRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize,
                   const PartialRange& partial) {
    uint64_t ullSend = PartialSize(ullSize, partial);
    LiteralOut out;
    if (!StartLiteral(pSession, ullSend, &out)) {
        return;
    }
    uint64_t ullFrom = ullOffset + (partial.bGiven ? partial.ullStart : 0);
    if (pMessage->pFile != nullptr && ullSend >= DIRECT_MIN) {
        // A peer that cannot be written to is told nothing more; the padding would fail too.
        if (!SendDirect(&out, pMessage->pFile, ullFrom)) out.ullLeft = 0;
    } else if (pMessage->pFile != nullptr && SeekTo(pMessage->pFile, ullFrom)) {
        char buffer[BATCH_LIMIT];
        while (out.ullLeft > 0) {
            size_t nWant = out.ullLeft < sizeof(buffer) ? static_cast<size_t>(out.ullLeft) : sizeof(buffer);
            size_t nGot = fread(buffer, 1, nWant, pMessage->pFile);
            if (nGot == 0) {
                break;
            }
            PutBytes(&out, buffer, nGot);
        }
    }
    // What the file no longer gave is made up with blanks; the answer is then not the message's.
    if (out.ullLeft > 0) pMessage->bReadFailed = true;
    FinishLiteral(&out);
}

void SendHeaderRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize, int nMode,
                     char* const* ppNames, int nNames, const PartialRange& partial) {
    if (nMode == HEADER_ALL) {
        SendFileRange(pSession, pMessage, ullOffset, ullSize, partial);
        return;
    }
    HeaderFilter filter = {nMode, ppNames, nNames, false};
    // A header of usual size is read once, in one piece.
    if (pMessage->pFile != nullptr && ullSize <= HEADER_READ_MAX) {
        std::string header(static_cast<size_t>(ullSize), '\0');
        header.resize(ReadFileAt(pMessage->pFile, ullOffset, header.data(), header.size()));
        if (header.size() < ullSize) pMessage->bReadFailed = true;
        std::string taken = FilterHeaderText(header.data(), header.size(), &filter);
        LiteralOut out;
        if (!StartLiteral(pSession, PartialSize(taken.size(), partial), &out)) {
            return;
        }
        out.ullSkip = partial.bGiven ? partial.ullStart : 0;
        PutBytes(&out, taken.data(), taken.size());
        FinishLiteral(&out);
        return;
    }
    if (pMessage->pFile == nullptr) pMessage->bReadFailed = true;
    uint64_t ullTotal = pMessage->pFile != nullptr ? HeaderPass(pMessage->pFile, ullOffset, ullSize, &filter, nullptr) : 0;
    uint64_t ullSend = PartialSize(ullTotal, partial);
    LiteralOut out;
    if (!StartLiteral(pSession, ullSend, &out)) {
        return;
    }
    out.ullSkip = partial.bGiven ? partial.ullStart : 0;
    HeaderPass(pMessage->pFile, ullOffset, ullSize, &filter, &out);
    FinishLiteral(&out);
}
