// ENABLE (RFC 5161): the client turns on extensions that change what the server sends it
// unasked. Every capability it names is answered: those enabled now are listed in one
// "* ENABLED" line, the rest are passed over in silence, as the RFC asks.
#include <cstring>
#include <string>
#include <vector>

#include "imap/commands.h"
#include "imap/output.h"
#include "imap/resync.h"
#include "imap/response.h"
#include "platform/text.h"

namespace {

struct Enableable {
    const char* pszWord;
    int32_t fBit;  // ENABLED_*
    void (*pfnEnable)(Session* pSession);
};

void EnableImap4Rev2(Session* pSession) { pSession->fEnabled |= ENABLED_IMAP4REV2; }

void EnableQresync(Session* pSession) {
    // QRESYNC's answers carry modification sequences: it brings CONDSTORE with it.
    EnableCondStore(pSession);
    pSession->fEnabled |= ENABLED_QRESYNC;
}

const Enableable kEnableable[] = {
    {"CONDSTORE", ENABLED_CONDSTORE, EnableCondStore},
    {"QRESYNC", ENABLED_QRESYNC, EnableQresync},
    {"IMAP4rev2", ENABLED_IMAP4REV2, EnableImap4Rev2},
};

}  // namespace

int CmdEnable(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    const char* p = pSession->pArgs;
    if (p == nullptr || *p == '\0') {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // The words are read whole before anything is turned on: a BAD changes nothing.
    std::vector<const Enableable*> named;
    while (*p != '\0') {
        size_t nWord = strcspn(p, " ");
        if (nWord == 0) {
            RespondIllegalArgument(pSession);
            return 1;
        }
        for (const Enableable& row : kEnableable) {
            if (strlen(row.pszWord) == nWord && StrNICmp(p, row.pszWord, nWord) == 0) named.push_back(&row);
        }
        p += nWord;
        if (*p == ' ' && *++p == '\0') {
            RespondIllegalArgument(pSession);
            return 1;
        }
    }
    // Only what this command turned on is listed; what was on already stays unmentioned.
    std::string strEnabled;
    for (const Enableable* pRow : named) {
        if (pSession->fEnabled & pRow->fBit) continue;
        pRow->pfnEnable(pSession);
        strEnabled.append(" ").append(pRow->pszWord);
    }
    OutputFormat(pSession, "* ENABLED%s\r\n", strEnabled.c_str());
    RespondCompleted(pSession);
    return 1;
}
