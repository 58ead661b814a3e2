// SORT and THREAD (and their UID forms): the search runs as SEARCH runs it, then the messages it
// found are ordered by keys the index keeps, read from the files only the first time. SORT with
// RETURN answers as SEARCH does with it, in the sort order, and a sort can be kept up to date.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/output.h"
#include "imap/response.h"
#include "imap/resync.h"
#include "imap/search.h"
#include "imap/search_return.h"
#include "imap/sort_keys.h"
#include "imap/sort_thread.h"
#include "imap/view.h"
#include "platform/text.h"
#include "platform/time.h"

namespace {

// Reads a charset (an atom or a quoted string) and the blank after it; false when there is none.
bool ReadCharset(const char** pp, std::string* pstrCharset) {
    const char* p = *pp;
    if (*p == '"') {
        for (p++; *p != '\0' && *p != '"'; p++) pstrCharset->push_back(*p);
        if (*p != '"') return false;
        p++;
    } else {
        while (*p != '\0' && *p != ' ') pstrCharset->push_back(*p++);
    }
    if (pstrCharset->empty() || *p != ' ') return false;
    *pp = p + 1;
    return true;
}

// The messages of the view that the query matches, in sequence order, each with its keys, and
// the highest modification sequence among them when the query names MODSEQ.
void CollectMessages(Session* pSession, const SearchQuery& query, std::vector<OrderedMessage>* pMessages,
                     std::vector<std::shared_ptr<const SortKeys>>* pKeys, uint64_t* pullHighestModSeq = nullptr) {
    MailboxView& view = *pSession->pView;
    ViewList& messages = view.messages;
    const long lSecondsWest = SearchReadsEntry(query) ? ReadZone().lSecondsWest : 0;
    bool bUid = pSession->bUid != 0;
    bool bModSeq = SearchAsksModSeq(query);
    uint64_t ullHighest = 0;
    // A message whose file is gone, or cannot be read, sorts as one with no header at all.
    static const std::shared_ptr<const SortKeys> pNone = std::make_shared<SortKeys>();
    std::vector<size_t> found;
    found.reserve(messages.size());
    for (size_t i = 0; i < messages.size(); i++) {
        uint64_t ullModSeq = 0;
        if (!ViewMessageMatches(pSession, query, i, lSecondsWest, bModSeq, &ullModSeq)) continue;
        found.push_back(i);
        ullHighest = std::max(ullHighest, ullModSeq);
    }
    // The kept keys of all the messages found are looked up under one lock of the index.
    *pKeys = LoadSortKeysOf(pSession, found);
    pMessages->reserve(found.size());
    for (size_t i = 0; i < found.size(); i++) {
        if ((*pKeys)[i] == nullptr) (*pKeys)[i] = pNone;
        uint32_t ulSequence = static_cast<uint32_t>(found[i] + 1);
        pMessages->push_back(OrderedMessage{bUid ? messages[found[i]].ulUid : ulSequence, ulSequence, (*pKeys)[i].get()});
    }
    if (pullHighestModSeq != nullptr) *pullHighestModSeq = ullHighest;
}

// Reads the charset and the search criteria after the command's other arguments. False, with the
// tagged line left, when either is refused.
bool ParseCriteria(Session* pSession, const char* pszRest, SearchQuery* pQuery) {
    std::string strCharset;
    if (!ReadCharset(&pszRest, &strCharset) || *pszRest == '\0') {
        FormatResponse(pSession, "%s BAD %s needs a charset and search criteria\r\n", pSession->pTag, pSession->pCommand);
        return false;
    }
    if (StrICmp(strCharset.c_str(), "US-ASCII") != 0 && StrICmp(strCharset.c_str(), "UTF-8") != 0) {
        FormatResponse(pSession, "%s NO [BADCHARSET (US-ASCII UTF-8)] %s charset not supported\r\n", pSession->pTag,
                       pSession->pCommand);
        return false;
    }
    std::string strError;
    switch (ParseSearch(pszRest, strlen(pszRest), pQuery, &strError)) {
        case SEARCH_PARSED:
            return !RefuseRecentKeys(pSession, *pQuery);
        case SEARCH_BAD_CHARSET:
            FormatResponse(pSession, "%s NO [BADCHARSET (US-ASCII UTF-8)] %s charset not supported\r\n",
                           pSession->pTag, pSession->pCommand);
            return false;
        case SEARCH_BAD:
            break;
    }
    FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
    return false;
}

}  // namespace

std::vector<uint32_t> SortedMatches(Session* pSession, const SearchUpdate& update) {
    std::vector<SortCriterion> criteria;
    std::string strError;
    std::vector<uint32_t> uids;
    // The criteria were read once already; text that no longer reads sorts nothing.
    if (ParseSortCriteria(update.strSortCriteria.c_str(), &criteria, &strError) == 0) return uids;
    std::vector<OrderedMessage> messages;
    std::vector<std::shared_ptr<const SortKeys>> keys;
    CollectMessages(pSession, update.query, &messages, &keys);
    SortMessages(criteria, &messages);
    const ViewList& listed = pSession->pView->messages;
    uids.reserve(messages.size());
    for (const OrderedMessage& message : messages) uids.push_back(listed[message.ulSequence - 1].ulUid);
    return uids;
}

int CmdSort(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    const char* pszArgs = pSession->pArgs;
    if (pszArgs == nullptr || pszArgs == pSession->pCommand || *pszArgs == '\0') {
        FormatResponse(pSession, "%s BAD %s needs sort criteria\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    MailboxView& view = *CurrentView(pSession);
    SearchReturn options;
    std::string strError;
    if (!TakeSearchReturn(&pszArgs, &options, &strError)) {
        // As with SEARCH, a failed command leaves "$" empty rather than naming what was not asked for.
        view.savedUids.clear();
        FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
        return 1;
    }
    std::vector<SortCriterion> criteria;
    size_t nCriteria = ParseSortCriteria(pszArgs, &criteria, &strError);
    SearchQuery query;
    bool bParsed = nCriteria != 0 && pszArgs[nCriteria] == ' ';
    if (!bParsed) {
        if (nCriteria != 0) strError = "sort criteria must be followed by a charset";
        FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
    } else {
        bParsed = ParseCriteria(pSession, pszArgs + nCriteria + 1, &query);
    }
    if (!bParsed) {
        if (options.fOptions & RETURN_SAVE) view.savedUids.clear();
        return 1;
    }

    // Numbered as the client was told, as SEARCH numbers them.
    RefreshView(pSession);
    ResolveSavedResult(pSession, &query);
    if (SearchAsksModSeq(query)) EnableCondStore(pSession);
    std::vector<OrderedMessage> messages;
    std::vector<std::shared_ptr<const SortKeys>> keys;
    EsearchExtra extra;
    CollectMessages(pSession, query, &messages, &keys, &extra.ullModSeq);
    SortMessages(criteria, &messages);

    if (!options.bExtended) {
        std::vector<uint32_t> numbers;
        numbers.reserve(messages.size());
        for (const OrderedMessage& message : messages) numbers.push_back(message.ulNumber);
        OutputNumberList(pSession, "SORT", numbers, extra.ullModSeq);
    } else {
        std::vector<uint32_t> numbers;
        std::vector<uint32_t> uids;
        numbers.reserve(messages.size());
        uids.reserve(messages.size());
        for (const OrderedMessage& message : messages) {
            numbers.push_back(message.ulNumber);
            uids.push_back(view.messages[message.ulSequence - 1].ulUid);
        }
        extra.bOrdered = true;
        AnswerWithReturn(pSession, options, query, numbers, uids, extra, std::string(pszArgs, nCriteria));
    }
    RespondCompleted(pSession);
    return 1;
}

int CmdThread(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    const char* pszArgs = pSession->pArgs;
    if (pszArgs == nullptr || pszArgs == pSession->pCommand || *pszArgs == '\0') {
        FormatResponse(pSession, "%s BAD %s needs a threading algorithm\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    const char* pszEnd = strchr(pszArgs, ' ');
    std::string strAlgorithm(pszArgs, pszEnd != nullptr ? static_cast<size_t>(pszEnd - pszArgs) : strlen(pszArgs));
    ThreadAlgorithm algorithm;
    if (StrICmp(strAlgorithm.c_str(), "REFERENCES") == 0) {
        algorithm = THREAD_REFERENCES;
    } else if (StrICmp(strAlgorithm.c_str(), "ORDEREDSUBJECT") == 0) {
        algorithm = THREAD_ORDEREDSUBJECT;
    } else {
        FormatResponse(pSession, "%s BAD %s: unknown threading algorithm\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    if (pszEnd == nullptr) {
        FormatResponse(pSession, "%s BAD %s needs a charset and search criteria\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    SearchQuery query;
    if (!ParseCriteria(pSession, pszEnd + 1, &query)) return 1;
    RefreshView(pSession);
    ResolveSavedResult(pSession, &query);
    std::vector<OrderedMessage> messages;
    std::vector<std::shared_ptr<const SortKeys>> keys;
    CollectMessages(pSession, query, &messages, &keys);
    std::string strThreads = ThreadMessages(algorithm, messages);

    OutputAtom(pSession, "* THREAD");
    if (!strThreads.empty()) {
        OutputAtom(pSession, " ");
        OutputText(pSession, strThreads.data(), strThreads.size());
    }
    OutputLineEnd(pSession);
    RespondCompleted(pSession);
    return 1;
}
