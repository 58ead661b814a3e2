// Message bytes read and sent without stdio: a file's size with its first and last bytes, a
// check of a byte range for NUL, and a range sent from the file to a socket by the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/types.h"

struct FileProbe {
    uint64_t ullSize = 0;
    unsigned char chFirst = 0;  // meaningful when ullSize > 0
    char szTail[8] = {};        // the last nTail bytes
    size_t nTail = 0;
    FILETIME ftWritten = 0;     // the last-write time
};
// Reads the size, write time and first and last bytes of the file at the path. False when it cannot be
// opened or read.
bool ProbeFile(const char* pszPath, FileProbe* pProbe);

// What tells one file's content from another's: the file itself (device and inode), its size and
// its last write. A file written again, or another renamed over its name, differs; the same file
// renamed (a flag change) does not.
struct FileIdentity {
    uint64_t ullDevice = 0;
    uint64_t ullInode = 0;
    uint64_t ullSize = 0;
    int64_t llWrittenNs = 0;
    bool operator==(const FileIdentity&) const = default;
};
// The identity of the open file; false when it cannot be examined.
bool IdentifyFile(FILE* pFile, FileIdentity* pIdentity);

// Whether bytes ullOffset.. (ullLength of them) of the open file hold a NUL byte. False, with
// *pbNul unset, when the range cannot be examined.
bool RangeHoldsNul(FILE* pFile, uint64_t ullOffset, uint64_t ullLength, bool* pbNul);

// Sends bytes ullOffset.. (ullLength of them) of the open file on the socket from a mapping of
// the file, a MiB a send: over loopback that moved a 20 MB message at about 4 GB/s where sendfile
// managed 1.6 and reads and sends 3. Returns the bytes sent: fewer than asked when the file ended
// early (it is never read past its end) or the send failed (then *pbFailed is set).
uint64_t SendMappedFileRange(SOCKET sock, FILE* pFile, uint64_t ullOffset, uint64_t ullLength, bool* pbFailed);

// Reads up to nLength bytes at ullOffset of the open file, in one call where the system allows;
// returns the bytes read (0 at the end or on an error).
size_t ReadFileAt(FILE* pFile, uint64_t ullOffset, char* pBuffer, size_t nLength);
