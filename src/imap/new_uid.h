// UIDs for messages that APPEND, COPY and MOVE add to a mailbox, and the codes that report them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// A UID for one new message, above the uid file's and above every UID present, taken under the
// mailbox's UID lock (AssignUids). 0 when none could be taken.
uint32_t AssignUnusedUid(const char* pszMailbox);

// One message COPY or MOVE put into a mailbox: its UID in the source and its UID in the target.
using UidPair = std::pair<uint32_t, uint32_t>;

// The UIDPLUS code of COPY and MOVE, "COPYUID validity sources targets": the two UID sets in
// the order the messages were taken, so that the n-th of each belong together, with runs that
// advance in both written n:m. False when it does not fit (the code is then left out).
bool FormatCopyUid(uint32_t ulValidity, const std::vector<UidPair>& pairs, char* pszCode, size_t nSize);
