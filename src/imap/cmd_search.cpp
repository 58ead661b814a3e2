// SEARCH and UID SEARCH: the criteria are parsed whole first, then every message of the mailbox
// is tested in listing order. Flags, sets and sizes are answered from the file name and one stat;
// a message file is opened only when a header, date or text key still decides.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imap/commands.h"
#include "imap/flags.h"
#include "imap/resync.h"
#include "imap/response.h"
#include "imap/search.h"
#include "imap/view.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/store.h"

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

    // The messages are those the client was told of, numbered as it was told; one expunged
    // elsewhere keeps its number and matches nothing.
    RefreshView(pSession);
    const MailboxView& view = *pSession->pView;
    const std::vector<ViewMessage>& messages = view.messages;
    uint32_t ulMaxUid = messages.empty() ? 0 : messages.back().ulUid;
    // Sizes and dates are stat'ed by the search itself, only where a key asks for them.
    bool bTimes = SearchReadsEntry(query);
    const long lSecondsWest = bTimes ? ReadZone().lSecondsWest : 0;

    bool bUid = pSession->bUid != 0;
    // MODSEQ turns CONDSTORE on, and the answer then names the highest sequence it found.
    bool bModSeq = SearchAsksModSeq(query);
    if (bModSeq) EnableCondStore(pSession);
    uint64_t ullHighestFound = 0;
    // The line is written number by number: a result of any length goes out whole.
    OutputAtom(pSession, "* SEARCH");
    for (size_t i = 0; i < messages.size(); i++) {
        const ViewMessage& listed = messages[i];
        if (listed.fState & VIEW_GONE) continue;
        uint32_t ulSequence = static_cast<uint32_t>(i + 1);
        char szName[MESSAGE_NAME_LENGTH + 1];
        char szPath[MESSAGE_PATH_SIZE];
        ViewFileName(listed, szName, sizeof(szName));
        if (!MailboxFilePath(szPath, sizeof(szPath), pSession->szMailbox, szName)) continue;
        // Flags as the client is shown them: \Recent as this session holds it.
        char szCode[FLAG_COUNT + 1];
        ShownFlagCode(view, listed, szCode);
        uint64_t ullModSeq = bModSeq ? ShownModSeq(*view.pIndex, listed.ulUid) : 0;
        SearchMessage message{szPath, szCode, ulSequence, listed.ulUid, static_cast<uint32_t>(messages.size()),
                              ulMaxUid, lSecondsWest, ShownKeywords(view, listed).c_str(), ullModSeq};
        if (SearchMatches(query, message)) {
            OutputAtom(pSession, " ");
            OutputNumber(pSession, bUid ? listed.ulUid : ulSequence);
            if (ullModSeq > ullHighestFound) ullHighestFound = ullModSeq;
        }
    }
    if (ullHighestFound != 0) {
        OutputAtom(pSession, " (MODSEQ ");
        OutputNumber(pSession, ullHighestFound);
        OutputAtom(pSession, ")");
    }
    OutputLineEnd(pSession);

    RespondCompleted(pSession);
    return 1;
}
