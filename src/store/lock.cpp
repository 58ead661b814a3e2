// The directory lock: "$LockFile" in the user's mail directory, shared with the companion
// mail server, taken by exclusive create. The companion knows only "exists"; it judges a lock
// by its age (Timeout). Our own lock files also carry an flock and their owner (machine and
// process), so that one left by a server of this machine that died is seen as dead at once
// instead of blocking every import for Timeout. One another machine left is judged by its age:
// whether that machine's server lives cannot be asked, and not every shared file system carries
// an flock from one machine to another.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

constexpr const char* LOCK_FILE_NAME = "$LockFile";
// What our lock files hold: "veve4d HOST PID\n" (older versions wrote "veve4d PID\n", and ran
// on one machine alone).
constexpr const char* LOCK_OWNER_PREFIX = "veve4d ";

bool LockFilePath(char* pszPath, size_t nSize, const char* pszMailDir) {
    return FormatText(pszPath, nSize, "%s%s", pszMailDir, LOCK_FILE_NAME);
}

}  // namespace

LockOwner ReadLockOwner(const char* pszContent) {
    size_t nPrefix = std::strlen(LOCK_OWNER_PREFIX);
    if (std::strncmp(pszContent, LOCK_OWNER_PREFIX, nPrefix) != 0) return LockOwner{LOCK_OWNER_FOREIGN, 0};
    const char* p = pszContent + nPrefix;
    const char* pHostEnd = p + std::strcspn(p, " \n");
    bool bThisHost = true;
    if (*pHostEnd == ' ') {
        const char* pszHost = LockHostName();
        bThisHost = static_cast<size_t>(pHostEnd - p) == std::strlen(pszHost) &&
                    std::strncmp(p, pszHost, static_cast<size_t>(pHostEnd - p)) == 0;
        p = pHostEnd + 1;
    }
    unsigned long ulPid = 0;
    const char* pDigits = p;
    while (*p >= '0' && *p <= '9' && ulPid < 0x80000000ul) ulPid = ulPid * 10 + static_cast<unsigned long>(*p++ - '0');
    if (p == pDigits || (*p != '\n' && *p != '\0')) return LockOwner{LOCK_OWNER_FOREIGN, 0};
    return LockOwner{bThisHost ? LOCK_OWNER_THIS_HOST : LOCK_OWNER_OTHER_HOST, ulPid};
}

LockHandle LockMailDirectoryAt(const char* pszMailDir) {
    char szLock[MAX_PATH + 32];
    if (!LockFilePath(szLock, sizeof(szLock), pszMailDir)) return INVALID_LOCK_HANDLE;
    TracePrint("LockMailDirectory = [%s]\n", szLock);

    // Two sessions that both find a stale lock would each delete it, and the second would
    // delete the lock the first has just taken. Our own sessions therefore check and break
    // the lock one at a time; other programs see only the lock file, as before.
    LockHandle hGuard = LockPathExclusive(pszMailDir);

    char szOwner[320];
    FILETIME ftWrite = 0;
    LockFileState state = ProbeLockFile(szLock, szOwner, sizeof(szOwner), &ftWrite);
    if (state == LOCK_FILE_HELD) {
        TracePrint("Locked Now. UnLockMailDirectory = [%s]\n", szLock);
    } else if (state == LOCK_FILE_UNHELD) {
        // The age stamp is the last write: access times are not kept reliably on Linux, and
        // the import refreshes the file while it runs.
        uint64_t ullNow = CurrentFileTime() / 10000000ull;
        uint64_t ullLast = ftWrite / 10000000ull;
        LockOwner owner = ReadLockOwner(szOwner);
        // Nobody holds it, and its process is gone (or it is this very process, which holds its
        // own lock files while it works).
        bool bDead = owner.kind == LOCK_OWNER_THIS_HOST &&
                     (owner.ulPid == GetCurrentProcessId() || !ProcessAlive(owner.ulPid));
        if (!bDead && ullNow <= ullLast + static_cast<uint64_t>(Settings.Timeout)) {
            TracePrint("Locked Now. UnLockMailDirectory = [%s]\n", szLock);
        } else {
            TracePrint("Locked %s. UnLockMailDirectory = [%s]\n", bDead ? "by a dead process" : "TimeOut", szLock);
            TracePrint("Delete locked file\n");
            DeleteFileEntry(szLock);
        }
    }
    char szContent[64];
    static_cast<void>(FormatText(szContent, sizeof(szContent), "%s%s %lu\n", LOCK_OWNER_PREFIX, LockHostName(),
                                 GetCurrentProcessId()));
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
