// MOVE and UID MOVE: each message file is renamed into the target mailbox under that mailbox's
// next UID, so that the message is never in both mailboxes and never in neither. The client is
// told the new UIDs (COPYUID) before the EXPUNGE lines of the moved messages.
#include <string>
#include <vector>

#include "config/settings.h"
#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/mailbox_name.h"
#include "imap/new_uid.h"
#include "imap/response.h"
#include "imap/view.h"
#include "imap/output.h"
#include "platform/fs.h"
#include "store/mailbox_index.h"
#include "store/mod_state.h"
#include "store/store.h"

namespace {

// A message this command has moved, so that a failed MOVE can put it back.
struct MovedMessage {
    ViewMessage* pMessage;
    uint32_t ulSourceUid;
    char szSource[MESSAGE_PATH_SIZE];
    char szTarget[MESSAGE_PATH_SIZE];
    uint32_t ulTargetUid;
    uint8_t fTargetFlags;
};

enum MoveResult { MOVE_DONE, MOVE_GONE, MOVE_FAILED };

// Another session may rename the file for its flags between the listing and the move: the move
// is then made again under the present name, with the flags stored there.
MoveResult MoveMessage(Session* pSession, ViewMessage& message, const char* pszTarget, uint32_t ulTargetUid,
                       std::vector<MovedMessage>& moved) {
    MovedMessage entry{&message, message.ulUid, {}, {}, ulTargetUid, 0};
    ClearStoreFailure();
    for (int nTry = 0; nTry < 8; nTry++) {
        // A moved message is new in its mailbox: no session there has seen it yet.
        uint8_t fTarget = static_cast<uint8_t>(message.fFlags | FLAG_BIT_RECENT);
        if (!MessageFilePath(entry.szSource, sizeof(entry.szSource), pSession->pView->szMailbox, message.ulUid, message.fFlags) ||
            !MessageFilePath(entry.szTarget, sizeof(entry.szTarget), pszTarget, entry.ulTargetUid, fTarget)) {
            return MOVE_FAILED;
        }
        TracePrint("MoveFile(%s -> %s)\n", entry.szSource, entry.szTarget);
        ClearFileFailure();
        if (MoveFileNoReplace(entry.szSource, entry.szTarget)) {
            entry.fTargetFlags = fTarget;
            MarkGone(*pSession->pView, message);
            moved.push_back(entry);
            return MOVE_DONE;
        }
        bool bNameTaken = LastFileFailure() == FILE_FAILURE_EXISTS;
        uint8_t fBefore = message.fFlags;
        if (!ConfirmFileName(pSession, message)) return MOVE_GONE;
        if (message.fFlags != fBefore) continue;
        if (!bNameTaken) break;
        // A writer on another machine, which read the target's uid file a moment stale, took
        // the same UID: the message takes a fresh one.
        entry.ulTargetUid = AssignUids(pszTarget, 1);
        if (entry.ulTargetUid == 0) return MOVE_FAILED;
    }
    SetStoreFailure("the message cannot be moved");
    return MOVE_FAILED;
}

// A MOVE that fails leaves both mailboxes as they were: what was moved goes back.
void MoveBack(const std::vector<MovedMessage>& moved) {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        if (MoveFileNoReplace(it->szTarget, it->szSource)) {
            it->pMessage->fState &= static_cast<uint8_t>(~VIEW_GONE);
        }
    }
}

}  // namespace

int CmdMove(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    if (RefuseReadOnly(pSession)) return 1;
    std::vector<SetElement> set;
    char szTarget[MAX_PATH];
    if (!TakeSetAndTarget(pSession, &set, szTarget, sizeof(szTarget))) {
        return 1;
    }
    uint32_t ulValidity = 0;
    bool bValidity = GetUidValidity(szTarget, &ulValidity);

    std::vector<MovedMessage> moved;
    bool bFailed = false;
    // Messages moved into the selected mailbox itself come back as new ones, after the view
    // was taken: they are not moved again.
    std::vector<ViewMessage*> named;
    ForEachMessage(pSession, set, pSession->bUid != 0, [&](uint32_t, ViewMessage& message) {
        named.push_back(&message);
        return true;
    });
    // Keywords go with the messages; a mailbox that never had any costs no look.
    MailboxIndex& source = *pSession->pView->pIndex;
    std::vector<std::vector<std::string>> keywords(named.size());
    if (!named.empty() && source.HasKeywords()) {
        for (size_t i = 0; i < named.size(); i++) source.KeywordNamesOf(named[i]->ulUid, &keywords[i]);
    }
    // One run of UIDs for the whole set, taken at once.
    uint32_t ulFirst = named.empty() ? 0 : AssignUids(szTarget, static_cast<uint32_t>(named.size()));
    bFailed = !named.empty() && ulFirst == 0;
    std::vector<size_t> movedFrom;  // for each moved message, its place in named
    for (size_t i = 0; i < named.size() && !bFailed; i++) {
        // A message the set names twice has gone with its first move.
        if (named[i]->fState & VIEW_GONE) continue;
        uint32_t ulUid = UidAfterRun(ulFirst, static_cast<uint32_t>(i));
        MoveResult moveResult = MoveMessage(pSession, *named[i], szTarget, ulUid, moved);
        if (moveResult == MOVE_DONE) movedFrom.push_back(i);
        bFailed = moveResult == MOVE_FAILED;
    }
    if (!bFailed && !moved.empty()) {
        std::vector<PlacedMessage> placed;
        for (size_t m = 0; m < moved.size(); m++) {
            placed.push_back(PlacedMessage{moved[m].ulTargetUid, moved[m].fTargetFlags, keywords[movedFrom[m]]});
        }
        bFailed = !RecordPlacedKeywords(szTarget, placed);
    }
    // Acknowledged means on the disk: both directories' changed names.
    if (!bFailed && !moved.empty() &&
        (!SyncMailbox(szTarget) || !SyncMailbox(pSession->pView->szMailbox))) {
        bFailed = true;
    }
    if (bFailed) {
        MoveBack(moved);
        if (*LastStoreFailure() != '\0') {
            RespondUnavailable(pSession, pSession->pTag, pSession->pCommand);
        } else {
            RespondFails(pSession);
        }
        return 1;
    }
    std::vector<UidPair> pairs;
    for (const MovedMessage& entry : moved) pairs.emplace_back(entry.ulSourceUid, entry.ulTargetUid);
    char szCode[RESPONSE_SIZE - 64];
    if (bValidity && FormatCopyUid(ulValidity, pairs, szCode, sizeof(szCode))) {
        OutputFormat(pSession, "* OK [%s] Moved\r\n", szCode);
    }
    RespondCompleted(pSession);
    return 1;
}
