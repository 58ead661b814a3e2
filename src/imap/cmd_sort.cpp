// SORT and THREAD (and their UID forms): the search runs as SEARCH runs it, then the messages it
// found are ordered by keys the index keeps, read from the files only the first time.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/output.h"
#include "imap/response.h"
#include "imap/search.h"
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

// The messages of the view that the criteria text names, in sequence order, each with its keys.
// False, with the tagged line left, when the charset or the criteria are refused.
bool FindMessages(Session* pSession, const char* pszRest, std::vector<OrderedMessage>* pMessages,
                  std::vector<std::shared_ptr<const SortKeys>>* pKeys) {
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
    SearchQuery query;
    std::string strError;
    switch (ParseSearch(pszRest, strlen(pszRest), &query, &strError)) {
        case SEARCH_PARSED:
            break;
        case SEARCH_BAD_CHARSET:
            FormatResponse(pSession, "%s NO [BADCHARSET (US-ASCII UTF-8)] %s charset not supported\r\n",
                           pSession->pTag, pSession->pCommand);
            return false;
        case SEARCH_BAD:
            FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
            return false;
    }

    // Numbered as the client was told, as SEARCH numbers them.
    RefreshView(pSession);
    MailboxView& view = *pSession->pView;
    std::vector<ViewMessage>& messages = view.messages;
    const long lSecondsWest = SearchReadsEntry(query) ? ReadZone().lSecondsWest : 0;
    bool bUid = pSession->bUid != 0;
    bool bModSeq = SearchAsksModSeq(query);
    // A message whose file is gone, or cannot be read, sorts as one with no header at all.
    static const std::shared_ptr<const SortKeys> pNone = std::make_shared<SortKeys>();
    std::vector<size_t> found;
    found.reserve(messages.size());
    for (size_t i = 0; i < messages.size(); i++) {
        uint64_t ullModSeq = 0;
        if (ViewMessageMatches(pSession, query, i, lSecondsWest, bModSeq, &ullModSeq)) found.push_back(i);
    }
    *pKeys = LoadSortKeysOf(pSession, found);
    pMessages->reserve(found.size());
    for (size_t i = 0; i < found.size(); i++) {
        if ((*pKeys)[i] == nullptr) (*pKeys)[i] = pNone;
        uint32_t ulSequence = static_cast<uint32_t>(found[i] + 1);
        pMessages->push_back(OrderedMessage{bUid ? messages[found[i]].ulUid : ulSequence, ulSequence, (*pKeys)[i].get()});
    }
    return true;
}

}  // namespace

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
    std::vector<SortCriterion> criteria;
    std::string strError;
    size_t nCriteria = ParseSortCriteria(pszArgs, &criteria, &strError);
    if (nCriteria == 0 || pszArgs[nCriteria] != ' ') {
        if (nCriteria != 0) strError = "sort criteria must be followed by a charset";
        FormatResponse(pSession, "%s BAD %s: %s\r\n", pSession->pTag, pSession->pCommand, strError.c_str());
        return 1;
    }
    std::vector<OrderedMessage> messages;
    std::vector<std::shared_ptr<const SortKeys>> keys;
    if (!FindMessages(pSession, pszArgs + nCriteria + 1, &messages, &keys)) return 1;
    SortMessages(criteria, &messages);

    OutputAtom(pSession, "* SORT");
    for (const OrderedMessage& message : messages) {
        OutputAtom(pSession, " ");
        OutputNumber(pSession, message.ulNumber);
    }
    OutputLineEnd(pSession);
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
    std::vector<OrderedMessage> messages;
    std::vector<std::shared_ptr<const SortKeys>> keys;
    if (!FindMessages(pSession, pszEnd + 1, &messages, &keys)) return 1;
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
