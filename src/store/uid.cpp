// UIDs, UIDVALIDITY and the counts of a mailbox, all read from a fresh listing.
#include <cstdio>

#include "platform/format.h"
#include "store/store.h"

namespace {

// "%s/uid" and friends; false when the path does not fit.
bool JoinMailboxPath(char* pszOut, size_t nSize, const char* pszMailbox, const char* pszName) {
    return FormatText(pszOut, nSize, "%s/%s", pszMailbox, pszName);
}

}  // namespace

uint32_t ReadUidNext(const char* pszMailbox) {
    char szPath[MAX_PATH + 32];
    if (!JoinMailboxPath(szPath, sizeof(szPath), pszMailbox, "uid")) return 1;
    if (FILE* fp = std::fopen(szPath, "r")) {
        unsigned long ulValue = 1;
        if (std::fscanf(fp, "%lu", &ulValue) != 1) ulValue = 1;
        // A folder named "uid" opens here too, unlike on Windows, but cannot be read: then there
        // is no uid file, and the UID comes from the messages.
        bool bUnreadable = std::ferror(fp) != 0;
        std::fclose(fp);
        if (!bUnreadable) return static_cast<uint32_t>(ulValue);
    }

    // No uid file: one past the highest UID; the listing is ascending, so the last one wins.
    if (!JoinMailboxPath(szPath, sizeof(szPath), pszMailbox, ALL_MESSAGES_PATTERN)) return 1;
    bool bFound = false;
    uint32_t ulLast = 0;
    FindFiles(szPath, 0, [&](const FindData& data) {
        if (IsMessageFile(data)) {
            ulLast = MessageUid(data.cFileName);
            bFound = true;
        }
        return true;
    });
    if (!bFound) return 1;
    uint32_t ulNext = NextUid(ulLast);
    WriteUidNext(pszMailbox, ulNext);
    return ulNext;
}

void WriteUidNext(const char* pszMailbox, uint32_t ulUidNext) {
    char szPath[MAX_PATH + 32];
    if (!JoinMailboxPath(szPath, sizeof(szPath), pszMailbox, "uid")) return;
    if (FILE* fp = std::fopen(szPath, "w")) {
        std::fprintf(fp, "%lu", static_cast<unsigned long>(ulUidNext));
        std::fclose(fp);
    }
}

bool GetUidValidity(const char* pszMailbox, uint32_t* pulUidValidity) {
    FindData data;
    if (!FindEntry(pszMailbox, &data)) return false;
    *pulUidValidity = static_cast<uint32_t>(data.ftCreationTime & 0xFFFFFFFFu);
    return true;
}

void CountMailbox(const char* pszMailbox, int32_t* plExists, int32_t* plRecent, int32_t* plUnseen,
                  int32_t* plFirstUnseen) {
    int32_t lExists = 0, lRecent = 0, lUnseen = 0, lFirstUnseen = 0;
    char szPattern[MAX_PATH + 32];
    if (JoinMailboxPath(szPattern, sizeof(szPattern), pszMailbox, ALL_MESSAGES_PATTERN)) {
        FindFiles(szPattern, 0, [&](const FindData& data) {
            if (!IsMessageFile(data)) return true;
            ++lExists;
            if (data.cFileName[FLAG_POS_RECENT] == '1') ++lRecent;
            if (data.cFileName[FLAG_POS_SEEN] == '0') {
                ++lUnseen;
                if (lFirstUnseen == 0) lFirstUnseen = lExists;
            }
            return true;
        });
    }
    *plExists = lExists;
    *plRecent = lRecent;
    *plUnseen = lUnseen;
    *plFirstUnseen = lFirstUnseen;
}

LockHandle LockMailboxUids(const char* pszMailbox) {
    // The directory, not the uid file: locking the uid file would need it to exist, and an
    // empty uid file would read as UID 1 instead of being derived from the messages.
    return LockPathExclusive(pszMailbox);
}

void UnLockMailboxUids(LockHandle hLock) { UnlockPath(hLock); }

uint32_t AssignUids(const char* pszMailbox, uint32_t ulCount) {
    LockHandle hLock = LockMailboxUids(pszMailbox);
    uint32_t ulFirst = ReadUidNext(pszMailbox);
    // The UIDs run on past 4294967295 at 1, never 0.
    uint64_t ullNext = static_cast<uint64_t>(ulFirst) + ulCount;
    if (ullNext > 0xFFFFFFFFull) ullNext -= 0xFFFFFFFFull;
    WriteUidNext(pszMailbox, static_cast<uint32_t>(ullNext));
    UnLockMailboxUids(hLock);
    return ulFirst;
}
