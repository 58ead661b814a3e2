// The directory lock: "$LockFile" in the user's mail directory, shared with the companion
// mail server, taken by exclusive create and broken when it is older than Timeout.
#include <cstdio>

#include "config/settings.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

constexpr const char* LOCK_FILE_NAME = "$LockFile";

bool LockFilePath(char* pszPath, size_t nSize, const char* pszMailDir) {
    int n = std::snprintf(pszPath, nSize, "%s%s", pszMailDir, LOCK_FILE_NAME);
    return n >= 0 && static_cast<size_t>(n) < nSize;
}

}  // namespace

int LockMailDirectoryAt(const char* pszMailDir) {
    char szLock[MAX_PATH + 32];
    if (!LockFilePath(szLock, sizeof(szLock), pszMailDir)) return 0;
    TracePrint("LockMailDirectory = [%s]\n", szLock);

    // Two sessions that both find a stale lock would each delete it, and the second would
    // delete the lock the first has just taken. Our own sessions therefore check and break
    // the lock one at a time; other programs see only the lock file, as before.
    LockHandle hGuard = LockPathExclusive(pszMailDir);

    FindData data;
    if (FindEntry(szLock, &data)) {
        // The age stamp is the last write: access times are not kept reliably on Linux, and
        // the import rewrites the file while it runs.
        uint64_t ullNow = GetSystemTimeAsFileTime() / 10000000ull;
        uint64_t ullLast = data.ftLastWriteTime / 10000000ull;
        if (ullNow <= ullLast + static_cast<uint64_t>(Settings.Timeout)) {
            std::printf("Locked Now. UnLockMailDirectory = [%s]\n", szLock);
        } else {
            std::printf("Locked TimeOut. UnLockMailDirectory = [%s]\n", szLock);
            std::printf("Delete locked file\n");
            DeleteFileEntry(szLock);
        }
    }
    long lStats = CreateNewFile(szLock) ? 1 : 0;
    UnlockPath(hGuard);
    TracePrint("Stats = [%ld]\n", lStats);
    return static_cast<int>(lStats);
}

void UnLockMailDirectoryAt(const char* pszMailDir) {
    char szLock[MAX_PATH + 32];
    if (!LockFilePath(szLock, sizeof(szLock), pszMailDir)) return;
    TracePrint("UnLockMailDirectory = [%s]\n", szLock);
    DeleteFileEntry(szLock);
}
