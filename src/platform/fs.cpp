// Windows file-system behaviour on a Linux file system: see fs.h for the contract.
#include "platform/fs.h"
#include "platform/dir_stream.h"
#include "platform/dir_watch.h"
#include "platform/format.h"
#include "platform/fs_retry.h"
#include "platform/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// A directory's subscription mark; dot-names are hidden by their name alone.
constexpr const char* XATTR_HIDDEN = "user.veve4d.hidden";
// Creation time stamped by CreateDirectoryEntry, for file systems without birth times.
constexpr const char* XATTR_CREATED = "user.veve4d.created";

inline unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }

bool HasWildcard(const char* psz) { return std::strpbrk(psz, "*?") != nullptr; }

FILETIME NowAsFileTime() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return UnixToFileTime(ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec));
}

// Cuts a path into its directory ("." when there is none) and its last component.
void SplitPath(const char* pszPath, std::string& dir, std::string& name) {
    const char* pSlash = std::strrchr(pszPath, '/');
    // clear + push_back: GCC 12 warns falsely (-Wrestrict) on assigning a literal here.
    dir.clear();
    if (pSlash == nullptr) {
        dir.push_back('.');
        name = pszPath;
    } else if (pSlash == pszPath) {
        dir.push_back('/');
        name = pSlash + 1;
    } else {
        dir.assign(pszPath, pSlash);
        name = pSlash + 1;
    }
}

std::string JoinPath(const std::string& dir, const char* pszName) {
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += pszName;
    return path;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Finds the entry of a directory whose name equals pszName without regard to case. The exact
// spelling wins when both exist. False when the directory holds no such entry.
bool FindNameNoCase(const std::string& dir, const char* pszName, std::string& found, unsigned char* pType) {
    UniqueDir pDir(::opendir(dir.c_str()));
    if (pDir == nullptr) return false;
    bool bFound = false;
    while (struct dirent* pEntry = ::readdir(pDir.get())) {
        if (std::strcmp(pEntry->d_name, pszName) == 0) {
            found = pEntry->d_name;
            if (pType) *pType = pEntry->d_type;
            bFound = true;
            break;
        }
        if (!bFound && EqualNoCase(pEntry->d_name, pszName)) {
            found = pEntry->d_name;
            if (pType) *pType = pEntry->d_type;
            bFound = true;
        }
    }
    return bFound;
}

// Maps an existing path onto the file system's spelling, component by component. Only used
// after an exact lookup failed, so the common case costs nothing.
bool ResolveExisting(const char* pszPath, std::string& resolved) {
    if (PathExists(pszPath)) {
        resolved = pszPath;
        return true;
    }
    std::string cur = (pszPath[0] == '/') ? "/" : ".";
    const char* p = pszPath;
    while (*p) {
        while (*p == '/') ++p;
        if (*p == '\0') break;
        const char* pEnd = std::strchr(p, '/');
        std::string comp = pEnd ? std::string(p, pEnd) : std::string(p);
        p = pEnd ? pEnd : p + comp.size();
        std::string next = JoinPath(cur, comp.c_str());
        if (comp != "." && comp != ".." && !PathExists(next)) {
            std::string found;
            if (!FindNameNoCase(cur, comp.c_str(), found, nullptr)) return false;
            next = JoinPath(cur, found.c_str());
        }
        cur = next;
    }
    resolved = cur;
    return true;
}

// The directory part of a path that names something to be created, mapped onto existing spelling.
bool ResolveParent(const char* pszPath, std::string& dir, std::string& name) {
    SplitPath(pszPath, dir, name);
    if (name.empty()) return false;
    std::string resolved;
    if (!ResolveExisting(dir.c_str(), resolved)) return false;
    dir = resolved;
    return true;
}

// The stable creation stamp of a directory on a file system that records no birth time.
FILETIME DirectoryStamp(const std::string& path, uint64_t ullInode) {
    char szValue[32] = {};
    ssize_t n = ::lgetxattr(path.c_str(), XATTR_CREATED, szValue, sizeof(szValue) - 1);
    if (n <= 0) {
        // First read of a directory made by someone else: stamp it now. XATTR_CREATE lets a
        // concurrent stamp win, after which both readers agree on the stored value.
        static_cast<void>(
            FormatText(szValue, sizeof(szValue), "%llu", static_cast<unsigned long long>(NowAsFileTime())));
        ::lsetxattr(path.c_str(), XATTR_CREATED, szValue, std::strlen(szValue), XATTR_CREATE);
        std::memset(szValue, 0, sizeof(szValue));
        n = ::lgetxattr(path.c_str(), XATTR_CREATED, szValue, sizeof(szValue) - 1);
    }
    if (n > 0) return std::strtoull(szValue, nullptr, 10);
    // No extended attributes either: the inode number is fixed for the life of the directory.
    return ullInode;
}

FILETIME StatxTime(const struct statx_timestamp& t) { return UnixToFileTime(t.tv_sec, t.tv_nsec); }

// Fills one entry. dirFd/pszAt address it for statx (pszAt is its name, or its whole path with
// AT_FDCWD); dir is the directory it is in, for xattrs.
bool FillEntry(int dirFd, const char* pszAt, const std::string& dir, const char* pszName, unsigned char dType,
               uint32_t fOptions, FindData* pData) {
    std::memset(pData, 0, sizeof(*pData));
    size_t nLen = std::strlen(pszName);
    if (nLen >= sizeof(pData->cFileName)) return false;
    std::memcpy(pData->cFileName, pszName, nLen + 1);

    bool bDot = std::strcmp(pszName, ".") == 0 || std::strcmp(pszName, "..") == 0;
    struct statx stx {};
    bool bStat = false;
    if (dType == DT_UNKNOWN || (fOptions & FIND_TIMES)) {
        if (::statx(dirFd, pszAt, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) return false;
        bStat = true;
        if (dType == DT_UNKNOWN) dType = IFTODT(stx.stx_mode);
    }

    uint32_t dwAttributes = 0;
    if (dType == DT_DIR) {
        dwAttributes |= FILE_ATTRIBUTE_DIRECTORY;
        if (!bDot) {
            std::string path = JoinPath(dir, pszName);
            if (::lgetxattr(path.c_str(), XATTR_HIDDEN, nullptr, 0) >= 0) dwAttributes |= FILE_ATTRIBUTE_HIDDEN;
        }
    } else if (dType != DT_REG) {
        // Links, sockets, devices: never message files or mailboxes, and never followed.
        dwAttributes |= FILE_ATTRIBUTE_SYSTEM;
    }
    if (pszName[0] == '.' && !bDot) dwAttributes |= FILE_ATTRIBUTE_HIDDEN;
    if (dwAttributes == 0) dwAttributes = FILE_ATTRIBUTE_NORMAL;
    pData->dwFileAttributes = dwAttributes;

    if (bStat && (fOptions & FIND_TIMES)) {
        pData->ftLastWriteTime = StatxTime(stx.stx_mtime);
        pData->ftLastAccessTime = StatxTime(stx.stx_atime);
        pData->nFileSize = stx.stx_size;
        if (stx.stx_mask & STATX_BTIME) {
            pData->ftCreationTime = StatxTime(stx.stx_btime);
        } else if (dType == DT_DIR) {
            pData->ftCreationTime = DirectoryStamp(JoinPath(dir, pszName), stx.stx_ino);
        } else {
            // A delivered file is written once, so its last write is when it came into being.
            pData->ftCreationTime = pData->ftLastWriteTime;
        }
    }
    return true;
}

// Windows reads "*.*" as "every name", dot or not.
const char* NormalisePattern(const std::string& pattern) { return pattern == "*.*" ? "*" : pattern.c_str(); }

struct NameRef {
    uint32_t nOffset;
    unsigned char dType;
};

}  // namespace

FILETIME UnixToFileTime(int64_t llSeconds, uint32_t ulNanoseconds) {
    return static_cast<FILETIME>(llSeconds * static_cast<int64_t>(FILETIME_UNITS_PER_SECOND) + ulNanoseconds / 100) +
           FILETIME_UNIX_EPOCH;
}

bool WildcardMatch(const char* pszPattern, const char* pszName) {
    const char* p = pszPattern;
    const char* n = pszName;
    const char* pStar = nullptr;
    const char* nStar = nullptr;
    while (*n) {
        if (*p == '*') {
            pStar = p++;
            nStar = n;
        } else if (*p && (*p == '?' || Upper(static_cast<unsigned char>(*p)) == Upper(static_cast<unsigned char>(*n)))) {
            ++p;
            ++n;
        } else if (pStar) {
            p = pStar + 1;
            n = ++nStar;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0';
}

int CompareNames(const char* pszA, const char* pszB) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(pszA);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pszB);
    while (*a && Upper(*a) == Upper(*b)) {
        ++a;
        ++b;
    }
    int nDiff = static_cast<int>(Upper(*a)) - static_cast<int>(Upper(*b));
    if (nDiff != 0) return nDiff;
    // Names that differ only in case (possible here, not on NTFS) keep a fixed order.
    return std::strcmp(pszA, pszB);
}

size_t FindFiles(const char* pszPattern, uint32_t fOptions, const std::function<bool(const FindData&)>& fnEntry) {
    std::string dir, name;
    SplitPath(pszPattern, dir, name);
    if (name.empty()) return 0;
    FindData data;

    if (!HasWildcard(name.c_str())) {
        // The path itself, looked up exactly first (one statx, no directory opened: STATUS and
        // SELECT ask this of every mailbox they name), then without regard to case.
        if (FillEntry(AT_FDCWD, pszPattern, dir, name.c_str(), DT_UNKNOWN, fOptions, &data)) {
            fnEntry(data);
            return 1;
        }
        std::string resolved;
        if (!ResolveExisting(pszPattern, resolved)) return 0;
        std::string resolvedDir, resolvedName;
        SplitPath(resolved.c_str(), resolvedDir, resolvedName);
        int dirFd = ::open(resolvedDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return 0;
        bool bOk = FillEntry(dirFd, resolvedName.c_str(), resolvedDir, resolvedName.c_str(), DT_UNKNOWN, fOptions, &data);
        ::close(dirFd);
        if (!bOk) return 0;
        fnEntry(data);
        return 1;
    }

    UniqueDir pDir(::opendir(dir.c_str()));
    if (pDir == nullptr) {
        std::string resolved;
        if (errno != ENOENT || !ResolveExisting(dir.c_str(), resolved)) return 0;
        dir = resolved;
        pDir.reset(::opendir(dir.c_str()));
        if (pDir == nullptr) return 0;
    }

    // One pass over the directory collecting matching names into one arena, then one sort:
    // no per-file system call unless times were asked for.
    const char* pszMatch = NormalisePattern(name);
    std::string arena;
    std::vector<NameRef> refs;
    while (struct dirent* pEntry = ::readdir(pDir.get())) {
        if (!WildcardMatch(pszMatch, pEntry->d_name)) continue;
        refs.push_back(NameRef{static_cast<uint32_t>(arena.size()), pEntry->d_type});
        arena.append(pEntry->d_name);
        arena.push_back('\0');
    }
    const char* pArena = arena.data();
    std::sort(refs.begin(), refs.end(), [pArena](const NameRef& a, const NameRef& b) {
        return CompareNames(pArena + a.nOffset, pArena + b.nOffset) < 0;
    });

    size_t nYielded = 0;
    int dirFd = ::dirfd(pDir.get());
    for (const NameRef& ref : refs) {
        // An entry removed since the read is skipped, as a later FindNextFile would not see it.
        if (!FillEntry(dirFd, pArena + ref.nOffset, dir, pArena + ref.nOffset, ref.dType, fOptions, &data)) continue;
        ++nYielded;
        if (!fnEntry(data)) break;
    }
    return nYielded;
}

size_t FindFiles(const char* pszPattern, uint32_t fOptions, std::vector<FindData>& entries) {
    return FindFiles(pszPattern, fOptions, [&entries](const FindData& data) {
        entries.push_back(data);
        return true;
    });
}

bool StatFile(const char* pszPath, uint64_t* pullSize, FILETIME* pftLastWrite) {
    struct stat st {};
    if (::stat(pszPath, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *pullSize = static_cast<uint64_t>(st.st_size);
    *pftLastWrite = UnixToFileTime(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    return true;
}

bool FindEntry(const char* pszPath, FindData* pData) {
    if (HasWildcard(pszPath)) return false;
    return FindFiles(pszPath, FIND_TIMES, [pData](const FindData& data) {
               *pData = data;
               return false;
           }) == 1;
}

EntryProbe ProbeEntry(const char* pszPath, char* pszReason, size_t nSize) {
    auto unreadable = [&](int nError) {
        static_cast<void>(FormatText(pszReason, nSize, "%s", strerror(nError)));
        return ENTRY_UNREADABLE;
    };
    struct stat st {};
    if (::lstat(pszPath, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return ENTRY_PRESENT;
        int fd = ::open(pszPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return unreadable(errno);
        ::close(fd);
        return ENTRY_PRESENT;
    }
    if (errno != ENOENT && errno != ENOTDIR) return unreadable(errno);
    // Another spelling would have been found by a listing of the parent, if it could be read.
    std::string dir, name;
    SplitPath(pszPath, dir, name);
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT && errno != ENOTDIR) return unreadable(errno);
    if (fd >= 0) ::close(fd);
    return ENTRY_MISSING;
}

bool MatchPathCase(const char* pszBase, const char* pszRelative, char* pszOut, size_t nSize) {
    std::string cur = pszBase;
    if (cur.empty() || cur.back() != '/') cur += '/';
    bool bExisting = true;
    const char* p = pszRelative;
    for (;;) {
        const char* pEnd = std::strchr(p, '/');
        std::string comp = pEnd ? std::string(p, pEnd) : std::string(p);
        if (comp.empty() || comp == "." || comp == "..") return false;
        if (bExisting) {
            std::string found = comp;
            unsigned char dType = DT_UNKNOWN;
            struct stat st {};
            std::string exact = cur + comp;
            if (::lstat(exact.c_str(), &st) == 0) {
                dType = IFTODT(st.st_mode);
            } else if (FindNameNoCase(cur, comp.c_str(), found, &dType)) {
                std::string path = cur + found;
                if (dType == DT_UNKNOWN && ::lstat(path.c_str(), &st) == 0) dType = IFTODT(st.st_mode);
            } else {
                bExisting = false;
            }
            // A link would lead out of the user's mail directory.
            if (bExisting && dType == DT_LNK) return false;
            comp = found;
        }
        cur += comp;
        if (pEnd == nullptr) break;
        cur += '/';
        p = pEnd + 1;
    }
    if (cur.size() >= nSize) return false;
    std::memcpy(pszOut, cur.c_str(), cur.size() + 1);
    return true;
}

bool MatchExistingCase(char* pszPath, size_t nSize) {
    std::string resolved;
    if (!ResolveExisting(pszPath, resolved)) return false;
    size_t nLength = std::strlen(pszPath);
    if (nLength > 1 && pszPath[nLength - 1] == '/' && resolved.back() != '/') resolved += '/';
    if (resolved.size() >= nSize) return false;
    std::memcpy(pszPath, resolved.c_str(), resolved.size() + 1);
    return true;
}

bool CreateDirectoryEntry(const char* pszPath, uint32_t ulMode) {
    std::string dir, name;
    if (!ResolveParent(pszPath, dir, name)) return false;
    std::string existing;
    if (FindNameNoCase(dir, name.c_str(), existing, nullptr)) return false;
    std::string path = JoinPath(dir, name.c_str());
    if (::mkdir(path.c_str(), ulMode != 0 ? 0700 : 0777) != 0) return false;
    if (ulMode != 0) ::chmod(path.c_str(), static_cast<mode_t>(ulMode));
    char szValue[32];
    static_cast<void>(FormatText(szValue, sizeof(szValue), "%llu", static_cast<unsigned long long>(NowAsFileTime())));
    ::lsetxattr(path.c_str(), XATTR_CREATED, szValue, std::strlen(szValue), XATTR_CREATE);
    return true;
}

bool RemoveDirectoryEntry(const char* pszPath) {
    std::string path = pszPath;
    if (::rmdir(path.c_str()) == 0) return true;
    if (errno == ENOENT) {
        if (!ResolveExisting(pszPath, path)) return false;
        if (::rmdir(path.c_str()) == 0) return true;
    }
    if (errno != ENOTEMPTY && errno != EEXIST) return false;
    // The lock file of the directory's lock is no content: a directory holding only that is empty.
    bool bOnlyLock = true;
    if (DIR* pDir = ::opendir(path.c_str())) {
        while (struct dirent* pEntry = ::readdir(pDir)) {
            const char* pszName = pEntry->d_name;
            if (std::strcmp(pszName, ".") != 0 && std::strcmp(pszName, "..") != 0 &&
                std::strcmp(pszName, DIRECTORY_LOCK_NAME) != 0) {
                bOnlyLock = false;
            }
        }
        ::closedir(pDir);
    }
    if (!bOnlyLock) return false;
    ::unlink(JoinPath(path, DIRECTORY_LOCK_NAME).c_str());
    return ::rmdir(path.c_str()) == 0;
}

bool DeleteFileEntry(const char* pszPath) {
    if (::unlink(pszPath) == 0) return true;
    std::string resolved;
    if (errno != ENOENT || !ResolveExisting(pszPath, resolved)) return false;
    return ::unlink(resolved.c_str()) == 0;
}

namespace {

int OpenExisting(const char* pszPath, int fFlags) {
    int fd = RetryFileCall("open", pszPath, [&] { return ::open(pszPath, fFlags | O_CLOEXEC); });
    if (fd >= 0 || errno != ENOENT) return fd;
    std::string resolved;
    if (!ResolveExisting(pszPath, resolved)) return -1;
    return RetryFileCall("open", resolved.c_str(), [&] { return ::open(resolved.c_str(), fFlags | O_CLOEXEC); });
}

bool CopyContents(int fdIn, int fdOut) {
    // copy_file_range lets the kernel (or a reflinking file system) do the work.
    for (;;) {
        ssize_t n = ::copy_file_range(fdIn, nullptr, fdOut, nullptr, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fdIn, buffer, sizeof(buffer));
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        ssize_t nDone = 0;
        while (nDone < n) {
            ssize_t w = ::write(fdOut, buffer + nDone, static_cast<size_t>(n - nDone));
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            nDone += w;
        }
    }
}

}  // namespace

bool CopyFileNoReplace(const char* pszSource, const char* pszTarget, uint32_t ulMode, bool bSync) {
    int fdIn = OpenExisting(pszSource, O_RDONLY);
    if (fdIn < 0) return false;
    struct stat st {};
    if (::fstat(fdIn, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fdIn);
        return false;
    }
    std::string dir, name;
    if (!ResolveParent(pszTarget, dir, name)) {
        ::close(fdIn);
        return false;
    }
    std::string target = JoinPath(dir, name.c_str());
    // Created private, then given its mode: never readable by others, even for an instant.
    int fdOut = RetryFileCall("open", target.c_str(), [&] {
        return ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ulMode != 0 ? 0600 : st.st_mode & 0777);
    });
    if (fdOut < 0) {
        ::close(fdIn);
        return false;
    }
    bool bOk = CopyContents(fdIn, fdOut);
    if (bOk && ulMode != 0) bOk = ::fchmod(fdOut, static_cast<mode_t>(ulMode)) == 0;
    if (bOk) {
        // CopyFile keeps the last-write time; the copy's creation time is its own.
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_NOW;
        times[1] = st.st_mtim;
        bOk = ::futimens(fdOut, times) == 0;
    }
    if (bOk && bSync) bOk = ::fsync(fdOut) == 0;
    if (::close(fdOut) != 0) bOk = false;
    ::close(fdIn);
    if (!bOk) ::unlink(target.c_str());
    return bOk;
}

bool SetLastWriteTime(const char* pszPath, int64_t llUnixSeconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(llUnixSeconds);
    times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, pszPath, times, 0) == 0;
}

bool MoveFileNoReplace(const char* pszSource, const char* pszTarget) {
    std::string source = pszSource;
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0) {
        int nError = errno;
        if (!ResolveExisting(pszSource, source) || ::lstat(source.c_str(), &st) != 0) {
            NoteFileFailure(nError);
            errno = nError;
            return false;
        }
    }
    std::string dir, name;
    if (!ResolveParent(pszTarget, dir, name)) return false;
    std::string target = JoinPath(dir, name.c_str());

    if (S_ISDIR(st.st_mode)) {
        // A mailbox may not take a name that another one holds in a different case; renaming a
        // directory to another spelling of its own name is allowed.
        std::string existing;
        if (FindNameNoCase(dir, name.c_str(), existing, nullptr)) {
            struct stat stExisting {};
            std::string existingPath = JoinPath(dir, existing.c_str());
            if (::lstat(existingPath.c_str(), &stExisting) != 0 || stExisting.st_ino != st.st_ino ||
                stExisting.st_dev != st.st_dev || existing == name) {
                return false;
            }
        }
    }

    if (RetryFileCall("rename", target.c_str(), [&] {
            return ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        }) == 0) {
        return true;
    }
    if (errno == EXDEV) {
        if (!S_ISREG(st.st_mode)) return false;
        if (!CopyFileNoReplace(source.c_str(), target.c_str())) return false;
        return ::unlink(source.c_str()) == 0;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // The file system cannot rename without replacing: a link fails on an existing target.
    // A link goes by the file, not by its name: through a cluster file system's cache of an old
    // name (another machine renamed the file meanwhile) it still succeeds, and the file would
    // have two names. The old name must then be gone for good: the new one is taken back and the
    // caller learns that the source was missing.
    if (!S_ISDIR(st.st_mode)) {
        if (RetryFileCall("link", target.c_str(), [&] { return ::link(source.c_str(), target.c_str()); }) != 0) return false;
        if (RetryFileCall("unlink", source.c_str(), [&] { return ::unlink(source.c_str()); }) == 0) return true;
        int nError = errno;
        ::unlink(target.c_str());
        NoteFileFailure(nError);
        errno = nError;
        return false;
    }
    struct stat stTarget {};
    if (::lstat(target.c_str(), &stTarget) == 0) return false;
    return ::rename(source.c_str(), target.c_str()) == 0;
}

namespace {

// Makes the file at the exact path, which must not exist yet, with ulMode (0: the default) and
// opens it with nAccess; *pPath is where it was made. -1, with nothing left behind, when the
// name is taken or the file cannot be made.
int OpenNewFile(const char* pszPath, int nAccess, uint32_t ulMode, std::string* pPath) {
    std::string dir, name;
    if (!ResolveParent(pszPath, dir, name)) return -1;
    *pPath = JoinPath(dir, name.c_str());
    int fd = RetryFileCall("open", pPath->c_str(), [&] {
        return ::open(pPath->c_str(), nAccess | O_CREAT | O_EXCL | O_CLOEXEC, ulMode != 0 ? 0600 : 0666);
    });
    if (fd < 0 || ulMode == 0 || ::fchmod(fd, static_cast<mode_t>(ulMode)) == 0) return fd;
    NoteFileFailure(errno);
    ::close(fd);
    ::unlink(pPath->c_str());
    return -1;
}

}  // namespace

bool CreateNewFile(const char* pszPath, uint32_t ulMode) {
    std::string path;
    int fd = OpenNewFile(pszPath, O_RDWR, ulMode, &path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool SetHiddenAttribute(const char* pszPath, bool bHidden) {
    std::string path;
    if (!ResolveExisting(pszPath, path)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (bHidden) return ::lsetxattr(path.c_str(), XATTR_HIDDEN, "1", 1, 0) == 0;
    return ::lremovexattr(path.c_str(), XATTR_HIDDEN) == 0 || errno == ENODATA;
}

namespace {

// What the flock of a path is taken on: the file itself, or on a file system other machines share
// a directory's lock file. A directory whose lock file cannot be made (read-only to us) is locked
// itself, which holds on this machine.
int OpenLockTarget(const char* pszPath) {
    int fd = OpenExisting(pszPath, O_RDONLY);
    if (fd < 0) return fd;
    struct stat st {};
    struct statfs fs {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || ::fstatfs(fd, &fs) != 0 ||
        SharedFileSystemName(static_cast<uint32_t>(fs.f_type)) == nullptr) {
        return fd;
    }
    int fdFile = RetryFileCall("open", DIRECTORY_LOCK_NAME, [&] {
        return ::openat(fd, DIRECTORY_LOCK_NAME, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    });
    if (fdFile < 0 && errno == ENOENT) {
        // The mode of the directory's files: private, or the shared group's.
        fdFile = ::openat(fd, DIRECTORY_LOCK_NAME, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fdFile >= 0) {
            ::fchmod(fdFile, st.st_mode & 0660);
        } else if (errno == EEXIST) {
            fdFile = ::openat(fd, DIRECTORY_LOCK_NAME, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        }
    }
    if (fdFile < 0) return fd;
    ::close(fd);
    return fdFile;
}

// Takes the lock on fd; nOperation is flock's: LOCK_EX or LOCK_SH, with LOCK_NB for a try. The
// failure is noted only for a wait that failed: a lock held by another is no failure of the store.
bool LockDescriptor(int fd, int nOperation) {
    // A kill does not end a lock request that a FUSE file system has passed on (GlusterFS answers
    // it only once the lock is granted): a server killed while one of its threads waits for a
    // lock that another of its threads holds would never exit, and its locks would stay held.
    // On a shared file system the wait is therefore a series of tries with short sleeps between.
    struct statfs fs {};
    bool bTries = (nOperation & LOCK_NB) == 0 && ::fstatfs(fd, &fs) == 0 &&
                  SharedFileSystemName(static_cast<uint32_t>(fs.f_type)) != nullptr;
    long lPause = 1000000L;
    while (::flock(fd, bTries ? nOperation | LOCK_NB : nOperation) != 0) {
        if (bTries && errno == EWOULDBLOCK) {
            struct timespec ts {0, lPause};
            ::nanosleep(&ts, nullptr);
            lPause = std::min(lPause * 2, 16000000L);
            continue;
        }
        if (errno != EINTR) {
            if ((nOperation & LOCK_NB) == 0) NoteFileFailure(errno);
            return false;
        }
    }
    return true;
}

LockHandle LockPath(const char* pszPath, int nOperation) {
    int fd = OpenLockTarget(pszPath);
    if (fd < 0) return INVALID_LOCK_HANDLE;
    if (!LockDescriptor(fd, nOperation)) {
        ::close(fd);
        return INVALID_LOCK_HANDLE;
    }
    return fd;
}

}  // namespace

LockHandle LockPathExclusive(const char* pszPath) { return LockPath(pszPath, LOCK_EX); }

LockHandle TryLockPathExclusive(const char* pszPath) { return LockPath(pszPath, LOCK_EX | LOCK_NB); }

LockHandle LockPathShared(const char* pszPath) { return LockPath(pszPath, LOCK_SH); }

void UnlockPath(LockHandle hLock) {
    if (hLock == INVALID_LOCK_HANDLE) return;
    ::flock(hLock, LOCK_UN);
    ::close(hLock);
}

FILE* CreateNewFileLocked(const char* pszPath, uint32_t ulMode, LockHandle* phLock) {
    *phLock = INVALID_LOCK_HANDLE;
    std::string path;
    int fd = OpenNewFile(pszPath, O_WRONLY, ulMode, &path);
    if (fd < 0) return nullptr;
    // The lock is held through a descriptor of its own that only reads: closing one that writes
    // tells the directory's watchers that the file was written, and the lock is given up only
    // after the file has taken its final name. GlusterFS may refuse it for a moment even on a
    // file made just now, so it is waited for; where the file system keeps no locks the file is
    // written all the same, as it was before locks.
    int fdLock = -1;
    FILE* pFile = nullptr;
    if ((fdLock = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) >= 0 &&
        (LockDescriptor(fdLock, LOCK_EX) || errno != EWOULDBLOCK) &&
        (pFile = ::fdopen(fd, "wb")) != nullptr) {
        *phLock = fdLock;
        return pFile;
    }
    NoteFileFailure(errno);
    if (fdLock >= 0) ::close(fdLock);
    ::close(fd);
    ::unlink(path.c_str());
    return nullptr;
}

bool SyncLockedFile(LockHandle hLock) { return hLock != INVALID_LOCK_HANDLE && ::fsync(hLock) == 0; }

FILE* OpenPrivateAppend(const char* pszPath) {
    int fd = ::open(pszPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* pFile = ::fdopen(fd, "a");
    if (pFile == nullptr) ::close(fd);
    return pFile;
}

bool FreeDiskBytes(const char* pszPath, uint64_t* pullFree) {
    struct statvfs fs {};
    if (::statvfs(pszPath, &fs) != 0) return false;
    *pullFree = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
    return true;
}

bool ReadFileStart(const char* pszPath, char* pBuffer, size_t nSize, size_t* pnRead) {
    *pnRead = 0;
    int fd = open(pszPath, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool bRead = true;
    while (*pnRead < nSize) {
        ssize_t nGot = read(fd, pBuffer + *pnRead, nSize - *pnRead);
        if (nGot < 0 && errno == EINTR) continue;
        if (nGot <= 0) {
            bRead = nGot == 0;
            break;
        }
        *pnRead += static_cast<size_t>(nGot);
    }
    close(fd);
    return bRead;
}

OwnFileRead ReadOwnFileStart(const char* pszPath, char* pBuffer, size_t nSize, size_t* pnRead, char* pszWhy,
                             size_t nWhySize) {
    *pnRead = 0;
    if (nWhySize > 0) pszWhy[0] = '\0';
    // O_NONBLOCK: a FIFO put there must not hold the session until someone writes to it.
    int fd = open(pszPath, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int nError = errno;
        if (nError == ENOENT || nError == ENOTDIR) return OWN_FILE_MISSING;
        static_cast<void>(FormatText(pszWhy, nWhySize, "%s", nError == ELOOP ? "a symbolic link" : strerror(nError)));
        return OWN_FILE_REFUSED;
    }
    struct stat st {};
    OwnFileRead result = OWN_FILE_REFUSED;
    // The identity in force answers a request for an impossible one.
    uid_t uidReader = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
    if (fstat(fd, &st) != 0) {
        static_cast<void>(FormatText(pszWhy, nWhySize, "%s", strerror(errno)));
    } else if (!S_ISREG(st.st_mode)) {
        static_cast<void>(FormatText(pszWhy, nWhySize, "%s", "not a regular file"));
    } else if (st.st_uid != uidReader) {
        static_cast<void>(FormatText(pszWhy, nWhySize, "owned by uid %lu, not %lu",
                                     static_cast<unsigned long>(st.st_uid), static_cast<unsigned long>(uidReader)));
    } else {
        result = OWN_FILE_READ;
        while (*pnRead < nSize) {
            ssize_t nGot = read(fd, pBuffer + *pnRead, nSize - *pnRead);
            if (nGot < 0 && errno == EINTR) continue;
            if (nGot < 0) {
                static_cast<void>(FormatText(pszWhy, nWhySize, "%s", strerror(errno)));
                result = OWN_FILE_REFUSED;
                break;
            }
            if (nGot == 0) break;
            *pnRead += static_cast<size_t>(nGot);
        }
    }
    close(fd);
    return result;
}
