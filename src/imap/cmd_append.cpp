// APPEND: stores the messages the client sends, each with Recent and its listed flags. One
// command may carry several (MULTIAPPEND, RFC 3502) and build one from pieces of text and of
// messages already stored (CATENATE, RFC 4469); either all of them are stored or none is.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "imap/append_url.h"
#include "imap/args.h"
#include "imap/command_reader.h"
#include "imap/commands.h"
#include "imap/content_encoding.h"
#include "imap/flags.h"
#include "imap/mailbox_name.h"
#include "imap/mime.h"
#include "imap/response.h"
#include "imap/output.h"
#include "imap/session_io.h"
#include "platform/date_text.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "store/mod_state.h"
#include "store/store.h"

namespace {

constexpr size_t FLAGS_COPY_SIZE = 1024;
constexpr size_t DATE_COPY_SIZE = 64;
constexpr size_t URL_SIZE = 4096;
constexpr int MAX_NAME_TRIES = 8;
// Each message of a command holds its hidden file locked until all are named: a bound, so that
// one command cannot use up the descriptors every session shares.
constexpr size_t MESSAGES_MAX = 1000;
constexpr size_t UID_RUN_MAX = 64;
// Binary parts are turned into base64 in memory; a larger message is stored as it came.
constexpr uint64_t BINARY_CONVERT_MAX = 256ull << 20;

// The literal as the client sends it, every byte counted (a NUL is message text like any
// other): the pending input first, then the blocks received. Text received behind the literal
// is the rest of the command: it goes back to the pending input instead of into the message.
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

// Hands every byte of a literal of ullSize bytes to pfnTake; false when the input ended first.
template <typename Take>
bool ReadLiteral(Session* pSession, uint64_t ullSize, Take pfnTake) {
    std::string held;
    MessageSource source = LiteralSource(pSession, &held);
    for (uint64_t ullCount = 0; ullCount < ullSize;) {
        const char* pData = nullptr;
        size_t nLength = 0;
        if (!source(ullSize - ullCount, &pData, &nLength)) return false;
        pfnTake(pData, nLength);
        ullCount += nLength;
    }
    return true;
}

// A message that would fill the disk is refused before its literal: a half-written file helps
// nobody, and the other users' mail needs the room.
bool RoomOnDisk(const char* pszMailbox, uint64_t ullSize) {
    constexpr uint64_t SPARE_BYTES = 16ull << 20;
    uint64_t ullFree = 0;
    return !FreeDiskBytes(pszMailbox, &ullFree) || ullFree >= ullSize + SPARE_BYTES;
}

// A literal announced at the end of a line: "{n}", "{n+}", or a literal8 "~{n}", "~{n+}".
struct Announcement {
    unsigned long ulSize = 0;
    bool bNonSync = false;
    bool bBinary = false;
};

bool ReadAnnouncement(const char** ppCursor, Announcement* pAnnounced) {
    const char* p = *ppCursor;
    pAnnounced->bBinary = *p == '~';
    if (pAnnounced->bBinary) p++;
    if (!TakeLiteralSize(&p, &pAnnounced->ulSize, &pAnnounced->bNonSync) || *p != '\0') return false;
    *ppCursor = p;
    return true;
}

// The rest of the command as the handler reads it: the current line from nPos on. A literal
// announced at the line's end is unread until the next line is taken.
struct CommandInput {
    Session* pSession;
    const char* pszTag;  // a copy: szRecv, where the tag stood, takes the further lines
    std::string line;
    size_t nPos = 0;
    const char* Cursor() const { return line.c_str() + nPos; }
    void MoveTo(const char* p) { nPos = static_cast<size_t>(p - line.c_str()); }
};

// Takes the line that follows a literal just read. False when the connection ended or the line
// is none a command could hold (a NUL, a control character, too long).
bool NextLine(CommandInput* pInput) {
    pInput->nPos = 0;
    if (!ReadAnswerLine(pInput->pSession)) {
        pInput->line.clear();
        return false;
    }
    pInput->line.assign(pInput->pSession->szRecv, pInput->pSession->nReceived);
    return true;
}

// After a refusal, what the client sends without waiting is read and dropped, so that none of
// it runs as requests. A synchronising literal is not asked for: the tagged answer tells the
// client that the command is over.
void SkipRest(CommandInput* pInput) {
    for (;;) {
        size_t nOpen = pInput->line.rfind('{');
        if (nOpen == std::string::npos) return;
        const char* p = pInput->line.c_str() + nOpen;
        Announcement announced;
        if (!ReadAnnouncement(&p, &announced)) return;
        // A client that did not wait for the continuation has sent its literal behind the line.
        if (!announced.bNonSync && pInput->pSession->nQueued == 0) return;
        if (!ReadLiteral(pInput->pSession, announced.ulSize, [](const char*, size_t) {}) || !NextLine(pInput)) return;
    }
}

// One message of the command, received under a hidden name until all are whole.
struct NewMessage {
    uint32_t ulUid = 0;
    std::string incoming;
    LockHandle hHold = INVALID_LOCK_HANDLE;  // so that nobody takes it for a crash's leftover
    FILE* pFile = nullptr;
    uint64_t ullSize = 0;
    char szLast[2] = {};  // the last two bytes written
    bool bWriteFailed = false;
    bool bBinary = false;  // a literal8 came into it
    char szFlagCode[FLAG_COUNT + 1] = {};
    std::vector<std::string> keywords;
    int64_t llDate = NO_INTERNAL_DATE;

    // Once its content is all received: only the lock stays open.
    void Close() {
        if (pFile != nullptr && std::fclose(pFile) != 0) bWriteFailed = true;
        pFile = nullptr;
    }
    void Write(const char* pData, size_t nLength) {
        if (nLength == 0) return;
        if (!bWriteFailed && (pFile == nullptr || std::fwrite(pData, 1, nLength, pFile) != nLength)) bWriteFailed = true;
        ullSize += nLength;
        if (nLength >= 2) {
            std::memcpy(szLast, pData + nLength - 2, 2);
        } else {
            szLast[0] = szLast[1];
            szLast[1] = pData[0];
        }
    }
};

// Binary parts of a message that came as a literal8 are stored in base64: mail readers and the
// companion server expect text, and BINARY gives the client its bytes back.
bool StoreBinaryAsBase64(NewMessage& message) {
    MimeTree tree;
    if (!ParseMimeFile(message.incoming.c_str(), &tree)) return false;
    std::string content;
    FILE* pFile = std::fopen(message.incoming.c_str(), "rb");
    if (pFile == nullptr) return false;
    content.resize(static_cast<size_t>(message.ullSize));
    bool bRead = std::fread(content.data(), 1, content.size(), pFile) == content.size();
    std::fclose(pFile);
    std::string converted;
    if (!bRead) return false;
    if (!EncodeBinaryParts(content, tree, &converted)) return true;
    message.pFile = std::fopen(message.incoming.c_str(), "wb");
    message.ullSize = 0;
    message.Write(converted.data(), converted.size());
    message.Close();
    return !message.bWriteFailed;
}

// Makes the received message whole on the disk; false when it is not.
bool FinishMessage(NewMessage& message) {
    message.Close();
    if (message.bWriteFailed) return false;
    if (message.bBinary && message.ullSize <= BINARY_CONVERT_MAX && !StoreBinaryAsBase64(message)) return false;
    // Every stored message ends with a line end, which the companion server relies on.
    if (std::memcmp(message.szLast, "\r\n", 2) != 0) {
        FILE* pFile = std::fopen(message.incoming.c_str(), "ab");
        bool bAdded = pFile != nullptr && std::fwrite("\r\n", 1, 2, pFile) == 2;
        if (pFile != nullptr && std::fclose(pFile) != 0) bAdded = false;
        if (!bAdded) return false;
    }
    if (message.llDate != NO_INTERNAL_DATE && !SetLastWriteTime(message.incoming.c_str(), message.llDate)) return false;
    // Acknowledged means on the disk: the content before the name, the name before the answer.
    // The descriptor that holds the lock reaches the same file, also after a rewrite.
    return !MailFsyncOn() || SyncLockedFile(message.hHold);
}

// The messages of one command; those never named in the mailbox go again with it.
struct AppendBatch {
    const char* pszTag = "";
    char szTarget[MAX_PATH] = "";
    std::vector<std::unique_ptr<NewMessage>> messages;
    // UIDs taken for messages still to come: after the first message they are taken in growing
    // runs, since each taking lists the mailbox. While every message has the UID after the one
    // before, they keep those UIDs when named.
    uint32_t ulNextFree = 0;
    uint32_t ulFreeEnd = 0;
    bool bConsecutive = true;
    ~AppendBatch() {
        for (auto& pMessage : messages) {
            if (pMessage->pFile != nullptr) std::fclose(pMessage->pFile);
            if (!pMessage->incoming.empty()) DeleteFileEntry(pMessage->incoming.c_str());
            if (pMessage->hHold != INVALID_LOCK_HANDLE) UnlockPath(pMessage->hHold);
        }
    }
};

enum Step {
    STEP_DONE,      // read, and the command goes on
    STEP_REFUSED,   // answered in szResponse; what the client sends without waiting is dropped
    STEP_LOST,      // the connection ended inside the command
    STEP_END,       // answered, and the connection ends
};

// Takes a UID for a new message and makes its hidden file before the client is asked for the
// message: an answer given after the continuation would leave the literal to be read as
// requests.
Step StartMessage(Session* pSession, AppendBatch* pBatch, const NewMessage& model, NewMessage** ppMessage) {
    // A writer on another machine that took the same UID from a uid file read a moment stale
    // holds its name already: the message takes another UID.
    if (pBatch->messages.size() == MESSAGES_MAX) {
        FormatResponse(pSession, "%s NO [LIMIT] APPEND takes at most %u messages at once\r\n", pBatch->pszTag,
                       static_cast<unsigned>(MESSAGES_MAX));
        return STEP_REFUSED;
    }
    auto pMessage = std::make_unique<NewMessage>();
    std::memcpy(pMessage->szFlagCode, model.szFlagCode, sizeof(pMessage->szFlagCode));
    pMessage->keywords = model.keywords;
    pMessage->llDate = model.llDate;
    for (int nTry = 0;; nTry++) {
        if (pBatch->ulNextFree == pBatch->ulFreeEnd) {
            uint32_t ulWant = static_cast<uint32_t>(std::clamp<size_t>(pBatch->messages.size(), 1, UID_RUN_MAX));
            uint32_t ulFirst = AssignUids(pBatch->szTarget, ulWant);
            if (ulFirst == 0) {
                RespondUnavailable(pSession, pBatch->pszTag, "APPEND");
                return STEP_REFUSED;
            }
            if (!pBatch->messages.empty() && ulFirst != pBatch->ulFreeEnd) pBatch->bConsecutive = false;
            pBatch->ulNextFree = ulFirst;
            pBatch->ulFreeEnd = UidAfterRun(ulFirst, ulWant);
        }
        pMessage->ulUid = pBatch->ulNextFree;
        pBatch->ulNextFree = UidAfterRun(pBatch->ulNextFree, 1);
        char szFile[MAX_PATH + 32];
        if (!FormatIncomingName(szFile, sizeof(szFile), pBatch->szTarget, pMessage->ulUid)) {
            FormatResponse(pSession, "%s NO APPEND fails\r\n", pBatch->pszTag);
            return STEP_REFUSED;
        }
        // Held locked from its making, so that nobody takes it for a crash's leftover.
        pMessage->pFile = CreateNewFileLocked(szFile, MailFileMode(), &pMessage->hHold);
        if (pMessage->pFile != nullptr) {
            pMessage->incoming = szFile;
            break;
        }
        pBatch->bConsecutive = false;
        if (LastFileFailure() != FILE_FAILURE_EXISTS || nTry == MAX_NAME_TRIES) {
            SetStoreFailure("the message file cannot be created");
            RespondUnavailable(pSession, pBatch->pszTag, "APPEND");
            return STEP_REFUSED;
        }
    }
    *ppMessage = pMessage.get();
    pBatch->messages.push_back(std::move(pMessage));
    return STEP_DONE;
}

// Too large a message is refused before the client sends it (RFC 7889).
bool TooBig(Session* pSession, const char* pszTag, uint64_t ullSize) {
    if (Settings.MaxMessageSize == 0 || ullSize <= Settings.MaxMessageSize) return false;
    FormatResponse(pSession, "%s %s [TOOBIG] %s message larger than %u bytes\r\n", pszTag, "NO", "APPEND",
                   static_cast<unsigned>(Settings.MaxMessageSize));
    return true;
}

// Reads a literal whose announcement has just been read into the message, and the line after it.
Step ReceiveLiteral(CommandInput* pInput, const Announcement& announced, NewMessage* pMessage) {
    Session* pSession = pInput->pSession;
    if (!announced.bNonSync && pSession->nQueued == 0) OutputContinuation(pSession, "Ready for literal data");
    if (!ReadLiteral(pSession, announced.ulSize, [pMessage](const char* pData, size_t nLength) { pMessage->Write(pData, nLength); })) {
        return STEP_LOST;
    }
    if (announced.bBinary) pMessage->bBinary = true;
    return NextLine(pInput) ? STEP_DONE : STEP_LOST;
}

// A message given as a literal.
Step ReadMessageLiteral(CommandInput* pInput, AppendBatch* pBatch, NewMessage* pTemplate) {
    Session* pSession = pInput->pSession;
    const char* p = pInput->Cursor();
    Announcement announced;
    if (!ReadAnnouncement(&p, &announced) || announced.ulSize == 0) {
        FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
        return STEP_REFUSED;
    }
    pInput->MoveTo(p);
    if (TooBig(pSession, pInput->pszTag, announced.ulSize)) {
        // A literal already on its way would have to be read to its end: the connection ends instead.
        if (!announced.bNonSync && pSession->nQueued == 0) return STEP_REFUSED;
        AppendBye(pSession, "Message too large");
        return STEP_END;
    }
    if (!RoomOnDisk(pBatch->szTarget, announced.ulSize)) {
        FormatResponse(pSession, "%s %s [LIMIT] %s not enough disk space\r\n", pInput->pszTag, "NO", "APPEND");
        return STEP_REFUSED;
    }
    NewMessage* pMessage = nullptr;
    Step step = StartMessage(pSession, pBatch, *pTemplate, &pMessage);
    if (step != STEP_DONE) return step;
    step = ReceiveLiteral(pInput, announced, pMessage);
    pMessage->Close();
    return step;
}

// The URL of a URL part: a string, or a literal, which ends its line.
Step ReadUrl(CommandInput* pInput, char* pszUrl, size_t nSize) {
    Session* pSession = pInput->pSession;
    const char* p = pInput->Cursor();
    Announcement announced;
    if (*p == '{' && ReadAnnouncement(&p, &announced) && !announced.bBinary) {
        if (announced.ulSize >= nSize) {
            FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
            return STEP_REFUSED;
        }
        if (!announced.bNonSync && pSession->nQueued == 0) OutputContinuation(pSession, "Ready for literal data");
        std::string url;
        if (!ReadLiteral(pSession, announced.ulSize, [&url](const char* pData, size_t nLength) { url.append(pData, nLength); })) {
            return STEP_LOST;
        }
        static_cast<void>(FormatText(pszUrl, nSize, "%s", url.c_str()));
        return NextLine(pInput) ? STEP_DONE : STEP_LOST;
    }
    if (!TakeAstring(&p, pszUrl, nSize)) {
        FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
        return STEP_REFUSED;
    }
    pInput->MoveTo(p);
    return STEP_DONE;
}

// CATENATE (part ...): the message is the parts one after the other, each a literal (TEXT) or
// the bytes an URL names in one of the user's mailboxes.
Step ReadCatenation(CommandInput* pInput, AppendBatch* pBatch, NewMessage* pTemplate) {
    Session* pSession = pInput->pSession;
    NewMessage* pMessage = nullptr;
    Step step = StartMessage(pSession, pBatch, *pTemplate, &pMessage);
    if (step != STEP_DONE) return step;
    for (bool bFirst = true;; bFirst = false) {
        const char* p = pInput->Cursor();
        if (*p == ')' && !bFirst) {
            pInput->MoveTo(p + 1);
            break;
        }
        if (!bFirst && !TakeBlank(&p)) p = "";
        if (StrNICmp(p, "TEXT ", 5) == 0) {
            p += 5;
            Announcement announced;
            if (!ReadAnnouncement(&p, &announced)) {
                FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
                return STEP_REFUSED;
            }
            pInput->MoveTo(p);
            if (TooBig(pSession, pInput->pszTag, pMessage->ullSize + announced.ulSize)) return STEP_REFUSED;
            step = ReceiveLiteral(pInput, announced, pMessage);
            if (step != STEP_DONE) return step;
        } else if (StrNICmp(p, "URL ", 4) == 0) {
            pInput->MoveTo(p + 4);
            char szUrl[URL_SIZE];
            step = ReadUrl(pInput, szUrl, sizeof(szUrl));
            if (step != STEP_DONE) return step;
            MessageUrl url;
            // What the message may still take: the URL's bytes are not read when they would not fit.
            uint64_t ullLimit = Settings.MaxMessageSize;
            uint64_t ullRoom = ullLimit == 0 ? UINT64_MAX : ullLimit - std::min<uint64_t>(pMessage->ullSize, ullLimit);
            UrlRead read = ParseMessageUrl(szUrl, pSession->szUser, &url)
                               ? CopyUrlContent(pSession, url, ullRoom,
                                                [pMessage](const char* pData, size_t nLength) { pMessage->Write(pData, nLength); })
                               : URL_NAMES_NOTHING;
            if (read == URL_TOO_LARGE) {
                TooBig(pSession, pInput->pszTag, UINT64_MAX);
                return STEP_REFUSED;
            }
            if (read != URL_READ) {
                FormatResponse(pSession, "%s NO [BADURL %s] APPEND fails: the URL names no message here\r\n",
                               pInput->pszTag, szUrl);
                return STEP_REFUSED;
            }
        } else {
            FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
            return STEP_REFUSED;
        }
    }
    pMessage->Close();
    if (pMessage->ullSize == 0) {
        FormatResponse(pSession, "%s NO APPEND fails: the message is empty\r\n", pInput->pszTag);
        return STEP_REFUSED;
    }
    return STEP_DONE;
}

// One message: [(flags)] ["date-time"] and then its literal or its CATENATE list.
Step ReadMessage(CommandInput* pInput, AppendBatch* pBatch) {
    Session* pSession = pInput->pSession;
    const char* p = pInput->Cursor();
    char szFlagList[FLAGS_COPY_SIZE] = "";
    char szDate[DATE_COPY_SIZE] = "";
    bool bParsed = true;
    if (*p == '(') bParsed = TakeParenthesised(&p, szFlagList, sizeof(szFlagList)) && TakeBlank(&p);
    if (bParsed && *p == '"') bParsed = TakeString(&p, szDate, sizeof(szDate)) && TakeBlank(&p);
    if (!bParsed) {
        FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
        return STEP_REFUSED;
    }
    NewMessage model;
    if (szDate[0] != '\0' && !ParseImapDateTime(szDate, strlen(szDate), &model.llDate)) {
        FormatResponse(pSession, "%s %s %s %s\r\n", pInput->pszTag, "BAD", "APPEND", "invalid date-time");
        return STEP_REFUSED;
    }
    FlagCodeFromList(szFlagList, model.szFlagCode);
    if (!KeywordsFromList(szFlagList, &model.keywords)) {
        FormatResponse(pSession, "%s %s %s illegal argument\r\n", pInput->pszTag, "BAD", "APPEND");
        return STEP_REFUSED;
    }
    // Refused while the client still holds the message.
    if (!model.keywords.empty()) {
        std::vector<std::string> names = model.keywords;
        for (const auto& pMessage : pBatch->messages) {
            names.insert(names.end(), pMessage->keywords.begin(), pMessage->keywords.end());
        }
        if (!KeywordsFit(pBatch->szTarget, names)) {
            FormatResponse(pSession, "%s %s [LIMIT] %s too many keywords in this mailbox\r\n", pInput->pszTag, "NO",
                           "APPEND");
            return STEP_REFUSED;
        }
    }
    pInput->MoveTo(p);
    if (StrNICmp(p, "CATENATE (", 10) == 0) {
        pInput->MoveTo(p + 10);
        return ReadCatenation(pInput, pBatch, &model);
    }
    return ReadMessageLiteral(pInput, pBatch, &model);
}

// Names every message in the mailbox, or none.
bool PublishAll(AppendBatch* pBatch, uint32_t* pulFirst) {
    std::vector<IncomingMessage> incoming;
    for (auto& pMessage : pBatch->messages) {
        if (!FinishMessage(*pMessage)) {
            SetStoreFailure("the message file cannot be written");
            return false;
        }
        incoming.emplace_back();
        incoming.back().incoming = pMessage->incoming;
        std::memcpy(incoming.back().szFlagCode, pMessage->szFlagCode, sizeof(incoming.back().szFlagCode));
    }
    *pulFirst = pBatch->messages.front()->ulUid;
    // Named under the UIDs they were received with when those follow one another and nothing has
    // been given out after them; else under fresh ones.
    size_t nNamed = PublishMessages(pBatch->szTarget, pulFirst, incoming, pBatch->bConsecutive ? pBatch->ulFreeEnd : 0);
    bool bSynced = nNamed == incoming.size() && SyncMailbox(pBatch->szTarget);
    if (nNamed == incoming.size() && !bSynced) SetStoreFailure("the mailbox directory cannot be flushed to the disk");
    // Acknowledged means the keywords too: messages that cannot keep them are taken back.
    if (bSynced) {
        std::vector<PlacedMessage> placed;
        for (size_t i = 0; i < nNamed; i++) {
            placed.push_back(PlacedMessage{UidAfterRun(*pulFirst, static_cast<uint32_t>(i)),
                                           FlagBitsOfCode(incoming[i].szFlagCode), pBatch->messages[i]->keywords});
        }
        bSynced = RecordPlacedKeywords(pBatch->szTarget, placed);
    }
    for (size_t i = 0; i < nNamed; i++) {
        pBatch->messages[i]->incoming.clear();
        // A message of a failed command is taken back: the client sends them all again.
        char szPath[MAX_PATH + 32];
        if (!bSynced && FormatMessagePath(szPath, sizeof(szPath), pBatch->szTarget,
                                          UidAfterRun(*pulFirst, static_cast<uint32_t>(i)), incoming[i].szFlagCode)) {
            DeleteFileEntry(szPath);
        }
    }
    return bSynced;
}

void RespondAppended(Session* pSession, const AppendBatch& batch, uint32_t ulFirst) {
    uint32_t ulValidity = 0;
    uint32_t ulCount = static_cast<uint32_t>(batch.messages.size());
    if (!GetUidValidity(batch.szTarget, &ulValidity)) {
        FormatResponse(pSession, "%s %s APPEND completed\r\n", batch.pszTag, "OK");
    } else if (ulCount == 1) {
        FormatResponse(pSession, "%s %s [APPENDUID %u %u] APPEND completed\r\n", batch.pszTag, "OK", ulValidity, ulFirst);
    } else {
        FormatResponse(pSession, "%s %s [APPENDUID %u %u:%u] APPEND completed\r\n", batch.pszTag, "OK", ulValidity,
                       ulFirst, UidAfterRun(ulFirst, ulCount - 1));
    }
}

}  // namespace

int CmdAppend(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    // Further lines of the command are received into szRecv, where the tag and the arguments live.
    const std::string strTag = pSession->pTag;
    const char* pszTag = strTag.c_str();
    CommandInput input{pSession, pszTag, pSession->pArgs};
    AppendBatch batch;
    batch.pszTag = pszTag;
    char szName[MAX_PATH];
    const char* p = input.Cursor();
    Step step = STEP_DONE;
    if (!TakeAstring(&p, szName, sizeof(szName)) || !TakeBlank(&p)) {
        FormatResponse(pSession, "%s %s %s illegal argument\r\n", pszTag, "BAD", "APPEND");
        step = STEP_REFUSED;
    } else if (!ClientNameToStored(pSession, szName, sizeof(szName))) {
        step = STEP_REFUSED;
    } else if (!ResolveClientMailbox(pSession, szName, batch.szTarget, sizeof(batch.szTarget))) {
        FormatResponse(pSession, "%s NO APPEND fails\r\n", pszTag);
        step = STEP_REFUSED;
    } else if (!MailboxExists(batch.szTarget)) {
        RespondNoMailbox(pSession, pszTag, "APPEND", batch.szTarget);
        step = STEP_REFUSED;
    }
    input.MoveTo(p);
    // The messages follow one another, each behind one blank, until a line ends after one.
    while (step == STEP_DONE) {
        step = ReadMessage(&input, &batch);
        if (step != STEP_DONE || *input.Cursor() == '\0') break;
        p = input.Cursor();
        if (!TakeBlank(&p) || *p == '\0') {
            FormatResponse(pSession, "%s %s %s illegal argument\r\n", pszTag, "BAD", "APPEND");
            step = STEP_REFUSED;
            break;
        }
        input.MoveTo(p);
    }
    int nResult = 1;
    switch (step) {
        case STEP_DONE: {
            uint32_t ulFirst = 0;
            if (PublishAll(&batch, &ulFirst)) {
                RespondAppended(pSession, batch, ulFirst);
            } else {
                RespondUnavailable(pSession, pszTag, "APPEND");
            }
            break;
        }
        case STEP_REFUSED:
            SkipRest(&input);
            break;
        case STEP_LOST:
            // A client that went away inside its command is told nothing new.
            FormatResponse(pSession, "%s %s APPEND fails\r\n", pszTag, "NO");
            break;
        case STEP_END:
            nResult = 0;
            break;
    }
    return nResult;
}
