// The inbox import: delivered files newer than the previous import become inbox messages.
//
// A crash may stop it at any instant, so it keeps two records. imap.idx, whose last-write time
// says up to when every delivered file has been taken in, moves only at the end and only over
// files really taken in. In copy mode the delivered files stay, and those newer than imap.idx
// would be copied again by the next import: the journal names each of them with its UID, a
// line before the copy (flushed) and a line after it, so that a file whose copy is in the inbox
// is never copied twice. In move mode a file is in the mail directory or in the inbox, never
// both, and no journal is needed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/dir_watch.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

constexpr const char* JOURNAL_NAME = ".imap-import";
// imap.idx stays this far behind the clock: a file system stamps new files with a coarse clock
// that may lag ours, and a file delivered as the listing ran must not fall behind imap.idx
// unseen. Files inside the margin are taken in now and found in the journal next time.
constexpr FILETIME CLOCK_MARGIN = 2ull * 10000000ull;
// The lock file is refreshed this often, so that the companion server does not take it for
// stale during a long import.
constexpr int TOUCH_EVERY = 64;

void TraceTime(const char* pszLabel, FILETIME ft) {
    CalendarTime t = FileTimeToUtcCalendar(ft);
    TracePrint("%s [%u/%u/%u %u:%u:%u] (UTC)\n", pszLabel, static_cast<unsigned>(t.wYear),
                static_cast<unsigned>(t.wMonth), static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour),
                static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond));
}

// One delivered file the journal names: "T uid created name" before it is taken in, "D uid"
// once its message is in the inbox.
struct JournalEntry {
    uint32_t ulUid;
    FILETIME ftCreated;
    std::string name;
    bool bDone;
};

// The journal's entries. An entry without its "D" line is done when its UID is in the inbox
// (the line was lost with the page cache); a line cut short by the crash is no entry.
std::vector<JournalEntry> ReadJournal(const char* pszPath, const char* pszInbox) {
    std::vector<JournalEntry> entries;
    UniqueFile file(std::fopen(pszPath, "r"));
    FILE* fp = file.get();
    if (fp == nullptr) return entries;
    char szLine[MAX_PATH + 64];
    while (std::fgets(szLine, sizeof(szLine), fp) != nullptr) {
        size_t nLength = std::strlen(szLine);
        if (nLength == 0 || szLine[nLength - 1] != '\n') break;
        szLine[nLength - 1] = '\0';
        unsigned long ulUid = 0;
        unsigned long long ullCreated = 0;
        int nName = 0;
        if (std::sscanf(szLine, "T %lu %llu %n", &ulUid, &ullCreated, &nName) == 2 && nName > 0 &&
            szLine[nName] != '\0') {
            entries.push_back(JournalEntry{static_cast<uint32_t>(ulUid), ullCreated, szLine + nName, false});
        } else if (std::sscanf(szLine, "D %lu", &ulUid) == 1) {
            for (JournalEntry& entry : entries) {
                if (entry.ulUid == ulUid) entry.bDone = true;
            }
        }
    }
    for (JournalEntry& entry : entries) {
        if (!entry.bDone) entry.bDone = MessageUidExists(pszInbox, entry.ulUid);
    }
    return entries;
}

bool InJournal(const std::vector<JournalEntry>& journal, const FindData& data) {
    for (const JournalEntry& entry : journal) {
        if (entry.bDone && entry.ftCreated == data.ftCreationTime && entry.name == data.cFileName) return true;
    }
    return false;
}

// Keeps only what the next import needs: done entries of files that imap.idx has not passed.
void PruneJournal(const char* pszPath, const char* pszInbox, FILETIME ftIndex) {
    std::string old;
    if (UniqueFile file{std::fopen(pszPath, "r")}) {
        FILE* fp = file.get();
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), fp)) > 0) old.append(buffer, n);
    } else {
        return;
    }
    std::vector<JournalEntry> entries = ReadJournal(pszPath, pszInbox);
    std::string text;
    for (const JournalEntry& entry : entries) {
        if (!entry.bDone || entry.ftCreated < ftIndex) continue;
        char szLine[64];
        // Two numbers and their letters always fit the line.
        static_cast<void>(FormatText(szLine, sizeof(szLine), "T %lu %llu ", static_cast<unsigned long>(entry.ulUid),
                                     static_cast<unsigned long long>(entry.ftCreated)));
        text += szLine + entry.name + "\n";
        static_cast<void>(FormatText(szLine, sizeof(szLine), "D %lu\n", static_cast<unsigned long>(entry.ulUid)));
        text += szLine;
    }
    if (text.empty()) {
        DeleteFileEntry(pszPath);
    } else if (text != old) {
        ReplaceFileContent(pszPath, text.data(), text.size(), MailFileMode(), MailFsyncOn());
    }
}

// Copies a delivered file into the inbox under a hidden name and gives it its name once it is
// whole and (with MailFsync) on the disk: a crash leaves no piece of it visible.
bool CopyIn(const char* pszSource, const char* pszInbox, uint32_t ulUid, const char* pszTarget) {
    char szIncoming[MAX_PATH + 32];
    if (!FormatIncomingName(szIncoming, sizeof(szIncoming), pszInbox, ulUid)) return false;
    TracePrint("CopyFile(%s -> %s);\n", pszSource, pszTarget);
    if (!CopyFileNoReplace(pszSource, szIncoming, MailFileMode(), MailFsyncOn())) {
        DeleteFileEntry(szIncoming);
        return false;
    }
    if (!MoveFileNoReplace(szIncoming, pszTarget)) {
        DeleteFileEntry(szIncoming);
        return false;
    }
    return true;
}

// What an import of a mail directory goes by: whether delivered files are moved in (no POP3
// client takes them) and the paths of imap.idx and the journal.
struct ImportPlace {
    bool bMove;
    char szIndex[MAX_PATH + 64];
    char szJournal[MAX_PATH + 64];
    char szPattern[MAX_PATH + 64];
};

bool ReadImportPlace(const char* pszMailDir, ImportPlace* pPlace) {
    char szPath[MAX_PATH + 64];
    pPlace->bMove = Settings.POP3IsNotUsed != 0;
    if (!pPlace->bMove && FormatText(szPath, sizeof(szPath), "%s$offpop3", pszMailDir)) {
        pPlace->bMove = PathExists(szPath);
    }
    return FormatText(pPlace->szIndex, sizeof(pPlace->szIndex), "%simap.idx", pszMailDir) &&
           FormatText(pPlace->szJournal, sizeof(pPlace->szJournal), "%s%s", pszMailDir, JOURNAL_NAME) &&
           FormatText(pPlace->szPattern, sizeof(pPlace->szPattern), "%s*.%s", pszMailDir, Settings.MailExtension);
}

FILETIME IndexTime(const ImportPlace& place) {
    FindData idx;
    return FindEntry(place.szIndex, &idx) ? idx.ftLastWriteTime : 0;
}

// Imported before: older than imap.idx, or copied since by an import that the journal remembers.
bool TakenBefore(const FindData& data, FILETIME ftIndex, const std::vector<JournalEntry>& journal) {
    return data.ftCreationTime < ftIndex || InJournal(journal, data);
}

// Whether the mail directory holds a file an import would act on. Looked at without the lock, so
// that a login with nothing delivered takes no lock and writes nothing; a delivery that comes
// just after is taken in by the next look.
bool DeliveryWaiting(const char* pszInbox, const ImportPlace& place) {
    FILETIME ftPrevious = IndexTime(place);
    std::vector<JournalEntry> journal;
    bool bJournalRead = false;
    bool bWaiting = false;
    FindFiles(place.szPattern, FIND_TIMES, [&](const FindData& data) {
        if (data.dwFileAttributes & NOT_MESSAGE_ATTRIBUTES) return true;
        if (StrICmp(data.cFileName, "$LockFile") == 0) return true;
        if (!bJournalRead) {
            journal = ReadJournal(place.szJournal, pszInbox);
            bJournalRead = true;
        }
        // In move mode an old file is one an import took in but could not delete.
        bWaiting = place.bMove || !TakenBefore(data, ftPrevious, journal);
        return !bWaiting;
    });
    return bWaiting;
}

// The delivered files not yet taken in: newer than imap.idx and not named by the journal. In move
// mode the older ones are leftovers of an import cut short, and are deleted.
std::vector<FindData> FreshDeliveries(const char* pszMailDir, const ImportPlace& place, FILETIME ftPrevious,
                                      const std::vector<JournalEntry>& journal) {
    std::vector<FindData> fresh;
    FindFiles(place.szPattern, FIND_TIMES, [&](const FindData& data) {
        if (data.dwFileAttributes & NOT_MESSAGE_ATTRIBUTES) return true;
        if (StrICmp(data.cFileName, "$LockFile") == 0) return false;
        char szSource[MAX_PATH + 64];
        if (!FormatText(szSource, sizeof(szSource), "%s%s", pszMailDir, data.cFileName)) return true;
        TraceTime(data.cFileName, data.ftCreationTime);
        // Without POP3 nobody else will take an imported file away.
        if (TakenBefore(data, ftPrevious, journal)) {
            if (place.bMove) DeleteFileEntry(szSource);
            return true;
        }
        fresh.push_back(data);
        return true;
    });
    return fresh;
}

// Takes one delivered file into the inbox under the UID: moved, or copied with its journal line.
bool TakeIn(const char* pszMailDir, const char* pszInbox, const ImportPlace& place, const FindData& data,
            uint32_t ulUid) {
    char szSource[MAX_PATH + 64];
    char szTarget[MAX_PATH + 64];
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), ulUid, "100000");
    if (!FormatText(szSource, sizeof(szSource), "%s%s", pszMailDir, data.cFileName) ||
        !MailboxFilePath(szTarget, sizeof(szTarget), pszInbox, szName)) {
        return false;
    }
    if (place.bMove) {
        TracePrint("MoveFile(%s -> %s);\n", szSource, szTarget);
        bool bTaken = MoveFileNoReplace(szSource, szTarget);
        if (bTaken) SetFileMode(szTarget, MailFileMode());
        return bTaken;
    }
    char szLine[MAX_PATH + 64];
    // Without its line in the journal a copy could not be told from a new file.
    if (!FormatText(szLine, sizeof(szLine), "T %lu %llu %s\n", static_cast<unsigned long>(ulUid),
                    static_cast<unsigned long long>(data.ftCreationTime), data.cFileName) ||
        !AppendToFile(place.szJournal, szLine, strlen(szLine), MailFileMode(), MailFsyncOn()) ||
        !CopyIn(szSource, pszInbox, ulUid, szTarget)) {
        return false;
    }
    // Not flushed: a crash of the server keeps it; after a power failure the UID found in the
    // inbox says the same.
    if (FormatText(szLine, sizeof(szLine), "D %lu\n", static_cast<unsigned long>(ulUid))) {
        AppendToFile(place.szJournal, szLine, strlen(szLine), MailFileMode(), false);
    }
    return true;
}

}  // namespace

size_t CountDeliveriesWaiting(const char* pszMailDir) {
    ImportPlace place;
    char szInbox[MAX_PATH + 64];
    if (!ReadImportPlace(pszMailDir, &place) || !ResolveMailboxPath(pszMailDir, "inbox", szInbox, sizeof szInbox)) {
        return 0;
    }
    FILETIME ftPrevious = IndexTime(place);
    std::vector<JournalEntry> journal = ReadJournal(place.szJournal, szInbox);
    size_t nWaiting = 0;
    FindFiles(place.szPattern, FIND_TIMES, [&](const FindData& data) {
        if ((data.dwFileAttributes & NOT_MESSAGE_ATTRIBUTES) == 0 && StrICmp(data.cFileName, "$LockFile") != 0 &&
            (place.bMove || !TakenBefore(data, ftPrevious, journal))) {
            ++nWaiting;
        }
        return true;
    });
    return nWaiting;
}

bool ImportInbox(const char* pszMailDir, const char* pszInbox, uint32_t* pulUidNext) {
    ImportPlace place;
    if (!ReadImportPlace(pszMailDir, &place) || !DeliveryWaiting(pszInbox, place)) return true;
    // The lock is taken on szMailDir itself: it is the directory the import works on, and
    // resolving the user's directory again would only repeat the login's lookups.
    LockHandle hDirLock = LockMailDirectoryAt(pszMailDir);
    if (hDirLock == INVALID_LOCK_HANDLE) return false;

    bool bMove = place.bMove;
    const char* szIndex = place.szIndex;
    const char* szJournal = place.szJournal;
    FILETIME ftPrevious = IndexTime(place);
    TraceTime("imap.idx", ftPrevious);
    // How far imap.idx may move: to the start of this import, less the margin, and never past a
    // file that could not be taken in.
    FILETIME ftNow = CurrentFileTime();
    FILETIME ftReach = ftNow > CLOCK_MARGIN ? ftNow - CLOCK_MARGIN : 0;
    std::vector<JournalEntry> journal = ReadJournal(szJournal, pszInbox);

    std::vector<FindData> fresh = FreshDeliveries(pszMailDir, place, ftPrevious, journal);

    // One run of UIDs for the batch, taken under the inbox's UID lock, which is not held while
    // the files are copied: sessions appending meanwhile wait for nothing.
    uint32_t ulFirst = fresh.empty() ? 0 : AssignUids(pszInbox, static_cast<uint32_t>(fresh.size()));
    size_t nTaken = 0;
    for (size_t i = 0; i < fresh.size(); ++i) {
        const FindData& data = fresh[i];
        uint32_t ulUid = static_cast<uint32_t>((static_cast<uint64_t>(ulFirst) + i - 1) % 0xFFFFFFFFull + 1);
        if (ulFirst != 0 && TakeIn(pszMailDir, pszInbox, place, data, ulUid)) {
            ++nTaken;
        } else if (data.ftCreationTime < ftReach) {
            // imap.idx never moves past a file that could not be taken in.
            ftReach = data.ftCreationTime;
        }
        if ((i + 1) % TOUCH_EVERY == 0) TouchLockFile(hDirLock);
    }

    // The new names reach the disk before imap.idx says they are taken in.
    bool bSynced = nTaken == 0 || (SyncMailbox(pszInbox) && (!bMove || SyncMailbox(pszMailDir)));
    FILETIME ftIndex = ftPrevious;
    if (bSynced && ftReach > ftPrevious && StampFile(szIndex, ftReach, MailFileMode(), MailFsyncOn())) {
        ftIndex = ftReach;
    }
    if (bMove) {
        // The files it named are deleted or in the inbox by now.
        if (!journal.empty()) DeleteFileEntry(szJournal);
    } else {
        PruneJournal(szJournal, pszInbox, ftIndex);
    }
    *pulUidNext = ReadUidNext(pszInbox);
    UnLockMailDirectoryAt(pszMailDir, hDirLock);
    return true;
}
