// A session's view of its selected mailbox, and the announcements that keep its client's
// numbering in step with the files.
#include "imap/view.h"
#include "config/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "imap/args.h"
#include "imap/flags.h"
#include "imap/resync.h"
#include "imap/response.h"
#include "imap/output.h"
#include "platform/dir_watch.h"
#include "platform/format.h"

void MailboxViewDeleter::operator()(MailboxView* pView) const { delete pView; }

size_t ViewList::LowerBound(uint32_t ulUid) const {
    return static_cast<size_t>(std::lower_bound(begin(), end(), ulUid,
                                                [](const ViewMessage& m, uint32_t u) { return m.ulUid < u; }) -
                               begin());
}

size_t ViewList::NextWith(size_t n, uint8_t fMask) const {
    while (n < m_nSize) {
        const std::vector<ViewMessage>& block = m_blocks[n / BLOCK]->messages;
        for (size_t i = n % BLOCK; i < block.size(); i++) {
            if (block[i].fState & fMask) return n / BLOCK * BLOCK + i;
        }
        n = (n / BLOCK + 1) * BLOCK;
    }
    return m_nSize;
}

ViewMessage& ViewList::Change(size_t n) {
    std::shared_ptr<Block>& pBlock = m_blocks[n / BLOCK];
    if (pBlock->bShared) pBlock = std::make_shared<Block>(Block{pBlock->messages, false});
    return pBlock->messages[n % BLOCK];
}

void ViewList::push_back(const ViewMessage& message) {
    if (m_blocks.empty() || m_blocks.back()->messages.size() == BLOCK) {
        m_blocks.push_back(std::make_shared<Block>());
        m_blocks.back()->messages.reserve(BLOCK);
    } else if (m_blocks.back()->bShared) {
        m_blocks.back() = std::make_shared<Block>(Block{m_blocks.back()->messages, false});
    }
    m_blocks.back()->messages.push_back(message);
    m_nSize++;
}

void ViewList::RemoveGone() {
    size_t nFirst = NextWith(0, VIEW_GONE);
    if (nFirst == m_nSize) return;
    // The blocks before the first gone message keep their place, shared or not.
    std::vector<std::shared_ptr<Block>> blocks(m_blocks.begin(), m_blocks.begin() + static_cast<std::ptrdiff_t>(nFirst / BLOCK));
    std::swap(blocks, m_blocks);
    size_t nOldSize = m_nSize;
    m_nSize = nFirst / BLOCK * BLOCK;
    for (size_t n = m_nSize; n < nOldSize; n++) {
        const ViewMessage& message = blocks[n / BLOCK]->messages[n % BLOCK];
        if (!(message.fState & VIEW_GONE)) push_back(message);
    }
}

bool ViewList::HasOwnBlocks() const {
    return std::any_of(m_blocks.begin(), m_blocks.end(), [](const std::shared_ptr<Block>& p) { return !p->bShared; });
}

void ViewList::TakeSameBlocks(const std::vector<std::shared_ptr<Block>>& others) {
    for (size_t i = 0; i < m_blocks.size() && i < others.size(); i++) {
        if (!m_blocks[i]->bShared && others[i]->messages == m_blocks[i]->messages) m_blocks[i] = others[i];
    }
}

std::vector<std::shared_ptr<ViewList::Block>> ViewList::ShareBlocks() {
    for (std::shared_ptr<Block>& pBlock : m_blocks) {
        if (pBlock->bShared) continue;
        pBlock->messages.shrink_to_fit();
        pBlock->bShared = true;
    }
    return m_blocks;
}

namespace {

// What a view offers the others on its mailbox through the index.
struct SharedViewList : KeptContent {
    std::vector<std::shared_ptr<ViewList::Block>> blocks;
    std::shared_ptr<const std::vector<std::string>> pKeywordSets;
    size_t Cost() const override { return blocks.size() * (sizeof(ViewList::Block) + ViewList::BLOCK * sizeof(ViewMessage)); }
};

// Once the view holds only what its client was told, its own blocks are swapped for those of
// the other views that hold the same, and what is left is offered to them: sessions on one
// mailbox then keep one list between them, whatever order they opened and changed it in.
void ShareViewList(MailboxView& view) {
    if (view.bNews || !view.messages.HasOwnBlocks()) return;
    std::shared_ptr<const KeptContent> pKept = view.pIndex->SharedView();
    auto pOffered = std::static_pointer_cast<const SharedViewList>(pKept);
    // A message's keywords are an entry of its view's sets: blocks are alike only under the same sets.
    if (pOffered != nullptr &&
        (pOffered->pKeywordSets == view.pKeywordSets || *pOffered->pKeywordSets == *view.pKeywordSets)) {
        view.pKeywordSets = pOffered->pKeywordSets;
        view.messages.TakeSameBlocks(pOffered->blocks);
        if (!view.messages.HasOwnBlocks()) return;
    }
    auto pOffer = std::make_shared<SharedViewList>();
    pOffer->blocks = view.messages.ShareBlocks();
    pOffer->pKeywordSets = view.pKeywordSets;
    view.pIndex->OfferSharedView(std::move(pOffer));
}

bool HoldsRecent(const MailboxView& view, uint32_t ulUid) {
    auto it = std::lower_bound(view.recentUids.begin(), view.recentUids.end(), ulUid,
                               [](const UidRange& range, uint32_t u) { return range.ulHigh < u; });
    return it != view.recentUids.end() && it->ulLow <= ulUid;
}

// The messages the client is shown with \Recent, those gone but still numbered left out.
size_t CountRecent(const MailboxView& view) {
    const ViewList& messages = view.messages;
    size_t nRecent = 0;
    if (view.bReadOnly) {
        for (const ViewMessage& message : messages) {
            if ((message.fFlags & FLAG_BIT_RECENT) && !(message.fState & VIEW_GONE)) nRecent++;
        }
        return nRecent;
    }
    for (const UidRange& range : view.recentUids) {
        size_t nFirst = messages.LowerBound(range.ulLow);
        nRecent += (range.ulHigh == UINT32_MAX ? messages.size() : messages.LowerBound(range.ulHigh + 1)) - nFirst;
    }
    for (size_t i = messages.NextWith(0, VIEW_GONE); i < messages.size(); i = messages.NextWith(i + 1, VIEW_GONE)) {
        if (HoldsRecent(view, messages[i].ulUid)) nRecent--;
    }
    return nRecent;
}

// UIDs come in ascending, so a run grows at its end, or a new one starts.
void AddRecent(MailboxView& view, uint32_t ulUid) {
    if (!view.recentUids.empty() && view.recentUids.back().ulHigh + 1 == ulUid) {
        view.recentUids.back().ulHigh = ulUid;
    } else if (view.recentUids.empty() || view.recentUids.back().ulHigh < ulUid) {
        view.recentUids.push_back(UidRange{ulUid, ulUid});
    }
}

bool SameMailbox(const MailboxView* pView, const Session* pSession) {
    return pView != nullptr && std::strcmp(pView->szMailbox, pSession->szMailbox) == 0;
}

// \Recent goes to the one session that first takes a new message in: it clears the file's
// Recent digit by a rename, which only one session can win. The digit keeps meaning "no session
// has seen this yet" for the import and the companion server.
void TakeRecent(MailboxView& view, ViewMessage& message) {
    if (view.bReadOnly || !(message.fFlags & FLAG_BIT_RECENT)) return;
    char szOld[MESSAGE_PATH_SIZE];
    char szNew[MESSAGE_PATH_SIZE];
    uint8_t fCleared = static_cast<uint8_t>(message.fFlags & ~FLAG_BIT_RECENT);
    if (!MessageFilePath(szOld, sizeof(szOld), view.szMailbox, message.ulUid, message.fFlags) ||
        !MessageFilePath(szNew, sizeof(szNew), view.szMailbox, message.ulUid, fCleared)) {
        return;
    }
    if (RenameMessageFile(view.szMailbox, szOld, szNew)) {
        message.fFlags = fCleared;
        AddRecent(view, message.ulUid);
        view.pIndex->NoteFlags(message.ulUid, fCleared);
    }
}

// Takes the flags the index holds for the view's message at n: gone, or changed elsewhere. The
// message is copied into the view's own block only when something changed.
void TakeFromIndex(MailboxView& view, size_t n) {
    const ViewMessage& listed = view.messages[n];
    IndexedMessage indexed;
    if (!view.pIndex->Find(listed.ulUid, &indexed)) {
        MarkGone(view, view.messages.Change(n));
        return;
    }
    if (indexed.fFlags == listed.fFlags) return;
    ViewMessage& message = view.messages.Change(n);
    // The Recent digit changes when a session takes \Recent; that is no flag change.
    if ((indexed.fFlags ^ message.fFlags) & ~FLAG_BIT_RECENT) MarkFlagsChanged(view, message);
    message.fFlags = indexed.fFlags;
}

// The position of the UID in the view, or size() when it holds none.
size_t FindInView(const ViewList& messages, uint32_t ulUid) {
    size_t n = messages.LowerBound(ulUid);
    return n < messages.size() && messages[n].ulUid == ulUid ? n : messages.size();
}

// The system flags a message is shown with, then its keywords; \Recent only where the client's
// protocol has it.
std::string FlagsText(const MailboxView& view, const ViewMessage& message, bool bRecent) {
    char szCode[7];
    ShownFlagCode(view, message, szCode);
    if (!bRecent) szCode[0] = '0';
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), message.ulUid, szCode);
    char szFlags[64];
    FormatFlagNames(szName, szFlags, sizeof(szFlags));
    std::string strFlags = szFlags;
    const std::string& strKeywords = ShownKeywords(view, message);
    if (!strKeywords.empty()) strFlags.append(strFlags.empty() ? "" : " ").append(strKeywords);
    return strFlags;
}

// The keywords of the mailbox as a flag list's tail: " $a $b", empty when there are none.
std::string KeywordListTail(MailboxIndex& index, size_t* pnCount) {
    std::vector<std::string> names = index.KeywordNames();
    std::string strTail;
    for (const std::string& name : names) strTail.append(" ").append(name);
    *pnCount = names.size();
    return strTail;
}

}  // namespace

void OpenView(Session* pSession, bool bReadOnly, int32_t* plExists, int32_t* plRecent, int32_t* plFirstUnseen) {
    pSession->pView.reset(new MailboxView{});
    MailboxView& view = *pSession->pView;
    static_cast<void>(FormatText(view.szMailbox, sizeof(view.szMailbox), "%s", pSession->szMailbox));
    view.bReadOnly = bReadOnly;
    ListResult result;
    view.pIndex = MailboxIndex::Open(view.szMailbox, &result);
    view.pKeywordSets = std::make_shared<const std::vector<std::string>>(1, std::string());
    // Read before the messages: a change made meanwhile is looked at again by the next refresh.
    view.ullModSeqSeen = view.pIndex->HighestModSeq();
    // Each block read is swapped at once for the one the other sessions share when they are
    // alike, so that opening a large mailbox does not cost a copy of it even for a moment.
    std::shared_ptr<const SharedViewList> pOffered = std::static_pointer_cast<const SharedViewList>(view.pIndex->SharedView());
    if (pOffered != nullptr && *pOffered->pKeywordSets != *view.pKeywordSets) pOffered = nullptr;
    bool bKeywords = false;
    view.pIndex->Visit([](size_t) {},
                       [&](const IndexedMessage& entry) {
                           // Marked for TakeKeywords below: the index may not be asked while it visits.
                           uint16_t wKeywords = (entry.fState & INDEXED_KEYWORDS) ? VIEW_KEYWORDS_UNLISTED : 0;
                           bKeywords = bKeywords || wKeywords != 0;
                           view.messages.push_back(ViewMessage{entry.ulUid, entry.fFlags, 0, wKeywords});
                           if (pOffered != nullptr && !bKeywords && view.messages.size() % ViewList::BLOCK == 0) {
                               view.messages.TakeSameBlocks(pOffered->blocks);
                           }
                       },
                       &view.ullGeneration);
    int32_t lRecent = 0;
    int32_t lFirstUnseen = 0;
    for (size_t i = 0; i < view.messages.size(); i++) {
        const ViewMessage& listed = view.messages[i];
        // Messages without keywords, most of them, cost nothing here.
        if (listed.wKeywords != 0) TakeKeywords(view, view.messages.Change(i));
        if (!view.bReadOnly && (view.messages[i].fFlags & FLAG_BIT_RECENT)) TakeRecent(view, view.messages.Change(i));
        const ViewMessage& message = view.messages[i];
        char szCode[7];
        ShownFlagCode(view, message, szCode);
        if (szCode[0] == '1') lRecent++;
        if (lFirstUnseen == 0 && !(message.fFlags & FLAG_BIT_SEEN)) {
            lFirstUnseen = static_cast<int32_t>(i + 1);
        }
    }
    view.ulHighestUid = view.messages.empty() ? 0 : view.messages.back().ulUid;
    if (plExists != nullptr) *plExists = static_cast<int32_t>(view.messages.size());
    if (plRecent != nullptr) *plRecent = lRecent;
    if (plFirstUnseen != nullptr) *plFirstUnseen = lFirstUnseen;
    ShareViewList(view);
}

bool RefuseReadOnly(Session* pSession) {
    // EXAMINE answered [READ-ONLY]: the client relies on nothing changing through this session.
    if (!pSession->bReadOnly) return false;
    FormatResponse(pSession, "%s NO [READ-ONLY] %s fails\r\n", pSession->pTag, pSession->pCommand);
    return true;
}

void CloseView(Session* pSession) { pSession->pView.reset(); }

MailboxView* CurrentView(Session* pSession) {
    if (!SameMailbox(pSession->pView.get(), pSession)) OpenView(pSession, true, nullptr, nullptr, nullptr);
    return pSession->pView.get();
}

void RefreshView(Session* pSession) {
    MailboxView& view = *CurrentView(pSession);
    MailboxIndex& index = *view.pIndex;
    // A directory that cannot be read now says nothing about its messages.
    if (index.Refresh() == LIST_FAILED) return;
    // Keywords change without a rename: what the mailbox's state says changed since the view
    // last looked is compared with what the view holds.
    uint64_t ullHighest = index.HighestModSeq();
    if (ullHighest != view.ullModSeqSeen) {
        std::vector<uint32_t> changedState;
        index.ChangedSince(view.ullModSeqSeen, &changedState);
        // A CONDSTORE client keeps each message's sequence, and must hear of a new one even when
        // the flags ended as they were (set and cleared again elsewhere between two looks).
        bool bCondStore = (pSession->fEnabled & ENABLED_CONDSTORE) != 0;
        std::sort(view.toldModSeqs.begin(), view.toldModSeqs.end());
        for (uint32_t ulUid : changedState) {
            size_t n = FindInView(view.messages, ulUid);
            if (n == view.messages.size() || (view.messages[n].fState & VIEW_GONE)) continue;
            ViewMessage message = view.messages[n];
            bool bChanged = TakeKeywords(view, message);
            if (!bChanged && bCondStore) {
                bChanged = !std::binary_search(view.toldModSeqs.begin(), view.toldModSeqs.end(),
                                               std::make_pair(ulUid, index.ModSeqOf(ulUid)));
            }
            if (bChanged) MarkFlagsChanged(view, message);
            if (!(message == view.messages[n])) view.messages.Change(n) = message;
        }
        view.ullModSeqSeen = ullHighest;
    }
    view.toldModSeqs.clear();
    std::vector<uint32_t> changed;
    uint64_t ullNow = 0;
    if (index.ChangesSince(view.ullGeneration, &changed, &ullNow)) {
        for (uint32_t ulUid : changed) {
            size_t n = FindInView(view.messages, ulUid);
            if (n != view.messages.size() && !(view.messages[n].fState & VIEW_GONE)) TakeFromIndex(view, n);
        }
    } else {
        for (size_t n = 0; n < view.messages.size(); n++) {
            if (!(view.messages[n].fState & VIEW_GONE)) TakeFromIndex(view, n);
        }
    }
    // Only UIDs above every UID the view has held can be new: a lower one cannot be given a
    // number without breaking the order of UIDs, and waits for the next SELECT.
    std::vector<IndexedMessage> above;
    uint64_t ullAbove = 0;
    index.MessagesAbove(view.ulHighestUid, &above, &ullAbove);
    view.incoming.clear();
    for (const IndexedMessage& entry : above) view.incoming.push_back(ViewMessage{entry.ulUid, entry.fFlags, 0, 0});
    // A change that came between the two reads is taken in again next time.
    view.ullGeneration = std::min(ullNow, ullAbove);
}

void AnnounceChanges(Session* pSession, bool bExpunges) {
    MailboxView* pView = pSession->pView.get();
    if (pSession->State != Imap4Selected || !SameMailbox(pView, pSession)) return;
    RefreshView(pSession);
    AnnounceKeywords(pSession, true);
    ViewList& messages = pView->messages;
    bool bNews = pView->bNews;
    if (bExpunges && bNews) {
        bool bAny = false;
        if (pSession->fEnabled & ENABLED_QRESYNC) {
            // Under QRESYNC one VANISHED line names them all by UID.
            std::vector<uint32_t> gone;
            for (const ViewMessage& message : messages) {
                if (message.fState & VIEW_GONE) gone.push_back(message.ulUid);
            }
            if (!gone.empty()) {
                std::string strSet;
                AppendUidSet(&strSet, gone);
                OutputFormat(pSession, "* VANISHED %s\r\n", strSet.c_str());
                bAny = true;
            }
        } else {
            // Highest first, so that the numbers still to be announced do not move.
            std::vector<size_t> gone;
            for (size_t i = messages.NextWith(0, VIEW_GONE); i < messages.size(); i = messages.NextWith(i + 1, VIEW_GONE)) {
                gone.push_back(i);
            }
            for (size_t i = gone.size(); i-- > 0;) {
                OutputFormat(pSession, "* %lu EXPUNGE\r\n", static_cast<unsigned long>(gone[i] + 1));
                bAny = true;
            }
        }
        if (bAny) messages.RemoveGone();
    }
    if (!pView->incoming.empty()) {
        for (ViewMessage& message : pView->incoming) {
            TakeKeywords(*pView, message);
            TakeRecent(*pView, message);
            messages.push_back(message);
        }
        pView->ulHighestUid = pView->incoming.back().ulUid;
        pView->incoming.clear();
        unsigned long ulRecent = static_cast<unsigned long>(CountRecent(*pView));
        OutputFormat(pSession, "* %lu EXISTS\r\n", static_cast<unsigned long>(messages.size()));
        if (!Imap4Rev2(pSession)) OutputFormat(pSession, "* %lu RECENT\r\n", ulRecent);
    }
    if (!bNews) {
        ShareViewList(*pView);
        return;
    }
    // Messages gone but not yet announced (no EXPUNGE may be sent now) stay news.
    bool bGoneLeft = false;
    constexpr uint8_t fNews = VIEW_GONE | VIEW_FLAGS_CHANGED;
    for (size_t i = messages.NextWith(0, fNews); i < messages.size(); i = messages.NextWith(i + 1, fNews)) {
        if (messages[i].fState & VIEW_GONE) {
            bGoneLeft = true;
            continue;
        }
        if (!(messages[i].fState & VIEW_FLAGS_CHANGED)) continue;
        ViewMessage& message = messages.Change(i);
        message.fState &= static_cast<uint8_t>(~VIEW_FLAGS_CHANGED);
        SendFlagsLine(pSession, static_cast<uint32_t>(i + 1), message, false, true);
    }
    pView->bNews = bGoneLeft;
    ShareViewList(*pView);
}

std::vector<SetElement> SavedResultSet(Session* pSession, bool bUid) {
    std::vector<SetElement> elements;
    MailboxView& view = *CurrentView(pSession);
    auto add = [&elements](uint32_t ulNumber) {
        if (!elements.empty() && elements.back().ulHigh + 1 == ulNumber) elements.back().ulHigh = ulNumber;
        else elements.push_back(SetElement{ulNumber, ulNumber});
    };
    for (uint32_t ulUid : view.savedUids) {
        if (bUid) {
            add(ulUid);
            continue;
        }
        // Without the UID prefix, the messages saved that the client still knows, by their numbers now.
        size_t n = FindInView(view.messages, ulUid);
        if (n != view.messages.size()) add(static_cast<uint32_t>(n + 1));
    }
    return elements;
}

bool TakeMessageSet(Session* pSession, const char** ppCursor, std::vector<SetElement>* pSet) {
    const char* p = *ppCursor;
    if (p[0] == '$' && (p[1] == '\0' || p[1] == ' ')) {
        *pSet = SavedResultSet(pSession, pSession->bUid != 0);
        *ppCursor = p + 1;
        return true;
    }
    return TakeSequenceSet(ppCursor, pSet);
}

bool ForEachMessage(Session* pSession, const char* pszSet, bool bUid,
                    const std::function<bool(uint32_t ulSequence, ViewMessage& message)>& fnMessage) {
    std::vector<SetElement> elements;
    if (std::strcmp(pszSet, "$") == 0) {
        ForEachMessage(pSession, SavedResultSet(pSession, bUid), bUid, fnMessage);
        return true;
    }
    if (!ParseMessageSet(pszSet, &elements)) return false;
    ForEachMessage(pSession, elements, bUid, fnMessage);
    return true;
}

void ForEachMessage(Session* pSession, const std::vector<SetElement>& elements, bool bUid,
                    const std::function<bool(uint32_t ulSequence, ViewMessage& message)>& fnMessage) {
    ForEachMessage(pSession, elements, bUid, true, fnMessage);
}

void ForEachMessage(Session* pSession, const std::vector<SetElement>& elements, bool bUid, bool bRefresh,
                    const std::function<bool(uint32_t ulSequence, ViewMessage& message)>& fnMessage) {
    if (bRefresh) RefreshView(pSession);
    MailboxView& view = *pSession->pView;
    ViewList& messages = view.messages;
    if (messages.empty()) return;
    uint32_t ulStar = bUid ? messages.back().ulUid : static_cast<uint32_t>(messages.size());
    bool bGoOn = true;
    for (size_t e = 0; e < elements.size() && bGoOn; e++) {
        uint32_t ulLow, ulHigh;
        ElementBounds(elements[e], ulStar, &ulLow, &ulHigh);
        size_t nFirst, nEnd;
        if (bUid) {
            nFirst = messages.LowerBound(ulLow);
            nEnd = ulHigh == UINT32_MAX ? messages.size() : messages.LowerBound(ulHigh + 1);
        } else {
            nFirst = ulLow - 1;
            nEnd = std::min<size_t>(ulHigh, messages.size());
        }
        for (size_t i = nFirst; i < nEnd && bGoOn; i++) {
            // Expunged elsewhere and not yet announced: the number stays, the message answers nothing.
            if (messages[i].fState & VIEW_GONE) continue;
            // The command may change it (flags, a name found moved): it is made this view's own.
            ViewMessage& message = messages.Change(i);
            ViewFileName(message, pSession->FindData.cFileName, sizeof(pSession->FindData.cFileName));
            pSession->FindData.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
            ShownFlagCode(view, message, pSession->szShownFlags);
            pSession->pszShownKeywords = ShownKeywords(view, message).c_str();
            bGoOn = fnMessage(static_cast<uint32_t>(i + 1), message);
        }
    }
    pSession->szShownFlags[0] = '\0';
    pSession->pszShownKeywords = nullptr;
}

bool ViewNamesCurrent(const Session* pSession) {
    return pSession->pView != nullptr && pSession->pView->pIndex->Watched();
}

bool ConfirmFileName(Session* pSession, ViewMessage& message) {
    const char* pszMailbox = pSession->pView->szMailbox;
    char szPath[MESSAGE_PATH_SIZE];
    bool bStill = !MessageFilePath(szPath, sizeof(szPath), pszMailbox, message.ulUid, message.fFlags) || PathExists(szPath);
    uint8_t fNow = message.fFlags;
    if (!bStill && !FindMessageFlags(pszMailbox, message.ulUid, &fNow)) {
        MarkGone(*pSession->pView, message);
        pSession->pView->pIndex->NoteRemoved(message.ulUid);
        return false;
    }
    if ((fNow ^ message.fFlags) & ~FLAG_BIT_RECENT) MarkFlagsChanged(*pSession->pView, message);
    if (fNow != message.fFlags) pSession->pView->pIndex->NoteFlags(message.ulUid, fNow);
    message.fFlags = fNow;
    ViewFileName(message, pSession->FindData.cFileName, sizeof(pSession->FindData.cFileName));
    ShownFlagCode(*pSession->pView, message, pSession->szShownFlags);
    return true;
}

namespace {

std::string KeywordSetText(MailboxIndex& index, uint32_t ulUid) {
    std::vector<std::string> keywords;
    std::string strSet;
    if (index.KeywordNamesOf(ulUid, &keywords)) {
        for (const std::string& keyword : keywords) strSet.append(strSet.empty() ? "" : " ").append(keyword);
    }
    return strSet;
}

}  // namespace

const std::string& ShownKeywords(const MailboxView& view, const ViewMessage& message) {
    if (message.wKeywords != VIEW_KEYWORDS_UNLISTED) return (*view.pKeywordSets)[message.wKeywords];
    view.strUnlisted = KeywordSetText(*view.pIndex, message.ulUid);
    return view.strUnlisted;
}

bool TakeKeywords(MailboxView& view, ViewMessage& message) {
    std::string strSet = KeywordSetText(*view.pIndex, message.ulUid);
    uint16_t wEntry = 0;
    if (!strSet.empty()) {
        const std::vector<std::string>& sets = *view.pKeywordSets;
        auto it = std::find(sets.begin(), sets.end(), strSet);
        if (it != sets.end()) {
            wEntry = static_cast<uint16_t>(it - sets.begin());
        } else if (sets.size() < VIEW_KEYWORDS_UNLISTED) {
            wEntry = static_cast<uint16_t>(sets.size());
            // Other views may share the sets: a new one makes a new table.
            auto pSets = std::make_shared<std::vector<std::string>>(sets);
            pSets->push_back(strSet);
            view.pKeywordSets = std::move(pSets);
        } else {
            wEntry = VIEW_KEYWORDS_UNLISTED;
        }
    }
    // An unlisted set cannot be compared: it is taken for changed.
    bool bChanged = wEntry != message.wKeywords || wEntry == VIEW_KEYWORDS_UNLISTED;
    message.wKeywords = wEntry;
    return bChanged;
}

void SendFlagsLine(Session* pSession, uint32_t ulSequence, const ViewMessage& message, bool bModSeqOnly, bool bUnasked) {
    const MailboxView& view = *pSession->pView;
    bool bCondStore = (pSession->fEnabled & ENABLED_CONDSTORE) != 0;
    bool bRev2 = Imap4Rev2(pSession);
    std::string strLine = "* " + std::to_string(ulSequence) + " FETCH (";
    // An IMAP4rev2 client is owed the UID of every flag change it did not ask for.
    if (pSession->bUid != 0 || bCondStore || (bRev2 && bUnasked)) strLine += "UID " + std::to_string(message.ulUid) + " ";
    if (!bModSeqOnly) strLine += "FLAGS (" + FlagsText(view, message, !bRev2) + ")";
    if (bCondStore) {
        strLine += bModSeqOnly ? "MODSEQ (" : " MODSEQ (";
        strLine += std::to_string(TellModSeq(*pSession->pView, message.ulUid)) + ")";
    }
    strLine += ")\r\n";
    OutputText(pSession, strLine.data(), strLine.size());
}

uint64_t ShownModSeq(MailboxIndex& index, uint32_t ulUid) {
    uint64_t ullModSeq = index.ModSeqOf(ulUid);
    if (ullModSeq != 0) return ullModSeq;
    // Listed before the state was last read: the read gives the message its sequence, which
    // another server may have given it below the mailbox's highest, and which every later
    // answer shows. The highest is for a message the index no longer holds.
    uint64_t ullHighest = index.HighestModSeq();
    ullModSeq = index.ModSeqOf(ulUid);
    return ullModSeq != 0 ? ullModSeq : ullHighest;
}

uint64_t TellModSeq(MailboxView& view, uint32_t ulUid) {
    uint64_t ullModSeq = ShownModSeq(*view.pIndex, ulUid);
    view.toldModSeqs.emplace_back(ulUid, ullModSeq);
    return ullModSeq;
}

void AnnounceKeywords(Session* pSession, bool bOnlyWhenNew) {
    MailboxView* pView = pSession->pView.get();
    if (pView == nullptr) return;
    size_t nCount = 0;
    std::string strTail = KeywordListTail(*pView->pIndex, &nCount);
    if (bOnlyWhenNew && nCount == pView->nKeywordsShown) return;
    pView->nKeywordsShown = nCount;
    OutputFormat(pSession, "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft%s)\r\n", strTail.c_str());
    // "\\*": a client may define a keyword by storing it, while the mailbox has room for one.
    OutputFormat(pSession, "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft%s%s)] Flags kept\r\n",
                 strTail.c_str(), pView->pIndex->KeywordCount() < Settings.MaxKeywords ? " \\*" : "");
}

void ViewFileName(const ViewMessage& message, char* pszName, size_t nSize) {
    char szCode[7];
    FlagCodeOf(message.fFlags, szCode);
    FormatMessageName(pszName, nSize, message.ulUid, szCode);
}

void ShownFlagCode(const MailboxView& view, const ViewMessage& message, char* pszCode) {
    FlagCodeOf(message.fFlags, pszCode);
    if (!view.bReadOnly) pszCode[0] = HoldsRecent(view, message.ulUid) ? '1' : '0';
}

StoreResult ChangeFlags(Session* pSession, ViewMessage& message, uint8_t fSet, uint8_t fClear) {
    const char* pszMailbox = pSession->pView->szMailbox;
    fSet = static_cast<uint8_t>(fSet & ~FLAG_BIT_RECENT);
    fClear = static_cast<uint8_t>(fClear & ~FLAG_BIT_RECENT);
    // Another session may rename the file between the listing and this rename: the change is
    // then made again on what that session stored, so that neither change is lost.
    // A rename that keeps failing on the same name is a real failure.
    for (int nTry = 0; nTry < 8; nTry++) {
        uint8_t fTarget = static_cast<uint8_t>((message.fFlags | fSet) & ~fClear);
        if (fTarget == message.fFlags) return STORE_CHANGED;
        char szOld[MESSAGE_PATH_SIZE];
        char szNew[MESSAGE_PATH_SIZE];
        if (!MessageFilePath(szOld, sizeof(szOld), pszMailbox, message.ulUid, message.fFlags) ||
            !MessageFilePath(szNew, sizeof(szNew), pszMailbox, message.ulUid, fTarget)) {
            return STORE_FAILED;
        }
        TracePrint("MoveFile(%s -> %s)\n", szOld, szNew);
        ClearFileFailure();
        if (RenameMessageFile(pszMailbox, szOld, szNew)) {
            message.fFlags = fTarget;
            pSession->pView->pIndex->NoteFlags(message.ulUid, fTarget);
            return STORE_CHANGED;
        }
        // The name the index knew may be gone only to another machine's rename that this
        // machine's caches do not show yet, or be on its way out (the new name already taken):
        // it is not believed again.
        uint8_t fNow = 0;
        FileFailure failure = LastFileFailure();
        bool bFound = failure == FILE_FAILURE_MISSING || failure == FILE_FAILURE_EXISTS
                          ? FindMovedMessageFlags(pszMailbox, message.ulUid, message.fFlags, &fNow)
                          : FindMessageFlags(pszMailbox, message.ulUid, &fNow);
        if (!bFound) {
            MarkGone(*pSession->pView, message);
            pSession->pView->pIndex->NoteRemoved(message.ulUid);
            return STORE_GONE;
        }
        if (fNow != message.fFlags) pSession->pView->pIndex->NoteFlags(message.ulUid, fNow);
        message.fFlags = fNow;
    }
    return STORE_FAILED;
}

bool ExpungeDeleted(Session* pSession, const std::vector<SetElement>* pUids) {
    MailboxView& view = *CurrentView(pSession);
    uint32_t ulStar = view.messages.empty() ? 0 : view.messages.back().ulUid;
    bool bAllGone = true;
    for (size_t n = 0; n < view.messages.size(); n++) {
        const ViewMessage& listed = view.messages[n];
        if ((listed.fState & VIEW_GONE) || !(listed.fFlags & FLAG_BIT_DELETED)) continue;
        if (pUids != nullptr && !SetContains(*pUids, listed.ulUid, ulStar)) continue;
        ViewMessage& message = view.messages.Change(n);
        char szPath[MESSAGE_PATH_SIZE];
        if (!MessageFilePath(szPath, sizeof(szPath), view.szMailbox, message.ulUid, message.fFlags)) continue;
        if (DeleteFileEntry(szPath)) {
            MarkGone(view, message);
            view.pIndex->NoteRemoved(message.ulUid);
            continue;
        }
        // Renamed or removed by another session meanwhile: what counts is what is there now, and
        // the name that could not be removed is not believed again.
        uint8_t fNow = 0;
        if (!FindMovedMessageFlags(view.szMailbox, message.ulUid, message.fFlags, &fNow)) {
            MarkGone(view, message);
            continue;
        }
        if (fNow != message.fFlags) MarkFlagsChanged(view, message);
        message.fFlags = fNow;
        if (!(fNow & FLAG_BIT_DELETED)) continue;
        if (MessageFilePath(szPath, sizeof(szPath), view.szMailbox, message.ulUid, fNow) && DeleteFileEntry(szPath)) {
            MarkGone(view, message);
            view.pIndex->NoteRemoved(message.ulUid);
        } else {
            bAllGone = false;
        }
    }
    return bAllGone;
}
