#include "platform/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace {

uint64_t Nanoseconds(const struct statx_timestamp& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace

bool ReadFileIdentity(const char* pszPath, FileIdentity* pIdentity) {
    struct statx stx {};
    // FORCE_SYNC: FUSE and NFS answer a plain stat from attributes cached for a second or more.
    if (::statx(AT_FDCWD, pszPath, AT_STATX_FORCE_SYNC,
                STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME, &stx) != 0 ||
        !S_ISREG(stx.stx_mode)) {
        return false;
    }
    pIdentity->ullDevice = (static_cast<uint64_t>(stx.stx_dev_major) << 32) | stx.stx_dev_minor;
    pIdentity->ullInode = stx.stx_ino;
    pIdentity->ullSize = stx.stx_size;
    pIdentity->ullWriteNs = Nanoseconds(stx.stx_mtime);
    pIdentity->ullChangeNs = Nanoseconds(stx.stx_ctime);
    return true;
}

bool LaterChangesShow(const FileIdentity& identity) {
    // File systems stamp changes from the coarse clock (or finer, never coarser): a change time
    // before its current tick cannot be given again by any later change. Only the change time:
    // the write time may be set to anything, and setting it moves the change time too.
    struct timespec now {};
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) {
        return false;
    }
    uint64_t ullNow = static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
    return identity.ullChangeNs < ullNow;
}
