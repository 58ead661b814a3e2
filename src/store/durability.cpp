// What the store creates: modes that keep mail private, flushes before a client is told a
// message is stored, and the removal of temporaries a crash left behind.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/format.h"
#include "store/store.h"

uint32_t MailFileMode() { return Settings.MailSharedGroup != 0 ? 0660 : 0600; }

uint32_t MailDirectoryMode() { return Settings.MailSharedGroup != 0 ? 0770 : 0700; }

bool MailFsyncOn() { return Settings.MailFsync != MAIL_FSYNC_NEVER; }

bool CreateMailboxDirectory(const char* pszPath) { return CreateDirectoryEntry(pszPath, MailDirectoryMode()); }

bool SyncMailbox(const char* pszMailbox) { return !MailFsyncOn() || SyncDirectory(pszMailbox); }

void RemoveStaleTemporaries(const char* pszMailbox, uint32_t ulMinAgeSeconds) {
    const uint64_t ullNow = CurrentFileTime() / 10000000ull;
    for (const char* pszPattern : {".*.incoming", ".*.tmp"}) {
        char szPattern[MAX_PATH + 32];
        if (!MailboxFilePath(szPattern, sizeof(szPattern), pszMailbox, pszPattern)) return;
        std::vector<FindData> entries;
        FindFiles(szPattern, 0, entries);
        for (const FindData& data : entries) {
            if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM)) continue;
            char szPath[MAX_PATH + MAX_PATH];
            if (!MailboxFilePath(szPath, sizeof(szPath), pszMailbox, data.cFileName)) continue;
            // A writer that is alive holds its file, or has written to it within the age.
            FILETIME ftWrite = 0;
            char szNothing[1];
            if (ProbeLockFile(szPath, szNothing, 0, &ftWrite) != LOCK_FILE_UNHELD) continue;
            if (ftWrite / 10000000ull + ulMinAgeSeconds > ullNow) continue;
            TracePrint("Delete stale temporary %s\n", szPath);
            DeleteFileEntry(szPath);
        }
    }
}
