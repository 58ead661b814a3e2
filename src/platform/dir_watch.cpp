#include "platform/dir_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

DirectoryRead ReadDirectoryFiles(const char* pszDir, const std::function<void(const char* pszName)>& fnName) {
    DIR* pDir = ::opendir(pszDir);
    if (pDir == nullptr) {
        return errno == ENOENT || errno == ENOTDIR ? DIRECTORY_MISSING : DIRECTORY_FAILED;
    }
    int dirFd = ::dirfd(pDir);
    errno = 0;
    while (struct dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
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
    ::closedir(pDir);
    return bFailed ? DIRECTORY_FAILED : DIRECTORY_READ;
}

DirectoryWatch::~DirectoryWatch() {
    if (fdNotify >= 0) ::close(fdNotify);
}

bool WatchDirectory(DirectoryWatch* pWatch, const char* pszDir) {
    if (pWatch->fdNotify < 0) {
        pWatch->fdNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (pWatch->fdNotify < 0) return false;
    }
    uint32_t fMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                     IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    return ::inotify_add_watch(pWatch->fdNotify, pszDir, fMask) >= 0;
}

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
    if (nFds == 2 && fds[1].revents != 0) {
        // The events themselves say nothing the listing will not; drain them.
        char buf[4096];
        while (::read(pWatch->fdNotify, buf, sizeof(buf)) > 0) {
        }
        return WATCH_CHANGED;
    }
    return WATCH_TIMEOUT;
}
