// DELETE: removes an empty mailbox directory.
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "store/store.h"

#include <cstdio>

namespace {

void RespondFailed(Session* pSession) {
    FormatResponse(pSession, "%s %s %s failed\r\n", pSession->pTag, "NO", pSession->pCommand);
}

}  // namespace

int CmdDelete(Session* pSession) {
    char szName[RECV_SIZE];
    if (!TakeMailboxArgument(pSession, szName, sizeof(szName))) {
        return 1;
    }
    char szPath[MAX_PATH];
    if (IsInboxName(szName) || !ResolveClientMailbox(pSession, szName, szPath, sizeof(szPath))) {
        RespondFailed(pSession);
        return 1;
    }
    char szUidFile[MAX_PATH + 8];
    if (!FormatText(szUidFile, sizeof(szUidFile), "%s/uid", szPath)) {
        RespondFailed(pSession);
        return 1;
    }

    // The uid file has to go for the directory to be removable. When the directory still holds
    // messages or child mailboxes it stays, and so must its next UID: derived again from the
    // remaining files it could hand out the UIDs of expunged messages a second time.
    LockHandle hLock = LockMailboxUids(szPath);
    uint32_t ulUidNext = ReadUidNext(szPath);
    bool bHadUidFile = DeleteFileEntry(szUidFile);
    bool bRemoved = RemoveDirectoryEntry(szPath);
    if (!bRemoved && bHadUidFile) {
        WriteUidNext(szPath, ulUidNext);
    }
    if (hLock != INVALID_LOCK_HANDLE) {
        UnLockMailboxUids(hLock);
    }

    if (bRemoved) {
        FormatResponse(pSession, "%s %s %s successful\r\n", pSession->pTag, "OK", pSession->pCommand);
    } else {
        RespondFailed(pSession);
    }
    return 1;
}
