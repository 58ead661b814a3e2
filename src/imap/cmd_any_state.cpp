// CAPABILITY, NOOP and LOGOUT: answered in every state.
#include "config/settings.h"
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

const Capability CAPABILITIES[] = {
    {"IMAP4", nullptr},
    {"IMAP4rev1", nullptr},
    {"NAMESPACE", nullptr},
    {"IDLE", nullptr},
    {"LITERAL+", nullptr},
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
};

}  // namespace

int CmdCapability(Session* pSession) {
    char szLine[512] = "* CAPABILITY";
    for (const Capability& cap : CAPABILITIES) {
        if (cap.pfnOffered != nullptr && !cap.pfnOffered(pSession)) {
            continue;
        }
        // APPENDLIMIT alone carries a value.
        bool bAppendLimit = strcmp(cap.pszWord, "APPENDLIMIT") == 0;
        bool bFits = bAppendLimit ? AppendFormat(szLine, sizeof(szLine), " %s=%u", cap.pszWord,
                                                 static_cast<unsigned>(Settings.MaxMessageSize))
                                  : AppendFormat(szLine, sizeof(szLine), " %s", cap.pszWord);
        if (!bFits) break;
    }
    OutputFormat(pSession, "%s\r\n", szLine);
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
