// COPY and UID COPY: copies message files into another mailbox under that mailbox's next UIDs,
// each with its flag code unchanged (Recent included).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imap/commands.h"
#include "config/settings.h"
#include "imap/mailbox_name.h"
#include "imap/new_uid.h"
#include "imap/response.h"
#include "imap/view.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "store/mailbox_index.h"
#include "store/mod_state.h"
#include "store/store.h"

namespace {

// A message this command is copying into the target, so that a failed COPY can take it back.
struct CopiedMessage {
    uint32_t ulSourceUid;
    char szSourceName[MESSAGE_NAME_LENGTH + 1];
    uint32_t ulUid;  // once named in the target
    IncomingMessage incoming;
    LockHandle hHold = INVALID_LOCK_HANDLE;  // the hidden copy, held until it is named
    std::vector<std::string> keywords;       // the source's, carried to the copy
};

// Copies are named this many at a time: each batch holds its hidden files open meanwhile, so that
// nobody takes them for a crash's leftovers.
constexpr size_t PUBLISH_BATCH = 32;

void TakeFlagCode(const char* pszName, char* pszFlagCode) {
    if (strlen(pszName) == MESSAGE_NAME_LENGTH) {
        memcpy(pszFlagCode, pszName + FLAG_POS_RECENT, 6);
    } else {
        memcpy(pszFlagCode, "000000", 6);
    }
    // A copy is a new message in its mailbox: no session there has seen it yet.
    pszFlagCode[0] = '1';
    pszFlagCode[6] = '\0';
}

// Copies the message to a hidden name in the target: neither another session nor a crash ever
// sees a piece of a message. Another session may have renamed the source to change its flags
// since the listing; the message is then copied under its present name.
bool CopyToIncoming(const char* pszMailbox, const char* pszTarget, uint32_t ulUid, CopiedMessage& copy) {
    char szIncoming[MAX_PATH + 32];
    if (!FormatIncomingName(szIncoming, sizeof(szIncoming), pszTarget, ulUid)) return false;
    copy.incoming.incoming = szIncoming;
    for (int nTry = 0; nTry < 2; nTry++) {
        char szSource[MAX_PATH + MAX_PATH];
        if (!MailboxFilePath(szSource, sizeof(szSource), pszMailbox, copy.szSourceName)) return false;
        TakeFlagCode(copy.szSourceName, copy.incoming.szFlagCode);
        TracePrint("CopyFile(%s -> %s)\n", szSource, szIncoming);
        ClearFileFailure();
        if (CopyFileNoReplace(szSource, szIncoming, MailFileMode(), MailFsyncOn())) {
            copy.hHold = LockPathExclusive(szIncoming);
            return true;
        }
        // The name belongs to another writer (one on another machine that took the same UID):
        // its file is left alone. A copy that failed half made has removed its own.
        if (LastFileFailure() == FILE_FAILURE_EXISTS) {
            copy.incoming.incoming.clear();
            return false;
        }
        char szPattern[MAX_PATH + 32];
        std::vector<FindData> renamed;
        if (!FormatMessagePath(szPattern, sizeof(szPattern), pszMailbox, copy.ulSourceUid, "??????") ||
            FindFiles(szPattern, 0, renamed) != 1 || !IsMessageFile(renamed[0]) ||
            strcmp(renamed[0].cFileName, copy.szSourceName) == 0) {
            return false;
        }
        static_cast<void>(FormatText(copy.szSourceName, sizeof(copy.szSourceName), "%s", renamed[0].cFileName));
    }
    return false;
}

constexpr int MAX_NAME_CLASHES = 8;

// Lets go of the first nMade copies of a batch; those from nKept on were never named and go.
void ReleaseIncoming(CopiedMessage* pBatch, size_t nMade, size_t nKept) {
    for (size_t i = 0; i < nMade; i++) {
        if (pBatch[i].hHold != INVALID_LOCK_HANDLE) UnlockPath(pBatch[i].hHold);
        pBatch[i].hHold = INVALID_LOCK_HANDLE;
        if (i >= nKept) DeleteFileEntry(pBatch[i].incoming.incoming.c_str());
    }
}

// Copies and names one batch; returns how many of it have their names, in order. The UIDs were
// taken for the whole set at once; a batch whose UIDs another writer has passed meanwhile takes
// new ones (PublishMessages).
size_t CopyBatch(const char* pszMailbox, const char* pszTarget, uint32_t* pulFirst, uint32_t ulRunEnd,
                 CopiedMessage* pBatch, size_t nBatch) {
    bool bCopied = true;
    size_t nMade = 0;
    for (int nClashes = 0; bCopied && nMade < nBatch;) {
        bCopied = CopyToIncoming(pszMailbox, pszTarget, UidAfterRun(*pulFirst, static_cast<uint32_t>(nMade)), pBatch[nMade]);
        if (bCopied) {
            nMade++;
        } else if (pBatch[nMade].incoming.incoming.empty() && ++nClashes <= MAX_NAME_CLASHES) {
            // Another writer holds one of these UIDs: the batch starts again under fresh ones.
            ReleaseIncoming(pBatch, nMade, 0);
            nMade = 0;
            uint32_t ulFresh = AssignUids(pszTarget, static_cast<uint32_t>(nBatch));
            if (ulFresh != 0) {
                *pulFirst = ulFresh;
                ulRunEnd = 0;
                bCopied = true;
            }
        }
    }
    if (!bCopied && *LastStoreFailure() == '\0') SetStoreFailure("the message cannot be copied");
    size_t nPublished = 0;
    if (bCopied) {
        std::vector<IncomingMessage> incoming;
        for (size_t i = 0; i < nBatch; i++) incoming.push_back(pBatch[i].incoming);
        nPublished = PublishMessages(pszTarget, pulFirst, incoming, ulRunEnd);
        for (size_t i = 0; i < nPublished; i++) pBatch[i].ulUid = UidAfterRun(*pulFirst, static_cast<uint32_t>(i));
    }
    ReleaseIncoming(pBatch, nMade, nPublished);
    return nPublished;
}

// A client that moves mail copies and then deletes: it must never be told OK for a copy that
// is not whole, and a failed COPY leaves the target as it was.
void TakeBack(const char* pszTarget, const std::vector<CopiedMessage>& copies, size_t nNamed) {
    for (size_t i = 0; i < nNamed; i++) {
        char szTargetFile[MAX_PATH + 32];
        if (FormatMessagePath(szTargetFile, sizeof(szTargetFile), pszTarget, copies[i].ulUid, copies[i].incoming.szFlagCode)) {
            DeleteFileEntry(szTargetFile);
        }
    }
}

// The tagged OK, with the UIDs the copies have (UIDPLUS) when there are any.
void RespondCopied(Session* pSession, const char* pszTarget, const std::vector<CopiedMessage>& copies) {
    std::vector<UidPair> pairs;
    for (const CopiedMessage& copy : copies) pairs.emplace_back(copy.ulSourceUid, copy.ulUid);
    uint32_t ulValidity = 0;
    char szCode[RESPONSE_SIZE - 64];
    if (GetUidValidity(pszTarget, &ulValidity) && FormatCopyUid(ulValidity, pairs, szCode, sizeof(szCode))) {
        FormatResponse(pSession, "%s OK [%s] %s completed\r\n", pSession->pTag, szCode, pSession->pCommand);
    } else {
        RespondCompleted(pSession);
    }
}

// Copies every message named, under UIDs taken once for them all; *pnNamed says how many of
// them have their names in the target.
bool CopyAll(Session* pSession, const char* pszTarget, std::vector<CopiedMessage>& copies, size_t* pnNamed) {
    *pnNamed = 0;
    if (copies.empty()) return true;
    uint32_t ulCount = static_cast<uint32_t>(copies.size());
    uint32_t ulFirst = AssignUids(pszTarget, ulCount);
    if (ulFirst == 0) return false;
    uint32_t ulRunEnd = UidAfterRun(ulFirst, ulCount);
    for (size_t nDone = 0; nDone < copies.size();) {
        size_t nBatch = std::min(PUBLISH_BATCH, copies.size() - nDone);
        uint32_t ulBatchFirst = UidAfterRun(ulFirst, static_cast<uint32_t>(nDone));
        size_t nNamed = CopyBatch(pSession->szMailbox, pszTarget, &ulBatchFirst, ulRunEnd, &copies[nDone], nBatch);
        *pnNamed = nDone + nNamed;
        if (nNamed != nBatch) return false;
        nDone += nBatch;
    }
    return true;
}

}  // namespace

int CmdCopy(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    std::vector<SetElement> set;
    char szTarget[MAX_PATH];
    if (!TakeSetAndTarget(pSession, &set, szTarget, sizeof(szTarget))) {
        return 1;
    }

    std::vector<CopiedMessage> copies;
    // The view was taken before anything is copied: copies made into the selected mailbox
    // itself are not copied again.
    ForEachMessage(pSession, set, pSession->bUid != 0, [&](uint32_t, ViewMessage& message) {
        copies.emplace_back();
        copies.back().ulSourceUid = message.ulUid;
        static_cast<void>(FormatText(copies.back().szSourceName, sizeof(copies.back().szSourceName), "%s",
                                     pSession->FindData.cFileName));
        return true;
    });
    // Keywords go with the copies; a mailbox that never had any costs no look.
    MailboxIndex& source = *pSession->pView->pIndex;
    if (!copies.empty() && source.HasKeywords()) {
        for (CopiedMessage& copy : copies) source.KeywordNamesOf(copy.ulSourceUid, &copy.keywords);
    }
    size_t nNamed = 0;
    bool bFailed = !CopyAll(pSession, szTarget, copies, &nNamed);
    if (!bFailed) {
        std::vector<PlacedMessage> placed;
        for (const CopiedMessage& copy : copies) {
            placed.push_back(PlacedMessage{copy.ulUid, FlagBitsOfCode(copy.incoming.szFlagCode), copy.keywords});
        }
        bFailed = !RecordPlacedKeywords(szTarget, placed);
    }
    // Acknowledged means on the disk: the new names too.
    if (!bFailed && !SyncMailbox(szTarget)) {
        bFailed = true;
    }
    if (!bFailed) {
        RespondCopied(pSession, szTarget, copies);
        return 1;
    }
    TakeBack(szTarget, copies, nNamed);
    if (MailboxExists(szTarget)) {
        // A store that failed says what; a message that could not be copied, nothing more.
        if (*LastStoreFailure() != '\0') {
            RespondUnavailable(pSession, pSession->pTag, pSession->pCommand);
        } else {
            RespondFails(pSession);
        }
    } else {
        RespondNoMailbox(pSession, pSession->pTag, pSession->pCommand, szTarget);
    }
    return 1;
}
