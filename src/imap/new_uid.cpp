#include "imap/new_uid.h"

#include <cstdio>

#include "platform/fs.h"
#include "store/store.h"

uint32_t AssignUnusedUid(const char* pszMailbox) { return AssignUids(pszMailbox, 1); }
