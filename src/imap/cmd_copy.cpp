// COPY and UID COPY: copies message files into another mailbox under that mailbox's next UIDs,
// each with its flag code unchanged (Recent included).
#include <cstdio>
#include <cstring>
#include <vector>

#include "imap/commands.h"
#include "config/settings.h"
#include "imap/mailbox_name.h"
#include "imap/new_uid.h"
#include "imap/response.h"
#include "imap/view.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "store/store.h"

namespace {

// A message this command has put into the target, so that a failed COPY can take it back.
struct CopiedMessage {
    uint32_t ulSourceUid;
    uint32_t ulUid;
    char szFlagCode[7];
};

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

// The copy is made under a hidden name and takes its own once whole and on the disk: neither
// another session nor a crash ever sees a piece of a message.
bool CopyOne(const char* pszSource, const char* pszTargetDir, uint32_t ulUid, const char* pszTarget) {
    TracePrint("CopyFile(%s -> %s)\n", pszSource, pszTarget);
    char szIncoming[MAX_PATH + 32];
    if (!FormatIncomingName(szIncoming, sizeof(szIncoming), pszTargetDir, ulUid)) {
        return false;
    }
    if (CopyFileNoReplace(pszSource, szIncoming, MailFileMode(), MailFsyncOn()) &&
        MoveFileNoReplace(szIncoming, pszTarget)) {
        return true;
    }
    DeleteFileEntry(szIncoming);
    return false;
}

// Copies the message in pSession->FindData. Another session may have renamed the source to
// change its flags since the listing; the message is then copied under its present name.
bool CopyMessage(Session* pSession, const char* pszTarget, std::vector<CopiedMessage>& copies) {
    CopiedMessage copy;
    copy.ulSourceUid = MessageUid(pSession->FindData.cFileName);
    TakeFlagCode(pSession->FindData.cFileName, copy.szFlagCode);
    char szSource[MAX_PATH + MAX_PATH];
    char szTargetFile[MAX_PATH + 32];
    if (!FormatText(szSource, sizeof(szSource), "%s/%s", pSession->szMailbox, pSession->FindData.cFileName)) {
        return false;
    }
    copy.ulUid = AssignUnusedUid(pszTarget);
    if (copy.ulUid == 0 || !FormatMessagePath(szTargetFile, sizeof(szTargetFile), pszTarget, copy.ulUid, copy.szFlagCode)) {
        return false;
    }
    if (CopyOne(szSource, pszTarget, copy.ulUid, szTargetFile)) {
        copies.push_back(copy);
        return true;
    }

    char szPattern[MAX_PATH + 32];
    std::vector<FindData> renamed;
    if (!FormatMessagePath(szPattern, sizeof(szPattern), pSession->szMailbox, MessageUid(pSession->FindData.cFileName),
                           "??????") ||
        FindFiles(szPattern, 0, renamed) != 1 ||
        !IsMessageFile(renamed[0]) || strcmp(renamed[0].cFileName, pSession->FindData.cFileName) == 0) {
        return false;
    }
    TakeFlagCode(renamed[0].cFileName, copy.szFlagCode);
    if (!FormatText(szSource, sizeof(szSource), "%s/%s", pSession->szMailbox, renamed[0].cFileName) ||
        !FormatMessagePath(szTargetFile, sizeof(szTargetFile), pszTarget, copy.ulUid, copy.szFlagCode) ||
        !CopyOne(szSource, pszTarget, copy.ulUid, szTargetFile)) {
        return false;
    }
    copies.push_back(copy);
    return true;
}

// A client that moves mail copies and then deletes: it must never be told OK for a copy that
// is not whole, and a failed COPY leaves the target as it was.
void TakeBack(const char* pszTarget, const std::vector<CopiedMessage>& copies) {
    for (const CopiedMessage& copy : copies) {
        char szTargetFile[MAX_PATH + 32];
        if (FormatMessagePath(szTargetFile, sizeof(szTargetFile), pszTarget, copy.ulUid, copy.szFlagCode)) {
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

}  // namespace

int CmdCopy(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    char szSet[RECV_SIZE];
    char szTarget[MAX_PATH];
    if (!TakeSetAndTarget(pSession, szSet, sizeof(szSet), szTarget, sizeof(szTarget))) {
        return 1;
    }

    std::vector<CopiedMessage> copies;
    bool bFailed = false;
    // The view was taken before anything is copied: copies made into the selected mailbox
    // itself are not copied again.
    bool bParsed = ForEachMessage(pSession, szSet, pSession->bUid != 0, [&](uint32_t, ViewMessage&) {
        bFailed = !CopyMessage(pSession, szTarget, copies);
        return !bFailed;
    });
    if (!bParsed) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // Acknowledged means on the disk: the new names too.
    if (!bFailed && !SyncMailbox(szTarget)) {
        bFailed = true;
    }
    if (!bFailed) {
        RespondCopied(pSession, szTarget, copies);
        return 1;
    }
    TakeBack(szTarget, copies);
    if (MailboxExists(szTarget)) {
        RespondFails(pSession);
    } else {
        RespondNoMailbox(pSession, pSession->pTag, pSession->pCommand, szTarget);
    }
    return 1;
}
