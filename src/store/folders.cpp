// The mailbox tree of a mail directory, as LIST and LSUB show it.
#include <cstring>
#include <string>

#include "store/store.h"

namespace {

// Deeper trees are not walked: a directory loop made by hand (a bind mount) must not hold a session.
constexpr int MAX_FOLDER_DEPTH = 64;

bool IsMailboxDirectory(const FindData& entry) {
    // Links and special files read as system: nothing here follows them. A name with ":" is none
    // that a client can select (a deleted mailbox on its way out is named so).
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && std::strchr(entry.cFileName, ':') == nullptr &&
           (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) == 0 && std::strcmp(entry.cFileName, ".") != 0 &&
           std::strcmp(entry.cFileName, "..") != 0;
}

void Walk(const std::string& mailDir, const std::string& prefix, int nDepth, const char* pszInbox,
          std::vector<FolderEntry>* pFolders) {
    if (nDepth > MAX_FOLDER_DEPTH) return;
    std::vector<FindData> entries;
    FindFiles((mailDir + prefix + "*").c_str(), 0, entries);
    for (const FindData& entry : entries) {
        if (!IsMailboxDirectory(entry)) continue;
        bool bInbox = prefix.empty() && IsInboxName(entry.cFileName);
        // Of several spellings of the inbox only the one that every name of it reaches is a mailbox.
        if (bInbox && std::strcmp(entry.cFileName, pszInbox) != 0) continue;
        size_t nIndex = pFolders->size();
        std::string name = prefix + entry.cFileName;
        pFolders->push_back(FolderEntry{name, bInbox, (entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) == 0, false,
                                        mailDir.size() + name.size() < MAX_PATH});
        Walk(mailDir, name + "/", nDepth + 1, pszInbox, pFolders);
        (*pFolders)[nIndex].bHasChildren = pFolders->size() > nIndex + 1;
    }
}

}  // namespace

void ListFolders(const char* pszMailDir, std::vector<FolderEntry>* pFolders) {
    pFolders->clear();
    char szInbox[MAX_PATH];
    const char* pszInbox = "";
    size_t nDirLength = std::strlen(pszMailDir);
    if (ResolveMailboxPath(pszMailDir, "inbox", szInbox, sizeof(szInbox)) && std::strlen(szInbox) > nDirLength) {
        pszInbox = szInbox + nDirLength;
    }
    Walk(pszMailDir, "", 0, pszInbox, pFolders);
}
