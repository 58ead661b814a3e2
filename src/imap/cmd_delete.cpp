// DELETE: removes a mailbox with its messages. The directory first takes a hidden name that no
// client can name and no listing shows, then is emptied and removed; a crash in between leaves
// a hidden directory, never a half-emptied mailbox, and the next DELETE beside it sweeps it.
// Sites that want the old refusal of a mailbox that still holds messages set DeleteFullMailbox.
#include "config/settings.h"
#include "imap/commands.h"
#include "store/subscriptions.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "store/mod_state.h"
#include "store/store.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ":" is refused in every client's mailbox name, so no client can reach or make such a name.
constexpr const char* DELETED_PREFIX = ".deleted:";
// A tree made by hand deeper than this is left for an administrator.
constexpr int MAX_REMOVE_DEPTH = 64;

void RespondFailed(Session* pSession) {
    FormatResponse(pSession, "%s %s %s failed\r\n", pSession->pTag, "NO", pSession->pCommand);
}

bool IsOwnEntry(const FindData& entry) {
    return strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0;
}

bool HasChildDirectory(const std::string& path) {
    bool bChild = false;
    FindFiles((path + "/*").c_str(), 0, [&](const FindData& entry) {
        bChild = !IsOwnEntry(entry) && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return !bChild;
    });
    return bChild;
}

// Removes a directory and everything below it; false when something stays.
bool RemoveTree(const std::string& path, int nDepth) {
    if (nDepth > MAX_REMOVE_DEPTH) return false;
    std::vector<FindData> entries;
    FindFiles((path + "/*").c_str(), 0, entries);
    bool bAll = true;
    for (const FindData& entry : entries) {
        if (IsOwnEntry(entry)) continue;
        std::string child = path + "/" + entry.cFileName;
        // A link is removed as itself, never followed.
        bool bDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                          (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) == 0;
        bool bGone = bDirectory ? RemoveTree(child, nDepth + 1) : DeleteFileEntry(child.c_str());
        bAll = bAll && bGone;
    }
    return RemoveDirectoryEntry(path.c_str()) && bAll;
}

// Removes what earlier deletes left behind in the directory (a crash, a file that would not go).
void SweepDeleted(const std::string& parent) {
    std::vector<FindData> entries;
    FindFiles((parent + "/" + DELETED_PREFIX + "*").c_str(), 0, entries);
    for (const FindData& entry : entries) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            strncmp(entry.cFileName, DELETED_PREFIX, strlen(DELETED_PREFIX)) != 0) {
            continue;
        }
        static_cast<void>(RemoveTree(parent + "/" + entry.cFileName, 0));
    }
}

// The old way: only an empty mailbox goes.
bool RemoveEmptyMailbox(const char* pszPath) {
    char szUidFile[MAX_PATH + 8];
    if (!FormatText(szUidFile, sizeof(szUidFile), "%s/uid", pszPath)) return false;
    // The uid file has to go for the directory to be removable. When the directory still holds
    // messages or child mailboxes it stays, and so must its next UID: derived again from the
    // remaining files it could hand out the UIDs of expunged messages a second time.
    LockHandle hLock = LockMailboxUids(pszPath);
    uint32_t ulUidNext = ReadUidNext(pszPath);
    bool bHadUidFile = DeleteFileEntry(szUidFile);
    std::string state = SetAsideModState(pszPath);
    bool bRemoved = RemoveDirectoryEntry(pszPath);
    if (!bRemoved && bHadUidFile) {
        WriteUidNext(pszPath, ulUidNext);
    }
    if (!bRemoved) RestoreModState(pszPath, state);
    if (hLock != INVALID_LOCK_HANDLE) {
        UnLockMailboxUids(hLock);
    }
    return bRemoved;
}

// A mailbox without child mailboxes goes with its messages.
bool RemoveMailbox(Session* pSession, const char* pszPath) {
    std::string path = pszPath;
    size_t nSlash = path.rfind('/');
    if (nSlash == std::string::npos || !MailboxExists(pszPath) || HasChildDirectory(path)) return false;
    std::string parent = path.substr(0, nSlash);
    // The login serial and the time keep two deletes apart, also of one name.
    char szHidden[MAX_PATH];
    if (!FormatText(szHidden, sizeof(szHidden), "%s/%s%lu:%llu", parent.c_str(), DELETED_PREFIX,
                    static_cast<unsigned long>(pSession->lLoginNo), static_cast<unsigned long long>(CurrentFileTime()))) {
        return false;
    }
    // Under the UID lock, so that no message takes its name in the mailbox while it moves.
    LockHandle hLock = LockMailboxUids(pszPath);
    bool bMoved = MoveFileNoReplace(pszPath, szHidden);
    if (hLock != INVALID_LOCK_HANDLE) {
        UnLockMailboxUids(hLock);
    }
    if (!bMoved) return false;
    // The mailbox is gone for everyone now; what does not go away yet is swept later.
    SweepDeleted(parent);
    return true;
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
    // A subscription outlives its mailbox.
    FindData entry;
    bool bSubscribed = FindEntry(szPath, &entry) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    bool bRemoved = Settings.DeleteFullMailbox == DELETE_FULL_REFUSE ? RemoveEmptyMailbox(szPath)
                                                                     : RemoveMailbox(pSession, szPath);
    if (bRemoved) {
        if (bSubscribed) static_cast<void>(NoteLostSubscription(pSession->szMailDir, szName, true));
        FormatResponse(pSession, "%s %s %s successful\r\n", pSession->pTag, "OK", pSession->pCommand);
    } else {
        RespondFailed(pSession);
    }
    return 1;
}
