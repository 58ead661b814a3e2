// CAPABILITY, NOOP and LOGOUT: answered in every state.
#include "config/settings.h"
#include "imap/capability.h"
#include "imap/login.h"
#include "imap/commands.h"
#include "imap/response.h"
#include "imap/output.h"
#include "platform/format.h"

#include <cstdio>
#include <cstring>

namespace {

// One word a row, so that each extension adds its own line; a row whose test says no is left out
// for this session.
struct Capability {
    const char* pszWord;
    bool (*pfnOffered)(const Session* pSession);
};

bool StartTlsOffered(const Session* pSession) {
    return pSession->pTlsContext != nullptr && pSession->pTls == nullptr;
}

bool LoginDisabled(const Session* pSession) {
    return !PlaintextLoginAllowed(pSession);
}

bool PlaintextOffered(const Session* pSession) {
    return PlaintextLoginAllowed(pSession);
}

// RFC 7889: told once logged in, where the client is about to append.
bool AppendLimitOffered(const Session* pSession) {
    return pSession->State != Imap4NonAuthenticated && Settings.MaxMessageSize != 0;
}

// Extensions of the commands that need a login are told once logged in: the line a client sees
// before it stays as short as it was.
bool LoggedIn(const Session* pSession) {
    return pSession->State != Imap4NonAuthenticated;
}

// RFC 4978: only a logged-in client may compress.
bool CompressOffered(const Session* pSession) {
    return pSession->State != Imap4NonAuthenticated;
}

// RFC 7888 lets a server name one of the two, never both: LITERAL- where the administrator
// wants large literals to wait for the server's go-ahead.
bool LiteralPlusOffered(const Session* /*pSession*/) {
    return Settings.LiteralMinus == 0;
}

bool LiteralMinusOffered(const Session* /*pSession*/) {
    return Settings.LiteralMinus != 0;
}

const Capability CAPABILITIES[] = {
    {"IMAP4", nullptr},
    {"IMAP4rev1", nullptr},
    {"IMAP4rev2", nullptr},
    {"NAMESPACE", nullptr},
    {"IDLE", nullptr},
    {"LITERAL+", LiteralPlusOffered},
    {"CHILDREN", nullptr},
    {"SPECIAL-USE", nullptr},
    {"UIDPLUS", nullptr},
    {"MOVE", nullptr},
    {"ENABLE", nullptr},
    {"CONDSTORE", nullptr},
    {"QRESYNC", nullptr},
    {"STARTTLS", StartTlsOffered},
    {"LOGINDISABLED", LoginDisabled},
    {"SASL-IR", nullptr},
    {"AUTH=PLAIN", PlaintextOffered},
    {"AUTH=CRAM-MD5", nullptr},
    {"AUTH=LOGIN", PlaintextOffered},
    {"APPENDLIMIT", AppendLimitOffered},
    {"ESEARCH", LoggedIn},
    {"SEARCHRES", LoggedIn},
    {"CONTEXT=SEARCH", LoggedIn},
    {"LIST-EXTENDED", LoggedIn},
    {"LIST-STATUS", LoggedIn},
    {"STATUS=SIZE", LoggedIn},
    {"BINARY", nullptr},
    {"MULTIAPPEND", nullptr},
    {"CATENATE", nullptr},
    {"ID", nullptr},
    {"UNSELECT", nullptr},
    {"COMPRESS=DEFLATE", CompressOffered},
    {"LITERAL-", LiteralMinusOffered},
    {"SORT", nullptr},
    {"SORT=DISPLAY", nullptr},
    {"ESORT", LoggedIn},
    {"CONTEXT=SORT", LoggedIn},
    {"THREAD=ORDEREDSUBJECT", nullptr},
    {"THREAD=REFERENCES", nullptr},
};

}  // namespace

bool FormatCapabilities(const Session* pSession, char* pszOut, size_t nSize) {
    if (nSize == 0) return false;
    pszOut[0] = '\0';
    const char* pszBlank = "";
    for (const Capability& cap : CAPABILITIES) {
        if (cap.pfnOffered != nullptr && !cap.pfnOffered(pSession)) {
            continue;
        }
        // APPENDLIMIT alone carries a value.
        bool bAppendLimit = strcmp(cap.pszWord, "APPENDLIMIT") == 0;
        bool bFits = bAppendLimit ? AppendFormat(pszOut, nSize, "%s%s=%u", pszBlank, cap.pszWord,
                                                 static_cast<unsigned>(Settings.MaxMessageSize))
                                  : AppendFormat(pszOut, nSize, "%s%s", pszBlank, cap.pszWord);
        if (!bFits) return false;
        pszBlank = " ";
    }
    return true;
}

void RespondLoggedIn(Session* pSession, const char* pszTag, const char* pszCommand) {
    char szCapabilities[CAPABILITY_TEXT_SIZE];
    static_cast<void>(FormatCapabilities(pSession, szCapabilities, sizeof(szCapabilities)));
    FormatResponse(pSession, "%s OK [CAPABILITY %s] %s completed\r\n", pszTag, szCapabilities, pszCommand);
}

int CmdCapability(Session* pSession) {
    char szLine[CAPABILITY_TEXT_SIZE];
    static_cast<void>(FormatCapabilities(pSession, szLine, sizeof(szLine)));
    OutputFormat(pSession, "* CAPABILITY %s\r\n", szLine);
    RespondCompleted(pSession);
    return 1;
}

int CmdNoop(Session* pSession) {
    RespondCompleted(pSession);
    return 1;
}

int CmdLogout(Session* pSession) {
    OutputFormat(pSession, "* BYE %s terminating connection\r\n", "Velmora IMAP4rev1 Server");
    RespondCompleted(pSession);
    pSession->State = Imap4NonAuthenticated;
    return 0;
}
