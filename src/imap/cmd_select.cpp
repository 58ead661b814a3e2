// SELECT, EXAMINE and STATUS: open a mailbox, or report its counts without opening it.
#include <cstdio>
#include <cstring>

#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "imap/view.h"
#include "net/client.h"
#include "store/store.h"

namespace {

void SendLine(Session* pSession) {
    SendResponse(pSession, 1, 1);
}

// The untagged lines of the SELECT and EXAMINE answer. A mailbox without unseen messages
// has no first unseen one to name.
void SendMailboxState(Session* pSession) {
    FormatResponse(pSession, "* %ld EXISTS\r\n", static_cast<long>(pSession->lExists));
    SendLine(pSession);
    FormatResponse(pSession, "* %ld RECENT\r\n", static_cast<long>(pSession->lRecent));
    SendLine(pSession);
    if (pSession->lFirstUnseen != 0) {
        FormatResponse(pSession, "* %s [UNSEEN %ld] Message %ld is first unseen\r\n", "OK",
                       static_cast<long>(pSession->lFirstUnseen), static_cast<long>(pSession->lFirstUnseen));
        SendLine(pSession);
    }
    FormatResponse(pSession, "* %s [UIDVALIDITY %lu] UIDs valid\r\n", "OK",
                   static_cast<unsigned long>(pSession->ulUidValidity));
    SendLine(pSession);
    FormatResponse(pSession, "* %s [UIDNEXT %lu] Predicted next UID\r\n", "OK",
                   static_cast<unsigned long>(pSession->ulUidNext));
    SendLine(pSession);
    FormatResponse(pSession, "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n");
    SendLine(pSession);
    FormatResponse(pSession, "* %s [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited\r\n", "OK");
    SendLine(pSession);
}

// Builds the session's view; the next UID is never one the view already holds.
void OpenInto(Session* pSession, bool bReadOnly) {
    OpenView(pSession, bReadOnly, &pSession->lExists, &pSession->lRecent, &pSession->lFirstUnseen);
    const MailboxView& view = *pSession->pView;
    if (view.ulHighestUid != 0 && pSession->ulUidNext <= view.ulHighestUid) {
        pSession->ulUidNext = NextUid(view.ulHighestUid);
    }
}

}  // namespace

int CmdSelect(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szName[MAX_PATH];
    RemoveQuotes(pSession->pArgs, szName, sizeof(szName));
    char szPath[MAX_PATH];
    if (!ResolveMailboxPath(pSession->szMailDir, szName, szPath, sizeof(szPath))) {
        FormatResponse(pSession, "%s %s No such mailbox\r\n", pSession->pTag, "NO");
        return 1;
    }
    snprintf(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", szPath);
    CloseView(pSession);
    if (!GetUidValidity(pSession->szMailbox, &pSession->ulUidValidity)) {
        FormatResponse(pSession, "%s %s No such mailbox\r\n", pSession->pTag, "NO");
        return 1;
    }
    RemoveStaleTemporaries(pSession->szMailbox, STALE_TEMPORARY_AGE);
    pSession->ulUidNext = ReadUidNext(pSession->szMailbox);
    if (IsInboxName(szName)) {
        ImportInbox(pSession->szMailDir, pSession->szMailbox, &pSession->ulUidNext);
    }
    OpenInto(pSession, false);
    SendMailboxState(pSession);
    FormatResponse(pSession, "%s %s [READ-WRITE] %s completed\r\n", pSession->pTag, "OK", pSession->pCommand);
    pSession->State = Veve4Delected;
    return 1;
}

int CmdExamine(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    // The name is taken as received, quotes and all.
    char szPath[MAX_PATH];
    if (!ResolveMailboxPath(pSession->szMailDir, pSession->pArgs, szPath, sizeof(szPath))) {
        RespondFails(pSession);
        return 1;
    }
    snprintf(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", szPath);
    GetUidValidity(pSession->szMailbox, &pSession->ulUidValidity);
    pSession->ulUidNext = ReadUidNext(pSession->szMailbox);
    OpenInto(pSession, true);
    SendMailboxState(pSession);
    FormatResponse(pSession, "%s %s [READ-ONLY] %s completed\r\n", pSession->pTag, "OK", pSession->pCommand);
    pSession->State = Veve4Delected;
    return 1;
}

int CmdStatus(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szArgs[RECV_SIZE];
    snprintf(szArgs, sizeof(szArgs), "%s", pSession->pArgs);
    char* pBlank = strchr(szArgs, ' ');
    if (pBlank == nullptr) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    *pBlank = '\0';
    char* pItems = pBlank + 1;
    if (*pItems == '(') {
        pItems++;
        char* pClose = strchr(pItems, ')');
        if (pClose != nullptr) {
            *pClose = '\0';
        }
    }
    char szName[MAX_PATH];
    RemoveQuotes(szArgs, szName, sizeof(szName));
    char szPath[MAX_PATH];
    if (!ResolveMailboxPath(pSession->szMailDir, szName, szPath, sizeof(szPath))) {
        RespondFails(pSession);
        return 1;
    }

    int32_t lExists = 0;
    int32_t lRecent = 0;
    int32_t lUnseen = 0;
    int32_t lFirstUnseen = 0;
    CountMailbox(szPath, &lExists, &lRecent, &lUnseen, &lFirstUnseen);
    uint32_t ulUidNext = ReadUidNext(szPath);
    uint32_t ulUidValidity = 0;
    GetUidValidity(szPath, &ulUidValidity);

    char szAnswer[RESPONSE_SIZE];
    size_t nLength = static_cast<size_t>(snprintf(szAnswer, sizeof(szAnswer), "%s %s %s %s (", pSession->pTag, "OK",
                                                  pSession->pCommand, szName));
    const char* pszSeparator = "";
    auto append = [&](const char* pszWord, unsigned long ulValue, bool bSigned) {
        if (strstr(pItems, pszWord) == nullptr || nLength >= sizeof(szAnswer)) {
            return;
        }
        int n = bSigned ? snprintf(szAnswer + nLength, sizeof(szAnswer) - nLength, "%s%s %ld", pszSeparator, pszWord,
                                   static_cast<long>(ulValue))
                        : snprintf(szAnswer + nLength, sizeof(szAnswer) - nLength, "%s%s %lu", pszSeparator, pszWord,
                                   ulValue);
        nLength += static_cast<size_t>(n);
        pszSeparator = " ";
    };
    append("MESSAGES", static_cast<unsigned long>(lExists), true);
    append("RECENT", static_cast<unsigned long>(lRecent), true);
    append("UIDNEXT", ulUidNext, false);
    append("UIDVALIDITY", ulUidValidity, false);
    append("UNSEEN", static_cast<unsigned long>(lUnseen), true);
    FormatResponse(pSession, "%s)\r\n", szAnswer);
    return 1;
}
