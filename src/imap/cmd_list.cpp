// LIST and LSUB: the mailbox tree matched against the client's pattern. Every directory is a
// mailbox that SELECT opens; the hidden mark only says that it is not subscribed, so LIST shows
// every one and LSUB the subscribed ones.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/resync.h"
#include "imap/response.h"
#include "imap/args.h"
#include "imap/status.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"
#include "store/store.h"
#include "store/subscriptions.h"

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

// What an extended LIST (RFC 5258) asks for beyond the plain form.
struct ListRequest {
    bool bExtended = false;
    bool bSelectSubscribed = false;   // SUBSCRIBED: subscribed mailboxes only
    bool bRecursiveMatch = false;     // also their parents, with CHILDINFO
    bool bReturnSubscribed = false;   // \Subscribed on the lines
    bool bReturnStatus = false;       // a STATUS line after each selectable mailbox
    StatusRequest status;
    std::vector<std::string> patterns;  // joined with the reference, from the top of the tree
};

bool MatchesAny(const ListRequest& request, const std::string& name) {
    for (const std::string& pattern : request.patterns) {
        if (MatchListPattern(pattern.c_str(), name.c_str())) return true;
    }
    return false;
}

void SendListLine(Session* pSession, const std::string& attributes, const std::string& name, const char* pszExtra = "") {
    char szName[2 * PATTERN_SIZE + 2 * MAX_PATH];
    // A name too long for a response line is left out rather than shown cut, as another name.
    if (!FormatMailboxName(name.c_str(), szName, sizeof(szName), UsesUtf8Names(pSession))) return;
    OutputFormat(pSession, "* %s (%s) \"/\" %s%s\r\n", pSession->pCommand, attributes.c_str(), szName, pszExtra);
}

void ListFolderLines(Session* pSession, const ListRequest& request, bool bSubscribedOnly) {
    std::vector<FolderEntry> folders;
    ListFolders(pSession->szMailDir, &folders);
    // A pattern ending in "%" stops at a level; LSUB then names an unsubscribed folder there
    // when a subscribed one lies below it, so that the client can find its way down.
    const std::string& first = request.patterns.front();
    bool bLevelPattern = !first.empty() && first.back() == '%';
    // Patterns match names as the client sees them; a name a UTF-8 client cannot be shown
    // matches none.
    auto matches = [&](const std::string& stored, std::string* pShown) {
        return ShownMailboxName(pSession, stored, pShown) && MatchesAny(request, *pShown);
    };
    for (size_t i = 0; i < folders.size(); i++) {
        const FolderEntry& folder = folders[i];
        std::string name = ShownName(folder);
        std::string shown;
        if (!matches(name, &shown)) continue;
        std::string attributes;
        auto add = [&attributes](const char* pszAttribute) {
            attributes += attributes.empty() ? "" : " ";
            attributes += pszAttribute;
        };
        const char* pszExtra = "";
        if (bSubscribedOnly) {
            if (!folder.bSubscribed) {
                bool bSubscribedBelow = false;
                for (size_t j = i + 1; j < folders.size() && folders[j].name.starts_with(folder.name + "/"); j++) {
                    // Only for a subscribed mailbox the client can be shown.
                    std::string below;
                    bSubscribedBelow = bSubscribedBelow ||
                                       (folders[j].bSubscribed && ShownMailboxName(pSession, ShownName(folders[j]), &below));
                }
                if (!bLevelPattern || !bSubscribedBelow) continue;
                add("\\Noselect");
            }
        } else {
            if (request.bSelectSubscribed && !folder.bSubscribed) {
                // RECURSIVEMATCH names a parent for its subscribed children that the patterns
                // leave out, so that the client learns why to look below it.
                bool bChildInfo = false;
                for (size_t j = i + 1; request.bRecursiveMatch && j < folders.size() &&
                                       folders[j].name.starts_with(folder.name + "/");
                     j++) {
                    std::string child;
                    bChildInfo = bChildInfo || (folders[j].bSubscribed && ShownMailboxName(pSession, ShownName(folders[j]), &child) &&
                                                !MatchesAny(request, child));
                }
                if (!bChildInfo) continue;
                pszExtra = " (\"CHILDINFO\" (\"SUBSCRIBED\"))";
            }
            if (!folder.bReachable) add("\\Noselect");
            add(folder.bHasChildren ? "\\HasChildren" : "\\HasNoChildren");
            if ((request.bSelectSubscribed || request.bReturnSubscribed) && folder.bSubscribed) add("\\Subscribed");
            if (const char* pszUse = SpecialUse(name.c_str())) add(pszUse);
        }
        SendListLine(pSession, attributes, shown, pszExtra);
        if (request.bReturnStatus && folder.bReachable) {
            char szPath[MAX_PATH];
            if (ResolveMailboxPath(pSession->szMailDir, name.c_str(), szPath, sizeof(szPath))) {
                static_cast<void>(OutputStatusLine(pSession, shown.c_str(), szPath, request.status));
            }
        }
    }
    // Subscribed names whose mailbox is gone (or not made yet) are still subscribed; LSUB has
    // never named them and goes on as it was.
    if (!request.bSelectSubscribed) return;
    std::vector<std::string> lost;
    ReadLostSubscriptions(pSession->szMailDir, &lost);
    for (const std::string& name : lost) {
        bool bListed = std::any_of(folders.begin(), folders.end(),
                                   [&](const FolderEntry& folder) { return ShownName(folder) == name; });
        std::string shown;
        if (bListed || !matches(name, &shown)) continue;
        SendListLine(pSession, "\\Subscribed \\NonExistent", shown);
    }
}

// The reference joined with a pattern into one pattern from the top of the mailbox tree: the
// reference is a prefix (clients send the parent with its "/"), and a leading "/" names the top.
std::string JoinPattern(char* pszReference, char* pszPattern) {
    SeparatorsToSlash(pszReference);
    SeparatorsToSlash(pszPattern);
    std::string joined = std::string(pszPattern[0] == '/' ? "" : pszReference) + pszPattern;
    size_t nTop = joined.find_first_not_of('/');
    return nTop == std::string::npos ? std::string() : joined.substr(nTop);
}

// The words of a parenthesised option list, upper-cased; false when the list is malformed.
bool TakeOptionWords(const char** ppCursor, std::vector<std::string>* pWords) {
    char szList[PATTERN_SIZE];
    if (!TakeParenthesised(ppCursor, szList, sizeof(szList))) return false;
    StrUpper(szList);
    for (const char* p = szList; *p != '\0';) {
        size_t nLength = std::strcspn(p, " ");
        if (nLength == 0) return false;
        pWords->emplace_back(p, nLength);
        p += nLength;
        if (*p == ' ' && *++p == '\0') return false;
    }
    return true;
}

// LIST's selection options "(...)" before the reference; false for one unknown or alone where
// it needs another.
bool TakeSelectionOptions(const char** ppCursor, ListRequest* pRequest) {
    std::vector<std::string> words;
    if (!TakeOptionWords(ppCursor, &words) || !TakeBlank(ppCursor)) return false;
    for (const std::string& word : words) {
        if (word == "SUBSCRIBED") pRequest->bSelectSubscribed = true;
        else if (word == "RECURSIVEMATCH") pRequest->bRecursiveMatch = true;
        else if (word != "REMOTE") return false;  // there are no remote mailboxes
    }
    return !pRequest->bRecursiveMatch || pRequest->bSelectSubscribed;
}

// LIST's " RETURN (...)" after the patterns; STATUS's items as the session's revision knows them.
bool TakeReturnOptions(const char** ppCursor, ListRequest* pRequest, bool bImap4Rev2) {
    const char* p = *ppCursor;
    if (StrNICmp(p, " RETURN (", 9) != 0) return false;
    p += 9;
    while (*p != ')') {
        size_t nLength = std::strcspn(p, " ()");
        std::string word(p, nLength);
        StrUpper(word.data());
        p += nLength;
        if (word == "SUBSCRIBED") {
            pRequest->bReturnSubscribed = true;
        } else if (word == "STATUS") {
            char szItems[PATTERN_SIZE];
            if (*p != ' ' || !TakeParenthesised(&++p, szItems, sizeof(szItems)) ||
                !ReadStatusItems(szItems, &pRequest->status, bImap4Rev2)) {
                return false;
            }
            pRequest->bReturnStatus = true;
        } else if (word != "CHILDREN" && word != "SPECIAL-USE") {
            // Children and special use are told on every line anyway.
            return false;
        }
        if (*p == ' ' && p[1] != ')' && p[1] != ' ') p++;
        else if (*p != ')') return false;
    }
    *ppCursor = p + 1;
    return true;
}

// Reads LIST's and LSUB's arguments: the plain form "reference pattern", and for LIST the
// extended one with selection options, a list of patterns and return options. False (BAD
// already in szResponse) when they cannot be read.
bool ReadListRequest(Session* pSession, bool bSubscribedOnly, ListRequest* pRequest, bool* pbEmpty) {
    char szReference[PATTERN_SIZE];
    char szPattern[PATTERN_SIZE];
    const char* p = pSession->pArgs;
    bool bRead = true;
    if (!bSubscribedOnly && *p == '(') {
        pRequest->bExtended = true;
        bRead = TakeSelectionOptions(&p, pRequest);
    }
    bRead = bRead && TakeAstring(&p, szReference, sizeof(szReference), true) && TakeBlank(&p);
    std::vector<std::string> patterns;
    if (bRead && !bSubscribedOnly && *p == '(') {
        pRequest->bExtended = true;
        for (p++; bRead && *p != ')';) {
            bRead = TakeAstring(&p, szPattern, sizeof(szPattern), true) && (*p == ')' || TakeBlank(&p));
            if (bRead) patterns.push_back(szPattern);
        }
        bRead = bRead && !patterns.empty();
        if (bRead) p++;
    } else if (bRead) {
        bRead = TakeAstring(&p, szPattern, sizeof(szPattern), true);
        patterns.push_back(szPattern);
    }
    if (bRead && !bSubscribedOnly && *p == ' ') {
        pRequest->bExtended = true;
        bRead = TakeReturnOptions(&p, pRequest, Imap4Rev2(pSession));
    }
    // A UTF-8 client writes its patterns in UTF-8, as its names; they match the names it is shown.
    if (bRead && UsesUtf8Names(pSession)) {
        bRead = CheckUtf8MailboxName(szReference) != UTF8_NAME_MALFORMED;
        for (const std::string& pattern : patterns) bRead = bRead && CheckUtf8MailboxName(pattern) != UTF8_NAME_MALFORMED;
    }
    if (!bRead || *p != '\0') {
        RespondIllegalArgument(pSession);
        return false;
    }
    *pbEmpty = patterns.size() == 1 && patterns[0].empty();
    for (std::string& pattern : patterns) {
        char szThisReference[PATTERN_SIZE];
        static_cast<void>(FormatText(szThisReference, sizeof(szThisReference), "%s", szReference));
        pRequest->patterns.push_back(JoinPattern(szThisReference, pattern.data()));
    }
    return true;
}

int ListOrLsub(Session* pSession, bool bSubscribedOnly) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    ListRequest request;
    bool bEmpty = false;
    if (!ReadListRequest(pSession, bSubscribedOnly, &request, &bEmpty)) return 1;
    if (bEmpty) {
        // An empty pattern asks for the hierarchy delimiter; no subscribed mailbox has the
        // empty name.
        if (!bSubscribedOnly && !request.bSelectSubscribed) {
            OutputFormat(pSession, "* %s (\\Noselect) \"/\" \"\"\r\n", pSession->pCommand);
        }
    } else {
        ListFolderLines(pSession, request, bSubscribedOnly);
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
