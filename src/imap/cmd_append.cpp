// APPEND: stores the message the client sends as a literal, with Recent and the listed flags.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/command_reader.h"
#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/mailbox_name.h"
#include "imap/new_uid.h"
#include "imap/response.h"
#include "imap/output.h"
#include "imap/session_io.h"
#include "platform/date_text.h"
#include "platform/fs.h"
#include "store/mod_state.h"
#include "store/store.h"

namespace {

constexpr size_t FLAGS_COPY_SIZE = 1024;
constexpr size_t DATE_COPY_SIZE = 64;

// The literal as the client sends it, every byte counted (a NUL is message text like any
// other): the pending input first, then the blocks received. Text received behind the literal
// is the client's next request: it goes back to the pending input instead of into the message.
MessageSource LiteralSource(Session* pSession, std::string* pHeld) {
    return [pSession, pHeld](uint64_t ullWanted, const char** ppData, size_t* pnLength) {
        if (pSession->nQueued > 0) {
            pHeld->resize(static_cast<size_t>(std::min<uint64_t>(pSession->nQueued, ullWanted)));
            pHeld->resize(TakeQueued(pSession, pHeld->data(), pHeld->size()));
            *ppData = pHeld->data();
            *pnLength = pHeld->size();
            return true;
        }
        if (RecvLine(pSession, 0) == 0) {
            return false;
        }
        size_t nLength = pSession->nReceived;
        pSession->nReceived = 0;
        size_t nTake = static_cast<size_t>(std::min<uint64_t>(nLength, ullWanted));
        if (nTake < nLength) {
            QueueBehind(pSession, pSession->szRecv + nTake, nLength - nTake);
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

// APPEND mailbox [(flags)] [date-time] literal, as the command reader left it: the message's
// literal unread and its announcement at the end of the arguments.
struct AppendRequest {
    char szName[MAX_PATH];
    char szFlagList[FLAGS_COPY_SIZE] = "";
    char szDate[DATE_COPY_SIZE] = "";
    unsigned long ulAnnounced = 0;
    bool bNonSync = false;
};

bool ReadAppendArguments(const char* pszArgs, AppendRequest* pRequest) {
    const char* p = pszArgs;
    bool bParsed = TakeAstring(&p, pRequest->szName, sizeof(pRequest->szName)) && TakeBlank(&p);
    if (bParsed && *p == '(') {
        bParsed = TakeParenthesised(&p, pRequest->szFlagList, sizeof(pRequest->szFlagList)) && TakeBlank(&p);
    }
    if (bParsed && *p == '"') bParsed = TakeString(&p, pRequest->szDate, sizeof(pRequest->szDate)) && TakeBlank(&p);
    return bParsed && TakeLiteralSize(&p, &pRequest->ulAnnounced, &pRequest->bNonSync) && *p == '\0';
}

// False, with BAD in szResponse, for arguments of another form; a literal already on its way is
// then read and dropped, so that none of it runs as requests.
bool TakeAppendArguments(Session* pSession, const char* pszTag, AppendRequest* pRequest) {
    if (ReadAppendArguments(pSession->pArgs, pRequest)) return true;
    const char* pLast = strrchr(pSession->pArgs, '{');
    unsigned long ulAnnounced = 0;
    bool bNonSync = false;
    if (pLast != nullptr && TakeLiteralSize(&pLast, &ulAnnounced, &bNonSync) && *pLast == '\0' && bNonSync) {
        DiscardLiteral(pSession, static_cast<uint32_t>(ulAnnounced));
    }
    FormatResponse(pSession, "%s %s %s illegal argument\r\n", pszTag, "BAD", "APPEND");
    return false;
}

constexpr int MAX_NAME_TRIES = 8;

// The mailbox must exist and take the new file before the client is asked for the message: an
// answer given after the continuation would leave the literal to be read as requests. False
// once the client has been answered.
bool PrepareTarget(Session* pSession, const char* pszName, uint32_t ulSize, char* pszTarget, size_t nTargetSize,
                   uint32_t* pulUid) {
    if (!ResolveClientMailbox(pSession, pszName, pszTarget, nTargetSize)) {
        RespondFails(pSession);
        return false;
    }
    if (!MailboxExists(pszTarget)) {
        RespondNoMailbox(pSession, pSession->pTag, pSession->pCommand, pszTarget);
        return false;
    }
    if (!RoomOnDisk(pszTarget, ulSize)) {
        FormatResponse(pSession, "%s %s [LIMIT] %s not enough disk space\r\n", pSession->pTag, "NO", pSession->pCommand);
        return false;
    }
    // A writer on another machine that took the same UID from a uid file read a moment stale
    // holds its name already: the message takes another UID.
    for (int nTry = 0;; nTry++) {
        *pulUid = AssignUnusedUid(pszTarget);
        if (*pulUid == 0) {
            RespondUnavailable(pSession, pSession->pTag, pSession->pCommand);
            return false;
        }
        // Made here, before the continuation, so that a mailbox that cannot take it is answered
        // while the client still holds the literal; never over an existing file.
        char szFile[MAX_PATH + 32];
        if (!FormatIncomingName(szFile, sizeof(szFile), pszTarget, *pulUid)) {
            RespondFails(pSession);
            return false;
        }
        if (CreateNewFile(szFile, MailFileMode())) return true;
        if (LastFileFailure() != FILE_FAILURE_EXISTS || nTry == MAX_NAME_TRIES) {
            SetStoreFailure("the message file cannot be created");
            RespondUnavailable(pSession, pSession->pTag, pSession->pCommand);
            return false;
        }
    }
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
    AppendRequest request;
    if (!TakeAppendArguments(pSession, pszTag, &request)) return 1;
    // A client that did not wait for the continuation has sent its literal behind the line.
    bool bContinuation = !request.bNonSync && pSession->nQueued == 0;
    uint32_t ulSize = static_cast<uint32_t>(std::min<unsigned long>(request.ulAnnounced, 0xFFFFFFFDul));
    int64_t llDate = NO_INTERNAL_DATE;
    bool bBadDate = request.szDate[0] != '\0' && !ParseImapDateTime(request.szDate, strlen(request.szDate), &llDate);
    if (ulSize == 0 || bBadDate) {
        // Nothing is stored; a literal already on its way is read and dropped.
        if (!bContinuation) DiscardLiteral(pSession, ulSize);
        FormatResponse(pSession, "%s %s %s %s\r\n", pszTag, "BAD", "APPEND", bBadDate ? "invalid date-time" : "illegal argument");
        return 1;
    }
    // Too large a message is refused before the client sends it (RFC 7889). A literal already on
    // its way would have to be read to the end: the connection ends instead.
    if (Settings.MaxMessageSize != 0 && ulSize > Settings.MaxMessageSize) {
        FormatResponse(pSession, "%s %s [TOOBIG] %s message larger than %u bytes\r\n", pszTag, "NO", pSession->pCommand,
                       static_cast<unsigned>(Settings.MaxMessageSize));
        if (bContinuation) return 1;
        AppendBye(pSession, "Message too large");
        return 0;
    }
    std::vector<std::string> keywords;
    if (!KeywordsFromList(request.szFlagList, &keywords)) {
        if (!bContinuation) DiscardLiteral(pSession, ulSize);
        FormatResponse(pSession, "%s %s %s %s\r\n", pszTag, "BAD", "APPEND", "illegal argument");
        return 1;
    }
    char szTarget[MAX_PATH];
    uint32_t ulUid = 0;
    if (!PrepareTarget(pSession, request.szName, ulSize, szTarget, sizeof(szTarget), &ulUid)) {
        if (!bContinuation) DiscardLiteral(pSession, ulSize);
        return 1;
    }
    // Refused while the client still holds the message.
    if (!KeywordsFit(szTarget, keywords)) {
        char szFile[MAX_PATH + 32];
        if (FormatIncomingName(szFile, sizeof(szFile), szTarget, ulUid)) DeleteFileEntry(szFile);
        if (!bContinuation) DiscardLiteral(pSession, ulSize);
        FormatResponse(pSession, "%s %s [LIMIT] %s too many keywords in this mailbox\r\n", pszTag, "NO", "APPEND");
        return 1;
    }

    if (bContinuation) {
        OutputContinuation(pSession, "Ready for literal data");
    }
    char szFlagCode[FLAG_COUNT + 1];
    FlagCodeFromList(request.szFlagList, szFlagCode);
    std::string held;
    if (WriteMessageFile(LiteralSource(pSession, &held), szTarget, &ulUid, ulSize, szFlagCode, llDate) == 0) {
        // Only a message stored whole is answered OK; the file is gone again. A client that went
        // away inside its literal is told nothing new.
        if (*LastStoreFailure() != '\0') {
            RespondUnavailable(pSession, pszTag, "APPEND");
        } else {
            FormatResponse(pSession, "%s %s APPEND fails\r\n", pszTag, "NO");
        }
        return 1;
    }
    // Acknowledged means the keywords too: a message that cannot keep them is taken back.
    uint8_t fFlags = FlagBitsOfCode(szFlagCode);
    if (!RecordPlacedKeywords(szTarget, {PlacedMessage{ulUid, fFlags, keywords}})) {
        char szFile[MESSAGE_PATH_SIZE];
        if (MessageFilePath(szFile, sizeof(szFile), szTarget, ulUid, fFlags)) DeleteFileEntry(szFile);
        RespondUnavailable(pSession, pszTag, "APPEND");
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
