// SEARCH and UID SEARCH: the criteria are parsed whole first, then every message of the mailbox
// is tested in listing order. Flags, sets and sizes are answered from the file name and one stat;
// a message file is opened only when a header, date or text key still decides.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/response.h"
#include "imap/search.h"
#include "net/client.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

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

struct Listed {
    std::string strName;
    uint32_t ulUid;
    uint64_t ullSize;
    FILETIME ftLastWrite;
};

}  // namespace

int CmdSearch(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        RespondWrongState(pSession);
        return 1;
    }
    // UID SEARCH with nothing after it leaves its own word as the arguments.
    const char* pszArgs = pSession->pArgs;
    if (pszArgs == nullptr || pszArgs == pSession->pCommand || *pszArgs == '\0') {
        FormatResponse(pSession, "%s BAD %s needs search criteria\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    SearchQuery query;
    std::string strError;
    switch (ParseSearch(pszArgs, strlen(pszArgs), &query, &strError)) {
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

    // "*" needs the highest number before the first message is tested, so the names come first.
    // Sizes and dates come from the listing, which then stats every file; otherwise names do.
    bool bTimes = SearchReadsEntry(query);
    std::vector<Listed> messages;
    char szPattern[MESSAGE_PATH_SIZE];
    if (MailboxFilePath(szPattern, sizeof(szPattern), pSession->szMailbox, ALL_MESSAGES_PATTERN)) {
        FindFiles(szPattern, bTimes ? FIND_TIMES : 0, [&](const FindData& data) {
            if (IsMessageFile(data)) {
                messages.push_back(Listed{data.cFileName, MessageUid(data.cFileName), data.nFileSize, data.ftLastWriteTime});
            }
            return true;
        });
    }
    const long lSecondsWest = bTimes ? ReadZone().lSecondsWest : 0;
    uint32_t ulMaxUid = 0;
    for (const Listed& message : messages) ulMaxUid = std::max(ulMaxUid, message.ulUid);

    bool bUid = pSession->bUid != 0;
    FormatResponse(pSession, "* SEARCH");
    ResultLine line{pSession, strlen(pSession->szResponse)};
    uint32_t ulSequence = 0;
    for (const Listed& listed : messages) {
        ulSequence++;
        char szPath[MESSAGE_PATH_SIZE];
        if (!MailboxFilePath(szPath, sizeof(szPath), pSession->szMailbox, listed.strName.c_str())) continue;
        SearchMessage message{szPath,       listed.strName.c_str(), ulSequence,       listed.ulUid,
                              static_cast<uint32_t>(messages.size()), ulMaxUid, lSecondsWest, bTimes,
                              listed.ullSize, listed.ftLastWrite};
        if (SearchMatches(query, message)) AppendNumber(&line, bUid ? listed.ulUid : ulSequence);
    }
    snprintf(pSession->szResponse + line.nLength, sizeof(pSession->szResponse) - line.nLength, "\r\n");
    SendResponse(pSession, 1, 1);

    RespondCompleted(pSession);
    return 1;
}
