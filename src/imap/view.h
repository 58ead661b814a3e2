// Each selected session's own view of its mailbox: the UIDs in the order its client was told,
// with their flags. The files stay the only truth; the view is rebuilt from them and kept in
// memory only. Sequence numbers are positions in the view, and every command that resolves
// sequence numbers or UIDs goes through ForEachMessage.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imap/search_return.h"
#include "imap/session.h"
#include "platform/fs.h"
#include "store/mailbox_index.h"
#include "store/store.h"

// One message as the client knows it: 8 bytes.
struct ViewMessage {
    uint32_t ulUid;
    uint8_t fFlags;      // the flag digits of its file name (FLAG_BIT_*)
    uint8_t fState;      // VIEW_*
    uint16_t wKeywords;  // its keywords: an entry of the view's keywordSets (0: none)
    bool operator==(const ViewMessage&) const = default;
};
// A message whose keyword set found no room among the view's sets: they are read when shown.
constexpr uint16_t VIEW_KEYWORDS_UNLISTED = 0xFFFF;
enum : uint8_t {
    VIEW_GONE = 0x01,           // its file is gone; it keeps its number until that is announced
    VIEW_FLAGS_CHANGED = 0x04,  // changed elsewhere, not yet announced
};

// A view's messages in sequence order. Most sessions on a mailbox know the same messages with
// the same flags, so the list is kept in blocks that the views share while they hold the same;
// a view copies a block only to change one of its messages (Change), and gives up its copies
// for the shared blocks again once they hold the same (ShareViewList). Reading never copies.
class ViewList {
public:
    static constexpr size_t BLOCK = 512;  // 4 KiB of messages
    struct Block {
        std::vector<ViewMessage> messages;
        // Other views may hold it: it never changes again.
        bool bShared = false;
    };

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = ViewMessage;
        using difference_type = std::ptrdiff_t;
        using pointer = const ViewMessage*;
        using reference = const ViewMessage&;
        const_iterator() = default;
        const_iterator(const ViewList* pList, size_t n) : m_pList(pList), m_n(n) {}
        reference operator*() const { return (*m_pList)[m_n]; }
        pointer operator->() const { return &(*m_pList)[m_n]; }
        reference operator[](difference_type d) const { return (*m_pList)[m_n + static_cast<size_t>(d)]; }
        const_iterator& operator++() { m_n++; return *this; }
        const_iterator operator++(int) { const_iterator it = *this; m_n++; return it; }
        const_iterator& operator--() { m_n--; return *this; }
        const_iterator operator--(int) { const_iterator it = *this; m_n--; return it; }
        const_iterator& operator+=(difference_type d) { m_n += static_cast<size_t>(d); return *this; }
        const_iterator& operator-=(difference_type d) { m_n -= static_cast<size_t>(d); return *this; }
        const_iterator operator+(difference_type d) const { return const_iterator(m_pList, m_n + static_cast<size_t>(d)); }
        friend const_iterator operator+(difference_type d, const const_iterator& it) { return it + d; }
        const_iterator operator-(difference_type d) const { return const_iterator(m_pList, m_n - static_cast<size_t>(d)); }
        difference_type operator-(const const_iterator& other) const {
            return static_cast<difference_type>(m_n) - static_cast<difference_type>(other.m_n);
        }
        bool operator==(const const_iterator& other) const { return m_n == other.m_n; }
        auto operator<=>(const const_iterator& other) const { return m_n <=> other.m_n; }

    private:
        const ViewList* m_pList = nullptr;
        size_t m_n = 0;
    };
    using iterator = const_iterator;

    size_t size() const { return m_nSize; }
    bool empty() const { return m_nSize == 0; }
    const ViewMessage& operator[](size_t n) const { return m_blocks[n / BLOCK]->messages[n % BLOCK]; }
    const ViewMessage& back() const { return (*this)[m_nSize - 1]; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_nSize); }
    // The position of the first message whose UID is not below ulUid (size() when none).
    size_t LowerBound(uint32_t ulUid) const;
    // The position of the first message from n on with one of the VIEW_* bits of fMask (size()
    // when none): announcements look for their few messages block by block.
    size_t NextWith(size_t n, uint8_t fMask) const;

    // The message at n, to be changed: its block becomes this view's own first. The reference
    // holds until the list is next added to, cut, or shared.
    ViewMessage& Change(size_t n);
    void push_back(const ViewMessage& message);
    // Drops the messages marked VIEW_GONE.
    void RemoveGone();

    // The block that holds message n: views that share it hold the same pointer.
    const Block* BlockOf(size_t n) const { return m_blocks[n / BLOCK].get(); }
    // Whether some block is this view's own.
    bool HasOwnBlocks() const;
    // Takes, in place of each own block, the block of others at the same place when it holds the
    // same messages.
    void TakeSameBlocks(const std::vector<std::shared_ptr<Block>>& others);
    // The blocks, all marked shared from now on, for other views to take.
    std::vector<std::shared_ptr<Block>> ShareBlocks();

private:
    std::vector<std::shared_ptr<Block>> m_blocks;
    size_t m_nSize = 0;
};

struct MailboxView {
    char szMailbox[MAX_PATH];
    // EXAMINE, and a view built without a SELECT: \Recent is shown as the file says, never taken.
    bool bReadOnly;
    ViewList messages;
    std::vector<ViewMessage> incoming;  // found, not yet announced
    uint32_t ulHighestUid;              // the highest UID ever taken into the view or incoming
    // The mailbox's index, shared with the other sessions on it, and the last of its changes
    // this view has taken in.
    std::shared_ptr<MailboxIndex> pIndex;
    uint64_t ullGeneration;
    // Some message is marked gone or changed and not yet announced: without this, every command
    // would look at every message for news.
    bool bNews;
    // The result SEARCH saved for "$", as UIDs (a new SELECT, EXAMINE or CLOSE forgets it), and
    // the searches whose changes the client is told as they happen.
    std::vector<uint32_t> savedUids;
    std::vector<SearchUpdate> updates;
    // Each different set of keywords the view's messages carry, once: the names in the
    // mailbox's order, joined by blanks. Entry 0 is the empty set. Shared with the views that
    // share blocks of the list, and replaced, never changed, when a set is added.
    std::shared_ptr<const std::vector<std::string>> pKeywordSets;
    // The UIDs whose \Recent this session holds (none under EXAMINE), as ascending runs.
    std::vector<UidRange> recentUids;
    // The mailbox's highest modification sequence when the view last looked for keyword changes,
    // and the sequences the client was told since (UID, sequence): a change already told is not
    // told again.
    uint64_t ullModSeqSeen;
    std::vector<std::pair<uint32_t, uint64_t>> toldModSeqs;
    mutable std::string strUnlisted;  // ShownKeywords' answer for an unlisted set
    // How many keywords the client was last told the mailbox has (FLAGS, PERMANENTFLAGS).
    size_t nKeywordsShown;
};

// Marks a message for the next announcement.
inline void MarkGone(MailboxView& view, ViewMessage& message) {
    message.fState |= VIEW_GONE;
    view.bNews = true;
}
inline void MarkFlagsChanged(MailboxView& view, ViewMessage& message) {
    message.fState |= VIEW_FLAGS_CHANGED;
    view.bNews = true;
}

// Builds the view of szMailbox for SELECT (bReadOnly false: new messages' \Recent is taken by
// this session) or EXAMINE. Counts for the SELECT answer: messages, \Recent ones, and the
// number of the first without \Seen (0 when none).
void OpenView(Session* pSession, bool bReadOnly, int32_t* plExists, int32_t* plRecent, int32_t* plFirstUnseen);
// For a command that would change the selected mailbox (STORE, EXPUNGE, MOVE): true, with the
// NO answer left, when the mailbox was opened by EXAMINE.
bool RefuseReadOnly(Session* pSession);
// Drops the view (CLOSE, a failed SELECT).
void CloseView(Session* pSession);
// The view of the selected mailbox, built silently when the session has none for it.
MailboxView* CurrentView(Session* pSession);

// Reads the directory again: files gone are marked, flags changed elsewhere taken in and marked,
// new messages held back until announced. Nothing is sent.
void RefreshView(Session* pSession);
// Reads the directory and queues what the client must be told: "* n EXPUNGE" for every message
// gone (highest number first) when bExpunges, then "* n EXISTS" and "* n RECENT" for new
// messages, then "* n FETCH (FLAGS (...))" for flags changed elsewhere.
void AnnounceChanges(Session* pSession, bool bExpunges);

// Calls fnMessage for every message that the set names, in the set's order (sequence numbers,
// or UIDs with bUid), after refreshing the view. Messages whose file is gone are skipped. Before
// each call FindData holds the message's file name and szShownFlags its shown flag code.
// fnMessage returns false to stop. False, with nothing called, for a malformed set; "$" names
// the saved SEARCH result.
bool ForEachMessage(Session* pSession, const char* pszSet, bool bUid,
                    const std::function<bool(uint32_t ulSequence, ViewMessage& message)>& fnMessage);
// The same for a set the command has already read; without bRefresh the view is taken as it is
// (a command that refreshed it itself, and holds the mailbox's state lock now).
void ForEachMessage(Session* pSession, const std::vector<SetElement>& elements, bool bUid,
                    const std::function<bool(uint32_t ulSequence, ViewMessage& message)>& fnMessage);
void ForEachMessage(Session* pSession, const std::vector<SetElement>& elements, bool bUid, bool bRefresh,
                    const std::function<bool(uint32_t ulSequence, ViewMessage& message)>& fnMessage);

// A message set as the commands that take one read it: a sequence set, or "$" for the messages
// SEARCH saved, as UIDs under the UID prefix and as the sequence numbers they have now without
// it (an empty set when nothing was saved). Moves the cursor like TakeSequenceSet.
bool TakeMessageSet(Session* pSession, const char** ppCursor, std::vector<SetElement>* pSet);
// The saved result as a set of UIDs or of sequence numbers.
std::vector<SetElement> SavedResultSet(Session* pSession, bool bUid);

// Makes sure FindData names the message's file as it is now: another session may have renamed
// it since the view was read. False when the message is gone (it is then marked so).
bool ConfirmFileName(Session* pSession, ViewMessage& message);
// Whether the view's names can be used without looking at the disk: the index follows every
// change as it happens. A file then found missing is looked up with ConfirmFileName.
bool ViewNamesCurrent(const Session* pSession);

// The keywords the client is shown for a message: names joined by blanks, empty for none.
const std::string& ShownKeywords(const MailboxView& view, const ViewMessage& message);
// Takes a message's keywords from the mailbox's state into the view; true when they changed.
bool TakeKeywords(MailboxView& view, ViewMessage& message);
// Queues the untagged FETCH that tells a message's flags ("* n FETCH (FLAGS (...))"); under
// the UID prefix, and always once CONDSTORE is on, with the UID, and under CONDSTORE with its
// MODSEQ. bModSeqOnly leaves the flags out (a silent STORE under CONDSTORE). bUnasked: news of a
// change made elsewhere, which an IMAP4rev2 client is told with the UID.
void SendFlagsLine(Session* pSession, uint32_t ulSequence, const ViewMessage& message, bool bModSeqOnly,
                   bool bUnasked = false);
// The sequence a message is shown with. One expunged elsewhere, still numbered for this client,
// is no longer in the mailbox's state: it is shown with the mailbox's highest, which is not
// below its last (a sequence is never 0).
uint64_t ShownModSeq(MailboxIndex& index, uint32_t ulUid);
// The same, noted as told to the client of the view.
uint64_t TellModSeq(MailboxView& view, uint32_t ulUid);
// Queues "* FLAGS (...)" and "* OK [PERMANENTFLAGS (...)]" with the mailbox's keywords; with
// bOnlyWhenNew only when a keyword was defined since the client was last told.
void AnnounceKeywords(Session* pSession, bool bOnlyWhenNew);

// The present file name of a message.
void ViewFileName(const ViewMessage& message, char* pszName, size_t nSize);
// The flag code the client is shown: \Recent as this session holds it.
void ShownFlagCode(const MailboxView& view, const ViewMessage& message, char* pszCode);

enum StoreResult {
    STORE_CHANGED,  // the file carries the flags now (also when nothing had to change)
    STORE_GONE,     // the message was expunged meanwhile: nothing to store, nothing to say
    STORE_FAILED,   // the rename failed; the view holds the flags really stored
};
// Sets the flags of fSet and clears those of fClear by renaming the message's file (the Recent
// digit is not the client's to change).
StoreResult ChangeFlags(Session* pSession, ViewMessage& message, uint8_t fSet, uint8_t fClear);

// Deletes the files of the view's messages flagged \Deleted (only those whose UID pUids names,
// when given) and marks them gone; the announcement follows the command. False when a file
// could not be deleted (it stays, and so does its message).
bool ExpungeDeleted(Session* pSession, const std::vector<SetElement>* pUids);
