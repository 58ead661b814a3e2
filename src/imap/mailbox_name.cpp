#include "imap/mailbox_name.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "config/settings.h"
#include "imap/args.h"
#include "imap/response.h"
#include "imap/resync.h"
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

bool MailboxExistsBelow(const char* pszMailDir, const std::string& name) {
    char szPath[MAX_PATH];
    return ResolveMailboxPath(pszMailDir, name.c_str(), szPath, sizeof(szPath)) && MailboxExists(szPath);
}

}  // namespace

bool UsesUtf8Names(const Session* pSession) { return (pSession->fEnabled & ENABLED_IMAP4REV2) != 0; }

Utf8NameCheck StoredNameOf(const Session* pSession, std::string_view name, std::string* pStored) {
    if (!UsesUtf8Names(pSession)) {
        *pStored = name;
        return UTF8_NAME_OK;
    }
    Utf8NameCheck check = CheckUtf8MailboxName(name);
    if (check != UTF8_NAME_OK) return check;
    std::string stored;
    for (size_t n = 0;;) {
        size_t nEnd = name.find_first_of("/\\", n);
        std::string_view level = name.substr(n, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - n);
        std::string encoded = EncodeModifiedUtf7(level);
        // A level LIST shows with its bytes as they are (no modified UTF-7 made it) is found under
        // those bytes, unless a mailbox of the encoded spelling is there too.
        std::string shown;
        if (encoded != level && StoredLevelToUtf8(level, &shown) && shown == level &&
            !MailboxExistsBelow(pSession->szMailDir, stored + encoded) &&
            MailboxExistsBelow(pSession->szMailDir, stored + std::string(level))) {
            encoded = level;
        }
        stored += encoded;
        if (nEnd == std::string_view::npos) break;
        stored += name[nEnd];
        n = nEnd + 1;
    }
    *pStored = std::move(stored);
    return UTF8_NAME_OK;
}

bool ClientNameToStored(Session* pSession, char* pszName, size_t nSize) {
    std::string stored;
    switch (StoredNameOf(pSession, pszName, &stored)) {
        case UTF8_NAME_MALFORMED:
            RespondIllegalArgument(pSession);
            return false;
        case UTF8_NAME_FORBIDDEN:
            FormatResponse(pSession, "%s %s [CANNOT] %s fails\r\n", pSession->pTag, "NO", pSession->pCommand);
            return false;
        case UTF8_NAME_OK:
            break;
    }
    // Encoded, a long name may outgrow what any path could hold: it names no mailbox.
    if (!FormatText(pszName, nSize, "%s", stored.c_str())) {
        RespondFails(pSession);
        return false;
    }
    return true;
}

bool ShownMailboxName(const Session* pSession, const std::string& stored, std::string* pShown) {
    if (!UsesUtf8Names(pSession)) {
        *pShown = stored;
        return true;
    }
    return StoredNameToUtf8(stored, pShown);
}

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
    return ClientNameToStored(pSession, pszName, nSize);
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

bool FormatMailboxName(const char* pszName, char* pszOut, size_t nSize, bool bUtf8) {
    bool bAtom = pszName[0] != '\0';
    bool bQuotable = true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszName); *p != '\0'; p++) {
        bAtom = bAtom && IsAtomChar(*p);
        // A quoted string holds 7-bit text without CR and LF, and UTF-8 for a client that asked
        // for it; anything else needs a literal.
        bQuotable = bQuotable && (*p < 0x80 || bUtf8) && *p != '\r' && *p != '\n';
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
    if (!TakeTwoArguments(pSession, szSet, sizeof(szSet), szTargetName, sizeof(szTargetName)) ||
        !ClientNameToStored(pSession, szTargetName, sizeof(szTargetName))) {
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
