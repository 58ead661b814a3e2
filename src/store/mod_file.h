// The store's own side of keywords and modification sequences: what an index keeps of its
// mailbox's state file, and the view of the index the state code works on. Not for imap/.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_identity.h"
#include "store/mailbox_index.h"

// UIDs expunged at one sequence.
struct ExpungedRange {
    uint32_t ulLow;
    uint32_t ulHigh;
    uint64_t ullModSeq;
};

// What the file says of a message the index does not hold (yet): another process placed it and
// recorded it before this index saw the file.
struct RecordedMessage {
    uint64_t ullModSeq;
    uint8_t fFlags;
    std::vector<uint16_t> keywords;
};

// Guarded by the index's mutex, all of it.
struct ModState {
    bool bLoaded = false;
    uint64_t ullBase = 0;  // a message's sequence is ullBase + IndexedMessage::ulModSeq
    uint64_t ullHighest = 0;
    uint64_t ullExpungeFloor = 0;  // expunges at or below it are not all known
    std::vector<std::string> names;
    size_t nNamesRecorded = 0;  // names from here on are not in the file yet
    std::unordered_map<uint32_t, std::vector<uint16_t>> keywords;
    std::unordered_map<uint32_t, RecordedMessage> unseen;
    std::vector<ExpungedRange> expunged;                 // ascending sequence
    std::vector<std::pair<uint64_t, uint32_t>> changes;  // (sequence, UID), ascending sequence
    uint64_t ullChangesFloor = 0;  // every message with a sequence above it is in changes
    // UIDs the index changed since the last sync; past the bound the whole mailbox is compared.
    std::vector<uint32_t> pending;
    bool bPendingOverflow = false;
    // The file as this process last read or wrote it.
    std::string fileId;
    uint64_t ullOffset = 0;
    FileIdentity identity{};
    size_t nAppended = 0;    // records since the file was last written whole
    bool bTornTail = false;  // it ends in a line a crash cut short
};

// The index's change log calls this for every UID it changes.
void NoteModChange(ModState& mod, uint32_t ulUid);
// Bytes the state holds beyond the index's messages, for measurement.
size_t ModStateBytes(const ModState& mod);

// What of an index the state code reads and changes, with the index's mutex.
struct ModIndexRef {
    std::shared_ptr<MailboxIndex> pSelf;
    const char* pszPath;
    std::mutex* pMutex;
    std::vector<IndexedMessage>* pMessages;  // UID order; INDEXED_REMOVED entries may be among them
    const uint32_t* pulHighestUid;
    ModState* pMod;
    std::function<void(uint32_t ulUid)> fnChanged;  // counts a generation for the views; mutex held
};
