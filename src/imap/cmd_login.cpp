#include "imap/capability.h"
#include "imap/login.h"
#include "imap/output.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "auth/login_guard.h"
#include "auth/userdir.h"
#include "config/settings.h"
#include "imap/args.h"
#include "imap/response.h"
#include "imap/auth_log.h"
#include "imap/logs.h"
#include "platform/accounts.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

std::atomic<int32_t> lLoginCount{0};

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
    // Debug mode checks passwords like the service does, unless the registry explicitly asks
    // otherwise (start-up clears the setting outside debug mode); then every login says so.
    if (Settings.DebugAcceptAnyPassword != 0) {
        printf("DEBUG: password of %s not checked (DebugAcceptAnyPassword)\n", pszUser);
        return 0;
    }
    return LogonSystemUser(pszUser, pszPassword);
}

int CheckAccountUsable(char* pszUser, size_t nUserSize, const char* pszLocalAddr) {
    if (!IsSafeUserName(pszUser)) {
        return -1;
    }
    if (Settings.UserManager == 0) {
        UserRecord record{};
        return FindUserFileAccount(pszUser, nUserSize, pszLocalAddr, &record);
    }
    return CheckSystemAccount(pszUser);
}

bool EnterUserFiles(Session* pSession) {
    // With operating-system accounts the session reads and writes the user's mail as the user:
    // a mistake in a path, or a link the user planted, reaches nothing the user could not.
    if (Settings.UserManager != 0 && !TakeFileIdentity(pSession->szUser)) {
        printf("[%08lx] no file identity for %s\n", SessionId(pSession), pSession->szUser);
        return false;
    }
    ResolveMailDirectory(pSession->szUser, pSession->szLocalAddr, pSession->szMailDir, sizeof(pSession->szMailDir));
    // Without a mail directory every path would be relative to the server's own directory.
    if (pSession->szMailDir[0] == '\0') {
        LeaveUserFiles();
        return false;
    }
    return true;
}

void LeaveUserFiles() {
    if (Settings.UserManager != 0) {
        DropFileIdentity();
    }
}

void CompleteLogin(Session* pSession) {
    // An inbox that exists under another spelling (INBOX) is the inbox too.
    char szInbox[MAX_PATH];
    if (ResolveMailboxPath(pSession->szMailDir, "inbox", szInbox, sizeof(szInbox))) {
        static_cast<void>(FormatText(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", szInbox));
        CreateMailboxDirectory(pSession->szMailbox);
        pSession->ulUidNext = ReadUidNext(pSession->szMailbox);
        ImportInbox(pSession->szMailDir, pSession->szMailbox, &pSession->ulUidNext);
    }
    static_cast<void>(FormatText(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", pSession->szMailDir));
}

namespace {

// A client that left, or was told to, has nothing more to wait for: an attempt it abandoned must
// not keep the next one from its address waiting.
bool GivenUp(const Session* pSession) {
    return pSession->bEvicted.load() != 0 || PeerHasClosed(pSession->sockClient);
}

// The answer to a checked password waits for the client address's turn (one at a time, and
// after a failure its delay): parallel connections guess no faster than one. False when the
// session was told to leave meanwhile.
bool AwaitLoginTurn(Session* pSession) {
    if (pSession->pLoginFailures == nullptr || pSession->bHoldsLoginTurn) {
        return true;
    }
    if (!pSession->pLoginFailures->BeginTurn(pSession->szPeerAddr, [pSession] { return GivenUp(pSession); })) {
        return false;
    }
    pSession->bHoldsLoginTurn = 1;
    return true;
}

void EndLoginTurn(Session* pSession) {
    if (pSession->bHoldsLoginTurn) {
        pSession->pLoginFailures->EndTurn(pSession->szPeerAddr);
        pSession->bHoldsLoginTurn = 0;
    }
}

// Sleeps, but not past the moment the client leaves or is told to.
void WaitUnlessGivenUp(Session* pSession, uint32_t ulMs) {
    for (uint32_t ulLeft = ulMs; ulLeft > 0 && !GivenUp(pSession);) {
        uint32_t ulStep = ulLeft < 100 ? ulLeft : 100;
        SleepMilliseconds(ulStep);
        ulLeft -= ulStep;
    }
}

}  // namespace

bool AcceptLogin(Session* pSession, bool bInUserFiles) {
    if (!AwaitLoginTurn(pSession)) {
        if (bInUserFiles) LeaveUserFiles();
        return false;
    }
    if (!bInUserFiles && !EnterUserFiles(pSession)) {
        return false;
    }
    // EnterUserFiles has just resolved the mail directory from the same name and address.
    if (ImapAccessOffAt(pSession->szMailDir) != 0) {
        LeaveUserFiles();
        return false;
    }
    pSession->State = Imap4Authorization;
    // At once, not at the next line: a newcomer's admission must never send this session away.
    pSession->bLoggedIn.store(1);
    TracePrint("[%08lx]  pContext[%08lx]->State = Imap4Authorization;\n", SessionId(pSession),
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&pSession->State)));
    CompleteLogin(pSession);
    pSession->lLoginNo = ++lLoginCount;
    if (pSession->pLoginFailures != nullptr) {
        pSession->pLoginFailures->RecordSuccess(pSession->szPeerAddr, pSession->szUser);
    }
    EndLoginTurn(pSession);
    return true;
}

int FailLogin(Session* pSession) {
    // Gone, or told to leave, while it waited for its turn: nothing is answered or counted.
    if (!AwaitLoginTurn(pSession)) {
        if (pSession->bEvicted.load() != 0) {
            OutputFormat(pSession, "* BYE %s\r\n",
                         pSession->bEvicted.load() == EVICTED_LATE ? "Login time limit reached"
                                                                   : "Too many connections; this one was idle");
        }
        pSession->szResponse[0] = '\0';
        return 0;
    }
    pSession->lLoginFailures++;
    if (pSession->pLoginFailures != nullptr) {
        uint32_t ulDelay = pSession->pLoginFailures->RecordFailure(
            pSession->szPeerAddr, pSession->szUser, static_cast<uint32_t>(Settings.LoginFailureDelay),
            MonotonicMilliseconds());
        // The address's next check waits for this delay too, so the turn can go now.
        EndLoginTurn(pSession);
        WaitUnlessGivenUp(pSession, ulDelay);
    }
    if (Settings.LoginFailureLimit <= 0 || pSession->lLoginFailures < Settings.LoginFailureLimit) {
        return 1;
    }
    // The tagged answer already waits in szResponse; the BYE follows it.
    AppendBye(pSession, "Too many failed logins");
    return 0;
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
        LogLoginOutcome(pSession, "LOGIN", false, "TLS required");
        return 1;
    }
    // Atoms, quoted strings and literals; a password that is none of these is taken as it
    // stands, as it always was.
    const char* pCursor = pSession->pArgs != nullptr ? pSession->pArgs : "";
    bool bRead = TakeAstring(&pCursor, pSession->szUser, sizeof(pSession->szUser)) && TakeBlank(&pCursor);
    // A password too long to hold fails: cut, it could match a shorter one.
    bool bPasswordFits = true;
    if (bRead && !TakeAstring(&pCursor, pSession->szPassword, sizeof(pSession->szPassword))) {
        bPasswordFits = TakeRestUnquoted(pCursor, pSession->szPassword, sizeof(pSession->szPassword));
    }
    if (!bRead) {
        pSession->szUser[0] = '\0';
        RespondIllegalArgument(pSession);
        WriteAccessLog(pSession, "failed");
        return 1;
    }

    int nCheck = bPasswordFits ? CheckAccount(pSession->szUser, sizeof(pSession->szUser), pSession->szPassword,
                                              pSession->szLocalAddr)
                               : -1;
    // "$offimap4" is looked at only once the password has passed, and as the user (AcceptLogin).
    if (nCheck == 0) {
        RespondCompleted(pSession);
        if (AcceptLogin(pSession)) {
            RespondLoggedIn(pSession, pSession->pTag, pSession->pCommand);
            WriteAccessLog(pSession, "Success");
            LogLoginOutcome(pSession, "LOGIN", true, nullptr);
            return 1;
        }
        pSession->State = Imap4NonAuthenticated;
    }
    RespondFails(pSession);
    WriteAccessLog(pSession, "failed");
    LogLoginOutcome(pSession, "LOGIN", false, nCheck == 0 ? "no mail access" : "authentication failed");
    return FailLogin(pSession);
}
