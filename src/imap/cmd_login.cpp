#include "imap/login.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "auth/userdir.h"
#include "config/settings.h"
#include "imap/response.h"
#include "net/logs.h"
#include "platform/accounts.h"
#include "platform/fs.h"
#include "service/service.h"
#include "store/store.h"

namespace {

std::atomic<int32_t> lLoginCount{0};

// Copies a LOGIN argument, dropping one leading quote and ending at the first quote after it.
void TakeArgument(const char* pszText, char* pszOut, size_t nSize) {
    if (*pszText == '"') {
        pszText++;
    }
    snprintf(pszOut, nSize, "%s", pszText);
    char* pQuote = strchr(pszOut, '"');
    if (pQuote != nullptr) {
        *pQuote = '\0';
    }
}

bool IsLoopbackText(const char* pszAddress) {
    return strncmp(pszAddress, "127.", 4) == 0 || strcmp(pszAddress, "::1") == 0 ||
           strncmp(pszAddress, "::ffff:127.", 11) == 0;
}

}  // namespace

bool PlaintextLoginAllowed(const Session* pSession) {
    switch (Settings.PlaintextLoginNeedsTls) {
    case 0: return true;
    case 1: return pSession->pTls != nullptr || IsLoopbackText(pSession->szPeerAddr);
    default: return pSession->pTls != nullptr;
    }
}

void RespondPrivacyRequired(Session* pSession, const char* pszTag, const char* pszCommand) {
    FormatResponse(pSession, "%s NO [PRIVACYREQUIRED] %s needs TLS first (STARTTLS)\r\n", pszTag, pszCommand);
}

int CheckAccount(char* pszUser, size_t nUserSize, const char* pszPassword, const char* pszLocalAddr) {
    if (!IsSafeUserName(pszUser)) {
        return -1;
    }
    if (Settings.UserManager == 0) {
        return CheckUserFilePassword(pszUser, nUserSize, pszPassword, pszLocalAddr);
    }
    if (bDebug) {
        return 0;
    }
    return LogonSystemUser(pszUser, pszPassword);
}

void CompleteLogin(Session* pSession) {
    // An inbox that exists under another spelling (INBOX) is the inbox too.
    char szInbox[MAX_PATH];
    if (ResolveMailboxPath(pSession->szMailDir, "inbox", szInbox, sizeof(szInbox))) {
        snprintf(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", szInbox);
        CreateDirectoryEntry(pSession->szMailbox);
        pSession->ulUidNext = ReadUidNext(pSession->szMailbox);
        ImportInbox(pSession->szMailDir, pSession->szMailbox, &pSession->ulUidNext);
    }
    snprintf(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", pSession->szMailDir);
}

bool AcceptLogin(Session* pSession) {
    ResolveMailDirectory(pSession->szUser, pSession->szLocalAddr, pSession->szMailDir, sizeof(pSession->szMailDir));
    // Without a mail directory every path would be relative to the server's own directory.
    if (pSession->szMailDir[0] == '\0') {
        return false;
    }
    pSession->State = Imap4Authorization;
    TracePrint("[%08lx]  pContext[%08lx]->State = Imap4Authorization;\n", SessionId(pSession),
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&pSession->State)));
    CompleteLogin(pSession);
    pSession->lLoginNo = ++lLoginCount;
    return true;
}

int CmdLogin(Session* pSession) {
    if (pSession->State != Imap4NonAuthenticated) {
        FormatResponse(pSession, "%s %s already logged in\r\n", pSession->pTag, "NO");
        WriteAccessLog(pSession, "failed");
        return 1;
    }
    if (!PlaintextLoginAllowed(pSession)) {
        RespondPrivacyRequired(pSession, pSession->pTag, "LOGIN");
        WriteAccessLog(pSession, "failed");
        return 1;
    }
    char* pBlank = pSession->pArgs != nullptr ? strchr(pSession->pArgs, ' ') : nullptr;
    if (pBlank == nullptr) {
        RespondIllegalArgument(pSession);
        WriteAccessLog(pSession, "failed");
        return 1;
    }
    if (pSession->pArgs[0] == '"') {
        pSession->pArgs++;
    }
    snprintf(pSession->szUser, sizeof(pSession->szUser), "%.*s", static_cast<int>(pBlank - pSession->pArgs),
             pSession->pArgs);
    char* pQuote = strchr(pSession->szUser, '"');
    if (pQuote != nullptr) {
        *pQuote = '\0';
    }
    TakeArgument(pBlank + 1, pSession->szPassword, sizeof(pSession->szPassword));

    int nCheck = CheckAccount(pSession->szUser, sizeof(pSession->szUser), pSession->szPassword, pSession->szLocalAddr);
    int nOff = IsSafeUserName(pSession->szUser) ? ImapAccessOff(pSession->szUser, pSession->szLocalAddr) : 1;
    if (nOff == 0 && nCheck == 0) {
        RespondCompleted(pSession);
        if (AcceptLogin(pSession)) {
            WriteAccessLog(pSession, "Success");
            return 1;
        }
        pSession->State = Imap4NonAuthenticated;
    }
    RespondFails(pSession);
    WriteAccessLog(pSession, "failed");
    return 1;
}
