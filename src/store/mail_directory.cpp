// The directory lock and the IMAP access marker, addressed by user name and local address.
#include <cstdio>

#include "auth/userdir.h"
#include "store/store.h"

LockHandle LockMailDirectory(const char* pszUser, const char* pszLocalAddr) {
    char szMailDir[MAX_PATH];
    ResolveMailDirectory(pszUser, pszLocalAddr, szMailDir, sizeof(szMailDir));
    return LockMailDirectoryAt(szMailDir);
}

void UnLockMailDirectory(const char* pszUser, const char* pszLocalAddr, LockHandle hLock) {
    char szMailDir[MAX_PATH];
    ResolveMailDirectory(pszUser, pszLocalAddr, szMailDir, sizeof(szMailDir));
    UnLockMailDirectoryAt(szMailDir, hLock);
}

int ImapAccessOff(const char* pszUser, const char* pszLocalAddr) {
    char szMailDir[MAX_PATH];
    ResolveMailDirectory(pszUser, pszLocalAddr, szMailDir, sizeof(szMailDir));
    char szPath[MAX_PATH + 32];
    int n = std::snprintf(szPath, sizeof(szPath), "%s%s", szMailDir, "$offimap4");
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szPath)) return 0;
    if (FILE* fp = std::fopen(szPath, "r")) {
        std::fclose(fp);
        return 1;
    }
    return 0;
}
