#include "imap/command_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/response.h"
#include "imap/output.h"
#include "imap/session_io.h"
#include "imap/logs.h"

namespace {

// Longest tag repeated in a refusal; a longer one is no tag a client would use.
constexpr size_t TAG_ECHO_SIZE = 64;
// RFC 7888: under LITERAL- only literals up to this size may come without the go-ahead.
constexpr unsigned long LITERAL_MINUS_MAX = 4096;
// "{4294967295+}\r\n" and a little more: the end of a line that may announce a literal.
constexpr size_t TAIL_SIZE = 24;

struct Assembly {
    size_t nLength = 0;     // bytes of the command in szRecv
    bool bTooLong = false;  // something did not fit: the command is refused once read to its end
    bool bNul = false;      // a NUL came with the command: it is refused once read to its end
    bool bControl = false;  // a line held a control character: refused the same way
    bool bAbandoned = false;  // too much before login: refused without reading on
    bool bTooBig = false;   // a non-synchronising literal over LITERAL-'s bound was skipped
    char szTail[TAIL_SIZE + 1] = {};  // the last bytes of the current line, kept even when dropped
    size_t nTail = 0;
};

size_t Queued(const Session* pSession) {
    return std::min(pSession->nQueued, sizeof(pSession->szQueue) - 1);
}

void Consume(Session* pSession, size_t nCount) {
    size_t nHeld = Queued(pSession);
    nCount = std::min(nCount, nHeld);
    std::memmove(pSession->szQueue, pSession->szQueue + nCount, nHeld - nCount);
    pSession->nQueued = nHeld - nCount;
    pSession->szQueue[pSession->nQueued] = '\0';
}

// Receives more input behind what szQueue holds; false when the connection has ended. Nothing
// is logged here: what the bytes are (a password, a message) is known once they are read.
bool ReceiveMore(Session* pSession) {
    size_t nHeld = Queued(pSession);
    if (nHeld >= sizeof(pSession->szQueue) - 1) return true;
    int nReceived = SessionRecv(pSession, pSession->szQueue + nHeld, sizeof(pSession->szQueue) - 1 - nHeld);
    if (nReceived == SOCKET_ERROR || nReceived <= 0) return false;
    pSession->nQueued = nHeld + static_cast<size_t>(nReceived);
    pSession->szQueue[pSession->nQueued] = '\0';
    return true;
}

// The most a command may hold, its line ends and the literals read into it counted: the
// administrator's line length and its CR LF, within what szRecv holds.
size_t CommandLimit() {
    size_t nLine = Settings.MaxLineLength;
    if (nLine == 0 || nLine > MAX_LINE_LENGTH) nLine = MAX_LINE_LENGTH;
    return nLine + 2;
}

void Append(Session* pSession, Assembly* pAssembly, const char* pText, size_t nCount) {
    size_t nLimit = CommandLimit();
    size_t nRoom = nLimit > pAssembly->nLength ? nLimit - pAssembly->nLength : 0;
    if (nCount > nRoom) {
        pAssembly->bTooLong = true;
        nCount = nRoom;
    }
    if (std::memchr(pText, '\0', nCount) != nullptr) pAssembly->bNul = true;
    std::memcpy(pSession->szRecv + pAssembly->nLength, pText, nCount);
    pAssembly->nLength += nCount;
    pSession->szRecv[pAssembly->nLength] = '\0';
}

void KeepTail(Assembly* pAssembly, const char* pText, size_t nCount) {
    if (nCount >= TAIL_SIZE) {
        std::memcpy(pAssembly->szTail, pText + nCount - TAIL_SIZE, TAIL_SIZE);
        pAssembly->nTail = TAIL_SIZE;
    } else {
        size_t nKeep = std::min(pAssembly->nTail, TAIL_SIZE - nCount);
        std::memmove(pAssembly->szTail, pAssembly->szTail + pAssembly->nTail - nKeep, nKeep);
        std::memcpy(pAssembly->szTail + nKeep, pText, nCount);
        pAssembly->nTail = nKeep + nCount;
    }
    pAssembly->szTail[pAssembly->nTail] = '\0';
}

// Moves one line, up to and including its LF, from the input into the command. Before login a
// line too long to hold is not read to its end: nothing a login needs is that long.
bool TakeLine(Session* pSession, Assembly* pAssembly) {
    pAssembly->nTail = 0;
    for (;;) {
        size_t nHeld = Queued(pSession);
        const char* pLf = static_cast<const char*>(std::memchr(pSession->szQueue, '\n', nHeld));
        size_t nTake = pLf != nullptr ? static_cast<size_t>(pLf - pSession->szQueue) + 1 : nHeld;
        Append(pSession, pAssembly, pSession->szQueue, nTake);
        KeepTail(pAssembly, pSession->szQueue, nTake);
        Consume(pSession, nTake);
        if (pLf != nullptr) return true;
        // A full command leaves no room for the line end.
        if (pAssembly->nLength >= CommandLimit()) pAssembly->bTooLong = true;
        if (pAssembly->bTooLong && pSession->State == Imap4NonAuthenticated) {
            pAssembly->bAbandoned = true;
            return false;
        }
        if (!ReceiveMore(pSession)) return false;
    }
}

// Moves (or, with bKeep false, drops) the next nCount bytes of input into the command.
bool TakeBytes(Session* pSession, Assembly* pAssembly, unsigned long ulCount, bool bKeep) {
    while (ulCount > 0) {
        if (Queued(pSession) == 0 && !ReceiveMore(pSession)) return false;
        size_t nTake = std::min<size_t>(Queued(pSession), ulCount);
        if (bKeep) Append(pSession, pAssembly, pSession->szQueue, nTake);
        Consume(pSession, nTake);
        ulCount -= nTake;
    }
    return true;
}

// The literal announced at the end of the line just taken, if any: its size, whether it is
// non-synchronising, and how many bytes the announcement and the line end take.
bool AnnouncedLiteral(const Assembly& assembly, unsigned long* pulSize, bool* pbNonSync, size_t* pnEndLength) {
    size_t nEnd = assembly.nTail;
    if (nEnd == 0 || assembly.szTail[nEnd - 1] != '\n') return false;
    nEnd--;
    if (nEnd > 0 && assembly.szTail[nEnd - 1] == '\r') nEnd--;
    size_t nOpen = nEnd;
    while (nOpen > 0 && assembly.szTail[nOpen - 1] != '{') nOpen--;
    if (nOpen == 0 || nEnd == 0 || assembly.szTail[nEnd - 1] != '}') return false;
    nOpen--;
    const char* p = assembly.szTail + nOpen;
    if (!TakeLiteralSize(&p, pulSize, pbNonSync) || p != assembly.szTail + nEnd) return false;
    *pnEndLength = assembly.nTail - nOpen;
    return true;
}

// The command word of the text assembled so far, and where its arguments begin.
bool CommandWord(const Session* pSession, char* pszWord, size_t nSize, size_t* pnArgs) {
    const char* pBlank = std::strchr(pSession->szRecv, ' ');
    if (pBlank == nullptr) return false;
    size_t nLength = std::strcspn(pBlank + 1, " \r\n{");
    if (nLength == 0 || nLength >= nSize) return false;
    std::memcpy(pszWord, pBlank + 1, nLength);
    pszWord[nLength] = '\0';
    *pnArgs = static_cast<size_t>(pBlank + 1 - pSession->szRecv) + nLength + 1;
    return true;
}

// Whether the literal announced at nAnnounced is left to the handler (see ReadCommand). A
// command that will be refused whatever it holds is refused by the reader, which reads a literal
// already on its way and never asks for one.
bool LeftToHandler(const Session* pSession, const Assembly& assembly, size_t nAnnounced, bool bNonSync,
                   LiteralRuleOf pfnRule) {
    if (assembly.bNul || assembly.bControl) return !bNonSync;
    char szWord[16];
    size_t nArgs = 0;
    if (!CommandWord(pSession, szWord, sizeof(szWord), &nArgs)) return !bNonSync;
    switch (pfnRule(szWord, pSession->State)) {
        case LITERALS_READ:
            return false;
        case LITERALS_REFUSED:
            return !bNonSync;
        case LITERAL_MESSAGE:
            // The first argument (APPEND's mailbox) may be a literal; one after it is the message.
            return nAnnounced > nArgs;
    }
    return !bNonSync;
}

// A line's bytes other than its final line end: no control character but TAB belongs there
// (literals carry everything else), and a CR only ends a line.
bool HasControl(const char* pLine, size_t nLength) {
    if (nLength > 0 && pLine[nLength - 1] == '\n') nLength--;
    if (nLength > 0 && pLine[nLength - 1] == '\r') nLength--;
    for (size_t i = 0; i < nLength; i++) {
        unsigned char c = static_cast<unsigned char>(pLine[i]);
        if ((c < 0x20 && c != '\t' && c != '\0') || c == 0x7f) return true;
    }
    return false;
}

// The tag is repeated only when it is one a client could have meant: printable and short.
void RespondRefused(Session* pSession, size_t nLength, const char* pszReason) {
    size_t nTag = 0;
    while (nTag < nLength && nTag < TAG_ECHO_SIZE && pSession->szRecv[nTag] > ' ' && pSession->szRecv[nTag] < 0x7f) {
        nTag++;
    }
    bool bTagged = nTag > 0 && nTag < TAG_ECHO_SIZE && nTag < nLength && pSession->szRecv[nTag] == ' ';
    FormatResponse(pSession, "%.*s BAD %s\r\n", bTagged ? static_cast<int>(nTag) : 1,
                   bTagged ? pSession->szRecv : "*", pszReason);
}

// Logged without the line end that ended it, like a command that runs.
void TraceRefused(Session* pSession, const Assembly& assembly) {
    size_t nEnd = assembly.nLength;
    if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\n') nEnd--;
    if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\r') nEnd--;
    TraceReceived(pSession, pSession->szRecv, nEnd, false);
}

CommandRead Refuse(Session* pSession, const Assembly& assembly, const char* pszReason) {
    TraceRefused(pSession, assembly);
    RespondRefused(pSession, assembly.nLength, pszReason);
    return COMMAND_REFUSED;
}

// Refused, and the connection ends: the rest of what the client sends cannot be told apart
// from commands without reading it all, which a client that has not logged in does not get.
CommandRead Abandon(Session* pSession, const Assembly& assembly, const char* pszReason) {
    TraceRefused(pSession, assembly);
    RespondRefused(pSession, assembly.nLength, pszReason);
    AppendBye(pSession, pszReason);
    pSession->nQueued = 0;
    pSession->szQueue[0] = '\0';
    return COMMAND_ABANDONED;
}

bool OverPreLoginLimit(const Session* pSession, unsigned long ulSize) {
    return pSession->State == Imap4NonAuthenticated && Settings.PreLoginLiteralLimit != 0 &&
           ulSize > Settings.PreLoginLiteralLimit;
}

}  // namespace

bool CommandWaiting(const Session* pSession) {
    size_t nHeld = Queued(pSession);
    return std::memchr(pSession->szQueue, '\n', nHeld) != nullptr || nHeld >= RECV_SIZE - 1;
}

void QueueInFront(Session* pSession, const char* pText, size_t nText) {
    nText = std::min(nText, sizeof(pSession->szQueue) - 1);
    size_t nHeld = std::min(Queued(pSession), sizeof(pSession->szQueue) - 1 - nText);
    std::memmove(pSession->szQueue + nText, pSession->szQueue, nHeld);
    std::memmove(pSession->szQueue, pText, nText);
    pSession->nQueued = nText + nHeld;
    pSession->szQueue[pSession->nQueued] = '\0';
}

void QueueBehind(Session* pSession, const char* pText, size_t nText) {
    size_t nHeld = Queued(pSession);
    nText = std::min(nText, sizeof(pSession->szQueue) - 1 - nHeld);
    std::memcpy(pSession->szQueue + nHeld, pText, nText);
    pSession->nQueued = nHeld + nText;
    pSession->szQueue[pSession->nQueued] = '\0';
}

size_t TakeQueued(Session* pSession, char* pBuffer, size_t nWanted) {
    size_t nTake = std::min(Queued(pSession), nWanted);
    std::memcpy(pBuffer, pSession->szQueue, nTake);
    Consume(pSession, nTake);
    return nTake;
}

bool ReadAnswerLine(Session* pSession) {
    Assembly assembly;
    pSession->szRecv[0] = '\0';
    pSession->nReceived = 0;
    if (!TakeLine(pSession, &assembly)) {
        if (assembly.bAbandoned) {
            TraceReceived(pSession, pSession->szRecv, assembly.nLength, pSession->bSecretInput != 0);
            pSession->szRecv[0] = '\0';
            pSession->nQueued = 0;
            pSession->szQueue[0] = '\0';
            pSession->bEndAfterCommand = 1;
        }
        return false;
    }
    size_t nEnd = assembly.nLength;
    if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\n') nEnd--;
    if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\r') nEnd--;
    pSession->szRecv[nEnd] = '\0';
    TraceReceived(pSession, pSession->szRecv, nEnd, pSession->bSecretInput != 0);
    if (assembly.bTooLong || assembly.bNul || HasControl(pSession->szRecv, nEnd)) {
        pSession->szRecv[0] = '\0';
        return false;
    }
    pSession->nReceived = nEnd;
    return true;
}

CommandRead ReadCommand(Session* pSession, LiteralRuleOf pfnRule) {
    Assembly assembly;
    pSession->szRecv[0] = '\0';
    pSession->nReceived = 0;
    for (;;) {
        size_t nLineStart = assembly.nLength;
        if (!TakeLine(pSession, &assembly)) {
            if (assembly.bAbandoned) return Abandon(pSession, assembly, "Command line too long");
            return COMMAND_LOST;
        }
        if (HasControl(pSession->szRecv + nLineStart, assembly.nLength - nLineStart)) assembly.bControl = true;
        unsigned long ulSize = 0;
        bool bNonSync = false;
        size_t nEndLength = 0;
        bool bLiteral = AnnouncedLiteral(assembly, &ulSize, &bNonSync, &nEndLength);
        size_t nAnnounced = assembly.nLength - std::min(assembly.nLength, nEndLength);
        // Under LITERAL- a large literal must wait for the go-ahead: one sent at once is
        // skipped, and its command refused, whatever the command is.
        bool bOverMinus = bLiteral && bNonSync && Settings.LiteralMinus != 0 && ulSize > LITERAL_MINUS_MAX;
        if (!bOverMinus && !assembly.bTooLong && bLiteral && LeftToHandler(pSession, assembly, nAnnounced, bNonSync, pfnRule)) {
            bLiteral = false;
        }
        if (!bLiteral) {
            if (assembly.bTooBig) return Refuse(pSession, assembly, "[TOOBIG] Literal too long to send unasked");
            if (assembly.bTooLong) return Refuse(pSession, assembly, "Command line too long");
            if (assembly.bNul) return Refuse(pSession, assembly, "NUL in command");
            if (assembly.bControl) return Refuse(pSession, assembly, "Control character in command");
            // The line end goes; a literal's own line ends stay inside the command.
            size_t nEnd = assembly.nLength;
            if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\n') nEnd--;
            if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\r') nEnd--;
            pSession->szRecv[nEnd] = '\0';
            TraceReceived(pSession, pSession->szRecv, nEnd, false);
            return COMMAND_READY;
        }
        if (OverPreLoginLimit(pSession, ulSize)) {
            // Asked for, it would have to be read: a client that waits is refused, one that
            // sends at once is sent away.
            if (!bNonSync) return Refuse(pSession, assembly, "Literal too long");
            return Abandon(pSession, assembly, "Literal too long");
        }
        if (bOverMinus) {
            assembly.bTooBig = true;
            if (!TakeBytes(pSession, &assembly, ulSize, false)) return COMMAND_LOST;
            continue;
        }
        bool bFits = !assembly.bTooLong && assembly.nLength < CommandLimit() && ulSize < CommandLimit() - assembly.nLength;
        if (!bFits && !bNonSync) {
            // The client waits for the continuation: refused now, it never sends the literal.
            return Refuse(pSession, assembly, "Literal too long");
        }
        if (!bNonSync) {
            if (OutputContinuation(pSession, "Ready for literal data") == 0) return COMMAND_LOST;
        }
        if (!bFits) assembly.bTooLong = true;
        if (!TakeBytes(pSession, &assembly, ulSize, bFits)) return COMMAND_LOST;
    }
}
