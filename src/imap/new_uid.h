// UIDs for messages that APPEND and COPY add to a mailbox.
#pragma once

#include <cstdint>

// The mailbox's next UID that no message file of the mailbox carries yet, taken under the
// mailbox's UID lock. A uid file left behind the messages (restored from a backup, written by
// another program) would otherwise give a new message the UID of an old one.
// 0 when none could be taken.
uint32_t AssignUnusedUid(const char* pszMailbox);
