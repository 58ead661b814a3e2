// LIST and LSUB: the mailbox tree matched against the client's pattern. Every directory is a
// mailbox that SELECT opens; the hidden mark only says that it is not subscribed, so LIST shows
// every one and LSUB the subscribed ones.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

constexpr size_t PATTERN_SIZE = 1024;

// Clients written for Windows servers send "\" between levels; the store reads it as "/".
void SeparatorsToSlash(char* psz) {
    for (; *psz != '\0'; psz++) {
        if (*psz == '\\') {
            *psz = '/';
        }
    }
}

// The special-use attribute of a folder whose name the settings give to a role.
const char* SpecialUse(const std::string& name) {
    const std::pair<const char*, const char*> roles[] = {
        {Settings.DraftsFolder, "\\Drafts"},
        {Settings.SentFolder, "\\Sent"},
        {Settings.TrashFolder, "\\Trash"},
        {Settings.JunkFolder, "\\Junk"},
    };
    for (const auto& [pszName, pszAttribute] : roles) {
        if (pszName[0] != '\0' && StrICmp(pszName, name.c_str()) == 0) return pszAttribute;
    }
    return nullptr;
}

// The name a client sees: the inbox, and every folder below it, is INBOX however its
// directory is spelled (other spellings of the inbox are never listed).
std::string ShownName(const FolderEntry& folder) {
    if (folder.bInbox) return "INBOX";
    size_t nSlash = folder.name.find('/');
    if (nSlash != std::string::npos && IsInboxName(folder.name.substr(0, nSlash).c_str())) {
        return "INBOX" + folder.name.substr(nSlash);
    }
    return folder.name;
}

void SendListLine(Session* pSession, const std::string& attributes, const std::string& name) {
    char szName[2 * PATTERN_SIZE + 2 * MAX_PATH];
    // A name too long for a response line is left out rather than shown cut, as another name.
    if (!FormatMailboxName(name.c_str(), szName, sizeof(szName))) return;
    OutputFormat(pSession, "* %s (%s) \"/\" %s\r\n", pSession->pCommand, attributes.c_str(), szName);
}

void ListFolderLines(Session* pSession, const char* pszPattern, bool bSubscribedOnly) {
    std::vector<FolderEntry> folders;
    ListFolders(pSession->szMailDir, &folders);
    // A pattern ending in "%" stops at a level; LSUB then names an unsubscribed folder there
    // when a subscribed one lies below it, so that the client can find its way down.
    size_t nPattern = std::strlen(pszPattern);
    bool bLevelPattern = nPattern > 0 && pszPattern[nPattern - 1] == '%';
    for (size_t i = 0; i < folders.size(); i++) {
        const FolderEntry& folder = folders[i];
        std::string name = ShownName(folder);
        if (!MatchListPattern(pszPattern, name.c_str())) continue;
        std::string attributes;
        auto add = [&attributes](const char* pszAttribute) {
            attributes += attributes.empty() ? "" : " ";
            attributes += pszAttribute;
        };
        if (bSubscribedOnly) {
            if (!folder.bSubscribed) {
                bool bSubscribedBelow = false;
                for (size_t j = i + 1; j < folders.size() && folders[j].name.starts_with(folder.name + "/"); j++) {
                    bSubscribedBelow = bSubscribedBelow || folders[j].bSubscribed;
                }
                if (!bLevelPattern || !bSubscribedBelow) continue;
                add("\\Noselect");
            }
        } else {
            if (!folder.bReachable) add("\\Noselect");
            add(folder.bHasChildren ? "\\HasChildren" : "\\HasNoChildren");
            if (const char* pszUse = SpecialUse(name)) add(pszUse);
        }
        SendListLine(pSession, attributes, name);
    }
}

// Reads LIST's and LSUB's arguments and joins them into one pattern from the top of the
// mailbox tree: the reference is a prefix (clients send the parent with its "/"), and a leading
// "/" names the top. False (BAD already in szResponse) without a second argument.
bool ListPattern(Session* pSession, char* pszPattern, bool* pbEmpty) {
    char szReference[PATTERN_SIZE];
    char szPattern[PATTERN_SIZE];
    if (!TakeTwoArguments(pSession, szReference, sizeof(szReference), szPattern, sizeof(szPattern))) {
        return false;
    }
    *pbEmpty = szPattern[0] == '\0';
    SeparatorsToSlash(szReference);
    SeparatorsToSlash(szPattern);
    char szJoined[2 * PATTERN_SIZE];
    static_cast<void>(
        FormatText(szJoined, sizeof(szJoined), "%s%s", szPattern[0] == '/' ? "" : szReference, szPattern));
    const char* pszJoined = szJoined;
    while (*pszJoined == '/') pszJoined++;
    static_cast<void>(FormatText(pszPattern, 2 * PATTERN_SIZE, "%s", pszJoined));
    return true;
}

int ListOrLsub(Session* pSession, bool bSubscribedOnly) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szPattern[2 * PATTERN_SIZE];
    bool bEmpty = false;
    if (!ListPattern(pSession, szPattern, &bEmpty)) return 1;
    if (bEmpty) {
        // An empty pattern asks for the hierarchy delimiter; no subscribed mailbox has the
        // empty name.
        if (!bSubscribedOnly) {
            OutputFormat(pSession, "* %s (\\Noselect) \"/\" \"\"\r\n", pSession->pCommand);
        }
    } else {
        ListFolderLines(pSession, szPattern, bSubscribedOnly);
    }
    RespondCompleted(pSession);
    return 1;
}

}  // namespace

bool MatchListPattern(const char* pszPattern, const char* pszName) {
    // Row j says whether the pattern read so far matches the first j characters of the name;
    // one pass per pattern character keeps any mix of wild cards linear in the name.
    size_t nName = std::strlen(pszName);
    std::vector<char> row(nName + 1, 0), next(nName + 1, 0);
    row[0] = 1;
    for (const char* p = pszPattern; *p != '\0'; p++) {
        next[0] = (*p == '*' || *p == '%') ? row[0] : 0;
        for (size_t j = 1; j <= nName; j++) {
            char c = pszName[j - 1];
            if (*p == '*') {
                next[j] = row[j] || next[j - 1];
            } else if (*p == '%') {
                next[j] = row[j] || (next[j - 1] && c != '/');
            } else {
                next[j] = row[j - 1] && StrNICmp(p, &c, 1) == 0;
            }
        }
        row.swap(next);
    }
    return row[nName] != 0;
}

int CmdList(Session* pSession) {
    TracePrint("[%08lx]  pList: state = %d;\n", SessionId(pSession), pSession->State);
    return ListOrLsub(pSession, false);
}

int CmdLsub(Session* pSession) { return ListOrLsub(pSession, true); }
