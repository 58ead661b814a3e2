// The directory lock: "$LockFile" in the user's mail directory, shared with the companion
// mail server, taken by exclusive create. The companion knows only "exists"; it judges a lock
// by its age (Timeout). Our own lock files also carry an flock and our name, so that one left by
// a server that died is seen as dead at once instead of blocking every import for Timeout.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

constexpr const char* LOCK_FILE_NAME = "$LockFile";
// What our lock files hold; a file that begins so and that nobody holds was left by a crash.
constexpr const char* LOCK_OWNER_PREFIX = "veve4d ";

bool LockFilePath(char* pszPath, size_t nSize, const char* pszMailDir) {
    return FormatText(pszPath, nSize, "%s%s", pszMailDir, LOCK_FILE_NAME);
}

}  // namespace

LockHandle LockMailDirectoryAt(const char* pszMailDir) {
    char szLock[MAX_PATH + 32];
    if (!LockFilePath(szLock, sizeof(szLock), pszMailDir)) return INVALID_LOCK_HANDLE;
    TracePrint("LockMailDirectory = [%s]\n", szLock);

    // Two sessions that both find a stale lock would each delete it, and the second would
    // delete the lock the first has just taken. Our own sessions therefore check and break
    // the lock one at a time; other programs see only the lock file, as before.
    LockHandle hGuard = LockPathExclusive(pszMailDir);

    char szOwner[64];
    FILETIME ftWrite = 0;
    LockFileState state = ProbeLockFile(szLock, szOwner, sizeof(szOwner), &ftWrite);
    if (state == LOCK_FILE_HELD) {
        TracePrint("Locked Now. UnLockMailDirectory = [%s]\n", szLock);
    } else if (state == LOCK_FILE_UNHELD) {
        // The age stamp is the last write: access times are not kept reliably on Linux, and
        // the import refreshes the file while it runs.
        uint64_t ullNow = CurrentFileTime() / 10000000ull;
        uint64_t ullLast = ftWrite / 10000000ull;
        bool bOurs = std::strncmp(szOwner, LOCK_OWNER_PREFIX, std::strlen(LOCK_OWNER_PREFIX)) == 0;
        if (!bOurs && ullNow <= ullLast + static_cast<uint64_t>(Settings.Timeout)) {
            TracePrint("Locked Now. UnLockMailDirectory = [%s]\n", szLock);
        } else {
            TracePrint("Locked %s. UnLockMailDirectory = [%s]\n", bOurs ? "by a dead process" : "TimeOut", szLock);
            TracePrint("Delete locked file\n");
            DeleteFileEntry(szLock);
        }
    }
    char szContent[64];
    static_cast<void>(FormatText(szContent, sizeof(szContent), "%s%lu\n", LOCK_OWNER_PREFIX, GetCurrentProcessId()));
    LockHandle hLock = CreateLockFile(szLock, MailFileMode(), szContent);
    UnlockPath(hGuard);
    TracePrint("Stats = [%ld]\n", hLock != INVALID_LOCK_HANDLE ? 1L : 0L);
    return hLock;
}

void UnLockMailDirectoryAt(const char* pszMailDir, LockHandle hLock) {
    char szLock[MAX_PATH + 32];
    if (hLock == INVALID_LOCK_HANDLE || !LockFilePath(szLock, sizeof(szLock), pszMailDir)) return;
    TracePrint("UnLockMailDirectory = [%s]\n", szLock);
    ReleaseLockFile(szLock, hLock);
}
