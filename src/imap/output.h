// A session's one way out. Writers append typed pieces of the untagged answers here; the tagged
// line waits in szResponse until the dispatcher hands it over (SendResponse). Only this code
// decides when bytes leave (the buffer is full, the command ends, the client must answer, a read
// starts), writes them to the console trace and the protocol log, and knows whether they go
// through TLS.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct Session;

// Room for a command's answers to leave in few sends; one more byte keeps the text terminated.
constexpr size_t SENDBUF_SIZE = 65536 + 1;
// A formatted piece is one answer line at most, as long as the tagged line's slot.
constexpr size_t OUTPUT_FORMAT_MAX = 8192;

// What the writers produced while a capture was on, byte for byte as the client gets it: an
// answer cache keeps this, never what happens to sit in the send buffer.
struct OutputCapture {
    std::string text;
    // The leading bytes that went to the trace; the rest is a literal's content, which does not.
    size_t nTraced = 0;
    // Past this many bytes the capture gives up (0: no bound).
    size_t nLimit = 0;
    // False when something went out that the capture could not hold: bytes sent around the
    // buffer (a file range) or more than nLimit.
    bool bWhole = true;
};

// The builder's state, one per Session (its Output member).
struct SessionOutput {
    char szSendBuf[SENDBUF_SIZE];
    // Bytes held in szSendBuf, and where the text not yet written to the trace starts.
    size_t nSendLength;
    size_t nTraceFrom;
    // Sends of the buffer so far: text queued since a count was taken is still in the buffer
    // while the count is unchanged.
    uint32_t ulFlushes;
    // While a command runs its answers are held until it ends, the buffer is full, or the
    // client must answer (a continuation, a read).
    int32_t bBatching;
    OutputCapture* pCapture;
    // A BYE that must follow the tagged line (the session then ends); empty: none.
    char szByeAfterTagged[96];
};

// Untagged pieces. Text is protocol text and goes to the trace; content is a literal's bytes and
// does not (a NUL goes out as a blank: no IMAP string may hold one).
void OutputText(Session* pSession, const char* pText, size_t nLength);
void OutputAtom(Session* pSession, const char* pszAtom);
void OutputNumber(Session* pSession, uint64_t ullValue);
void OutputContent(Session* pSession, const char* pData, size_t nLength);
// A literal8's bytes: sent as they are, NULs included.
void OutputBinaryContent(Session* pSession, const char* pData, size_t nLength);
// pText as an IMAP string: quoted (with '"' and '\' escaped) unless it holds CR, LF, a NUL or
// 8-bit bytes, which only a literal can carry.
void OutputString(Session* pSession, const char* pText, size_t nLength);
void OutputListOpen(Session* pSession);
void OutputListClose(Session* pSession);
void OutputLineEnd(Session* pSession);
// Bounded formatting straight into the buffer; a piece longer than OUTPUT_FORMAT_MAX is cut
// (still ending in CR LF when its format does). False when it was cut.
bool OutputFormat(Session* pSession, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
bool OutputFormatV(Session* pSession, const char* pszFormat, va_list args);
// What the caller knows of a file range's bytes: a NUL in a literal must go out as a blank, so
// bytes that may hold one are looked at before the kernel sends them unseen.
enum RangeBytes {
    RANGE_LOOK,        // not known: looked at first
    RANGE_AS_IS,       // they go out as they are (no NUL in them, or a literal8)
    RANGE_BLANK_NULS,  // they hold a NUL, which goes out as a blank
};
// A literal's content read from the file, *pullLeft bytes from ullFrom, sent around the buffer:
// from a mapping of the file on a clear connection where the bytes go as they are, else in large
// reads, a NUL blanked unless the bytes are known to go as they are. What was held goes first.
// Counts *pullLeft down by what was sent; a file that ends early leaves the rest. False when the
// peer could not be written to.
bool OutputFileRange(Session* pSession, FILE* pFile, uint64_t ullFrom, uint64_t* pullLeft,
                     RangeBytes bytes = RANGE_LOOK);
// Bytes captured earlier, given back as they first went out (the first nTraced traced).
void OutputReplay(Session* pSession, const char* pText, size_t nLength, size_t nTraced);

// "+ text": the client must answer, so it leaves at once with all before it. 0 when the send failed.
int OutputContinuation(Session* pSession, const char* pszText);
// Sends whatever is held. 1 on success (or nothing held), 0 when the send failed.
int OutputFlush(Session* pSession);
// Whether anything waits to be sent.
bool OutputHeld(const Session* pSession);

// Everything appended from here to OutputEndCapture is also kept in *pCapture.
void OutputBeginCapture(Session* pSession, OutputCapture* pCapture);
void OutputEndCapture(Session* pSession);

// The BYE that follows the tagged line now in szResponse, in the same send.
void OutputByeAfterTagged(Session* pSession, const char* pszReason);

// The session's own send, on the socket or through TLS once it is negotiated; SocketSend's result.
int SessionSend(Session* pSession, const char* pBuffer, size_t nLength);
