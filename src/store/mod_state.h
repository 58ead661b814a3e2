// Keywords and modification sequences of a mailbox's messages.
//
// A message file's name carries six flags and nothing else, so a mailbox's keywords and the
// sequence of its last change live in a hidden state file beside the messages (MOD_STATE_NAME),
// which the companion server never reads. The file is a log of checked lines: appended and
// flushed (MailFsync) under the mailbox's state lock, compacted by a temporary renamed over it.
// Every server process that has the mailbox open reads what the others appended, so sessions,
// other instances on the same store and restarts agree.
//
// Every change gets a sequence, whoever made it: keywords stored through a ModChange, and every
// change the mailbox index notices (a flag rename, a deletion, a delivery, by this server, the
// companion or anyone else). At the first look after a start the index's listing is compared
// with the file, so that changes made while no server ran get sequences too.
//
// A lost or damaged file never makes a client believe nothing changed: the mailbox starts again
// above every sequence handed out before (from the clock, and above what was still readable),
// every message gets that sequence, and the loss is reported on the console and in syslog.
//
// Memory: a message without keywords costs nothing beyond its IndexedMessage (its sequence and
// the flags it was recorded with fit in what was padding); one with keywords costs one map entry
// (about 64 bytes plus 2 per keyword). Expunged UIDs are kept as ranges, bounded.
//
// The functions are members of MailboxIndex (mailbox_index.h); this header holds their types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MailboxIndex;

// The hidden state file and the lock file that serialises its writers, in the mailbox directory.
constexpr const char* MOD_STATE_NAME = ".veve4d-state";
constexpr const char* MOD_LOCK_NAME = ".veve4d-state.lock";

// Longest keyword name kept, in bytes.
constexpr size_t KEYWORD_NAME_MAX = 1000;
// Whether the state file can keep the name: 1 to KEYWORD_NAME_MAX printable ASCII characters,
// no blank, no "\" at the start (system flags are not keywords). Whether it is an IMAP atom is
// the protocol's check.
bool IsKeywordName(const char* pszName);

enum KeywordOp : uint8_t {
    KEYWORDS_ADD,      // +FLAGS
    KEYWORDS_REMOVE,   // -FLAGS
    KEYWORDS_REPLACE,  // FLAGS: the message keeps exactly the keywords given
};

enum ModResult : uint8_t {
    MOD_OK,        // done (durable once the ModChange commits)
    MOD_MODIFIED,  // the message's sequence is above the UNCHANGEDSINCE bound: nothing changed
    MOD_GONE,      // no such message (expunged, or never there)
    MOD_FAILED,    // the state lock could not be taken or the file not written; LastStoreFailure() says why
};

enum KeywordFind : uint8_t {
    KEYWORD_FOUND,    // the name is in the mailbox's table
    KEYWORD_NEW,      // added to the table (recorded when the ModChange commits)
    KEYWORD_LIMIT,    // the table holds MaxKeywords names already
    KEYWORD_INVALID,  // not a name IsKeywordName accepts
};

// A run of UIDs, ulLow <= ulHigh.
struct UidRange {
    uint32_t ulLow;
    uint32_t ulHigh;
};

// A message APPEND, COPY or MOVE has just placed in a mailbox, with the keywords it carries.
struct PlacedMessage {
    uint32_t ulUid;
    uint8_t fFlags;  // FLAG_BIT_*, as its name has them
    std::vector<std::string> keywords;
};
// Records the keywords of placed messages in the mailbox's state file, flushed before it returns
// (nothing to do, and true, when none carries any). False, with LastStoreFailure() saying why,
// when they could not be recorded: the command then takes the messages back.
bool RecordPlacedKeywords(const char* pszMailbox, const std::vector<PlacedMessage>& placed);
// Whether the mailbox's keyword table has room for the names it lacks among these (MaxKeywords).
bool KeywordsFit(const char* pszMailbox, const std::vector<std::string>& names);
// An empty mailbox directory goes only without its hidden state: SetAsideModState removes the
// state and lock files and returns what the state file held, RestoreModState puts it back when
// the directory stayed after all (it held messages).
std::string SetAsideModState(const char* pszMailbox);
void RestoreModState(const char* pszMailbox, const std::string& state);
// The flag bits (FLAG_BIT_*) of a six-character flag code.
uint8_t FlagBitsOfCode(const char* pszCode);

// One change of keywords and sequences under the mailbox's state lock: MailboxIndex::BeginModChange.
// From its start to its commit no other session or server changes keywords of the mailbox, so
// that an UNCHANGEDSINCE check and the change it guards are one step. Flag renames made meanwhile
// (ChangeFlags) are noted by the index and get the commit's sequence with the keywords changed,
// so that a STORE of flags and keywords ends with one sequence per message.
//
// A STORE with UNCHANGEDSINCE checks each message (CheckUnchanged) before it renames the file,
// and then sets the keywords with no bound: its own rename counts as a change.
//
// Use from one thread, and call no syncing member of the index (nor KeywordsFit,
// RecordPlacedKeywords) while one is open: they wait for the lock this one holds. Do not take the
// mailbox's UID lock (AssignUids, PublishMessages) while one is open either.
class ModChange {
public:
    ~ModChange();  // commits what is not committed yet, then lets go of the lock
    ModChange(const ModChange&) = delete;
    ModChange& operator=(const ModChange&) = delete;

    // False when the lock could not be taken (the directory is gone or unwritable): every call
    // below then answers MOD_FAILED, and nothing is recorded.
    bool Locked() const;

    // MOD_MODIFIED when the message's sequence is above ullUnchangedSince, MOD_GONE when it is
    // not in the mailbox, else MOD_OK. ullUnchangedSince 0 always passes a present message.
    ModResult CheckUnchanged(uint32_t ulUid, uint64_t ullUnchangedSince) const;

    // The index of a keyword name in the mailbox's table, found without regard to ASCII case
    // (IMAP flag names ignore case; the table keeps the first spelling). With bLimit a new name
    // is refused once the table holds MaxKeywords names; COPY and MOVE carry names without it.
    KeywordFind AddKeyword(const char* pszName, uint16_t* puIndex, bool bLimit = true);

    // Changes a message's keywords (indexes from AddKeyword or FindKeyword), after the same check
    // as CheckUnchanged. A change that changes nothing is MOD_OK and gets no new sequence.
    ModResult SetKeywords(uint32_t ulUid, KeywordOp op, const std::vector<uint16_t>& keywords,
                          uint64_t ullUnchangedSince = 0);

    // A message just placed in the mailbox (APPEND, COPY, MOVE) with its flags and keyword
    // names, which are added to the table without the limit.
    ModResult AddMessage(uint32_t ulUid, uint8_t fFlags, const std::vector<std::string>& names);

    // Gives one new sequence to everything changed since the start (keywords set here, flags and
    // messages the index noticed), and writes it to the disk before returning. *pullModSeq: the
    // mailbox's HIGHESTMODSEQ after it. False when the file could not be written: nothing of
    // this change is kept then. Later calls may add more and commit again.
    bool Commit(uint64_t* pullModSeq = nullptr);

private:
    friend class MailboxIndex;
    struct Pending;
    ModChange();
    void CompactIfLong();
    std::shared_ptr<MailboxIndex> m_pIndex;
    int m_hLock;
    std::unique_ptr<Pending> m_pPending;
};
