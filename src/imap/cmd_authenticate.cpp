#include "imap/capability.h"
#include "imap/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "auth/base64.h"
#include "auth/md5.h"
#include "auth/password.h"
#include "auth/userdir.h"
#include "config/settings.h"
#include "imap/command_reader.h"
#include "imap/line.h"
#include "imap/login.h"
#include "imap/response.h"
#include "imap/output.h"
#include "imap/auth_log.h"
#include "imap/logs.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

constexpr size_t SAVED_TEXT_SIZE = 32;
constexpr size_t DIGEST_HEX_SIZE = 33;

// The continuation lines overwrite szRecv, so the request's texts are kept here. The tag is
// kept whole (a client only recognises its completion by the exact tag); command word and
// arguments only feed the access log. The three together always fit back into szRecv.
struct SavedRequest {
    char szTag[RECV_SIZE - 2 * SAVED_TEXT_SIZE];
    char szCommand[SAVED_TEXT_SIZE];
    char szArgs[SAVED_TEXT_SIZE];
    bool bArgs;
};

// Refused: the credentials were checked and did not pass (the failure that is delayed and
// counted); Failed: the exchange itself went wrong.
// PassedAsUser: passed, with the user's file identity and mail directory already taken.
enum class Outcome { Failed, Refused, Passed, PassedAsUser, HandedToLogin };

void SaveRequest(const Session* pSession, SavedRequest* pSaved) {
    static_cast<void>(FormatText(pSaved->szTag, sizeof(pSaved->szTag), "%s", pSession->pTag));
    static_cast<void>(FormatText(pSaved->szCommand, sizeof(pSaved->szCommand), "%s", pSession->pCommand));
    pSaved->bArgs = pSession->pArgs != nullptr;
    static_cast<void>(FormatText(pSaved->szArgs, sizeof(pSaved->szArgs), "%s", pSaved->bArgs ? pSession->pArgs : ""));
    // A lone CR left inside the arguments must not break the access-log line.
    pSaved->szArgs[strcspn(pSaved->szArgs, "\r\n")] = '\0';
}

char* PutBack(char** ppFill, size_t* pnLeft, const char* pszText) {
    char* pStart = *ppFill;
    // The saved texts were taken from szRecv, so they fit back into it.
    static_cast<void>(FormatText(pStart, *pnLeft, "%s", pszText));
    size_t nUsed = strnlen(pStart, *pnLeft) + 1;
    nUsed = nUsed < *pnLeft ? nUsed : *pnLeft;
    *ppFill += nUsed;
    *pnLeft -= nUsed;
    return pStart;
}

// Puts the request's texts back into szRecv, where the access log and the dispatcher look.
void RestoreRequest(Session* pSession, const SavedRequest* pSaved) {
    char* pFill = pSession->szRecv;
    size_t nLeft = sizeof(pSession->szRecv);
    pSession->pTag = PutBack(&pFill, &nLeft, pSaved->szTag);
    pSession->pCommand = PutBack(&pFill, &nLeft, pSaved->szCommand);
    pSession->pArgs = pSaved->bArgs ? PutBack(&pFill, &nLeft, pSaved->szArgs) : nullptr;
}

// Sends "+ " and the Base64 form of szChallenge.
void SendChallenge(Session* pSession) {
    Base64Encode(pSession->szChallenge, strlen(pSession->szChallenge), pSession->szAuthData,
                 sizeof(pSession->szAuthData));
    OutputContinuation(pSession, pSession->szAuthData);
}

// Takes one answer line, from what the client already sent or from the connection, without
// its line end. Nothing of it reaches a log.
bool RecvAnswer(Session* pSession) {
    pSession->bSecretInput = 1;
    bool bRead = ReadAnswerLine(pSession);
    pSession->bSecretInput = 0;
    return bRead;
}

// The initial response sent with the command (SASL-IR) behind the mechanism's name, or null
// when there is none. "=" stands for an empty one.
const char* InitialResponse(const char* pszArgs, size_t nMechanism) {
    const char* p = pszArgs + nMechanism;
    if (*p != ' ') {
        return nullptr;
    }
    while (*p == ' ') {
        p++;
    }
    return *p == '\0' || *p == '\r' || *p == '\n' ? nullptr : p;
}

// Decodes a client answer (in szRecv, or the initial response) into szAuthWork; "=" is empty.
int DecodeText(Session* pSession, const char* pszAnswer) {
    size_t nAnswer = strcspn(pszAnswer, "\r\n");
    if (nAnswer == 1 && pszAnswer[0] == '=') {
        pSession->szAuthWork[0] = '\0';
        printf("AUTHCODE RECV: 0 bytes\n");
        return 0;
    }
    int nLength = Base64Decode(pszAnswer, nAnswer, pSession->szAuthWork, sizeof(pSession->szAuthWork));
    // The answer itself may be a password: the trace tells only its size.
    printf("AUTHCODE RECV: %d bytes\n", nLength);
    return nLength;
}

// Decodes the answer line into szAuthWork; the number of bytes, or -1 when it did not fit.
int DecodeAnswer(Session* pSession) { return DecodeText(pSession, pSession->szRecv); }

// A decoded name may hold NUL bytes, path separators or line breaks. szUser only ever takes a
// name that is safe in a path and in a log line and that fits whole: a cut name would be
// another user.
bool TakeUserName(Session* pSession, const char* pName, int nLength) {
    pSession->szUser[0] = '\0';
    if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof(pSession->szUser) ||
        !IsSafeUserName(pName, static_cast<size_t>(nLength))) {
        return false;
    }
    memcpy(pSession->szUser, pName, static_cast<size_t>(nLength));
    pSession->szUser[nLength] = '\0';
    return true;
}

// The stored password of szUser, read with the user's own rights (EnterUserFiles has run). An
// empty password is refused: an empty or blank password file would otherwise let anyone in who
// knows the user name.
bool ReadStoredPassword(Session* pSession) {
    return ReadPasswordFile(pSession->szMailDir, pSession->szPassword, sizeof(pSession->szPassword)) == 1 &&
           pSession->szPassword[0] != '\0';
}

// The plaintext mechanisms check the name and password as LOGIN does.
bool PasswordPasses(Session* pSession, const char* pPassword, size_t nPassword) {
    if (nPassword >= sizeof(pSession->szPassword) || memchr(pPassword, '\0', nPassword) != nullptr) {
        return false;
    }
    memcpy(pSession->szPassword, pPassword, nPassword);
    pSession->szPassword[nPassword] = '\0';
    bool bPassed =
        CheckAccount(pSession->szUser, sizeof(pSession->szUser), pSession->szPassword, pSession->szLocalAddr) == 0;
    memset(pSession->szPassword, 0, sizeof(pSession->szPassword));
    return bPassed;
}

// Byte for byte over the whole answer: a NUL inside it must not end the comparison early.
bool SameSecret(const char* pGiven, int nGiven, const char* pszExpected) {
    size_t nExpected = strlen(pszExpected);
    return nGiven >= 0 && static_cast<size_t>(nGiven) == nExpected && memcmp(pGiven, pszExpected, nExpected) == 0;
}

void RespondAuthenticate(Session* pSession, const SavedRequest* pSaved, const char* pszStatus, const char* pszText) {
    FormatResponse(pSession, "%s %s AUTHENTICATE %s\r\n", pSaved->szTag, pszStatus, pszText);
}

Outcome LoginMechanism(Session* pSession, const SavedRequest* pSaved) {
    // With an initial response (SASL-IR, as curl sends it) the user name has come already.
    const char* pszInitial = InitialResponse(pSession->pArgs, 5);
    bool bUser = false;
    if (pszInitial != nullptr) {
        bUser = TakeUserName(pSession, pSession->szAuthWork, DecodeText(pSession, pszInitial));
    } else {
        static_cast<void>(FormatText(pSession->szChallenge, sizeof(pSession->szChallenge), "%s", pSession->pArgs));
        printf("AUTHCODE: SEND %s\n", pSession->szChallenge);
        SendChallenge(pSession);

        if (!RecvAnswer(pSession)) {
            RespondAuthenticate(pSession, pSaved, "BAD", "illegal argument");
            return Outcome::Failed;
        }
        // A client that does not speak the mechanism sends its plain LOGIN command instead.
        if (strchr(pSession->szRecv, ' ') != nullptr) {
            SplitRequestLine(pSession);
            CmdLogin(pSession);
            return Outcome::HandedToLogin;
        }
        bUser = TakeUserName(pSession, pSession->szAuthWork, DecodeAnswer(pSession));
    }

    static_cast<void>(FormatText(pSession->szChallenge, sizeof(pSession->szChallenge), "%s", "PASSWORD"));
    SendChallenge(pSession);
    if (!RecvAnswer(pSession)) {
        RespondAuthenticate(pSession, pSaved, "BAD", "illegal argument");
        return Outcome::Failed;
    }
    int nPassword = DecodeAnswer(pSession);

    // An unusable name still goes through both prompts, so that the client learns nothing
    // about which part was wrong.
    bool bPassed = bUser && nPassword >= 0 &&
                   PasswordPasses(pSession, pSession->szAuthWork, static_cast<size_t>(nPassword));
    memset(pSession->szAuthWork, 0, sizeof(pSession->szAuthWork));
    if (!bPassed) {
        RespondAuthenticate(pSession, pSaved, "NO", "fails");
        return Outcome::Refused;
    }
    return Outcome::Passed;
}

Outcome CramMd5Mechanism(Session* pSession, const SavedRequest* pSaved) {
    // The server speaks first in CRAM-MD5: an initial response cannot belong to this exchange.
    if (InitialResponse(pSession->pArgs, 8) != nullptr) {
        RespondAuthenticate(pSession, pSaved, "BAD", "CRAM-MD5 takes no initial response");
        return Outcome::Failed;
    }
    // The clock counts in whole milliseconds, so the middle number moves in steps of 10000.
    // The host name is cut so that the challenge always keeps its closing ">".
    FILETIME ft = GetSystemTimeAsFileTime();
    ft -= ft % 10000;
    static_cast<void>(FormatText(pSession->szChallenge, sizeof(pSession->szChallenge), "<%lu.%lu@%.220s>",
                                 GetCurrentProcessId(), static_cast<unsigned long>(static_cast<uint32_t>(ft)),
                                 pSession->szHostName));
    printf("AUTHCODE: SEND %s\n", pSession->szChallenge);
    SendChallenge(pSession);

    if (!RecvAnswer(pSession)) {
        RespondAuthenticate(pSession, pSaved, "BAD", "challenge/responce err");
        return Outcome::Failed;
    }
    int nLength = DecodeAnswer(pSession);
    // The split is at the last blank of the whole answer, so that a user name may hold blanks;
    // the answer is searched by its length because it may hold NUL bytes.
    char* pBlank = nullptr;
    for (int i = nLength - 1; i >= 0; i--) {
        if (pSession->szAuthWork[i] == ' ') {
            pBlank = pSession->szAuthWork + i;
            break;
        }
    }
    if (pBlank == nullptr) {
        RespondAuthenticate(pSession, pSaved, "BAD", "challenge/responce err");
        return Outcome::Failed;
    }
    *pBlank = '\0';
    pSession->pAuthCursor = pBlank + 1;
    int nDigest = nLength - static_cast<int>(pSession->pAuthCursor - pSession->szAuthWork);

    // The account is checked like any other login's before its password file is even looked
    // at, and the file is read with the user's rights alone.
    if (!TakeUserName(pSession, pSession->szAuthWork, static_cast<int>(pBlank - pSession->szAuthWork)) ||
        CheckAccountUsable(pSession->szUser, sizeof(pSession->szUser), pSession->szLocalAddr) != 0 ||
        !EnterUserFiles(pSession)) {
        RespondAuthenticate(pSession, pSaved, "NO", "fails");
        return Outcome::Refused;
    }
    char szExpected[DIGEST_HEX_SIZE];
    bool bPassed = ReadStoredPassword(pSession);
    if (bPassed) {
        HmacMd5Hex(pSession->szChallenge, pSession->szPassword, szExpected);
        bPassed = SameSecret(pSession->pAuthCursor, nDigest, szExpected);
    }
    memset(pSession->szPassword, 0, sizeof(pSession->szPassword));
    if (!bPassed) {
        LeaveUserFiles();
        RespondAuthenticate(pSession, pSaved, "NO", "fails");
        return Outcome::Refused;
    }
    return Outcome::PassedAsUser;
}

// The mechanism word ends the argument or is followed by a blank: "PLAINTEXT" is another name.
bool IsMechanism(const char* pszArgs, const char* pszName) {
    size_t nName = strlen(pszName);
    return StrNICmp(pszArgs, pszName, nName) == 0 &&
           (pszArgs[nName] == '\0' || pszArgs[nName] == ' ' || pszArgs[nName] == '\r' || pszArgs[nName] == '\n');
}

// PLAIN: one message "authzid NUL authcid NUL password", checked against the same accounts as
// LOGIN. It comes with the command (SASL-IR, "=" for an empty one) or after an empty prompt.
Outcome PlainMechanism(Session* pSession, const SavedRequest* pSaved) {
    const char* pszInitial = InitialResponse(pSession->pArgs, 5);
    char szAnswer[RECV_SIZE];
    static_cast<void>(FormatText(szAnswer, sizeof(szAnswer), "%s", pszInitial != nullptr ? pszInitial : ""));
    szAnswer[strcspn(szAnswer, "\r\n")] = '\0';
    if (szAnswer[0] == '\0') {
        OutputContinuation(pSession, "");
        if (!RecvAnswer(pSession)) {
            RespondAuthenticate(pSession, pSaved, "BAD", "illegal argument");
            return Outcome::Failed;
        }
        static_cast<void>(FormatText(szAnswer, sizeof(szAnswer), "%s", pSession->szRecv));
    }
    if (strcmp(szAnswer, "*") == 0) {
        RespondAuthenticate(pSession, pSaved, "BAD", "cancelled");
        return Outcome::Failed;
    }
    int nLength = strcmp(szAnswer, "=") == 0 ? 0
                                               : Base64Decode(szAnswer, strlen(szAnswer), pSession->szAuthWork,
                                                              sizeof(pSession->szAuthWork));
    const char* pWork = pSession->szAuthWork;
    const char* pFirstNul = nLength > 0 ? static_cast<const char*>(memchr(pWork, '\0', static_cast<size_t>(nLength)))
                                        : nullptr;
    const char* pSecondNul = nullptr;
    if (pFirstNul != nullptr) {
        size_t nRest = static_cast<size_t>(nLength) - static_cast<size_t>(pFirstNul + 1 - pWork);
        pSecondNul = static_cast<const char*>(memchr(pFirstNul + 1, '\0', nRest));
    }
    if (pSecondNul == nullptr) {
        RespondAuthenticate(pSession, pSaved, "BAD", "illegal argument");
        return Outcome::Failed;
    }
    size_t nAuthz = static_cast<size_t>(pFirstNul - pWork);
    size_t nUser = static_cast<size_t>(pSecondNul - (pFirstNul + 1));
    size_t nPassword = static_cast<size_t>(nLength) - static_cast<size_t>(pSecondNul + 1 - pWork);
    // Acting for another user is not offered: an authorisation name must be the login name.
    bool bAuthzOk = nAuthz == 0 || (nAuthz == nUser && memcmp(pWork, pFirstNul + 1, nUser) == 0);
    bool bPassed = bAuthzOk && TakeUserName(pSession, pFirstNul + 1, static_cast<int>(nUser)) &&
                   PasswordPasses(pSession, pSecondNul + 1, nPassword);
    memset(pSession->szAuthWork, 0, sizeof(pSession->szAuthWork));
    if (!bPassed) {
        RespondAuthenticate(pSession, pSaved, "NO", "fails");
        return Outcome::Refused;
    }
    return Outcome::Passed;
}

int EndAuthenticate(Session* pSession, const SavedRequest* pSaved, const char* pszResult) {
    RestoreRequest(pSession, pSaved);
    WriteAccessLog(pSession, pszResult);
    LogLoginOutcome(pSession, pSaved->szArgs, strcmp(pszResult, "Success") == 0, "authentication failed");
    return 1;
}

}  // namespace

int CmdAuthenticate(Session* pSession) {
    if (pSession->State != Imap4NonAuthenticated) {
        FormatResponse(pSession, "%s %s already logged in\r\n", pSession->pTag, "NO");
        WriteAccessLog(pSession, "failed");
        return 1;
    }
    if (pSession->pArgs == nullptr) {
        RespondIllegalArgument(pSession);
        WriteAccessLog(pSession, "failed");
        return 1;
    }
    SavedRequest saved;
    SaveRequest(pSession, &saved);

    Outcome outcome;
    bool bPlaintext = StrNICmp(pSession->pArgs, "LOGIN", 5) == 0 || IsMechanism(pSession->pArgs, "PLAIN");
    if (bPlaintext && !PlaintextLoginAllowed(pSession)) {
        RespondPrivacyRequired(pSession, saved.szTag, "AUTHENTICATE");
        outcome = Outcome::Failed;
    } else if (IsMechanism(pSession->pArgs, "PLAIN")) {
        outcome = PlainMechanism(pSession, &saved);
    } else if (StrNICmp(pSession->pArgs, "LOGIN", 5) == 0) {
        outcome = LoginMechanism(pSession, &saved);
    } else if (StrNICmp(pSession->pArgs, "CRAM-MD5", 8) == 0) {
        outcome = CramMd5Mechanism(pSession, &saved);
    } else {
        // Only the mechanism's name comes back: what follows it may be a secret.
        pSession->pArgs[strcspn(pSession->pArgs, " \r\n")] = '\0';
        FormatResponse(pSession, "%s %s AUTHENTICATE %s isn't supported\r\n", saved.szTag, "NO", pSession->pArgs);
        outcome = Outcome::Failed;
    }

    if (outcome == Outcome::HandedToLogin) {
        // LOGIN has answered, and counted a failure; the last one allowed ends the session.
        bool bLast = pSession->State == Imap4NonAuthenticated && Settings.LoginFailureLimit > 0 &&
                     pSession->lLoginFailures >= Settings.LoginFailureLimit;
        return bLast ? 0 : 1;
    }
    bool bPassed = outcome == Outcome::Passed || outcome == Outcome::PassedAsUser;
    if (bPassed && AcceptLogin(pSession, outcome == Outcome::PassedAsUser)) {
        RespondLoggedIn(pSession, saved.szTag, "AUTHENTICATE");
        return EndAuthenticate(pSession, &saved, "Success");
    }
    if (bPassed) {
        // The mail directory vanished between the password check and the login.
        RespondAuthenticate(pSession, &saved, "NO", "fails");
    }
    EndAuthenticate(pSession, &saved, "failed");
    return outcome == Outcome::Failed ? 1 : FailLogin(pSession);
}
