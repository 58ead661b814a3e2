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

namespace {

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
        message.fState |= VIEW_RECENT;
        view.pIndex->NoteFlags(message.ulUid, fCleared);
    }
}

// Takes the flags the index holds for a message of the view: gone, or changed elsewhere.
void TakeFromIndex(MailboxView& view, ViewMessage& message) {
    IndexedMessage indexed;
    if (!view.pIndex->Find(message.ulUid, &indexed)) {
        MarkGone(view, message);
        return;
    }
    // The Recent digit changes when a session takes \Recent; that is no flag change.
    if ((indexed.fFlags ^ message.fFlags) & ~FLAG_BIT_RECENT) MarkFlagsChanged(view, message);
    message.fFlags = indexed.fFlags;
}

ViewMessage* FindInView(std::vector<ViewMessage>& messages, uint32_t ulUid) {
    auto it = std::lower_bound(messages.begin(), messages.end(), ulUid,
                               [](const ViewMessage& m, uint32_t u) { return m.ulUid < u; });
    return it != messages.end() && it->ulUid == ulUid ? &*it : nullptr;
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
    view.keywordSets.assign(1, std::string());
    // Read before the messages: a change made meanwhile is looked at again by the next refresh.
    view.ullModSeqSeen = view.pIndex->HighestModSeq();
    view.pIndex->Visit([&](size_t nCount) { view.messages.reserve(nCount); },
                       [&](const IndexedMessage& entry) {
                           // Marked for TakeKeywords below: the index may not be asked while it visits.
                           uint16_t wKeywords = (entry.fState & INDEXED_KEYWORDS) ? VIEW_KEYWORDS_UNLISTED : 0;
                           view.messages.push_back(ViewMessage{entry.ulUid, entry.fFlags, 0, wKeywords});
                       },
                       &view.ullGeneration);
    int32_t lRecent = 0;
    int32_t lFirstUnseen = 0;
    for (size_t i = 0; i < view.messages.size(); i++) {
        ViewMessage& message = view.messages[i];
        // Messages without keywords, most of them, cost nothing here.
        if (message.wKeywords != 0) TakeKeywords(view, message);
        TakeRecent(view, message);
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
            ViewMessage* pMessage = FindInView(view.messages, ulUid);
            if (pMessage == nullptr || (pMessage->fState & VIEW_GONE)) continue;
            bool bChanged = TakeKeywords(view, *pMessage);
            if (!bChanged && bCondStore) {
                bChanged = !std::binary_search(view.toldModSeqs.begin(), view.toldModSeqs.end(),
                                               std::make_pair(ulUid, index.ModSeqOf(ulUid)));
            }
            if (bChanged) MarkFlagsChanged(view, *pMessage);
        }
        view.ullModSeqSeen = ullHighest;
    }
    view.toldModSeqs.clear();
    std::vector<uint32_t> changed;
    uint64_t ullNow = 0;
    if (index.ChangesSince(view.ullGeneration, &changed, &ullNow)) {
        for (uint32_t ulUid : changed) {
            ViewMessage* pMessage = FindInView(view.messages, ulUid);
            if (pMessage != nullptr && !(pMessage->fState & VIEW_GONE)) TakeFromIndex(view, *pMessage);
        }
    } else {
        for (ViewMessage& message : view.messages) {
            if (!(message.fState & VIEW_GONE)) TakeFromIndex(view, message);
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
    std::vector<ViewMessage>& messages = pView->messages;
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
            for (size_t i = messages.size(); i-- > 0;) {
                if (!(messages[i].fState & VIEW_GONE)) continue;
                OutputFormat(pSession, "* %lu EXPUNGE\r\n", static_cast<unsigned long>(i + 1));
                bAny = true;
            }
        }
        if (bAny) {
            messages.erase(std::remove_if(messages.begin(), messages.end(),
                                          [](const ViewMessage& m) { return (m.fState & VIEW_GONE) != 0; }),
                           messages.end());
        }
    }
    if (!pView->incoming.empty()) {
        for (ViewMessage& message : pView->incoming) {
            TakeKeywords(*pView, message);
            TakeRecent(*pView, message);
            messages.push_back(message);
        }
        pView->ulHighestUid = pView->incoming.back().ulUid;
        pView->incoming.clear();
        unsigned long ulRecent = 0;
        for (const ViewMessage& message : messages) {
            char szCode[7];
            ShownFlagCode(*pView, message, szCode);
            if (szCode[0] == '1' && !(message.fState & VIEW_GONE)) ulRecent++;
        }
        OutputFormat(pSession, "* %lu EXISTS\r\n", static_cast<unsigned long>(messages.size()));
        if (!Imap4Rev2(pSession)) OutputFormat(pSession, "* %lu RECENT\r\n", ulRecent);
    }
    if (!bNews) return;
    // Messages gone but not yet announced (no EXPUNGE may be sent now) stay news.
    bool bGoneLeft = false;
    for (size_t i = 0; i < messages.size(); i++) {
        ViewMessage& message = messages[i];
        if (message.fState & VIEW_GONE) {
            bGoneLeft = true;
            continue;
        }
        if (!(message.fState & VIEW_FLAGS_CHANGED)) continue;
        message.fState &= static_cast<uint8_t>(~VIEW_FLAGS_CHANGED);
        SendFlagsLine(pSession, static_cast<uint32_t>(i + 1), message, false, true);
    }
    pView->bNews = bGoneLeft;
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
        auto it = std::lower_bound(view.messages.begin(), view.messages.end(), ulUid,
                                   [](const ViewMessage& m, uint32_t ulValue) { return m.ulUid < ulValue; });
        if (it != view.messages.end() && it->ulUid == ulUid) add(static_cast<uint32_t>(it - view.messages.begin() + 1));
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
    std::vector<ViewMessage>& messages = view.messages;
    if (messages.empty()) return;
    uint32_t ulStar = bUid ? messages.back().ulUid : static_cast<uint32_t>(messages.size());
    bool bGoOn = true;
    for (size_t e = 0; e < elements.size() && bGoOn; e++) {
        uint32_t ulLow, ulHigh;
        ElementBounds(elements[e], ulStar, &ulLow, &ulHigh);
        size_t nFirst, nEnd;
        if (bUid) {
            auto byUid = [](const ViewMessage& m, uint32_t ulUid) { return m.ulUid < ulUid; };
            nFirst = static_cast<size_t>(std::lower_bound(messages.begin(), messages.end(), ulLow, byUid) -
                                         messages.begin());
            nEnd = static_cast<size_t>(
                std::upper_bound(messages.begin(), messages.end(), ulHigh,
                                 [](uint32_t ulUid, const ViewMessage& m) { return ulUid < m.ulUid; }) -
                messages.begin());
        } else {
            nFirst = ulLow - 1;
            nEnd = std::min<size_t>(ulHigh, messages.size());
        }
        for (size_t i = nFirst; i < nEnd && bGoOn; i++) {
            ViewMessage& message = messages[i];
            // Expunged elsewhere and not yet announced: the number stays, the message answers nothing.
            if (message.fState & VIEW_GONE) continue;
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
    if (message.wKeywords != VIEW_KEYWORDS_UNLISTED) return view.keywordSets[message.wKeywords];
    view.strUnlisted = KeywordSetText(*view.pIndex, message.ulUid);
    return view.strUnlisted;
}

bool TakeKeywords(MailboxView& view, ViewMessage& message) {
    std::string strSet = KeywordSetText(*view.pIndex, message.ulUid);
    uint16_t wEntry = 0;
    if (!strSet.empty()) {
        auto it = std::find(view.keywordSets.begin(), view.keywordSets.end(), strSet);
        if (it != view.keywordSets.end()) {
            wEntry = static_cast<uint16_t>(it - view.keywordSets.begin());
        } else if (view.keywordSets.size() < VIEW_KEYWORDS_UNLISTED) {
            wEntry = static_cast<uint16_t>(view.keywordSets.size());
            view.keywordSets.push_back(strSet);
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
    return ullModSeq != 0 ? ullModSeq : index.HighestModSeq();
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
    if (!view.bReadOnly) pszCode[0] = (message.fState & VIEW_RECENT) ? '1' : '0';
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
    for (ViewMessage& message : view.messages) {
        if ((message.fState & VIEW_GONE) || !(message.fFlags & FLAG_BIT_DELETED)) continue;
        if (pUids != nullptr && !SetContains(*pUids, message.ulUid, ulStar)) continue;
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
