// What the server knows of a mailbox directory's messages, in memory only: one index per
// directory that some session has open, shared by those sessions and freed with the last. It is
// built from one listing and kept current from the directory's change events (a new listing when
// events were lost), or by listing again when the directory's change time moves where events are
// not available. The files stay the only truth: nothing of the index is written anywhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/mod_state.h"
#include "store/store.h"

// One message: its name, and what its content gave once read. Content never changes under a
// UID (a flag change is a rename), so what was read stays true until the file is written again.
// 24 bytes: the modification sequence and the flags it was recorded with use what was padding.
struct IndexedMessage {
    uint32_t ulUid;
    uint8_t fFlags;
    uint8_t fState;      // INDEXED_*
    uint8_t fModFlags;   // the flags the state file recorded with ulModSeq
    uint32_t ulSize;     // RFC822.SIZE, with INDEXED_PROBED
    uint32_t ulModSeq;   // the modification sequence less the index's base; 0: none recorded yet
    FILETIME ftWritten;  // the internal date, with INDEXED_PROBED
};
static_assert(sizeof(IndexedMessage) == 24, "a message without keywords costs nothing beyond this");
enum : uint8_t {
    INDEXED_PROBED = 0x01,    // ulSize and ftWritten are known
    INDEXED_WRITING = 0x02,   // created, not yet closed: its content may be incomplete
    INDEXED_REMOVED = 0x04,   // gone; dropped at the end of the refresh
    INDEXED_KEYWORDS = 0x08,  // it has keywords (KeywordsOf)
};

// Text made from a message's content (an envelope, a body structure, a header section), kept
// under a key the caller chooses; all indexes together keep at most the IndexCacheLimit,
// dropping the least recently used first.
struct CachedText {
    std::string text;
    size_t nSplit;  // where the caller's own division of the text falls
};

// How often a session that waits for news of the mailbox (IDLE) must look at it again, because
// the kernel's events do not tell of every change: MailboxPollInterval where the directory's change
// time is polled (MailboxWatch "poll", or "auto" on a network or cluster file system, where other
// machines change it too); 0 where the events tell all.
uint32_t MailboxPollMilliseconds(const char* pszMailbox);

// Something else made from a message's content (its parsed structure), kept beside the texts
// under the same bound and forgotten with them.
struct KeptContent {
    virtual ~KeptContent() = default;
    // The bytes it holds, counted against the bound; the same for as long as it is kept.
    virtual size_t Cost() const = 0;
};

struct ModIndexRef;
class Wakeup;

class MailboxIndex {
public:
    // The index of the mailbox directory, brought up to date. *pResult: LIST_MISSING when the
    // directory is gone (the index is then empty), LIST_FAILED when it could not be read.
    // The index of a large mailbox outlives its last session (the few most recently opened; one
    // not opened for ten minutes goes when another is kept), kept current by its watch, so that
    // the next session does not list the whole directory again.
    static std::shared_ptr<MailboxIndex> Open(const char* pszMailbox, ListResult* pResult);
    // The index of the directory when some session has it open (or it is kept so), brought up to
    // date; null when none has, or when the directory cannot be read now.
    static std::shared_ptr<MailboxIndex> FindOpen(const char* pszMailbox);
    ~MailboxIndex();
    MailboxIndex(const MailboxIndex&) = delete;
    MailboxIndex& operator=(const MailboxIndex&) = delete;

    const char* Path() const { return m_path.c_str(); }
    // Takes in what changed since the last call. LIST_FAILED leaves the index as it was.
    ListResult Refresh();
    // Whether every change reaches the index as it happens, so that a name it holds may be used
    // without looking at the disk first; false where it polls.
    bool Watched() const;

    // Every change (a message added, removed, or renamed) counts one generation. The UIDs
    // changed after ullSince, and the generation now; false when ullSince is too old to tell,
    // and the caller must compare everything.
    bool ChangesSince(uint64_t ullSince, std::vector<uint32_t>* pUids, uint64_t* pullNow) const;
    // The messages in UID order above ulUid (all of them for 0), and the generation they show.
    void MessagesAbove(uint32_t ulUid, std::vector<IndexedMessage>* pMessages, uint64_t* pullNow) const;
    bool Find(uint32_t ulUid, IndexedMessage* pMessage) const;
    // The highest UID the directory has held since the index was made, expunged ones included;
    // 0 when it has held none.
    uint32_t HighestUid() const;
    // Calls fnMessage for each message in UID order, with the index locked: fnMessage must not
    // call the index. The message count comes first, so that the caller can make room once.
    void Visit(const std::function<void(size_t nCount)>& fnCount,
               const std::function<void(const IndexedMessage& message)>& fnMessage, uint64_t* pullNow) const;

    // What this process did itself, taken in at once rather than when its event is read.
    void NoteFlags(uint32_t ulUid, uint8_t fFlags);
    void NoteRemoved(uint32_t ulUid);
    void NoteProbe(uint32_t ulUid, uint64_t ullSize, FILETIME ftWritten);

    // The text kept under the key (pText null: only whether there is one).
    bool FindText(uint32_t ulUid, const std::string& key, CachedText* pText) const;
    void KeepText(uint32_t ulUid, const std::string& key, CachedText text);
    // The content kept under the key; a key holds a text or a content, never both.
    bool FindContent(uint32_t ulUid, const std::string& key, std::shared_ptr<const KeptContent>* pContent) const;
    // FindContent for many messages at once, under one lock: (*pContents)[i] is what is kept for
    // uids[i], or null.
    void FindContents(const std::vector<uint32_t>& uids, const std::string& key,
                      std::vector<std::shared_ptr<const KeptContent>>* pContents) const;
    // Keeps the content under the key, in place of what was kept there.
    void KeepContent(uint32_t ulUid, const std::string& key, std::shared_ptr<const KeptContent> pContent);

    // ---- Keywords and modification sequences (mod_state.h) ----
    //
    // Sequences are 63-bit numbers above 0. The calls marked "syncs" first bring the state up to
    // date (SyncModState); the others answer from memory, as of the last sync: a command syncs
    // once, then reads per message.

    // Loads the state file at the first call (comparing it with the messages, so that what
    // changed while no server watched gets a sequence), takes in what other processes recorded
    // since, and gives a new sequence to every change the index noticed. Takes the state lock
    // for a moment, and writes (flushed) only when something changed. False when the lock could
    // not be taken or the file not written: the values are then those last known.
    bool SyncModState();
    // The mailbox's HIGHESTMODSEQ; syncs. 0 only when the mailbox directory is gone.
    uint64_t HighestModSeq();
    // The message's sequence; 0 when the index does not hold it.
    uint64_t ModSeqOf(uint32_t ulUid) const;
    // The message's keywords as indexes into KeywordNames, ascending; false (and empty) when it
    // has none or is not held.
    bool KeywordsOf(uint32_t ulUid, std::vector<uint16_t>* pKeywords) const;
    // The same as names.
    bool KeywordNamesOf(uint32_t ulUid, std::vector<std::string>* pNames) const;
    // The mailbox's keyword names, by index. Names are never taken back, so an index stays
    // valid, and a count that grew tells that a keyword is new (untagged FLAGS).
    std::vector<std::string> KeywordNames() const;
    size_t KeywordCount() const;
    // The index of a name, compared without regard to ASCII case; -1 when the table lacks it.
    int FindKeyword(const char* pszName) const;
    // The UIDs of the present messages whose sequence is above ullSince, ascending; syncs. In time
    // proportional to their number while ullSince is recent, else to the mailbox.
    void ChangedSince(uint64_t ullSince, std::vector<uint32_t>* pUids);
    // UIDs expunged with a sequence above ullSince, as ascending disjoint ranges that hold no
    // present message; syncs. When the history kept does not reach back to ullSince it is every
    // UID up to the highest ever held that is not present: a superset, never less.
    void ExpungedSince(uint64_t ullSince, std::vector<UidRange>* pRanges);
    // Whether the mailbox has keyword names, after a sync; false without one when it has never
    // had a state file (no message there can have keywords), so that COPY and MOVE of mail
    // without keywords cost nothing.
    bool HasKeywords();
    // Takes the state lock, syncs, and opens a change (mod_state.h). Check Locked(). The caller
    // has refreshed the index (a view's refresh does), so that the messages it names are held.
    std::unique_ptr<ModChange> BeginModChange();
    // A message this process has just named in the directory: taken in at once, so that its
    // keywords can be recorded before the directory's event is read.
    void NoteAdded(uint32_t ulUid, uint8_t fFlags);

    // What the sessions' views of the mailbox last offered one another to share (their list of
    // messages), kept as long as the index; null before the first offer.
    std::shared_ptr<const KeptContent> SharedView() const;
    void OfferSharedView(std::shared_ptr<const KeptContent> pView);

    // Bytes held by every index and its cached text and content, for measurement.
    static size_t MemoryInUse();
    static size_t CachedTextBytes();

    // Called between a listing and its merge, with no lock held: lets a test force what other
    // sessions do meanwhile. Empty in the server.
    static void SetListingHook(std::function<void(const char* pszMailbox)> fnHook);

    struct State;

private:
    friend class ModChange;
    friend class ChangeWaiter;
    ModIndexRef ModRef() const;
    // Nothing to take in or record: the file is as this process last read or wrote it and the
    // index noticed no change since, so that a sync needs neither the state lock nor a read.
    bool ModStateCurrent() const;
    explicit MailboxIndex(const char* pszMailbox);
    void Keep(uint32_t ulUid, const std::string& key, CachedText text, std::shared_ptr<const KeptContent> pContent,
              bool bReplace);
    std::string m_path;
    std::unique_ptr<State> m_pState;
};

// A session that waits for news of its mailbox (IDLE) without looking: whichever thread of the
// process takes in a change of the index signals the waiter (WAKE_CHANGE), and while every session
// waits, the process's one readiness thread reads the kernel's events for them all. Asked to,
// it also wakes for mail delivered into a directory outside the mailbox (the mail directory the
// inbox is filled from), when it is its turn to take the mail in. A signal given between a look
// and the wait is kept (Wakeup), so the caller looks, then waits, and misses nothing. While a
// thread has a waiter, its looks at an index do not wait for another thread that is taking in
// events: each change that thread applies signals the waiter again.
class ChangeWaiter {
public:
    ChangeWaiter(std::shared_ptr<MailboxIndex> pIndex, Wakeup* pWakeup);
    ~ChangeWaiter();
    ChangeWaiter(const ChangeWaiter&) = delete;
    ChangeWaiter& operator=(const ChangeWaiter&) = delete;
    // Also wakes when a file whose name ends in pszSuffix (regardless of case) is written whole
    // into pszDir or renamed into it. False when that cannot be watched: the caller looks for
    // such files now and then.
    bool WatchArrivals(const char* pszDir, const char* pszSuffix);
    // Whether this waiter is to take in what came into that directory (or to look there after
    // events were lost). Of all the waiters on one directory one at a time is told, so that a
    // delivery is taken in once and the others learn of it from the mailbox's own change. True
    // gives the turn to the caller until ArrivalTaken; a turn left unused at the waiter's end
    // goes to another waiter.
    bool TakeArrival();
    // Ends the turn. What came while it was taken in gives the caller the next turn at once.
    void ArrivalTaken();
    // Whether every change of the mailbox, and every arrival asked for, reaches the waiter as it
    // happens. False (no watch, a watch lost, events lost and not yet listed again): the caller
    // must also look now and then.
    bool Complete() const;

    struct Arrivals;

private:
    std::shared_ptr<MailboxIndex> m_pIndex;
    Wakeup* m_pWakeup;
    Arrivals* m_pArrivals = nullptr;
    std::atomic<bool> m_bArrived{false};  // told of its turn, not yet taken
    uint64_t m_ullTurnFrom = 0;           // the arrivals counted when its turn was taken
};
