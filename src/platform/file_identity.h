// What tells one state of a file from the next: kept beside what was read from it, so that it is
// read again only once it changed.
#pragma once

#include <cstdint>

struct FileIdentity {
    uint64_t ullDevice;
    uint64_t ullInode;
    uint64_t ullSize;
    uint64_t ullWriteNs;
    uint64_t ullChangeNs;

    bool operator==(const FileIdentity&) const = default;
};

// The identity of the regular file at the path, asked of the file server itself where the kernel
// caches attributes; false when there is none or it cannot be looked at.
bool ReadFileIdentity(const char* pszPath, FileIdentity* pIdentity);

// Whether every change made to the file from now on will show in its identity. A change within
// the clock tick that stamped the file's last change may leave the same stamp (and, written in
// place, the same size and inode): such a file is read again next time rather than trusted.
// Ask before reading what the identity is to stand for.
bool LaterChangesShow(const FileIdentity& identity);
