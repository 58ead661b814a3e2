#include "imap/output.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "config/settings.h"
#include "imap/logs.h"
#include "imap/session.h"
#include "imap/session_io.h"
#include "platform/file_range.h"
#include "platform/deflate.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/tls.h"

namespace {

// What the buffer holds at most: one byte stays for the terminating NUL that the trace needs.
constexpr size_t HELD_MAX = SENDBUF_SIZE - 2;
// Ranges that are not sent from the file's mapping leave it in blocks this large. On a clear
// connection a block goes to the kernel as it was read; through TLS or compression it is worked
// on whole, in buffers a thread keeps: smaller there.
constexpr size_t DIRECT_BLOCK_PLAIN = 1024 * 1024;
constexpr size_t DIRECT_BLOCK = 256 * 1024;

// Writes the traced text held since the last trace (whole lines, or what is there at a flush)
// to the console trace and the protocol log.
void TraceHeld(Session* pSession, size_t nEnd) {
    SessionOutput& out = pSession->Output;
    if (nEnd <= out.nTraceFrom) return;
    const char* pText = out.szSendBuf + out.nTraceFrom;
    size_t nLength = nEnd - out.nTraceFrom;
    if (Settings.ConsoleTrace != 0) {
        // What is sent may hold a client's bytes (a message, a name): one trace line per send.
        std::string shown = EscapeLogText(pText, nLength);
        TracePrint("[%08lx] SEND[%08x] -> [%s]\n", SessionId(pSession), pSession->sockClient, shown.c_str());
    }
    WriteProtocolLog(pSession, pText, nLength);
    out.nTraceFrom = nEnd;
}

// Keeps appended bytes in the capture that is on, while it can hold them.
void Capture(SessionOutput& out, const char* pData, size_t nLength, bool bTrace) {
    OutputCapture* pCapture = out.pCapture;
    if (pCapture == nullptr || !pCapture->bWhole) return;
    if (pCapture->nLimit != 0 && pCapture->text.size() + nLength > pCapture->nLimit) {
        pCapture->bWhole = false;
        return;
    }
    if (bTrace && pCapture->nTraced == pCapture->text.size()) pCapture->nTraced += nLength;
    pCapture->text.append(pData, nLength);
}

// The send of what the buffer holds; bAhead: on a plain socket, where more follows at once.
int SendHeld(Session* pSession, const char* pData, size_t nLength, bool bAhead) {
    if (nLength == 0) return 0;
    if (!bAhead) return SessionSend(pSession, pData, nLength);
    int nResult = SocketSendAhead(pSession->sockClient, pData, nLength);
    if (nResult == SOCKET_ERROR) pSession->bSendFailed = 1;
    return nResult;
}

int FlushHeld(Session* pSession, bool bAhead);

// Takes nLength bytes just written at the end of the held text as held: kept by a capture, and
// traced a whole line at a time (untraced bytes end the traced text before them).
void Commit(Session* pSession, size_t nLength, bool bTrace) {
    SessionOutput& out = pSession->Output;
    char* pAt = out.szSendBuf + out.nSendLength;
    Capture(out, pAt, nLength, bTrace);
    if (!bTrace) TraceHeld(pSession, out.nSendLength);
    out.nSendLength += nLength;
    out.szSendBuf[out.nSendLength] = '\0';
    if (!bTrace) {
        out.nTraceFrom = out.nSendLength;
        return;
    }
    const void* pLf = memrchr(pAt, '\n', nLength);
    if (pLf != nullptr) TraceHeld(pSession, static_cast<size_t>(static_cast<const char*>(pLf) + 1 - out.szSendBuf));
}

// Appends bytes, flushing first when they do not fit, so that a send ends at a piece's edge; a
// piece longer than the whole buffer goes out in buffer-sized sends.
void Append(Session* pSession, const char* pData, size_t nLength, bool bTrace) {
    SessionOutput& out = pSession->Output;
    if (out.nSendLength + nLength > HELD_MAX) OutputFlush(pSession);
    while (nLength > 0) {
        if (out.nSendLength == HELD_MAX) OutputFlush(pSession);
        size_t nTake = std::min(nLength, HELD_MAX - out.nSendLength);
        memcpy(out.szSendBuf + out.nSendLength, pData, nTake);
        Commit(pSession, nTake, bTrace);
        pData += nTake;
        nLength -= nTake;
    }
}

bool NeedsLiteral(const char* pText, size_t nLength) {
    for (size_t i = 0; i < nLength; i++) {
        unsigned char c = static_cast<unsigned char>(pText[i]);
        if (c == '\r' || c == '\n' || c == '\0' || c >= 0x80) return true;
    }
    return false;
}

// A send that failed, told once on the trace and in the protocol log.
void ReportSendError(Session* pSession) {
    char szError[SOCKET_ERROR_TEXT_SIZE];
    FormatSocketError(szError, sizeof(szError), true, LastSocketError());
    TracePrint("[%08lx] SEND[%08x] ERROR -> [%s]\n", SessionId(pSession), pSession->sockClient, szError);
    WriteProtocolLog(pSession, szError);
}

// Sends a file range past the buffer, in large reads (under TLS, or where a NUL must become a
// blank). What is held (the literal's announcement) leaves with the first block: one send, and
// under TLS one record and one system call fewer.
bool SendRangeInBlocks(Session* pSession, FILE* pFile, uint64_t ullFrom, uint64_t* pullLeft, bool bAsIs) {
    SessionOutput& out = pSession->Output;
    out.ulFlushes++;
    TraceHeld(pSession, out.nSendLength);
    size_t nHeld = out.nSendLength;
    bool bPlain = pSession->pTls == nullptr && pSession->pDeflate == nullptr;
    const size_t nBlock = static_cast<size_t>(std::min<uint64_t>(*pullLeft, bPlain ? DIRECT_BLOCK_PLAIN : DIRECT_BLOCK));
    std::unique_ptr<char[]> block(new char[nHeld + nBlock]);
    memcpy(block.get(), out.szSendBuf, nHeld);
    out.nSendLength = 0;
    out.nTraceFrom = 0;
    out.szSendBuf[0] = '\0';
    while (*pullLeft > 0) {
        size_t nWant = *pullLeft < nBlock ? static_cast<size_t>(*pullLeft) : nBlock;
        char* pRead = block.get() + nHeld;
        size_t nGot = ReadFileAt(pFile, ullFrom, pRead, nWant);
        if (nGot == 0) break;
        if (!bAsIs && memchr(pRead, '\0', nGot) != nullptr) std::replace(pRead, pRead + nGot, '\0', ' ');
        if (SessionSend(pSession, block.get(), nHeld + nGot) == SOCKET_ERROR) return false;
        nHeld = 0;
        *pullLeft -= nGot;
        ullFrom += nGot;
    }
    return nHeld == 0 || SessionSend(pSession, block.get(), nHeld) != SOCKET_ERROR;
}

// The bytes as they travel: through TLS once it is negotiated, on the socket before.
int SendOnWire(Session* pSession, const char* pBuffer, size_t nLength) {
    if (pSession->pTls != nullptr) {
        return nLength == 0 ? 0 : TlsSend(pSession->pTls, pBuffer, nLength);
    }
    return SocketSend(pSession->sockClient, pBuffer, nLength);
}

// Every send ends in a sync flush: the client must be able to read all it was given without
// waiting for more, and a send is never smaller than a line.
int SendCompressed(Session* pSession, const char* pBuffer, size_t nLength) {
    if (nLength == 0) return 0;
    // One buffer per thread, and a thread serves one session: no allocation per send once grown.
    thread_local std::string packed;
    packed.clear();
    if (!DeflateCompress(pSession->pDeflate.get(), pBuffer, nLength, true, &packed)) {
        TracePrint("[%08lx] SEND[%08x] compression failed\n", SessionId(pSession), pSession->sockClient);
        return SOCKET_ERROR;
    }
    if (SendOnWire(pSession, packed.data(), packed.size()) == SOCKET_ERROR) return SOCKET_ERROR;
    return static_cast<int>(std::min<size_t>(nLength, 0x7fffffff));
}

}  // namespace

void OutputText(Session* pSession, const char* pText, size_t nLength) { Append(pSession, pText, nLength, true); }

void OutputAtom(Session* pSession, const char* pszAtom) { Append(pSession, pszAtom, strlen(pszAtom), true); }

void OutputNumber(Session* pSession, uint64_t ullValue) {
    char szNumber[24];
    char* pEnd = std::to_chars(szNumber, szNumber + sizeof(szNumber), ullValue).ptr;
    Append(pSession, szNumber, static_cast<size_t>(pEnd - szNumber), true);
}

void OutputContent(Session* pSession, const char* pData, size_t nLength) {
    const char* pNul = static_cast<const char*>(memchr(pData, '\0', nLength));
    if (pNul == nullptr) {
        Append(pSession, pData, nLength, false);
        return;
    }
    // Rare: the copy that turns NULs into blanks is made only for content that holds one.
    char szBlock[1024];
    while (nLength > 0) {
        size_t nTake = std::min(nLength, sizeof(szBlock));
        memcpy(szBlock, pData, nTake);
        std::replace(szBlock, szBlock + nTake, '\0', ' ');
        Append(pSession, szBlock, nTake, false);
        pData += nTake;
        nLength -= nTake;
    }
}

void OutputBinaryContent(Session* pSession, const char* pData, size_t nLength) { Append(pSession, pData, nLength, false); }

void OutputString(Session* pSession, const char* pText, size_t nLength) {
    if (NeedsLiteral(pText, nLength)) {
        char szCount[32];
        char* pEnd = szCount;
        *pEnd++ = '{';
        pEnd = std::to_chars(pEnd, szCount + sizeof(szCount) - 3, nLength).ptr;
        memcpy(pEnd, "}\r\n", 3);
        Append(pSession, szCount, static_cast<size_t>(pEnd + 3 - szCount), true);
        // A short string is protocol text to the trace, as a quoted one would be.
        const char* pNul = static_cast<const char*>(memchr(pText, '\0', nLength));
        if (pNul == nullptr) {
            Append(pSession, pText, nLength, true);
        } else {
            for (size_t i = 0; i < nLength; i++) Append(pSession, pText[i] == '\0' ? " " : pText + i, 1, true);
        }
        return;
    }
    Append(pSession, "\"", 1, true);
    size_t nFrom = 0;
    for (size_t i = 0; i < nLength; i++) {
        if (pText[i] != '"' && pText[i] != '\\') continue;
        Append(pSession, pText + nFrom, i - nFrom, true);
        Append(pSession, "\\", 1, true);
        nFrom = i;
    }
    Append(pSession, pText + nFrom, nLength - nFrom, true);
    Append(pSession, "\"", 1, true);
}

void OutputListOpen(Session* pSession) { Append(pSession, "(", 1, true); }

void OutputListClose(Session* pSession) { Append(pSession, ")", 1, true); }

void OutputLineEnd(Session* pSession) { Append(pSession, "\r\n", 2, true); }

bool OutputFormatV(Session* pSession, const char* pszFormat, va_list args) {
    SessionOutput& out = pSession->Output;
    for (int nTry = 0;; nTry++) {
        // The text is formatted where it will be sent; what it wrote past the held bytes counts
        // only once committed.
        size_t nRoom = std::min(HELD_MAX - out.nSendLength, OUTPUT_FORMAT_MAX);
        va_list copy;
        va_copy(copy, args);
        int nLength = vsnprintf(out.szSendBuf + out.nSendLength, nRoom + 1, pszFormat, copy);
        va_end(copy);
        if (nLength < 0) {
            out.szSendBuf[out.nSendLength] = '\0';
            return false;
        }
        if (static_cast<size_t>(nLength) <= nRoom) {
            Commit(pSession, static_cast<size_t>(nLength), true);
            return true;
        }
        // Sent first only when the piece would fit in an empty buffer.
        if (nTry == 0 && out.nSendLength > 0 && nRoom < OUTPUT_FORMAT_MAX) {
            out.szSendBuf[out.nSendLength] = '\0';
            OutputFlush(pSession);
            continue;
        }
        // Longer than any piece may be: cut, and a cut line still ends in CR LF so that the
        // client sees where it stops.
        size_t nFormat = strlen(pszFormat);
        if (nRoom >= 2 && nFormat >= 2 && memcmp(pszFormat + nFormat - 2, "\r\n", 2) == 0) {
            out.szSendBuf[out.nSendLength + nRoom - 2] = '\r';
            out.szSendBuf[out.nSendLength + nRoom - 1] = '\n';
        }
        Commit(pSession, nRoom, true);
        return false;
    }
}

bool OutputFormat(Session* pSession, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool bWhole = OutputFormatV(pSession, pszFormat, args);
    va_end(args);
    return bWhole;
}

bool OutputFileRange(Session* pSession, FILE* pFile, uint64_t ullFrom, uint64_t* pullLeft, RangeBytes bytes) {
    if (pSession->Output.pCapture != nullptr) pSession->Output.pCapture->bWhole = false;
    // The first failure was reported; the held bytes go nowhere.
    if (pSession->bSendFailed) {
        OutputFlush(pSession);
        return false;
    }
    if (bytes == RANGE_AS_IS && pSession->pTls == nullptr && pSession->pDeflate == nullptr) {
        // The held announcement waits in the socket for the file's first bytes instead of going
        // ahead of them in a small segment of its own.
        if (FlushHeld(pSession, *pullLeft > 0) == 0) return false;
        bool bFailed = false;
        *pullLeft -= SendMappedFileRange(pSession->sockClient, pFile, ullFrom, *pullLeft, &bFailed);
        if (bFailed) {
            pSession->bSendFailed = 1;
            ReportSendError(pSession);
        }
        return !bFailed;
    }
    if (SendRangeInBlocks(pSession, pFile, ullFrom, pullLeft, bytes == RANGE_AS_IS)) return true;
    ReportSendError(pSession);
    return false;
}

void OutputReplay(Session* pSession, const char* pText, size_t nLength, size_t nTraced) {
    nTraced = std::min(nTraced, nLength);
    Append(pSession, pText, nTraced, true);
    if (nLength > nTraced) Append(pSession, pText + nTraced, nLength - nTraced, false);
}

int OutputContinuation(Session* pSession, const char* pszText) {
    Append(pSession, "+ ", 2, true);
    Append(pSession, pszText, strlen(pszText), true);
    Append(pSession, "\r\n", 2, true);
    return OutputFlush(pSession);
}

bool OutputHeld(const Session* pSession) { return pSession->Output.nSendLength > 0; }

void OutputBeginCapture(Session* pSession, OutputCapture* pCapture) {
    pCapture->text.clear();
    pCapture->nTraced = 0;
    pCapture->bWhole = true;
    pSession->Output.pCapture = pCapture;
}

void OutputEndCapture(Session* pSession) { pSession->Output.pCapture = nullptr; }

void OutputByeAfterTagged(Session* pSession, const char* pszReason) {
    static_cast<void>(FormatText(pSession->Output.szByeAfterTagged, sizeof(pSession->Output.szByeAfterTagged),
                                 "* BYE %s\r\n", pszReason));
}

int SessionSend(Session* pSession, const char* pBuffer, size_t nLength) {
    if (pSession->bSendFailed) {
        return SOCKET_ERROR;
    }
    // Bytes that bypass the buffer are bytes a capture does not see.
    if (pSession->Output.pCapture != nullptr && pBuffer != pSession->Output.szSendBuf) {
        pSession->Output.pCapture->bWhole = false;
    }
    int nResult;
    if (pSession->pDeflate != nullptr) {
        nResult = SendCompressed(pSession, pBuffer, nLength);
    } else {
        nResult = SendOnWire(pSession, pBuffer, nLength);
    }
    if (nResult == SOCKET_ERROR) {
        pSession->bSendFailed = 1;
    }
    return nResult;
}

int SendResponse(Session* pSession, int bFlush, int bTrace) {
    SessionOutput& out = pSession->Output;
    size_t nResponse = strnlen(pSession->szResponse, sizeof(pSession->szResponse) - 1);
    int nResult = 1;
    // A line that does not fit leaves what is held first, so that a send ends at a line edge.
    size_t nBye = strlen(out.szByeAfterTagged);
    if (out.nSendLength + nResponse + nBye > HELD_MAX) nResult = OutputFlush(pSession);
    Append(pSession, pSession->szResponse, nResponse, bTrace != 0);
    if (nBye > 0) {
        Append(pSession, out.szByeAfterTagged, nBye, bTrace != 0);
        out.szByeAfterTagged[0] = '\0';
    }
    // While a command runs its tagged line is the dispatcher's to send, with everything before it.
    if (bFlush && !out.bBatching) {
        return OutputFlush(pSession);
    }
    // A peer that could not be written to is reported, so that a long answer stops early.
    return nResult;
}

int FlushSend(Session* pSession, int /*bTrace*/) { return OutputFlush(pSession); }

int OutputFlush(Session* pSession) { return FlushHeld(pSession, false); }

namespace {

int FlushHeld(Session* pSession, bool bAhead) {
    SessionOutput& out = pSession->Output;
    out.ulFlushes++;
    // The first failure was reported; what a broken session still tries to say goes nowhere.
    if (pSession->bSendFailed) {
        out.nSendLength = 0;
        out.nTraceFrom = 0;
        out.szSendBuf[0] = '\0';
        return 0;
    }
    TraceHeld(pSession, out.nSendLength);
    int nResult = SendHeld(pSession, out.szSendBuf, out.nSendLength, bAhead);
    out.nSendLength = 0;
    out.nTraceFrom = 0;
    out.szSendBuf[0] = '\0';
    if (nResult == SOCKET_ERROR) {
        ReportSendError(pSession);
        return 0;
    }
    return 1;
}

}  // namespace
