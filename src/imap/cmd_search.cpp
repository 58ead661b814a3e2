// SEARCH and UID SEARCH: the criteria are parsed whole first, then every message of the mailbox
// is tested in listing order. Flags, sets and sizes are answered from the file name and one stat;
// a message file is opened only when a header, date or text key still decides. With RETURN the
// answer is an ESEARCH line, the result can be saved for "$", and a search can be kept up to date.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "imap/args.h"
#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/resync.h"
#include "imap/response.h"
#include "imap/search.h"
#include "imap/search_return.h"
#include "imap/sort_keys.h"
#include "imap/view.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

// More searches kept up to date than this are refused: each one is evaluated after every command.
constexpr size_t MAX_SEARCH_UPDATES = 16;

// Every message of the view that matches, by sequence number and by UID, ascending, and the
// highest modification sequence among them when the criteria name MODSEQ. Messages whose file is
// gone match nothing.
void FindMatches(Session* pSession, const SearchQuery& query, std::vector<uint32_t>* pSequences,
                 std::vector<uint32_t>* pUids, uint64_t* pullHighestFound = nullptr) {
    const ViewList& messages = pSession->pView->messages;
    // Sizes and dates are stat'ed by the search itself, only where a key asks for them.
    const long lSecondsWest = SearchReadsEntry(query) ? ReadZone().lSecondsWest : 0;
    bool bModSeq = SearchAsksModSeq(query);
    uint64_t ullHighestFound = 0;
    for (size_t i = 0; i < messages.size(); i++) {
        uint64_t ullModSeq = 0;
        if (!ViewMessageMatches(pSession, query, i, lSecondsWest, bModSeq, &ullModSeq)) continue;
        if (pSequences != nullptr) pSequences->push_back(static_cast<uint32_t>(i + 1));
        if (pUids != nullptr) pUids->push_back(messages[i].ulUid);
        if (ullModSeq > ullHighestFound) ullHighestFound = ullModSeq;
    }
    if (pullHighestFound != nullptr) *pullHighestFound = ullHighestFound;
}

// Messages that come or go together: where in the result (1-based; 0 for a search's result,
// where the client places each number itself) and the UIDs, in the result's order.
struct UpdateRun {
    uint32_t ulPosition;
    std::vector<uint32_t> uids;
};

// The changes from one sorted result to the next as runs. Removals come back to front, so that
// each position is the one the message has in the result the client holds, whether or not it has
// applied the runs before it; additions come front to back, each at the position it ends at. A
// message whose place among the others changed (its file was written anew) goes and comes back.
void DiffOrders(const std::vector<uint32_t>& before, const std::vector<uint32_t>& after, std::vector<UpdateRun>* pRemoved,
                std::vector<UpdateRun>* pAdded) {
    std::unordered_map<uint32_t, size_t> placeAfter;
    for (size_t i = 0; i < after.size(); i++) placeAfter.emplace(after[i], i);
    std::vector<bool> keptBefore(before.size()), keptAfter(after.size());
    size_t nNext = 0;  // a message kept must come after the last one kept
    for (size_t i = 0; i < before.size(); i++) {
        auto it = placeAfter.find(before[i]);
        if (it == placeAfter.end() || it->second < nNext) continue;
        keptBefore[i] = keptAfter[it->second] = true;
        nNext = it->second + 1;
    }
    auto runs = [](const std::vector<uint32_t>& list, const std::vector<bool>& kept, std::vector<UpdateRun>* pRuns) {
        for (size_t i = 0; i < list.size(); i++) {
            if (kept[i]) continue;
            if (i == 0 || kept[i - 1]) pRuns->push_back(UpdateRun{static_cast<uint32_t>(i + 1), {}});
            pRuns->back().uids.push_back(list[i]);
        }
    };
    runs(before, keptBefore, pRemoved);
    std::reverse(pRemoved->begin(), pRemoved->end());
    runs(after, keptAfter, pAdded);
}

// The sequence number the view gives a UID now; 0 when it holds no such message.
uint32_t SequenceOf(const MailboxView& view, uint32_t ulUid) {
    auto it = std::lower_bound(view.messages.begin(), view.messages.end(), ulUid,
                               [](const ViewMessage& m, uint32_t ulValue) { return m.ulUid < ulValue; });
    return it != view.messages.end() && it->ulUid == ulUid ? static_cast<uint32_t>(it - view.messages.begin() + 1) : 0;
}

// One ADDTO or REMOVEFROM line: "(position set position set ...)". The numbers are UIDs or
// sequence numbers as the client asked; one already expunged and announced has no number left to
// name, and a run left with none is not told.
void SendUpdate(Session* pSession, const SearchUpdate& update, const char* pszWhat, const std::vector<UpdateRun>& runs) {
    std::string text;
    char szPosition[16];
    for (const UpdateRun& run : runs) {
        std::vector<uint32_t> numbers;
        for (uint32_t ulUid : run.uids) {
            uint32_t ulNumber = update.bUid ? ulUid : SequenceOf(*pSession->pView, ulUid);
            if (ulNumber != 0) numbers.push_back(ulNumber);
        }
        if (numbers.empty()) continue;
        static_cast<void>(FormatText(szPosition, sizeof(szPosition), "%lu ", static_cast<unsigned long>(run.ulPosition)));
        if (!text.empty()) text += ' ';
        text += szPosition;
        text += FormatNumberSet(numbers);
    }
    if (text.empty()) return;
    OutputAtom(pSession, "* ESEARCH (TAG ");
    OutputString(pSession, update.strTag.data(), update.strTag.size());
    OutputAtom(pSession, update.bUid ? ") UID " : ") ");
    OutputAtom(pSession, pszWhat);
    OutputAtom(pSession, " (");
    OutputText(pSession, text.data(), text.size());
    OutputAtom(pSession, ")");
    OutputLineEnd(pSession);
}

// A search's result as one run at position 0.
std::vector<UpdateRun> Unplaced(std::vector<uint32_t> uids) {
    std::vector<UpdateRun> runs;
    if (!uids.empty()) runs.push_back(UpdateRun{0, std::move(uids)});
    return runs;
}

}  // namespace

void ResolveSavedResult(Session* pSession, SearchQuery* pQuery) {
    for (SearchNode& node : pQuery->nodes) {
        if (node.kind != SK_SAVED) continue;
        node.kind = SK_UIDS;
        node.set = SavedResultSet(pSession, true);
        // Nothing saved: a set no message is in.
        if (node.set.empty()) node.kind = SK_CONST, node.bValue = false;
    }
}

void KeepForUpdates(Session* pSession, const SearchQuery& query, const std::vector<uint32_t>& uids,
                    const std::string& strSortCriteria) {
    std::vector<SearchUpdate>& updates = pSession->pView->updates;
    auto it = std::find_if(updates.begin(), updates.end(),
                           [&](const SearchUpdate& update) { return update.strTag == pSession->pTag; });
    if (it == updates.end()) {
        if (updates.size() >= MAX_SEARCH_UPDATES) {
            OutputAtom(pSession, "* NO [NOUPDATE ");
            OutputString(pSession, pSession->pTag, strlen(pSession->pTag));
            OutputAtom(pSession, "] Too many searches kept up to date");
            OutputLineEnd(pSession);
            return;
        }
        it = updates.emplace(updates.end());
    }
    it->strTag = pSession->pTag;
    it->bUid = pSession->bUid != 0;
    it->query = query;
    it->strSortCriteria = strSortCriteria;
    it->uids = uids;
    it->ullGeneration = pSession->pView->ullGeneration;
    it->nMessages = pSession->pView->messages.size();
}

void AnswerWithReturn(Session* pSession, const SearchReturn& options, const SearchQuery& query,
                      const std::vector<uint32_t>& numbers,
                      const std::vector<uint32_t>& uids, EsearchExtra extra, const std::string& strSortCriteria) {
    MailboxView& view = *pSession->pView;
    // SAVE alone asks for no answer but the tagged one.
    if ((options.fOptions & ~(RETURN_SAVE | RETURN_CONTEXT)) != 0) {
        // MIN and MAX alone answer for those messages only, and so does their MODSEQ.
        uint32_t fAnswered = options.fOptions & (RETURN_MIN | RETURN_MAX | RETURN_ALL | RETURN_COUNT | RETURN_PARTIAL);
        if (extra.ullModSeq != 0 && !uids.empty() && (fAnswered & ~(RETURN_MIN | RETURN_MAX)) == 0) {
            MailboxIndex& index = *view.pIndex;
            auto [ulFirst, ulLast] = extra.bOrdered ? std::pair(uids.front(), uids.back())
                                                    : std::pair(*std::min_element(uids.begin(), uids.end()),
                                                                *std::max_element(uids.begin(), uids.end()));
            extra.ullModSeq = 0;
            if (fAnswered & RETURN_MIN) extra.ullModSeq = ShownModSeq(index, ulFirst);
            if (fAnswered & RETURN_MAX) extra.ullModSeq = std::max(extra.ullModSeq, ShownModSeq(index, ulLast));
        }
        OutputEsearch(pSession, options, numbers, pSession->bUid != 0, extra);
    }
    if (options.fOptions & RETURN_SAVE) view.savedUids = SavedPart(options, uids, extra.bOrdered);
    if (options.fOptions & RETURN_UPDATE) KeepForUpdates(pSession, query, uids, strSortCriteria);
}

namespace {

// What a search asks of the index for one message: its kept header fields, held for as long as
// the message is tested.
struct KeptFieldsRequest {
    Session* pSession;
    size_t nIndex;
    std::shared_ptr<const SortKeys> pKeys;
};

const KeptSearchFields* KeptFieldsOf(void* pContext, bool bRead) {
    KeptFieldsRequest& request = *static_cast<KeptFieldsRequest*>(pContext);
    MailboxView& view = *request.pSession->pView;
    ViewMessage listed = view.messages[request.nIndex];
    request.pKeys = bRead ? LoadSortKeys(request.pSession, listed) : FindSortKeys(*view.pIndex, listed.ulUid);
    // A file found renamed or gone meanwhile changes the view's message, and only then.
    if (!(listed == view.messages[request.nIndex])) view.messages.Change(request.nIndex) = listed;
    return request.pKeys != nullptr ? &request.pKeys->search : nullptr;
}

}  // namespace

bool ViewMessageMatches(Session* pSession, const SearchQuery& query, size_t nIndex, long lSecondsWest, bool bModSeq,
                        uint64_t* pullModSeq) {
    *pullModSeq = 0;
    const MailboxView& view = *pSession->pView;
    const ViewMessage& listed = view.messages[nIndex];
    if (listed.fState & VIEW_GONE) return false;
    // ALL, as SORT and THREAD are most often asked, needs nothing of the message.
    const SearchNode& root = query.nodes[static_cast<size_t>(query.nRoot)];
    if (root.kind == SK_CONST && !bModSeq) return root.bValue;
    // The file's path only for a query that may stat or read the file: formatting it cost more
    // than the whole test of a flag or a sequence set.
    char szPath[MESSAGE_PATH_SIZE];
    szPath[0] = '\0';
    if (SearchReadsEntry(query) || SearchReadsContent(query)) {
        char szName[MESSAGE_NAME_LENGTH + 1];
        ViewFileName(listed, szName, sizeof(szName));
        if (!MailboxFilePath(szPath, sizeof(szPath), pSession->szMailbox, szName)) return false;
    }
    // Flags as the client is shown them: \Recent as this session holds it.
    char szCode[FLAG_COUNT + 1];
    ShownFlagCode(view, listed, szCode);
    uint64_t ullModSeq = bModSeq ? ShownModSeq(*view.pIndex, listed.ulUid) : 0;
    SearchMessage message{szPath, szCode, static_cast<uint32_t>(nIndex + 1), listed.ulUid,
                          static_cast<uint32_t>(view.messages.size()), view.messages.back().ulUid, lSecondsWest,
                          ShownKeywords(view, listed).c_str(), ullModSeq};
    KeptFieldsRequest request{pSession, nIndex, nullptr};
    message.pfnKept = KeptFieldsOf;
    message.pContext = &request;
    *pullModSeq = ullModSeq;
    return SearchMatches(query, message);
}

bool RefuseRecentKeys(Session* pSession, const SearchQuery& query) {
    if (!Imap4Rev2(pSession)) return false;
    bool bRecent = std::any_of(query.nodes.begin(), query.nodes.end(),
                               [](const SearchNode& node) { return node.kind == SK_FLAG && node.nFlag == 0; });
    if (bRecent) {
        FormatResponse(pSession, "%s BAD %s: IMAP4rev2 has no \\Recent to search for\r\n", pSession->pTag,
                       pSession->pCommand);
    }
    return bRecent;
}

int CmdSearch(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    // UID SEARCH with nothing after it leaves its own word as the arguments.
    const char* pszArgs = pSession->pArgs;
    if (pszArgs == nullptr || pszArgs == pSession->pCommand || *pszArgs == '\0') {
        FormatResponse(pSession, "%s BAD %s needs search criteria\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    MailboxView& view = *CurrentView(pSession);
    SearchReturn options;
    std::string strError;
    SearchQuery query;
    SearchParseResult parsed = SEARCH_BAD;
    if (!TakeSearchReturn(&pszArgs, &options, &strError)) {
        // A search that fails (and may have asked to SAVE) leaves "$" empty, so that "$" never
        // names what the client did not ask for.
        view.savedUids.clear();
        FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
        return 1;
    }
    parsed = ParseSearch(pszArgs, strlen(pszArgs), &query, &strError);
    if (parsed != SEARCH_PARSED && (options.fOptions & RETURN_SAVE)) view.savedUids.clear();
    switch (parsed) {
        case SEARCH_PARSED:
            break;
        case SEARCH_BAD_CHARSET:
            FormatResponse(pSession, "%s NO [BADCHARSET (US-ASCII UTF-8)] %s charset not supported\r\n",
                           pSession->pTag, pSession->pCommand);
            return 1;
        case SEARCH_BAD:
            FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
            return 1;
    }
    if (RefuseRecentKeys(pSession, query)) {
        if (options.fOptions & RETURN_SAVE) view.savedUids.clear();
        return 1;
    }
    // IMAP4rev2 answers every search with ESEARCH, all the numbers when nothing else was asked.
    if (!options.bExtended && Imap4Rev2(pSession)) {
        options.bExtended = true;
        options.fOptions = RETURN_ALL;
    }

    // The messages are those the client was told of, numbered as it was told; one expunged
    // elsewhere keeps its number and matches nothing.
    RefreshView(pSession);
    ResolveSavedResult(pSession, &query);
    // MODSEQ turns CONDSTORE on, and the answer then names the highest sequence it found.
    if (SearchAsksModSeq(query)) EnableCondStore(pSession);
    std::vector<uint32_t> sequences;
    std::vector<uint32_t> uids;
    EsearchExtra extra;
    FindMatches(pSession, query, &sequences, &uids, &extra.ullModSeq);
    bool bUid = pSession->bUid != 0;
    const std::vector<uint32_t>& numbers = bUid ? uids : sequences;

    if (!options.bExtended) {
        OutputNumberList(pSession, "SEARCH", numbers, extra.ullModSeq);
    } else {
        AnswerWithReturn(pSession, options, query, numbers, uids, extra);
    }
    RespondCompleted(pSession);
    return 1;
}

int CmdCancelUpdate(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    std::vector<SearchUpdate>& updates = CurrentView(pSession)->updates;
    // One or more quoted tags; a tag not kept up to date is no error.
    std::vector<std::string> tags;
    const char* p = pSession->pArgs;
    for (;;) {
        char szTag[256];
        if (!TakeString(&p, szTag, sizeof(szTag))) {
            RespondIllegalArgument(pSession);
            return 1;
        }
        tags.push_back(szTag);
        if (*p == '\0') break;
        if (!TakeBlank(&p)) {
            RespondIllegalArgument(pSession);
            return 1;
        }
    }
    for (const std::string& tag : tags) {
        updates.erase(std::remove_if(updates.begin(), updates.end(),
                                     [&](const SearchUpdate& update) { return update.strTag == tag; }),
                      updates.end());
    }
    RespondCompleted(pSession);
    return 1;
}

void AnnounceSearchRemovals(Session* pSession) {
    MailboxView* pView = pSession->pView.get();
    if (pSession->State != Imap4Selected || pView == nullptr || pView->updates.empty()) return;
    if (std::strcmp(pView->szMailbox, pSession->szMailbox) != 0) return;
    RefreshView(pSession);
    if (!pView->bNews) return;
    for (SearchUpdate& update : pView->updates) {
        std::vector<uint32_t> kept;
        kept.reserve(update.uids.size());
        for (uint32_t ulUid : update.uids) {
            uint32_t ulSequence = SequenceOf(*pView, ulUid);
            if (ulSequence == 0 || !(pView->messages[ulSequence - 1].fState & VIEW_GONE)) kept.push_back(ulUid);
        }
        if (kept.size() == update.uids.size()) continue;
        std::vector<UpdateRun> removed, added;
        if (update.strSortCriteria.empty()) {
            std::vector<uint32_t> gone;
            std::set_difference(update.uids.begin(), update.uids.end(), kept.begin(), kept.end(), std::back_inserter(gone));
            removed = Unplaced(std::move(gone));
        } else {
            DiffOrders(update.uids, kept, &removed, &added);
        }
        SendUpdate(pSession, update, "REMOVEFROM", removed);
        update.uids.swap(kept);
    }
}

void AnnounceSearchUpdates(Session* pSession) {
    MailboxView* pView = pSession->pView.get();
    if (pSession->State != Imap4Selected || pView == nullptr || pView->updates.empty()) return;
    if (std::strcmp(pView->szMailbox, pSession->szMailbox) != 0) return;
    for (SearchUpdate& update : pView->updates) {
        if (update.ullGeneration == pView->ullGeneration && update.nMessages == pView->messages.size()) continue;
        update.ullGeneration = pView->ullGeneration;
        update.nMessages = pView->messages.size();
        auto waiting = [&](uint32_t ulUid) {
            uint32_t ulSequence = SequenceOf(*pView, ulUid);
            return ulSequence != 0 && (pView->messages[ulSequence - 1].fState & VIEW_GONE);
        };
        std::vector<uint32_t> now;
        std::vector<UpdateRun> removed, added;
        if (update.strSortCriteria.empty()) {
            FindMatches(pSession, update.query, nullptr, &now);
            // A message gone that may not be announced yet stays in the result until its EXPUNGE.
            for (uint32_t ulUid : update.uids) {
                if (waiting(ulUid)) now.push_back(ulUid);
            }
            std::sort(now.begin(), now.end());
            std::vector<uint32_t> gained, lost;
            std::set_difference(now.begin(), now.end(), update.uids.begin(), update.uids.end(), std::back_inserter(gained));
            std::set_difference(update.uids.begin(), update.uids.end(), now.begin(), now.end(), std::back_inserter(lost));
            removed = Unplaced(std::move(lost)), added = Unplaced(std::move(gained));
        } else {
            std::vector<uint32_t> found = SortedMatches(pSession, update);
            // A message gone whose EXPUNGE waits keeps its place: right after the message it
            // followed that is still found, or first.
            std::unordered_map<uint32_t, size_t> placeFound;
            for (size_t i = 0; i < found.size(); i++) placeFound.emplace(found[i], i + 1);
            std::vector<std::vector<uint32_t>> waitingAfter(found.size() + 1);
            size_t nAnchor = 0;
            for (uint32_t ulUid : update.uids) {
                auto it = placeFound.find(ulUid);
                if (it != placeFound.end()) nAnchor = it->second;
                else if (waiting(ulUid)) waitingAfter[nAnchor].push_back(ulUid);
            }
            now.reserve(found.size() + update.uids.size());
            for (size_t i = 0; i <= found.size(); i++) {
                if (i > 0) now.push_back(found[i - 1]);
                now.insert(now.end(), waitingAfter[i].begin(), waitingAfter[i].end());
            }
            DiffOrders(update.uids, now, &removed, &added);
        }
        SendUpdate(pSession, update, "REMOVEFROM", removed);
        SendUpdate(pSession, update, "ADDTO", added);
        update.uids.swap(now);
    }
}
