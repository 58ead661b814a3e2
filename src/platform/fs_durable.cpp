// Writes that survive a crash or a power failure, and lock files that die with their holder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/dir_watch.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/fs_retry.h"
#include "platform/process.h"

namespace {

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The directory of a path ("." when it has none).
bool ParentOf(const char* pszPath, char* pszDir, size_t nSize) {
    const char* pSlash = std::strrchr(pszPath, '/');
    if (pSlash == nullptr) return FormatText(pszDir, nSize, ".");
    if (pSlash == pszPath) return FormatText(pszDir, nSize, "/");
    return FormatText(pszDir, nSize, "%.*s", static_cast<int>(pSlash - pszPath), pszPath);
}

struct timespec ToTimespec(FILETIME ft) {
    constexpr FILETIME UNIX_EPOCH = 116444736000000000ULL;
    struct timespec ts {};
    int64_t ll = static_cast<int64_t>(ft) - static_cast<int64_t>(UNIX_EPOCH);
    ts.tv_sec = static_cast<time_t>(ll / 10000000);
    ts.tv_nsec = static_cast<long>((ll % 10000000) * 100);
    if (ts.tv_nsec < 0) {
        ts.tv_nsec += 1000000000L;
        ts.tv_sec -= 1;
    }
    return ts;
}

}  // namespace

bool SyncFile(const char* pszPath) {
    int fd = ::open(pszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool bOk = ::fsync(fd) == 0;
    ::close(fd);
    return bOk;
}

bool SyncDirectory(const char* pszPath) {
    int fd = ::open(pszPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool bOk = ::fsync(fd) == 0;
    ::close(fd);
    return bOk;
}

bool ReplaceFileContent(const char* pszPath, const char* pText, size_t nLength, uint32_t ulMode, bool bSync,
                        bool bSyncDirectory) {
    char szDir[4096];
    if (!ParentOf(pszPath, szDir, sizeof(szDir))) return false;
    const char* pszName = std::strrchr(pszPath, '/');
    pszName = pszName == nullptr ? pszPath : pszName + 1;
    char szTemporary[4096];
    // Machine, process and thread: no two writers at once share a temporary, also on a file
    // system that several machines share.
    if (!FormatText(szTemporary, sizeof(szTemporary), "%s/.%s.%s-%ld-%ld.tmp", szDir, pszName, LockHostName(),
                    static_cast<long>(::getpid()), static_cast<long>(::gettid()))) {
        return false;
    }

    int fd = RetryFileCall("open", szTemporary, [&] {
        return ::open(szTemporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    });
    if (fd < 0) return false;
    bool bOk = ::fchmod(fd, static_cast<mode_t>(ulMode)) == 0 && WriteAll(fd, pText, nLength);
    if (bOk && bSync) bOk = ::fsync(fd) == 0;
    if (::close(fd) != 0) bOk = false;
    // rename() would also replace a directory of that name; a folder called "uid" must stay.
    struct stat st {};
    if (bOk && ::lstat(pszPath, &st) == 0 && !S_ISREG(st.st_mode)) bOk = false;
    if (bOk) bOk = RetryFileCall("rename", pszPath, [&] { return ::rename(szTemporary, pszPath); }) == 0;
    if (!bOk) {
        ::unlink(szTemporary);
        return false;
    }
    return !bSync || !bSyncDirectory || SyncDirectory(szDir);
}

bool AppendToFile(const char* pszPath, const char* pText, size_t nLength, uint32_t ulMode, bool bSync) {
    int fd = ::open(pszPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, static_cast<mode_t>(ulMode));
    if (fd < 0) return false;
    bool bOk = WriteAll(fd, pText, nLength);
    if (bOk && bSync) bOk = ::fdatasync(fd) == 0;
    if (::close(fd) != 0) bOk = false;
    return bOk;
}

bool StampFile(const char* pszPath, FILETIME ftWrite, uint32_t ulMode, bool bSync) {
    int fd = ::open(pszPath, O_WRONLY | O_CREAT | O_CLOEXEC, static_cast<mode_t>(ulMode));
    if (fd < 0) return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1] = ToTimespec(ftWrite);
    bool bOk = ::futimens(fd, times) == 0;
    if (bOk && bSync) bOk = ::fsync(fd) == 0;
    if (::close(fd) != 0) bOk = false;
    return bOk;
}

bool SetFileMode(const char* pszPath, uint32_t ulMode) { return ::chmod(pszPath, static_cast<mode_t>(ulMode)) == 0; }

FILETIME CurrentFileTime() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return UnixToFileTime(ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec));
}

LockHandle CreateLockFile(const char* pszPath, uint32_t ulMode, const char* pszOwner) {
    // The lock is made whole under a hidden name and linked into place, which fails when the
    // name exists: a crash can never leave an empty lock file, which would look like the
    // companion server's and block every import for Timeout.
    const char* pSlash = std::strrchr(pszPath, '/');
    size_t nDir = pSlash != nullptr ? static_cast<size_t>(pSlash - pszPath) + 1 : 0;
    char szTemp[4096];
    if (!FormatText(szTemp, sizeof(szTemp), "%.*s.%s.%s-%ld-%ld", static_cast<int>(nDir), pszPath, pszPath + nDir,
                    LockHostName(), static_cast<long>(::getpid()), static_cast<long>(::gettid()))) {
        return INVALID_LOCK_HANDLE;
    }
    ::unlink(szTemp);
    int fd = ::open(szTemp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return INVALID_LOCK_HANDLE;
    // A file system without locks (NFS mounted without its lock service) still has the link,
    // which is the lock; the owner named in the file then tells a dead holder.
    bool bLocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
    bool bMade = bLocked && ::fchmod(fd, static_cast<mode_t>(ulMode)) == 0 && WriteAll(fd, pszOwner, std::strlen(pszOwner)) &&
                 RetryFileCall("link", pszPath, [&] { return ::link(szTemp, pszPath); }) == 0;
    ::unlink(szTemp);
    if (!bMade) {
        ::close(fd);
        return INVALID_LOCK_HANDLE;
    }
    return fd;
}

LockFileState ProbeLockFile(const char* pszPath, char* pszOwner, size_t nSize, FILETIME* pftWrite) {
    if (nSize > 0) pszOwner[0] = '\0';
    int fd = ::open(pszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? LOCK_FILE_ABSENT : LOCK_FILE_HELD;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
        ::close(fd);
        return LOCK_FILE_HELD;
    }
    // The holder may have removed it and let go between the open and the flock: then this is a
    // file nobody names any more, and the name may already belong to someone new.
    struct stat stOpen {}, stNamed {};
    if (::fstat(fd, &stOpen) != 0 || ::stat(pszPath, &stNamed) != 0 || stOpen.st_ino != stNamed.st_ino ||
        stOpen.st_dev != stNamed.st_dev) {
        ::close(fd);
        return PathExists(pszPath) ? LOCK_FILE_HELD : LOCK_FILE_ABSENT;
    }
    if (nSize > 0) {
        ssize_t n = ::read(fd, pszOwner, nSize - 1);
        pszOwner[n > 0 ? n : 0] = '\0';
    }
    *pftWrite = UnixToFileTime(stOpen.st_mtim.tv_sec, static_cast<uint32_t>(stOpen.st_mtim.tv_nsec));
    ::close(fd);
    return LOCK_FILE_UNHELD;
}

void TouchLockFile(LockHandle hLockFile) {
    if (hLockFile != INVALID_LOCK_HANDLE) ::futimens(hLockFile, nullptr);
}

void ReleaseLockFile(const char* pszPath, LockHandle hLockFile) {
    if (hLockFile == INVALID_LOCK_HANDLE) return;
    ::unlink(pszPath);
    ::close(hLockFile);
}
