// UIDs, UIDVALIDITY and the counts of a mailbox, all read from a fresh listing.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/dir_watch.h"
#include "platform/format.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

// The uid file's number, or 0 when the file is missing, empty, garbled or out of range: such a
// file says nothing, and the messages must speak instead. A crash can no longer leave it so
// (it is replaced whole), but older versions and other programs could.
uint32_t ReadUidFile(const char* pszMailbox) {
    char szPath[MAX_PATH + 32];
    if (!MailboxFilePath(szPath, sizeof(szPath), pszMailbox, "uid")) return 0;
    char szText[32];
    size_t n = 0;
    // A folder named "uid" opens here too, unlike on Windows, but cannot be read.
    if (!ReadFileStart(szPath, szText, sizeof(szText) - 1, &n)) return 0;
    szText[n] = '\0';
    const char* p = szText;
    while (*p == ' ' || *p == '\t') ++p;
    uint64_t ullValue = 0;
    const char* pDigits = p;
    while (*p >= '0' && *p <= '9' && ullValue <= 0xFFFFFFFFull) ullValue = ullValue * 10 + static_cast<uint64_t>(*p++ - '0');
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (p == pDigits || *p != '\0' || ullValue == 0 || ullValue > 0xFFFFFFFFull) return 0;
    return static_cast<uint32_t>(ullValue);
}

// One past the highest message UID, 1 when there is none.
uint32_t UidAfterMessages(const char* pszMailbox) {
    char szPattern[MAX_PATH + 32];
    if (!MailboxFilePath(szPattern, sizeof(szPattern), pszMailbox, ALL_MESSAGES_PATTERN)) return 1;
    bool bFound = false;
    uint32_t ulLast = 0;
    // The listing is ascending, so the last one wins.
    FindFiles(szPattern, 0, [&](const FindData& data) {
        if (IsMessageFile(data)) {
            ulLast = MessageUid(data.cFileName);
            bFound = true;
        }
        return true;
    });
    return bFound ? NextUid(ulLast) : 1;
}

// bDirectoryLater: the caller flushes the mailbox directory once its new messages are named there;
// the journal carries this rename to the disk with them.
bool WriteUidFile(const char* pszMailbox, uint32_t ulUidNext, bool bDirectoryLater = false) {
    char szPath[MAX_PATH + 32];
    if (!MailboxFilePath(szPath, sizeof(szPath), pszMailbox, "uid")) return false;
    char szText[16];
    return FormatText(szText, sizeof(szText), "%lu", static_cast<unsigned long>(ulUidNext)) &&
           ReplaceFileContent(szPath, szText, strlen(szText), MailFileMode(), MailFsyncOn(), !bDirectoryLater);
}

// The highest UID a message file or a message being received (other than those of pOwn) carries
// now, 0 when none. On a shared file system the names are current where file contents (the uid
// file's) may be read from another machine's cache for a second or so.
uint32_t HighestUidNamed(const char* pszMailbox, const std::vector<IncomingMessage>* pOwn) {
    uint32_t ulHighest = 0;
    ReadDirectoryFiles(
        pszMailbox,
        [&](const char* pszName) {
            ListedMessage message;
            if (ReadMessageName(pszName, &message)) {
                ulHighest = std::max(ulHighest, message.ulUid);
                return;
            }
            // ".0000000042.incoming"
            if (std::strlen(pszName) != 20 || std::strcmp(pszName + 11, ".incoming") != 0) return;
            if (pOwn != nullptr) {
                for (const IncomingMessage& own : *pOwn) {
                    const std::string& path = own.incoming;
                    if (path.size() >= 20 && path.compare(path.size() - 20, 20, pszName) == 0) return;
                }
            }
            uint32_t ulUid = 0;
            for (const char* p = pszName + 1; p < pszName + 11; ++p) {
                if (*p < '0' || *p > '9') return;
                ulUid = ulUid * 10 + static_cast<uint32_t>(*p - '0');
            }
            ulHighest = std::max(ulHighest, ulUid);
        },
        true);
    return ulHighest;
}

// Whether a message file of the UID exists, whatever its flags: the 64 names are asked for one
// by one, which, unlike a listing, takes no time proportional to the mailbox. Exact only while
// no message of the mailbox is being renamed, that is under the UID lock.
bool UidInUse(const char* pszMailbox, uint32_t ulUid) {
    for (uint8_t fFlags = 0; fFlags < 64; ++fFlags) {
        char szCode[7];
        FlagCodeOf(fFlags, szCode);
        char szName[MESSAGE_NAME_LENGTH + 1];
        FormatMessageName(szName, sizeof(szName), ulUid, szCode);
        char szPath[MAX_PATH + 32];
        if (MailboxFilePath(szPath, sizeof(szPath), pszMailbox, szName) && PathExists(szPath)) return true;
    }
    return false;
}

// Enough to pass over any run of taken UIDs a stale uid file can leave.
constexpr int MAX_TAKEN_SKIPS = 10000;
// A message name found taken at the rename (a writer that does not follow the UID lock, such as
// another program on the shared store) sends the message on to a fresh UID this often.
constexpr int MAX_NAME_CLASHES = 8;

thread_local char t_szFailure[200];

// What failed, with the system's reason when a file call gave one.
void NoteStoreFailure(const char* pszWhat) {
    const char* pszWhy = LastFileFailureText();
    static_cast<void>(FormatText(t_szFailure, sizeof(t_szFailure), "%s%s%s", pszWhat, *pszWhy != '\0' ? ": " : "", pszWhy));
}

}  // namespace

uint32_t ReadUidNext(const char* pszMailbox) {
    uint32_t ulNext = ReadUidFile(pszMailbox);
    if (ulNext != 0) return ulNext;
    ulNext = UidAfterMessages(pszMailbox);
    if (ulNext == 1) return 1;
    // Writes the derived value back so that it outlives the messages it came from, but only
    // when nobody is assigning UIDs (a caller may hold the lock itself).
    LockHandle hLock = TryLockPathExclusive(pszMailbox);
    if (hLock != INVALID_LOCK_HANDLE) {
        if (ReadUidFile(pszMailbox) == 0) WriteUidFile(pszMailbox, ulNext);
        UnlockPath(hLock);
    }
    return ulNext;
}

void WriteUidNext(const char* pszMailbox, uint32_t ulUidNext) { WriteUidFile(pszMailbox, ulUidNext); }

bool GetUidValidity(const char* pszMailbox, uint32_t* pulUidValidity) {
    FindData data;
    if (!FindEntry(pszMailbox, &data)) return false;
    *pulUidValidity = static_cast<uint32_t>(data.ftCreationTime & 0xFFFFFFFFu);
    return true;
}

bool GetMailboxUidValidity(const char* pszMailbox, uint32_t* pulUidValidity) {
    FindData data;
    if (!FindEntry(pszMailbox, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    *pulUidValidity = static_cast<uint32_t>(data.ftCreationTime & 0xFFFFFFFFu);
    return true;
}

void CountMailbox(const char* pszMailbox, int32_t* plExists, int32_t* plRecent, int32_t* plUnseen,
                  int32_t* plFirstUnseen) {
    int32_t lExists = 0, lRecent = 0, lUnseen = 0, lFirstUnseen = 0;
    char szPattern[MAX_PATH + 32];
    if (MailboxFilePath(szPattern, sizeof(szPattern), pszMailbox, ALL_MESSAGES_PATTERN)) {
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

uint32_t HighestPresentUid(const char* pszMailbox, bool bList) {
    // A session has the mailbox open: its index follows every change and remembers UIDs that
    // were expunged since, which are no more to be given again than present ones.
    if (std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::FindOpen(pszMailbox)) return pIndex->HighestUid();
    uint32_t ulHighest = 0;
    if (bList) {
        ReadDirectoryFiles(pszMailbox, [&](const char* pszName) {
            ListedMessage message;
            if (ReadMessageName(pszName, &message)) ulHighest = std::max(ulHighest, message.ulUid);
        });
    }
    return ulHighest;
}

namespace {

// ulCount consecutive UIDs above the uid file's and above ulFloor, none of which a message file
// carries; the uid file is advanced past them. 0 when that could not be recorded. With the UID
// lock held.
uint32_t TakeRunLocked(const char* pszMailbox, uint32_t ulCount, uint32_t ulFloor) {
    uint32_t ulFirst = ReadUidFile(pszMailbox);
    if (ulFirst == 0) ulFirst = UidAfterMessages(pszMailbox);
    // Another machine's uid file may be read as it was a moment ago: what the names show wins.
    bool bShared = OnSharedFileSystem(pszMailbox);
    if (bShared) ulFirst = std::max(ulFirst, NextUid(HighestUidNamed(pszMailbox, nullptr)));
    // A uid file behind a message another program placed (or one restored from a backup) must
    // not give a new message a UID below one a client may have seen: it could never be told.
    if (ulFloor != 0 && ulFloor != 0xFFFFFFFFu && ulFirst <= ulFloor) ulFirst = ulFloor + 1;
    // An index that hears of every change has seen every name placed until a moment ago: when
    // none is as high as the run, the names need not be asked for one by one. A name placed in
    // that moment makes the publishing rename clash, and the run is taken again above it.
    if (!bShared) {
        std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::FindOpen(pszMailbox);
        bool bRunAbove = pIndex != nullptr && pIndex->Watched() && pIndex->HighestUid() < ulFirst &&
                         static_cast<uint64_t>(ulFirst) + ulCount <= 0xFFFFFFFFull;
        if (bRunAbove) {
            return WriteUidFile(pszMailbox, UidAfterRun(ulFirst, ulCount), true) ? ulFirst : 0;
        }
    }
    // A run none of whose UIDs a message holds: a file placed since the floor was read. Only its
    // first UIDs are looked at, so that the lock is never held across a storm of lookups; the
    // rename that names a message never replaces a file, so a clash further up fails the
    // command and loses nothing.
    const uint32_t ulLooked = std::min<uint32_t>(ulCount, 8);
    uint32_t ulChecked = 0;
    for (int nSkips = 0; ulChecked < ulLooked && nSkips < MAX_TAKEN_SKIPS;) {
        uint32_t ulUid = static_cast<uint32_t>((static_cast<uint64_t>(ulFirst) + ulChecked - 1) % 0xFFFFFFFFull + 1);
        if (UidInUse(pszMailbox, ulUid)) {
            ulFirst = NextUid(ulUid);
            ulChecked = 0;
            ++nSkips;
        } else {
            ++ulChecked;
        }
    }
    // UIDs whose taking could not be recorded would be handed out again: none are given.
    return ulChecked == ulLooked && WriteUidFile(pszMailbox, UidAfterRun(ulFirst, ulCount), true) ? ulFirst : 0;
}

}  // namespace

uint32_t UidAfterRun(uint32_t ulFirst, uint32_t ulCount) {
    // The UIDs run on past 4294967295 at 1, never 0.
    uint64_t ullNext = static_cast<uint64_t>(ulFirst) + ulCount;
    if (ullNext > 0xFFFFFFFFull) ullNext -= 0xFFFFFFFFull;
    return static_cast<uint32_t>(ullNext);
}

const char* LastStoreFailure() { return t_szFailure; }

void SetStoreFailure(const char* pszWhat) { NoteStoreFailure(pszWhat); }

void ClearStoreFailure() {
    t_szFailure[0] = '\0';
    ClearFileFailure();
}

uint32_t AssignUids(const char* pszMailbox, uint32_t ulCount) {
    if (ulCount == 0) return 0;
    ClearStoreFailure();
    // Read before the lock is taken: a listing of a large mailbox takes a while.
    uint32_t ulFloor = HighestPresentUid(pszMailbox, true);
    LockHandle hLock = LockMailboxUids(pszMailbox);
    if (hLock == INVALID_LOCK_HANDLE) {
        NoteStoreFailure("the mailbox's UID lock cannot be taken");
        return 0;
    }
    uint32_t ulFirst = TakeRunLocked(pszMailbox, ulCount, ulFloor);
    UnLockMailboxUids(hLock);
    if (ulFirst == 0) NoteStoreFailure("the uid file cannot be advanced");
    return ulFirst;
}

size_t PublishMessages(const char* pszMailbox, uint32_t* pulFirst, const std::vector<IncomingMessage>& messages,
                       uint32_t ulRunEnd) {
    if (messages.empty()) return 0;
    uint32_t ulCount = static_cast<uint32_t>(messages.size());
    ClearStoreFailure();
    uint32_t ulFloor = HighestPresentUid(pszMailbox, false);
    LockHandle hLock = LockMailboxUids(pszMailbox);
    if (hLock == INVALID_LOCK_HANDLE) {
        NoteStoreFailure("the mailbox's UID lock cannot be taken");
        return 0;
    }
    // Another writer that took UIDs after these, or a message that appeared above them, may have
    // been seen by a client already: these then take UIDs above it, so that message files appear
    // in the order of their UIDs.
    if (ulRunEnd == 0) ulRunEnd = UidAfterRun(*pulFirst, ulCount);
    bool bNewest = ulFloor < *pulFirst;
    if (OnSharedFileSystem(pszMailbox)) {
        // The uid file may be read stale there; the names tell whether anything came after these.
        bNewest = bNewest && HighestUidNamed(pszMailbox, &messages) < *pulFirst;
    } else {
        bNewest = bNewest && ReadUidFile(pszMailbox) == ulRunEnd;
    }
    if (!bNewest) {
        uint32_t ulFirst = TakeRunLocked(pszMailbox, ulCount, ulFloor);
        if (ulFirst == 0) {
            UnLockMailboxUids(hLock);
            NoteStoreFailure("the uid file cannot be advanced");
            return 0;
        }
        *pulFirst = ulFirst;
    }
    size_t nPublished = 0;
    int nClashes = 0;
    while (nPublished < messages.size()) {
        const IncomingMessage& message = messages[nPublished];
        char szPath[MAX_PATH + 32];
        uint32_t ulUid = UidAfterRun(*pulFirst, static_cast<uint32_t>(nPublished));
        if (!FormatMessagePath(szPath, sizeof(szPath), pszMailbox, ulUid, message.szFlagCode)) {
            ClearFileFailure();
            SetStoreFailure("the message's name does not fit");
            break;
        }
        if (MoveFileNoReplace(message.incoming.c_str(), szPath)) {
            ++nPublished;
            continue;
        }
        // Taken by a writer that did not ask for it: before anything of the run is named, the
        // run starts again above it; later, the rest would no longer follow in order.
        if (LastFileFailure() == FILE_FAILURE_EXISTS && nPublished == 0 && ++nClashes <= MAX_NAME_CLASHES) {
            uint32_t ulFirst = TakeRunLocked(pszMailbox, ulCount, ulUid);
            if (ulFirst != 0) {
                *pulFirst = ulFirst;
                continue;
            }
        }
        NoteStoreFailure("the message cannot take its name");
        break;
    }
    UnLockMailboxUids(hLock);
    return nPublished;
}

bool MessageUidExists(const char* pszMailbox, uint32_t ulUid) {
    LockHandle hLock = LockMailboxUids(pszMailbox);
    bool bExists = UidInUse(pszMailbox, ulUid);
    UnLockMailboxUids(hLock);
    return bExists;
}

bool RenameMessageFile(const char* pszMailbox, const char* pszOld, const char* pszNew) {
    LockHandle hLock = LockPathShared(pszMailbox);
    bool bMoved = MoveFileNoReplace(pszOld, pszNew);
    UnlockPath(hLock);
    return bMoved;
}
