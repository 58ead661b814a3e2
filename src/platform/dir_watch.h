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
// files are hidden; bHidden offers them too), in directory order. Links and special files are not
// offered.
DirectoryRead ReadDirectoryFiles(const char* pszDir, const std::function<void(const char* pszName)>& fnName,
                                 bool bHidden = false);

// The last time an entry of the directory was added, removed or renamed, in nanoseconds of the
// wall clock; false when it cannot be read. The file system keeps it coarsely (a few
// milliseconds), so two changes close together may leave the same stamp. The later of the
// modification and the change time, asked of the file server itself where the kernel caches it:
// not every file system moves the modification time on a rename, and nothing can set the
// change time back.
bool DirectoryChangeStamp(const char* pszDir, uint64_t* pullStamp);

// File systems that other machines may change behind this one's back (network and cluster file
// systems, and FUSE, which most of them use): the kernel's change events tell only of what this
// machine did there. The name of such a file system for its statfs type number, or null for a
// file system of this machine alone.
const char* SharedFileSystemName(uint64_t ullType);
// Whether the file system holding the path is such a one; its name in *ppszName. False also when
// it cannot be asked (the path is then treated as local, as before).
bool OnSharedFileSystem(const char* pszPath, const char** ppszName = nullptr);
// The wall clock in nanoseconds, as the stamps count.
uint64_t WallClockNanoseconds();

// Whether anything exists at the path (one stat, links not followed).
bool PathExists(const char* pszPath);

// A watch on a few directories. inotify says only "look again"; where it is not available (a
// network file system, a full watch table) the wait simply times out, and the caller polls.
constexpr int MAX_WATCHED_DIRECTORIES = 2;
struct DirectoryWatch {
    int fdNotify = -1;
    int nWatched = 0;
    int aWatch[MAX_WATCHED_DIRECTORIES] = {};
    char aszSuffix[MAX_WATCHED_DIRECTORIES][40] = {};
    bool abChanged[MAX_WATCHED_DIRECTORIES] = {};  // set by a wait, cleared by the caller
    DirectoryWatch() = default;
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
};

// What counts as a change of a watched directory.
enum WatchKind {
    WATCH_ENTRIES,   // any entry added, removed or renamed: the listing changed
    WATCH_ARRIVALS,  // a file closed after writing or renamed in: only whole files, never one half written
};
// Adds a directory to the watch as the next index of abChanged; only entries whose names end in
// pszSuffix (without regard to case) count. False when it cannot be watched (then poll).
bool WatchDirectory(DirectoryWatch* pWatch, const char* pszDir, const char* pszSuffix, WatchKind kind);

enum WatchWait {
    WATCH_INPUT,    // the socket has something to read (or was closed)
    WATCH_CHANGED,  // a watched directory changed: see abChanged
    WATCH_TIMEOUT,
};
// Waits up to nMilliseconds for input on sock or a change in a watched directory.
WatchWait WaitForInputOrChange(DirectoryWatch* pWatch, SOCKET sock, int nMilliseconds);

// Changes of entries in watched directories, by name, read without waiting. One inotify
// instance serves every directory of the process: instances are few (128 a user by default),
// watches many.
enum EntryChange : uint8_t {
    ENTRY_CREATED,    // a name appeared (its content may still be being written)
    ENTRY_WRITTEN,    // a file was closed after writing
    ENTRY_MOVED_IN,   // renamed into the directory; cookie pairs it with its ENTRY_MOVED_OUT
    ENTRY_MOVED_OUT,  // renamed away
    ENTRY_DELETED,
    ENTRY_DIRECTORY_GONE,  // the directory itself was removed or renamed: its watch has ended
    ENTRY_EVENTS_LOST,     // the queue overflowed: no watched directory can be trusted (wd is -1)
};
class EntryWatcher {
public:
    EntryWatcher();
    ~EntryWatcher();
    EntryWatcher(const EntryWatcher&) = delete;
    EntryWatcher& operator=(const EntryWatcher&) = delete;
    // Starts watching a directory; its watch descriptor, or -1 when it cannot be watched (no
    // inotify, a full watch table): the caller then polls it.
    int Watch(const char* pszDir);
    void Unwatch(int wd);
    // Calls fnChange for every event queued now; false when nothing was read.
    using ChangeHandler = std::function<void(int wd, EntryChange change, const char* pszName, uint32_t ulCookie)>;
    bool Drain(const ChangeHandler& fnChange);
    // Whether events are queued now, asked of the kernel without reading them; true when it
    // cannot tell.
    bool Queued() const;
    // Readable when events are queued; -1 without inotify.
    int Descriptor() const { return m_fd; }

private:
    int m_fd;
};
