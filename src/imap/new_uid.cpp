#include "imap/new_uid.h"

#include <cstdio>

#include "platform/fs.h"
#include "store/store.h"

namespace {

// Enough to pass over any run of taken UIDs a stale uid file can leave; past it the UID is
// used all the same and the file operations refuse to replace a message.
constexpr int MAX_TAKEN_SKIPS = 10000;

bool UidInUse(const char* pszMailbox, uint32_t ulUid) {
    char szPattern[MAX_PATH + 32];
    if (!FormatMessagePath(szPattern, sizeof(szPattern), pszMailbox, ulUid, "??????")) {
        return false;
    }
    bool bInUse = false;
    FindFiles(szPattern, 0, [&](const FindData& data) {
        bInUse = IsMessageFile(data);
        return !bInUse;
    });
    return bInUse;
}

}  // namespace

uint32_t AssignUnusedUid(const char* pszMailbox) {
    uint32_t ulUid = AssignUids(pszMailbox, 1);
    for (int i = 0; i < MAX_TAKEN_SKIPS && UidInUse(pszMailbox, ulUid); i++) {
        ulUid = AssignUids(pszMailbox, 1);
    }
    return ulUid;
}
