// The inbox import: delivered files newer than the previous import become inbox messages.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/text.h"
#include "platform/format.h"
#include "platform/time.h"
#include "store/store.h"

namespace {
void TraceTime(const char* pszLabel, FILETIME ft) {
    CalendarTime t = FileTimeToUtcCalendar(ft);
    TracePrint("%s [%u/%u/%u %u:%u:%u] (UTC)\n", pszLabel, static_cast<unsigned>(t.wYear),
                static_cast<unsigned>(t.wMonth), static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour),
                static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond));
}

}  // namespace

void ImportInbox(const char* pszMailDir, const char* pszInbox, uint32_t* pulUidNext) {
    // The lock is taken on szMailDir itself: it is the directory the import works on, and
    // resolving the user's directory again would only repeat the login's lookups.
    if (!LockMailDirectoryAt(pszMailDir)) return;

    char szPath[MAX_PATH + 64];
    bool bMove = Settings.POP3IsNotUsed != 0;
    if (!bMove && FormatText(szPath, sizeof(szPath), "%s$offpop3", pszMailDir)) {
        if (FILE* fp = std::fopen(szPath, "r")) {
            bMove = true;
            std::fclose(fp);
        }
    }

    // Rewriting the lock file keeps it young for other takers while the import runs.
    FILE* fpLock = nullptr;
    if (FormatText(szPath, sizeof(szPath), "%s$LockFile", pszMailDir)) {
        fpLock = std::fopen(szPath, "w");
    }

    FILETIME ftPrevious = 0;
    if (FormatText(szPath, sizeof(szPath), "%simap.idx", pszMailDir)) {
        FindData idx;
        if (FindEntry(szPath, &idx)) ftPrevious = idx.ftLastWriteTime;
        if (FILE* fp = std::fopen(szPath, "w")) std::fclose(fp);
    }
    TraceTime("imap.idx", ftPrevious);

    // Another session may have appended since the caller read the next UID: read it again
    // under the mailbox's UID lock and hold that lock until the uid file is written back.
    LockHandle hUids = LockMailboxUids(pszInbox);
    *pulUidNext = ReadUidNext(pszInbox);

    const char* pszExtension = Settings.MailExtension;
    bool bFound = false;
    if (FormatText(szPath, sizeof(szPath), "%s*.%s", pszMailDir, pszExtension)) {
        FindFiles(szPath, FIND_TIMES, [&](const FindData& data) {
            bFound = true;
            if (data.dwFileAttributes & NOT_MESSAGE_ATTRIBUTES) return true;
            if (EqualNoCase(data.cFileName, "$LockFile")) return false;
            char szSource[MAX_PATH + 64];
            char szTarget[MAX_PATH + 64];
            if (!FormatText(szSource, sizeof(szSource), "%s%s", pszMailDir, data.cFileName) ||
                !FormatMessagePath(szTarget, sizeof(szTarget), pszInbox, *pulUidNext, "100000")) {
                return true;
            }
            TraceTime(data.cFileName, data.ftCreationTime);
            if (data.ftCreationTime < ftPrevious) {
                // Imported before; without POP3 nobody else will take it away.
                if (bMove) DeleteFileEntry(szSource);
                return true;
            }
            bool bTaken;
            if (bMove) {
                TracePrint("MoveFile(%s -> %s);\n", szSource, szTarget);
                bTaken = MoveFileNoReplace(szSource, szTarget);
            } else {
                TracePrint("CopyFile(%s -> %s);\n", szSource, szTarget);
                bTaken = CopyFileNoReplace(szSource, szTarget);
            }
            // A UID is spent only on a message that arrived.
            if (bTaken) *pulUidNext = NextUid(*pulUidNext);
            return true;
        });
    }
    if (bFound) WriteUidNext(pszInbox, *pulUidNext);
    UnLockMailboxUids(hUids);

    if (fpLock != nullptr) std::fclose(fpLock);
    UnLockMailDirectoryAt(pszMailDir);
}
