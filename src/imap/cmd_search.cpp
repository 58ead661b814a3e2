// SEARCH and UID SEARCH: the criteria are parsed whole first, then every message of the mailbox
// is tested in listing order. Flags, sets and sizes are answered from the file name and one stat;
// a message file is opened only when a header, date or text key still decides. With RETURN the
// answer is an ESEARCH line, the result can be saved for "$", and a search can be kept up to date.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
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

// "$" in the criteria: the saved UIDs as they are when the search starts.
void ResolveSaved(Session* pSession, SearchQuery* pQuery) {
    for (SearchNode& node : pQuery->nodes) {
        if (node.kind != SK_SAVED) continue;
        node.kind = SK_UIDS;
        node.set = SavedResultSet(pSession, true);
        // Nothing saved: a set no message is in.
        if (node.set.empty()) node.kind = SK_CONST, node.bValue = false;
    }
}

// Every message of the view that matches, by sequence number and by UID, ascending, and the
// highest modification sequence among them when the criteria name MODSEQ. Messages whose file is
// gone match nothing.
void FindMatches(Session* pSession, const SearchQuery& query, std::vector<uint32_t>* pSequences,
                 std::vector<uint32_t>* pUids, uint64_t* pullHighestFound = nullptr) {
    const std::vector<ViewMessage>& messages = pSession->pView->messages;
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

// Keeps the search for updates, replacing one under the same tag.
void KeepForUpdates(Session* pSession, const SearchQuery& query, const std::vector<uint32_t>& uids) {
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
    it->uids = uids;
    it->ullGeneration = pSession->pView->ullGeneration;
    it->nMessages = pSession->pView->messages.size();
}

// One ADDTO or REMOVEFROM line. The result is in message order, so the position is 0: the client
// places each number itself.
void SendUpdate(Session* pSession, const SearchUpdate& update, const char* pszWhat, const std::vector<uint32_t>& numbers) {
    if (numbers.empty()) return;
    OutputAtom(pSession, "* ESEARCH (TAG ");
    OutputString(pSession, update.strTag.data(), update.strTag.size());
    OutputAtom(pSession, update.bUid ? ") UID " : ") ");
    OutputAtom(pSession, pszWhat);
    OutputAtom(pSession, " (0 ");
    std::string set = FormatNumberSet(numbers);
    OutputText(pSession, set.data(), set.size());
    OutputAtom(pSession, ")");
    OutputLineEnd(pSession);
}

// The sequence number the view gives a UID now; 0 when it holds no such message.
uint32_t SequenceOf(const MailboxView& view, uint32_t ulUid) {
    auto it = std::lower_bound(view.messages.begin(), view.messages.end(), ulUid,
                               [](const ViewMessage& m, uint32_t ulValue) { return m.ulUid < ulValue; });
    return it != view.messages.end() && it->ulUid == ulUid ? static_cast<uint32_t>(it - view.messages.begin() + 1) : 0;
}

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
    ViewMessage& listed = view.messages[request.nIndex];
    request.pKeys = bRead ? LoadSortKeys(request.pSession, listed) : FindSortKeys(*view.pIndex, listed.ulUid);
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
    char szName[MESSAGE_NAME_LENGTH + 1];
    char szPath[MESSAGE_PATH_SIZE];
    ViewFileName(listed, szName, sizeof(szName));
    if (!MailboxFilePath(szPath, sizeof(szPath), pSession->szMailbox, szName)) return false;
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

    // The messages are those the client was told of, numbered as it was told; one expunged
    // elsewhere keeps its number and matches nothing.
    RefreshView(pSession);
    ResolveSaved(pSession, &query);
    // MODSEQ turns CONDSTORE on, and the answer then names the highest sequence it found.
    if (SearchAsksModSeq(query)) EnableCondStore(pSession);
    std::vector<uint32_t> sequences;
    std::vector<uint32_t> uids;
    EsearchExtra extra;
    FindMatches(pSession, query, &sequences, &uids, &extra.ullModSeq);
    bool bUid = pSession->bUid != 0;
    const std::vector<uint32_t>& numbers = bUid ? uids : sequences;

    if (!options.bExtended) {
        // The line is written number by number: a result of any length goes out whole.
        OutputAtom(pSession, "* SEARCH");
        for (uint32_t ulNumber : numbers) {
            OutputAtom(pSession, " ");
            OutputNumber(pSession, ulNumber);
        }
        if (extra.ullModSeq != 0) {
            OutputAtom(pSession, " (MODSEQ ");
            OutputNumber(pSession, extra.ullModSeq);
            OutputAtom(pSession, ")");
        }
        OutputLineEnd(pSession);
    } else {
        // SAVE alone asks for no answer but the tagged one.
        if ((options.fOptions & ~(RETURN_SAVE | RETURN_CONTEXT)) != 0) {
            // MIN and MAX alone answer for those messages only, and so does their MODSEQ.
            uint32_t fAnswered = options.fOptions & (RETURN_MIN | RETURN_MAX | RETURN_ALL | RETURN_COUNT | RETURN_PARTIAL);
            if (extra.ullModSeq != 0 && !uids.empty() && (fAnswered & ~(RETURN_MIN | RETURN_MAX)) == 0) {
                MailboxIndex& index = *view.pIndex;
                extra.ullModSeq = 0;
                if (fAnswered & RETURN_MIN) extra.ullModSeq = ShownModSeq(index, uids.front());
                if (fAnswered & RETURN_MAX) extra.ullModSeq = std::max(extra.ullModSeq, ShownModSeq(index, uids.back()));
            }
            OutputEsearch(pSession, options, numbers, bUid, extra);
        }
        if (options.fOptions & RETURN_SAVE) view.savedUids = SavedPart(options, uids);
        if (options.fOptions & RETURN_UPDATE) KeepForUpdates(pSession, query, uids);
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
        std::vector<uint32_t> gone;
        std::vector<uint32_t> kept;
        for (uint32_t ulUid : update.uids) {
            uint32_t ulSequence = SequenceOf(*pView, ulUid);
            bool bGone = ulSequence != 0 && (pView->messages[ulSequence - 1].fState & VIEW_GONE);
            if (bGone) gone.push_back(update.bUid ? ulUid : ulSequence);
            else kept.push_back(ulUid);
        }
        SendUpdate(pSession, update, "REMOVEFROM", gone);
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
        std::vector<uint32_t> now;
        FindMatches(pSession, update.query, nullptr, &now);
        // A message gone that may not be announced yet stays in the result until its EXPUNGE.
        for (uint32_t ulUid : update.uids) {
            uint32_t ulSequence = SequenceOf(*pView, ulUid);
            if (ulSequence != 0 && (pView->messages[ulSequence - 1].fState & VIEW_GONE)) now.push_back(ulUid);
        }
        std::sort(now.begin(), now.end());
        std::vector<uint32_t> added;
        std::vector<uint32_t> removed;
        std::set_difference(now.begin(), now.end(), update.uids.begin(), update.uids.end(), std::back_inserter(added));
        std::set_difference(update.uids.begin(), update.uids.end(), now.begin(), now.end(), std::back_inserter(removed));
        auto numbered = [&](const std::vector<uint32_t>& list) {
            if (update.bUid) return list;
            std::vector<uint32_t> sequences;
            // One expunged and already announced has no number left to name.
            for (uint32_t ulUid : list) {
                if (uint32_t ulSequence = SequenceOf(*pView, ulUid)) sequences.push_back(ulSequence);
            }
            return sequences;
        };
        SendUpdate(pSession, update, "REMOVEFROM", numbered(removed));
        SendUpdate(pSession, update, "ADDTO", numbered(added));
        update.uids.swap(now);
    }
}
