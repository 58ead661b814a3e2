#include "platform/dir_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "platform/dir_stream.h"
#include "platform/format.h"

DirectoryRead ReadDirectoryFiles(const char* pszDir, const std::function<void(const char* pszName)>& fnName,
                                 bool bHidden) {
    UniqueDir pDir(::opendir(pszDir));
    if (pDir == nullptr) {
        return errno == ENOENT || errno == ENOTDIR ? DIRECTORY_MISSING : DIRECTORY_FAILED;
    }
    int dirFd = ::dirfd(pDir.get());
    errno = 0;
    while (struct dirent* pEntry = ::readdir(pDir.get())) {
        if (pEntry->d_name[0] == '.' && (!bHidden || pEntry->d_name[1] == '\0' || std::strcmp(pEntry->d_name, "..") == 0)) {
            continue;
        }
        unsigned char dType = pEntry->d_type;
        if (dType == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(dirFd, pEntry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            dType = IFTODT(st.st_mode);
        }
        if (dType == DT_REG) fnName(pEntry->d_name);
        errno = 0;
    }
    // A read cut short says nothing about the entries it did not reach.
    bool bFailed = errno != 0;
    return bFailed ? DIRECTORY_FAILED : DIRECTORY_READ;
}

bool DirectoryChangeStamp(const char* pszDir, uint64_t* pullStamp) {
    struct statx stx {};
    // FORCE_SYNC: FUSE and NFS answer a plain stat from attributes cached for a second or more.
    if (::statx(AT_FDCWD, pszDir, AT_STATX_FORCE_SYNC, STATX_TYPE | STATX_MTIME | STATX_CTIME, &stx) != 0 ||
        !S_ISDIR(stx.stx_mode)) {
        return false;
    }
    auto nanoseconds = [](const struct statx_timestamp& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
    };
    *pullStamp = std::max(nanoseconds(stx.stx_mtime), nanoseconds(stx.stx_ctime));
    return true;
}

const char* SharedFileSystemName(uint64_t ullType) {
    // The kernel's magic numbers (linux/magic.h and the file systems' own headers).
    static const struct {
        uint64_t ullType;
        const char* pszName;
    } SHARED[] = {
        {0x65735546, "fuse"},       {0x6969, "nfs"},           {0x517B, "smb"},
        {0xFF534D42, "cifs"},       {0xFE534D42, "smb2"},      {0x00C36400, "ceph"},
        {0x01161970, "gfs2"},       {0x7461636F, "ocfs2"},     {0x5346414F, "afs"},
        {0x6B414653, "afs"},        {0x0BD00BD0, "lustre"},    {0x01021997, "9p"},
        {0x73757245, "coda"},       {0x19830326, "beegfs"},
    };
    for (const auto& entry : SHARED) {
        if (entry.ullType == ullType) return entry.pszName;
    }
    return nullptr;
}

bool OnSharedFileSystem(const char* pszPath, const char** ppszName) {
    struct statfs fs {};
    if (::statfs(pszPath, &fs) != 0) return false;
    // f_type is signed on some architectures: CIFS's number would read negative.
    const char* pszName = SharedFileSystemName(static_cast<uint32_t>(fs.f_type));
    if (ppszName != nullptr) *ppszName = pszName;
    return pszName != nullptr;
}

uint64_t WallClockNanoseconds() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool PathExists(const char* pszPath) {
    struct stat st {};
    return ::lstat(pszPath, &st) == 0;
}

DirectoryWatch::~DirectoryWatch() {
    if (fdNotify >= 0) ::close(fdNotify);
}

bool WatchDirectory(DirectoryWatch* pWatch, const char* pszDir, const char* pszSuffix, WatchKind kind) {
    if (pWatch->nWatched >= MAX_WATCHED_DIRECTORIES) return false;
    // A cut suffix would match other files.
    if (strlen(pszSuffix) >= sizeof(pWatch->aszSuffix[0])) return false;
    if (pWatch->fdNotify < 0) {
        pWatch->fdNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (pWatch->fdNotify < 0) return false;
    }
    uint32_t fMask = IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (kind == WATCH_ENTRIES) fMask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM;
    int wd = ::inotify_add_watch(pWatch->fdNotify, pszDir, fMask);
    if (wd < 0) return false;
    int i = pWatch->nWatched++;
    pWatch->aWatch[i] = wd;
    static_cast<void>(FormatText(pWatch->aszSuffix[i], sizeof(pWatch->aszSuffix[i]), "%s", pszSuffix));
    return true;
}

namespace {

bool EndsWithNoCase(const char* pszName, const char* pszSuffix) {
    size_t nName = std::strlen(pszName), nSuffix = std::strlen(pszSuffix);
    return nName >= nSuffix && ::strcasecmp(pszName + nName - nSuffix, pszSuffix) == 0;
}

// Reads the queued events; true when one of them is about an entry the caller cares for.
bool DrainEvents(DirectoryWatch* pWatch) {
    bool bChanged = false;
    alignas(struct inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(pWatch->fdNotify, buf, sizeof(buf))) > 0;) {
        for (char* p = buf; p < buf + n;) {
            const struct inotify_event* pEvent = reinterpret_cast<const struct inotify_event*>(p);
            p += sizeof(struct inotify_event) + pEvent->len;
            for (int i = 0; i < pWatch->nWatched; i++) {
                if (pWatch->aWatch[i] != pEvent->wd) continue;
                // An event without a name is about the directory itself (removed, renamed).
                if (pEvent->len == 0 || EndsWithNoCase(pEvent->name, pWatch->aszSuffix[i])) {
                    pWatch->abChanged[i] = true;
                    bChanged = true;
                }
            }
        }
    }
    return bChanged;
}

}  // namespace

WatchWait WaitForInputOrChange(DirectoryWatch* pWatch, SOCKET sock, int nMilliseconds) {
    struct pollfd fds[2] = {};
    fds[0].fd = static_cast<int>(sock);
    fds[0].events = POLLIN;
    nfds_t nFds = 1;
    if (pWatch != nullptr && pWatch->fdNotify >= 0) {
        fds[1].fd = pWatch->fdNotify;
        fds[1].events = POLLIN;
        nFds = 2;
    }
    int n = ::poll(fds, nFds, nMilliseconds);
    if (n <= 0) return WATCH_TIMEOUT;
    if (fds[0].revents != 0) return WATCH_INPUT;
    if (nFds == 2 && fds[1].revents != 0 && DrainEvents(pWatch)) return WATCH_CHANGED;
    return WATCH_TIMEOUT;
}

EntryWatcher::EntryWatcher() : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

EntryWatcher::~EntryWatcher() {
    if (m_fd >= 0) ::close(m_fd);
}

int EntryWatcher::Watch(const char* pszDir) {
    if (m_fd < 0) return -1;
    uint32_t fMask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF |
                     IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
    return ::inotify_add_watch(m_fd, pszDir, fMask);
}

void EntryWatcher::Unwatch(int wd) {
    if (m_fd >= 0 && wd >= 0) ::inotify_rm_watch(m_fd, wd);
}

bool EntryWatcher::Queued() const {
    if (m_fd < 0) return false;
    struct pollfd fd = {m_fd, POLLIN, 0};
    return ::poll(&fd, 1, 0) != 0;
}

bool EntryWatcher::Drain(const ChangeHandler& fnChange) {
    if (m_fd < 0) return false;
    bool bAny = false;
    alignas(struct inotify_event) char buf[65536];
    for (ssize_t n; (n = ::read(m_fd, buf, sizeof(buf))) > 0;) {
        bAny = true;
        for (char* p = buf; p < buf + n;) {
            const struct inotify_event* pEvent = reinterpret_cast<const struct inotify_event*>(p);
            p += sizeof(struct inotify_event) + pEvent->len;
            const char* pszName = pEvent->len > 0 ? pEvent->name : "";
            uint32_t fMask = pEvent->mask;
            if (fMask & IN_Q_OVERFLOW) {
                fnChange(-1, ENTRY_EVENTS_LOST, "", 0);
            } else if (fMask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                fnChange(pEvent->wd, ENTRY_DIRECTORY_GONE, "", 0);
            } else if (fMask & IN_ISDIR) {
                continue;
            } else if (fMask & IN_CREATE) {
                fnChange(pEvent->wd, ENTRY_CREATED, pszName, 0);
            } else if (fMask & IN_CLOSE_WRITE) {
                fnChange(pEvent->wd, ENTRY_WRITTEN, pszName, 0);
            } else if (fMask & IN_MOVED_TO) {
                fnChange(pEvent->wd, ENTRY_MOVED_IN, pszName, pEvent->cookie);
            } else if (fMask & IN_MOVED_FROM) {
                fnChange(pEvent->wd, ENTRY_MOVED_OUT, pszName, pEvent->cookie);
            } else if (fMask & IN_DELETE) {
                fnChange(pEvent->wd, ENTRY_DELETED, pszName, 0);
            }
        }
    }
    return bAny;
}
