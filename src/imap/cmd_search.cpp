// SEARCH and UID SEARCH over the flags alone: the keys become a pattern of the six flag
// characters, so no message file is opened. Keys about headers, dates, sizes or text are passed
// over, and a search made only of them matches every message.
#include <cstdio>
#include <cstring>

#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/response.h"
#include "net/client.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

constexpr int MAX_SEARCH_TOKENS = 20;

struct FlagKey {
    const char* pszKey;
    int nFlag;      // index in the flag code
    char chPlain;   // the character the key asks for
    char chNegated; // the same under NOT
};

const FlagKey kFlagKeys[] = {
    {"RECENT", 0, '1', '0'},     {"OLD", 0, '0', '1'},
    {"ANSWERED", 1, '1', '0'},   {"UNANSWERED", 1, '0', '1'},
    {"FLAGGED", 2, '1', '0'},    {"UNFLAGGED", 2, '0', '1'},
    {"DELETED", 3, '1', '0'},    {"UNDELETED", 3, '0', '1'},
    {"SEEN", 4, '1', '0'},       {"UNSEEN", 4, '0', '1'},
    {"DRAFT", 5, '1', '0'},      {"UNDRAFT", 5, '0', '1'},
};

struct SearchQuery {
    char szFlags[FLAG_COUNT + 1];  // '?' any, '1' set, '0' clear
    bool bRange;
    uint32_t ulLo;
    uint32_t ulHi;  // 0: no upper bound
};

// Cuts the arguments at single blanks; NOT keeps the key after it in its own token. Returns
// the count, or -1 when there are more than MAX_SEARCH_TOKENS.
int CutTokens(char* pszArgs, char** apTokens) {
    int nTokens = 0;
    char* p = pszArgs;
    for (;;) {
        if (nTokens == MAX_SEARCH_TOKENS) return -1;
        apTokens[nTokens++] = p;
        char* pFrom = StrNICmp(p, "not", 3) == 0 ? p + strnlen(p, 4) : p;
        char* pBlank = strchr(pFrom, ' ');
        if (pBlank == nullptr) return nTokens;
        *pBlank = '\0';
        p = pBlank + 1;
    }
}

uint32_t ReadNumber(const char* pszText) {
    MessageRange aElements[MAX_SET_ELEMENTS];
    SplitMessageSet(pszText, aElements);
    return aElements[0].ulFirst;
}

void ReadToken(const char* pszToken, bool bFirst, SearchQuery* pQuery) {
    bool bNegated = StrNICmp(pszToken, "NOT", 3) == 0;
    const char* pszKey = bNegated ? pszToken + strnlen(pszToken, 4) : pszToken;
    const char* pColon = strchr(pszKey, ':');
    if (bFirst && pColon != nullptr) {
        pQuery->bRange = true;
        pQuery->ulLo = ReadNumber(pszKey);
        pQuery->ulHi = pColon[1] == '*' ? 0 : ReadNumber(pColon + 1);
        return;
    }
    if (StrICmp(pszKey, "NEW") == 0) {
        // NOT NEW asks for the same as NEW.
        pQuery->szFlags[0] = '1';
        pQuery->szFlags[4] = '0';
        return;
    }
    for (const FlagKey& key : kFlagKeys) {
        if (StrICmp(pszKey, key.pszKey) == 0) {
            pQuery->szFlags[key.nFlag] = bNegated ? key.chNegated : key.chPlain;
            return;
        }
    }
}

bool FlagsMatch(const SearchQuery& query, const char* pszName) {
    for (int i = 0; i < FLAG_COUNT; i++) {
        if (query.szFlags[i] != '?' && query.szFlags[i] != FlagAt(pszName, FLAG_POS_RECENT + i)) return false;
    }
    return true;
}

bool InRange(const SearchQuery& query, uint32_t ulNumber) {
    return !query.bRange || (query.ulLo <= ulNumber && (query.ulHi == 0 || ulNumber <= query.ulHi));
}

// The SEARCH line is built in szResponse and handed to SendResponse piece by piece whenever the
// next number might not fit, so that a result of any length goes out whole.
struct ResultLine {
    Session* pSession;
    size_t nLength;
};

void AppendNumber(ResultLine* pLine, uint32_t ulNumber) {
    char* pszResponse = pLine->pSession->szResponse;
    constexpr size_t kRoom = sizeof(Session::szResponse);
    // " 4294967295" and the closing CR LF must both still fit.
    if (pLine->nLength + 11 + 2 >= kRoom) {
        SendResponse(pLine->pSession, 0, 1);
        pszResponse[0] = '\0';
        pLine->nLength = 0;
    }
    int n = snprintf(pszResponse + pLine->nLength, kRoom - pLine->nLength, " %u", static_cast<unsigned>(ulNumber));
    if (n > 0) pLine->nLength += static_cast<size_t>(n);
}

}  // namespace

int CmdSearch(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        RespondWrongState(pSession);
        return 1;
    }
    char* apTokens[MAX_SEARCH_TOKENS];
    int nTokens = CutTokens(pSession->pArgs, apTokens);
    if (nTokens < 0) {
        FormatResponse(pSession, "%s %s Excessively complex %s attribute list\r\n", pSession->pTag, "NO",
                       pSession->pCommand);
        return 1;
    }
    SearchQuery query{};
    memcpy(query.szFlags, "??????", sizeof(query.szFlags));
    for (int i = 0; i < nTokens; i++) {
        ReadToken(apTokens[i], i == 0, &query);
    }

    bool bUid = pSession->bUid != 0;
    char szListing[32];
    if (bUid) {
        // Numbers are UIDs here, so the listing itself can leave out the messages that differ.
        snprintf(szListing, sizeof(szListing), "*-%s.MSG", query.szFlags);
    } else {
        snprintf(szListing, sizeof(szListing), "%s", ALL_MESSAGES_PATTERN);
    }
    char szPattern[MESSAGE_PATH_SIZE];
    bool bListable = MailboxFilePath(szPattern, sizeof(szPattern), pSession->szMailbox, szListing);
    FormatResponse(pSession, "* SEARCH");
    ResultLine line{pSession, strlen(pSession->szResponse)};
    uint32_t ulSequence = 0;
    if (bListable) FindFiles(szPattern, 0, [&](const FindData& data) {
        if (!IsMessageFile(data)) return true;
        ulSequence++;
        uint32_t ulNumber = bUid ? MessageUid(data.cFileName) : ulSequence;
        if (FlagsMatch(query, data.cFileName) && InRange(query, ulNumber)) AppendNumber(&line, ulNumber);
        return true;
    });
    snprintf(pSession->szResponse + line.nLength, sizeof(pSession->szResponse) - line.nLength, "\r\n");
    SendResponse(pSession, 1, 1);

    RespondCompleted(pSession);
    return 1;
}
