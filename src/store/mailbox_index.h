// What the server knows of a mailbox directory's messages, in memory only: one index per
// directory that some session has open, shared by those sessions and freed with the last. It is
// built from one listing and kept current from the directory's change events (a new listing when
// events were lost), or by listing again when the directory's change time moves where events are
// not available. The files stay the only truth: nothing of the index is written anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/store.h"

// One message: its name, and what its content gave once read. Content never changes under a
// UID (a flag change is a rename), so what was read stays true until the file is written again.
struct IndexedMessage {
    uint32_t ulUid;
    uint8_t fFlags;
    uint8_t fState;      // INDEXED_*
    uint32_t ulSize;     // RFC822.SIZE, with INDEXED_PROBED
    FILETIME ftWritten;  // the internal date, with INDEXED_PROBED
};
enum : uint8_t {
    INDEXED_PROBED = 0x01,   // ulSize and ftWritten are known
    INDEXED_WRITING = 0x02,  // created, not yet closed: its content may be incomplete
    INDEXED_REMOVED = 0x04,  // gone; dropped at the end of the refresh
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

class MailboxIndex {
public:
    // The index of the mailbox directory, brought up to date. *pResult: LIST_MISSING when the
    // directory is gone (the index is then empty), LIST_FAILED when it could not be read.
    static std::shared_ptr<MailboxIndex> Open(const char* pszMailbox, ListResult* pResult);
    // The index of the directory when some session has it open, brought up to date; null when
    // none has, or when the directory cannot be read now.
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
    // Keeps the content under the key, in place of what was kept there.
    void KeepContent(uint32_t ulUid, const std::string& key, std::shared_ptr<const KeptContent> pContent);

    // Bytes held by every index and its cached text and content, for measurement.
    static size_t MemoryInUse();
    static size_t CachedTextBytes();

    // Called between a listing and its merge, with no lock held: lets a test force what other
    // sessions do meanwhile. Empty in the server.
    static void SetListingHook(std::function<void(const char* pszMailbox)> fnHook);

    struct State;

private:
    explicit MailboxIndex(const char* pszMailbox);
    void Keep(uint32_t ulUid, const std::string& key, CachedText text, std::shared_ptr<const KeptContent> pContent,
              bool bReplace);
    std::string m_path;
    std::unique_ptr<State> m_pState;
};
