// File-system stand-in for the Windows calls the store is written against.
//
// The store expects NTFS: listings sorted by name without regard to case, names matched without
// regard to case, a hidden attribute, creation times, and copy/move calls that never replace an
// existing target. These functions give that behaviour on a Linux file system.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "platform/types.h"

// A stdio stream closed by its holder, on every way out of the function that opened it. A
// stream written to is closed by hand instead, where fclose's answer decides what is told.
struct FileCloser {
    void operator()(FILE* pFile) const { std::fclose(pFile); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// File attribute bits, with Windows' values.
constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// One directory entry, as FindFirstFile/FindNextFile return it.
struct FindData {
    uint32_t dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    uint64_t nFileSize;
    char cFileName[MAX_PATH];
};

// Creates one directory level; false when it exists or cannot be made.
bool CreateDirectoryLevel(const char* pszPath);

// ---- Listing -------------------------------------------------------------------------------

// Listing options.
constexpr uint32_t FIND_TIMES = 0x01;  // fill the three times and nFileSize (one statx per entry)

// Lists a pattern whose last component may hold "*" and "?", matched without regard to case.
// Entries come in ascending name order, compared as Windows compares them (upper-cased). A
// pattern without a wild card yields the named entry itself when it exists (matched without
// regard to case when the exact name does not exist). The callback returns false to stop the
// walk. Without FIND_TIMES no entry is stat'ed: the attributes come from the name (a leading "."
// is hidden) and the directory entry type (symbolic links and special files read as system, so
// that nothing above this layer follows them); only directories are asked for their hidden mark.
// Returns the number of entries yielded.
size_t FindFiles(const char* pszPattern, uint32_t fOptions, const std::function<bool(const FindData&)>& fnEntry);
// The same, collected.
size_t FindFiles(const char* pszPattern, uint32_t fOptions, std::vector<FindData>& entries);
// One entry (no wild card) with its times; false when nothing exists at the path.
bool FindEntry(const char* pszPath, FindData* pData);
// The size and last-write time of the regular file at the exact path, in one stat; false when
// there is none (no lookup without regard to case).
bool StatFile(const char* pszPath, uint64_t* pullSize, FILETIME* pftLastWrite);

// Why FindEntry found nothing: the path is missing (in every spelling), or something stands
// there, or it could not be looked at (out of descriptors, no permission), with the system's
// reason in pszReason.
enum EntryProbe { ENTRY_PRESENT, ENTRY_MISSING, ENTRY_UNREADABLE };
EntryProbe ProbeEntry(const char* pszPath, char* pszReason, size_t nSize);

// Case-insensitive wild-card match of one name ("*" any run, "?" any one character).
bool WildcardMatch(const char* pszPattern, const char* pszName);
// Compares two names as the listing orders them.
int CompareNames(const char* pszA, const char* pszB);

// Maps a relative path, component by component, onto the entries that exist below pszBase,
// without regard to case (an exact match first). Components from the first one that does not
// exist keep their spelling. pszRelative uses "/" only and holds no empty, "." or ".."
// components (the caller checks). Fails when a component is a symbolic link or the result does
// not fit. The result is pszBase followed by the mapped relative path.
bool MatchPathCase(const char* pszBase, const char* pszRelative, char* pszOut, size_t nSize);

// Maps an existing path, every component, onto its spelling on disk without regard to case (an
// exact match first), keeping a trailing "/". False, and the path unchanged, when it exists in
// no spelling or the result does not fit.
bool MatchExistingCase(char* pszPath, size_t nSize);

// ---- Entries -------------------------------------------------------------------------------

// Creates one directory, failing when an entry of that name exists in any case, and stamps it
// with its creation time for file systems that record no birth time.
// A nonzero ulMode is given to the directory exactly, whatever the umask.
bool CreateDirectoryEntry(const char* pszPath, uint32_t ulMode = 0);
// Removes an empty directory.
bool RemoveDirectoryEntry(const char* pszPath);
// Deletes a file (not a directory).
bool DeleteFileEntry(const char* pszPath);
// Copies a file like CopyFile with bFailIfExists: fails when the target exists, and the copy
// keeps the source's last-write time. A nonzero ulMode is the copy's mode (else the source's);
// with bSync the copy is on the disk before this returns.
bool CopyFileNoReplace(const char* pszSource, const char* pszTarget, uint32_t ulMode = 0, bool bSync = false);
// Moves (renames) a file or directory like MoveFile: never replaces an existing target. A
// directory also may not take a name that another entry holds in a different case (it may
// change the case of its own name); files are not checked for case variants, so that a flag
// rename costs no directory scan. Across file systems a file is copied and the source deleted.
bool MoveFileNoReplace(const char* pszSource, const char* pszTarget);
// Sets a file's last-write time (seconds since 1970, UTC); the access time is left alone.
bool SetLastWriteTime(const char* pszPath, int64_t llUnixSeconds);
// Creates a new empty file, failing when the file exists (CREATE_NEW). A nonzero ulMode is
// given to the file exactly, whatever the umask.
bool CreateNewFile(const char* pszPath, uint32_t ulMode = 0);
// Sets or clears a directory's hidden mark (the folder subscription mark). A file's hidden
// attribute comes from its name alone, so for a file this fails.
bool SetHiddenAttribute(const char* pszPath, bool bHidden);

// Bytes an unprivileged writer may still use on the file system holding the path; false when
// the system cannot tell.
bool FreeDiskBytes(const char* pszPath, uint64_t* pullFree);

// Opens a file for appending text, creating it readable and writable by its owner alone (logs
// hold user names, addresses and message text). Null when it cannot be opened.
FILE* OpenPrivateAppend(const char* pszPath);

// Up to nSize bytes from the start of a small file the server keeps, read without stdio's
// buffer and stat (the uid file is read on every STATUS). False when it cannot be opened or read;
// a directory or a FIFO there is never waited on.
bool ReadFileStart(const char* pszPath, char* pBuffer, size_t nSize, size_t* pnRead);

// Reading the start of a file that a user keeps for the server (a password file): it must be a
// regular file, named by the path itself (a symbolic link there is refused, not followed), and
// belong to the identity this thread reaches files with. Anything else could let the user make
// the server read a file the user cannot.
enum OwnFileRead { OWN_FILE_READ, OWN_FILE_MISSING, OWN_FILE_REFUSED };
// Up to nSize bytes into pBuffer (their count in *pnRead). When refused, the reason is in pszWhy.
OwnFileRead ReadOwnFileStart(const char* pszPath, char* pBuffer, size_t nSize, size_t* pnRead, char* pszWhy,
                             size_t nWhySize);

// ---- Durable writes -----------------------------------------------------------------------

// Flushes a file's content to the disk (fsync).
bool SyncFile(const char* pszPath);
// Flushes a directory's entries (new names, renames, removals) to the disk.
bool SyncDirectory(const char* pszPath);
// Replaces a file's whole content atomically: the text goes to a hidden temporary beside it
// (".NAME.PID-TID.tmp"), flushed with bSync, renamed over the file, and the directory flushed with
// bSync. A reader, or a crash at any instant, sees the old content or the new, never a mix.
// Without bSyncDirectory the caller flushes the directory itself, after more changes to it.
bool ReplaceFileContent(const char* pszPath, const char* pText, size_t nLength, uint32_t ulMode, bool bSync,
                        bool bSyncDirectory = true);
// Appends one record to a file (created with ulMode), flushed with bSync.
bool AppendToFile(const char* pszPath, const char* pText, size_t nLength, uint32_t ulMode, bool bSync);
// Sets a file's last-write time exactly (100-nanosecond units since 1601), creating it empty with
// ulMode when missing; flushed with bSync.
bool StampFile(const char* pszPath, FILETIME ftWrite, uint32_t ulMode, bool bSync);
// Sets a file's mode exactly.
bool SetFileMode(const char* pszPath, uint32_t ulMode);
// The wall clock in 100-nanosecond units since 1601.
FILETIME CurrentFileTime();

// ---- Advisory locks ------------------------------------------------------------------------

using LockHandle = int;
constexpr LockHandle INVALID_LOCK_HANDLE = -1;
constexpr const char* DIRECTORY_LOCK_NAME = ".veve4d-lock";

// Takes an exclusive advisory lock (flock) on an existing file or directory, waiting for it.
// Each call opens its own descriptor, so threads of one process exclude each other as well as
// other processes. INVALID_LOCK_HANDLE when the path cannot be opened. On a file system that
// several machines share a directory is locked through the hidden file DIRECTORY_LOCK_NAME inside
// it (made on first use): FUSE file systems such as GlusterFS pass a file's flock to every
// machine, a directory's only to this one.
LockHandle LockPathExclusive(const char* pszPath);
// The same without waiting: INVALID_LOCK_HANDLE when someone else holds it.
LockHandle TryLockPathExclusive(const char* pszPath);
// A shared lock on the same: many holders at once, none while an exclusive one is held.
LockHandle LockPathShared(const char* pszPath);
void UnlockPath(LockHandle hLock);
// Creates a new file as CreateNewFile does, opens it for writing and takes its exclusive lock
// (as LockPathExclusive would) in two opens: null, with nothing made, when the name is taken
// (LastFileFailure tells) or the file cannot be made. Closing the stream keeps the lock, which
// *phLock holds through a descriptor that only reads, until UnlockPath.
FILE* CreateNewFileLocked(const char* pszPath, uint32_t ulMode, LockHandle* phLock);
// Flushes the content of the file whose lock the handle holds to the disk.
bool SyncLockedFile(LockHandle hLock);

// ---- Lock files shared with other programs -------------------------------------------------

// A lock file is a name that exists while someone works. Programs that know only that take it
// by creating it and judge a lock they find by its age. The server also holds an flock on its
// own lock files, so that one left by a process that died is known at once.
//
// Creates pszPath as a new file (ulMode) holding pszOwner and keeps it flock'ed while the
// handle is open. INVALID_LOCK_HANDLE when it exists or cannot be made.
LockHandle CreateLockFile(const char* pszPath, uint32_t ulMode, const char* pszOwner);
enum LockFileState {
    LOCK_FILE_ABSENT,
    LOCK_FILE_HELD,    // a live process of ours holds it
    LOCK_FILE_UNHELD,  // it exists and no process holds it by flock (or the file system keeps none)
};
// Looks at a lock file: whether it exists and is held, and its first bytes (NUL-terminated)
// in pszOwner. An unheld file's last-write time goes to *pftWrite.
LockFileState ProbeLockFile(const char* pszPath, char* pszOwner, size_t nSize, FILETIME* pftWrite);
// Refreshes the file's times through its handle.
void TouchLockFile(LockHandle hLockFile);
// Removes the lock file, then lets go of it.
void ReleaseLockFile(const char* pszPath, LockHandle hLockFile);

// ---- Failures -------------------------------------------------------------------------------

// A network or cluster file system fails some calls for a moment (a handle gone stale while
// another machine replaced the file, a server busy): those are tried again a few times before
// a call reports failure. What the last failed call of this thread met:
enum FileFailure {
    FILE_FAILURE_NONE,
    FILE_FAILURE_EXISTS,     // the name was taken (by another writer)
    FILE_FAILURE_MISSING,    // the name was not there (moved or removed by another writer)
    FILE_FAILURE_TRANSIENT,  // still failing after the retries
    FILE_FAILURE_OTHER,
};
FileFailure LastFileFailure();
// The system's words for it ("Stale file handle"), "" when the last call did not fail.
const char* LastFileFailureText();
// Forgets the last failure (before a sequence of calls whose first failure is to be reported).
void ClearFileFailure();
// For tests: asked before each attempt of the calls that are tried again (pszCall "open",
// "rename", "link", the "unlink" that ends a move by link); a nonzero answer is taken as that attempt's errno, without the call.
void SetFileFaultHook(std::function<int(const char* pszCall, const char* pszPath)> fnHook);

// ---- Time ----------------------------------------------------------------------------------

// Seconds and nanoseconds since 1970 to 100-nanosecond units since 1601.
FILETIME UnixToFileTime(int64_t llSeconds, uint32_t ulNanoseconds);
