// APPEND: stores the message the client sends as a literal, with Recent and the listed flags.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/mailbox_name.h"
#include "imap/new_uid.h"
#include "imap/response.h"
#include "imap/session_io.h"
#include "platform/date_text.h"
#include "platform/fs.h"
#include "store/store.h"

namespace {

constexpr size_t FLAGS_COPY_SIZE = 1024;
constexpr size_t DATE_COPY_SIZE = 64;

// Text received behind the literal is the client's next request: it goes back to the pending
// input instead of into the message.
void KeepPending(Session* pSession, const char* pText, size_t nLength) {
    size_t nHeld = strlen(pSession->szQueue);
    size_t nRoom = sizeof(pSession->szQueue) - 1 - nHeld;
    nLength = std::min(nLength, nRoom);
    memcpy(pSession->szQueue + nHeld, pText, nLength);
    pSession->szQueue[nHeld + nLength] = '\0';
}

// The literal as the client sends it: the pending input first, then the lines received.
MessageSource LiteralSource(Session* pSession, std::string* pHeld) {
    return [pSession, pHeld](uint64_t ullWanted, const char** ppData, size_t* pnLength) {
        size_t nQueued = strlen(pSession->szQueue);
        if (nQueued > 0) {
            size_t nTake = static_cast<size_t>(std::min<uint64_t>(nQueued, ullWanted));
            pHeld->assign(pSession->szQueue, nTake);
            memmove(pSession->szQueue, pSession->szQueue + nTake, nQueued - nTake + 1);
            *ppData = pHeld->data();
            *pnLength = nTake;
            return true;
        }
        if (RecvLine(pSession, 0) == 0) {
            return false;
        }
        size_t nLength = strlen(pSession->szRecv);
        size_t nTake = static_cast<size_t>(std::min<uint64_t>(nLength, ullWanted));
        if (nTake < nLength) {
            KeepPending(pSession, pSession->szRecv + nTake, nLength - nTake);
        }
        *ppData = pSession->szRecv;
        *pnLength = nTake;
        return true;
    };
}

// Reads a literal the client has already begun to send and throws it away, so that its text is
// never taken for requests. What follows it stays pending, as after a stored literal.
void DiscardLiteral(Session* pSession, uint32_t ulSize) {
    std::string held;
    MessageSource source = LiteralSource(pSession, &held);
    const uint64_t ullWanted = static_cast<uint64_t>(ulSize) + 2;
    for (uint64_t ullCount = 0; ullCount < ullWanted;) {
        const char* pData = nullptr;
        size_t nLength = 0;
        if (!source(ullWanted - ullCount, &pData, &nLength)) {
            return;
        }
        ullCount += nLength;
    }
}

// A message that would fill the disk is refused before its literal: a half-written file helps
// nobody, and the other users' mail needs the room.
bool RoomOnDisk(const char* pszMailbox, uint32_t ulSize) {
    constexpr uint64_t SPARE_BYTES = 16ull << 20;
    uint64_t ullFree = 0;
    return !FreeDiskBytes(pszMailbox, &ullFree) || ullFree >= static_cast<uint64_t>(ulSize) + SPARE_BYTES;
}

}  // namespace

int CmdAppend(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    // The literal is received into szRecv, where the tag and the arguments live.
    const std::string strTag = pSession->pTag;
    const char* pszTag = strTag.c_str();
    // APPEND mailbox [(flags)] [date-time] literal; the command reader left the message's
    // literal unread and its announcement at the end of the arguments.
    char szName[MAX_PATH];
    char szFlagList[FLAGS_COPY_SIZE] = "";
    char szDate[DATE_COPY_SIZE] = "";
    unsigned long ulAnnounced = 0;
    bool bNonSync = false;
    const char* p = pSession->pArgs;
    bool bParsed = TakeAstring(&p, szName, sizeof(szName)) && TakeBlank(&p);
    if (bParsed && *p == '(') bParsed = TakeParenthesised(&p, szFlagList, sizeof(szFlagList)) && TakeBlank(&p);
    if (bParsed && *p == '"') bParsed = TakeString(&p, szDate, sizeof(szDate)) && TakeBlank(&p);
    bParsed = bParsed && TakeLiteralSize(&p, &ulAnnounced, &bNonSync) && *p == '\0';
    // A client that did not wait for the continuation has sent its literal behind the line.
    bool bContinuation = !bNonSync && pSession->szQueue[0] == '\0';
    if (!bParsed) {
        // A literal already on its way is read and dropped, so that none of it runs as requests.
        const char* pLast = strrchr(pSession->pArgs, '{');
        if (pLast != nullptr && TakeLiteralSize(&pLast, &ulAnnounced, &bNonSync) && *pLast == '\0' && bNonSync) {
            DiscardLiteral(pSession, static_cast<uint32_t>(ulAnnounced));
        }
        FormatResponse(pSession, "%s %s %s illegal argument\r\n", pszTag, "BAD", "APPEND");
        return 1;
    }
    uint32_t ulSize = static_cast<uint32_t>(std::min<unsigned long>(ulAnnounced, 0xFFFFFFFDul));
    char szFlagCode[FLAG_COUNT + 1];
    FlagCodeFromList(szFlagList, szFlagCode);
    int64_t llDate = NO_INTERNAL_DATE;
    bool bBadDate = szDate[0] != '\0' && !ParseImapDateTime(szDate, strlen(szDate), &llDate);
    if (ulSize == 0 || bBadDate) {
        // Nothing is stored; a literal already on its way is read and dropped.
        if (!bContinuation) {
            DiscardLiteral(pSession, ulSize);
        }
        if (bBadDate) {
            FormatResponse(pSession, "%s %s %s invalid date-time\r\n", pszTag, "BAD", "APPEND");
        } else {
            FormatResponse(pSession, "%s %s %s illegal argument\r\n", pszTag, "BAD", "APPEND");
        }
        return 1;
    }

    // Too large a message is refused before the client sends it (RFC 7889). A literal already on
    // its way would have to be read to the end: the connection ends instead.
    if (Settings.MaxMessageSize != 0 && ulSize > Settings.MaxMessageSize) {
        FormatResponse(pSession, "%s %s [TOOBIG] %s message larger than %u bytes\r\n", pszTag, "NO", pSession->pCommand,
                       static_cast<unsigned>(Settings.MaxMessageSize));
        if (!bContinuation) {
            size_t nLength = strlen(pSession->szResponse);
            snprintf(pSession->szResponse + nLength, sizeof(pSession->szResponse) - nLength, "* BYE %s\r\n",
                     "Message too large");
            return 0;
        }
        return 1;
    }

    // The mailbox must exist and take the new file before the client is asked for the
    // message: an answer given after the continuation would leave the literal to be read as
    // requests. A literal already sent is read and dropped.
    char szTarget[MAX_PATH];
    char szFile[MAX_PATH + 32];
    uint32_t ulUid = 0;
    bool bReady = false;
    bool bResolved = ResolveClientMailbox(pSession, szName, szTarget, sizeof(szTarget));
    if (!bResolved) {
        RespondFails(pSession);
    } else if (!MailboxExists(szTarget)) {
        RespondNoMailbox(pSession, pSession->pTag, pSession->pCommand, szTarget);
    } else if (!RoomOnDisk(szTarget, ulSize)) {
        FormatResponse(pSession, "%s %s [LIMIT] %s not enough disk space\r\n", pszTag, "NO", pSession->pCommand);
    } else {
        ulUid = AssignUnusedUid(szTarget);
        // Made here, before the continuation, so that a mailbox that cannot take it is answered
        // while the client still holds the literal; never over an existing file.
        bReady = ulUid != 0 && FormatIncomingName(szFile, sizeof(szFile), szTarget, ulUid) && CreateNewFile(szFile, MailFileMode());
        if (!bReady) {
            RespondFails(pSession);
        }
    }
    if (!bReady) {
        if (!bContinuation) {
            DiscardLiteral(pSession, ulSize);
        }
        return 1;
    }

    if (bContinuation) {
        FormatResponse(pSession, "+ Ready for literal data\r\n");
        SendResponse(pSession, 1, 1);
    }
    std::string held;
    if (WriteMessageFile(LiteralSource(pSession, &held), szTarget, &ulUid, ulSize, szFlagCode, llDate) == 0) {
        // Only a message stored whole is answered OK; the file is gone again.
        FormatResponse(pSession, "%s %s APPEND fails\r\n", pszTag, "NO");
        return 1;
    }
    uint32_t ulValidity = 0;
    if (GetUidValidity(szTarget, &ulValidity)) {
        FormatResponse(pSession, "%s %s [APPENDUID %u %u] APPEND completed\r\n", pszTag, "OK", ulValidity, ulUid);
    } else {
        FormatResponse(pSession, "%s %s APPEND completed\r\n", pszTag, "OK");
    }
    return 1;
}
