#include "imap/command_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "imap/args.h"
#include "imap/dispatch.h"
#include "imap/response.h"
#include "imap/session_io.h"
#include "imap/logs.h"
#include "platform/text.h"

namespace {

// Longest tag repeated in a refusal; a longer one is no tag a client would use.
constexpr size_t TAG_ECHO_SIZE = 64;
// "{4294967295+}\r\n" and a little more: the end of a line that may announce a literal.
constexpr size_t TAIL_SIZE = 24;

struct Assembly {
    size_t nLength = 0;     // bytes of the command in szRecv
    bool bTooLong = false;  // something did not fit: the command is refused once read to its end
    char szTail[TAIL_SIZE + 1] = {};  // the last bytes of the current line, kept even when dropped
    size_t nTail = 0;
};

size_t Queued(const Session* pSession) {
    return strnlen(pSession->szQueue, sizeof(pSession->szQueue) - 1);
}

void Consume(Session* pSession, size_t nCount) {
    size_t nHeld = Queued(pSession);
    nCount = std::min(nCount, nHeld);
    std::memmove(pSession->szQueue, pSession->szQueue + nCount, nHeld - nCount + 1);
}

// Receives more input behind what szQueue holds; false when the connection has ended.
bool ReceiveMore(Session* pSession) {
    size_t nHeld = Queued(pSession);
    if (nHeld >= sizeof(pSession->szQueue) - 1) return true;
    int nReceived = SessionRecv(pSession, pSession->szQueue + nHeld, sizeof(pSession->szQueue) - 1 - nHeld);
    if (nReceived == SOCKET_ERROR || nReceived <= 0) return false;
    pSession->szQueue[nHeld + static_cast<size_t>(nReceived)] = '\0';
    // Passwords and AUTHENTICATE answers never reach the log.
    char szShown[2 * QUEUE_SIZE];
    RedactReceived(pSession->szQueue + nHeld, szShown, sizeof(szShown), &pSession->bSecretInput, nullptr);
    WriteProtocolLog(pSession, szShown);
    return true;
}

void Append(Session* pSession, Assembly* pAssembly, const char* pText, size_t nCount) {
    size_t nRoom = sizeof(pSession->szRecv) - 1 - pAssembly->nLength;
    if (nCount > nRoom) {
        pAssembly->bTooLong = true;
        nCount = nRoom;
    }
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

// Moves one line, up to and including its LF, from the input into the command.
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

// Whether the literal announced at nAnnounced is left to the handler (see ReadCommand).
bool LeftToHandler(const Session* pSession, size_t nAnnounced, bool bNonSync) {
    char szWord[16];
    size_t nArgs = 0;
    if (!CommandWord(pSession, szWord, sizeof(szWord), &nArgs)) return !bNonSync;
    bool bRuns = CommandRunsInState(szWord, pSession->State);
    if (!bRuns) return !bNonSync;
    // APPEND's mailbox may be a literal; the literal after it is the message.
    return StrICmp(szWord, "APPEND") == 0 && nAnnounced > nArgs;
}

void RespondTooLong(Session* pSession, const char* pszReason) {
    size_t nTag = std::strcspn(pSession->szRecv, " \r\n");
    bool bTagged = nTag > 0 && nTag < TAG_ECHO_SIZE && pSession->szRecv[nTag] == ' ';
    FormatResponse(pSession, "%.*s BAD %s\r\n", bTagged ? static_cast<int>(nTag) : 1,
                   bTagged ? pSession->szRecv : "*", pszReason);
}

}  // namespace

bool CommandWaiting(const Session* pSession) {
    size_t nHeld = Queued(pSession);
    return std::memchr(pSession->szQueue, '\n', nHeld) != nullptr || nHeld >= RECV_SIZE - 1;
}

void QueueInFront(Session* pSession, const char* pszText) {
    size_t nText = strnlen(pszText, sizeof(pSession->szQueue) - 1);
    size_t nHeld = std::min(Queued(pSession), sizeof(pSession->szQueue) - 1 - nText);
    std::memmove(pSession->szQueue + nText, pSession->szQueue, nHeld);
    std::memmove(pSession->szQueue, pszText, nText);
    pSession->szQueue[nText + nHeld] = '\0';
}

CommandRead ReadCommand(Session* pSession) {
    Assembly assembly;
    pSession->szRecv[0] = '\0';
    for (;;) {
        if (!TakeLine(pSession, &assembly)) return COMMAND_LOST;
        unsigned long ulSize = 0;
        bool bNonSync = false;
        size_t nEndLength = 0;
        bool bLiteral = AnnouncedLiteral(assembly, &ulSize, &bNonSync, &nEndLength);
        size_t nAnnounced = assembly.nLength - std::min(assembly.nLength, nEndLength);
        if (!assembly.bTooLong && bLiteral && LeftToHandler(pSession, nAnnounced, bNonSync)) {
            bLiteral = false;
        }
        if (!bLiteral) {
            if (assembly.bTooLong) {
                RespondTooLong(pSession, "Command line too long");
                return COMMAND_REFUSED;
            }
            // The line end goes; a literal's own line ends stay inside the command.
            size_t nEnd = assembly.nLength;
            if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\n') nEnd--;
            if (nEnd > 0 && pSession->szRecv[nEnd - 1] == '\r') nEnd--;
            pSession->szRecv[nEnd] = '\0';
            return COMMAND_READY;
        }
        bool bFits = !assembly.bTooLong && ulSize < sizeof(pSession->szRecv) - 1 - assembly.nLength;
        if (!bFits && !bNonSync) {
            // The client waits for the continuation: refused now, it never sends the literal.
            RespondTooLong(pSession, "Literal too long");
            return COMMAND_REFUSED;
        }
        if (!bNonSync) {
            FormatResponse(pSession, "+ Ready for literal data\r\n");
            if (SendResponse(pSession, 1, 1) == 0) return COMMAND_LOST;
        }
        if (!bFits) assembly.bTooLong = true;
        if (!TakeBytes(pSession, &assembly, ulSize, bFits)) return COMMAND_LOST;
    }
}
