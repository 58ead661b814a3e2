// One level of directory creation, as CreateDirectory makes it.
#include <sys/stat.h>

#include "platform/fs.h"

bool CreateDirectoryLevel(const char* pszPath) {
    // Owner and group: the mail group shares the spool with the companion mail server; other
    // local users have no business in anybody's mail.
    return pszPath != nullptr && *pszPath != '\0' && mkdir(pszPath, 0770) == 0;
}
