#include "imap/mailbox_name.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/response.h"
#include "imap/view.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

// Atom characters: printable ASCII except the atom specials and "]", which a client parser
// would read as the end of a response code.
bool IsAtomChar(unsigned char c) {
    return c > 0x20 && c < 0x7f && std::strchr("(){%*\"\\]", c) == nullptr;
}

}  // namespace

bool TakeMailboxArgument(Session* pSession, char* pszName, size_t nSize) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return false;
    }
    const char* p = pSession->pArgs;
    if (!TakeAstring(&p, pszName, nSize) || *p != '\0') {
        RespondIllegalArgument(pSession);
        return false;
    }
    return true;
}

bool TakeTwoArguments(Session* pSession, char* pszFirst, size_t nFirstSize, char* pszSecond, size_t nSecondSize) {
    const char* p = pSession->pArgs;
    if (!TakeAstring(&p, pszFirst, nFirstSize, true) || !TakeBlank(&p) ||
        !TakeAstring(&p, pszSecond, nSecondSize, true) || *p != '\0') {
        RespondIllegalArgument(pSession);
        return false;
    }
    return true;
}

bool ResolveMailboxBelow(const char* pszBase, const char* pszName, char* pszPath, size_t nSize) {
    size_t nLength = std::strlen(pszName);
    while (nLength > 1 && (pszName[nLength - 1] == '/' || pszName[nLength - 1] == '\\')) {
        nLength--;
    }
    return ResolveMailboxPath(pszBase, pszName, nLength, pszPath, nSize);
}

bool ResolveClientMailbox(const Session* pSession, const char* pszName, char* pszPath, size_t nSize) {
    return ResolveMailboxBelow(pSession->szMailDir, pszName, pszPath, nSize);
}

bool MailboxExists(const char* pszPath) {
    FindData data;
    return FindEntry(pszPath, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void RespondNoMailbox(Session* pSession, const char* pszTag, const char* pszCommand, const char* pszPath) {
    FindData data;
    char szReason[128] = "";
    EntryProbe probe = FindEntry(pszPath, &data) ? ENTRY_PRESENT : ProbeEntry(pszPath, szReason, sizeof(szReason));
    if (probe == ENTRY_MISSING) {
        FormatResponse(pSession, "%s %s [TRYCREATE] %s fails\r\n", pszTag, "NO", pszCommand);
    } else if (probe == ENTRY_UNREADABLE) {
        // Never TRYCREATE here: the mailbox may well exist, and the client would try to make it.
        FormatResponse(pSession, "%s %s [UNAVAILABLE] %s fails: %s\r\n", pszTag, "NO", pszCommand, szReason);
    } else {
        FormatResponse(pSession, "%s %s %s fails\r\n", pszTag, "NO", pszCommand);
    }
}

bool FormatQuotedString(const char* pszText, char* pszOut, size_t nSize) {
    size_t nOut = 0;
    auto put = [&](char c) {
        if (nOut + 1 >= nSize) {
            return false;
        }
        pszOut[nOut++] = c;
        return true;
    };
    if (!put('"')) {
        return false;
    }
    for (const char* p = pszText; *p != '\0'; p++) {
        if ((*p == '"' || *p == '\\') && !put('\\')) {
            return false;
        }
        if (!put(*p)) {
            return false;
        }
    }
    if (!put('"')) {
        return false;
    }
    pszOut[nOut] = '\0';
    return true;
}

bool FormatMailboxName(const char* pszName, char* pszOut, size_t nSize) {
    bool bAtom = pszName[0] != '\0';
    bool bQuotable = true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszName); *p != '\0'; p++) {
        bAtom = bAtom && IsAtomChar(*p);
        // A quoted string holds 7-bit text without CR and LF; anything else needs a literal.
        bQuotable = bQuotable && *p < 0x80 && *p != '\r' && *p != '\n';
    }
    if (bAtom) {
        return FormatText(pszOut, nSize, "%s", pszName);
    }
    if (bQuotable) {
        return FormatQuotedString(pszName, pszOut, nSize);
    }
    return FormatText(pszOut, nSize, "{%zu}\r\n%s", std::strlen(pszName), pszName);
}

bool TakeSetAndTarget(Session* pSession, std::vector<SetElement>* pSet, char* pszTarget, size_t nTargetSize) {
    char szSet[RECV_SIZE];
    char szTargetName[RECV_SIZE];
    if (!TakeTwoArguments(pSession, szSet, sizeof(szSet), szTargetName, sizeof(szTargetName))) {
        return false;
    }
    if (!ResolveClientMailbox(pSession, szTargetName, pszTarget, nTargetSize)) {
        RespondFails(pSession);
        return false;
    }
    if (!MailboxExists(pszTarget)) {
        RespondNoMailbox(pSession, pSession->pTag, pSession->pCommand, pszTarget);
        return false;
    }
    // The set may come quoted; a wrong one is told only once the target is known to be right.
    const char* p = szSet;
    if (!TakeMessageSet(pSession, &p, pSet) || *p != '\0') {
        RespondIllegalArgument(pSession);
        return false;
    }
    return true;
}

const char* SpecialUse(const char* pszName) {
    const std::pair<const char*, const char*> roles[] = {
        {Settings.DraftsFolder, "\\Drafts"},
        {Settings.SentFolder, "\\Sent"},
        {Settings.TrashFolder, "\\Trash"},
        {Settings.JunkFolder, "\\Junk"},
    };
    for (const auto& [pszRole, pszAttribute] : roles) {
        if (pszRole[0] != '\0' && StrICmp(pszRole, pszName) == 0) return pszAttribute;
    }
    return nullptr;
}
