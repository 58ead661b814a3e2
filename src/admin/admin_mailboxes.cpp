// user mailboxes: every mailbox of a user with its counts, next UID and UIDVALIDITY, read
// through the store as SELECT reads them.
#include <cstdio>
#include <cstring>
#include <string>

#include "admin/admin_internal.h"
#include "config/settings.h"
#include "platform/admin_files.h"
#include "store/store.h"

namespace {

void ShowMailboxes(const std::string& mailDir, const std::string& prefix) {
    std::vector<FindData> entries;
    FindFiles((mailDir + prefix + "*").c_str(), 0, entries);
    for (const FindData& entry : entries) {
        // Symbolic links and special files are never mailboxes to the server.
        if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0) {
            continue;
        }
        std::string name = prefix + entry.cFileName;
        std::string path = mailDir + name;
        int32_t lExists = 0, lRecent = 0, lUnseen = 0, lFirstUnseen = 0;
        CountMailbox(path.c_str(), &lExists, &lRecent, &lUnseen, &lFirstUnseen);
        uint32_t ulValidity = 0;
        GetUidValidity(path.c_str(), &ulValidity);
        printf("%-24s %8d %8d %8d %10u %11u\n", name.c_str(), lExists, lRecent, lUnseen, ReadUidNext(path.c_str()),
               ulValidity);
        ShowMailboxes(mailDir, name + "/");
    }
}

}  // namespace

int CmdUserMailboxes(const std::vector<std::string>& args) {
    AdminUser user;
    if (args.size() != 1) return 2;
    if (!ParseAdminUser(args[0].c_str(), &user) || !UserExists(user)) return 1;
    std::string mailDir = MailDirectoryOf(user);
    if (mailDir.empty() || !IsDirectoryPath(mailDir.c_str())) {
        fprintf(stderr, "veve4d-admin: %s has no mail directory%s%s\n", user.name.c_str(), mailDir.empty() ? "" : " ",
                mailDir.c_str());
        return 1;
    }
    // A uid file the tool writes must stay writable by the server.
    ActAsOwnerOf(mailDir.c_str());
    printf("mail directory %s\n", mailDir.c_str());
    printf("delivered, not yet imported: %zu\n", CountDeliveriesWaiting(mailDir.c_str()));
    printf("%-24s %8s %8s %8s %10s %11s\n", "MAILBOX", "MESSAGES", "RECENT", "UNSEEN", "UIDNEXT", "UIDVALIDITY");
    ShowMailboxes(mailDir, "");
    ActAsSelf();
    return 0;
}
