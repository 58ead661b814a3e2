// Reading a mailbox directory whole, and waking up when it changes.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/types.h"

enum DirectoryRead {
    DIRECTORY_READ,
    DIRECTORY_MISSING,  // nothing at the path: the mailbox was deleted or renamed
    DIRECTORY_FAILED,   // it could not be read now; its content is unknown, not empty
};

// Calls fnName for every regular file of the directory whose name does not begin with "." (such
// files are hidden), in directory order. Links and special files are not offered.
DirectoryRead ReadDirectoryFiles(const char* pszDir, const std::function<void(const char* pszName)>& fnName);

// A watch on a few directories. inotify says only "look again"; where it is not available (a
// network file system, a full watch table) the wait simply times out, and the caller polls.
struct DirectoryWatch {
    int fdNotify = -1;
    DirectoryWatch() = default;
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
};

// Adds a directory to the watch; false when it cannot be watched (then poll).
bool WatchDirectory(DirectoryWatch* pWatch, const char* pszDir);

enum WatchWait {
    WATCH_INPUT,     // the socket has something to read (or was closed)
    WATCH_CHANGED,   // a watched directory changed
    WATCH_TIMEOUT,
};
// Waits up to nMilliseconds for input on sock or a change in a watched directory.
WatchWait WaitForInputOrChange(DirectoryWatch* pWatch, SOCKET sock, int nMilliseconds);
