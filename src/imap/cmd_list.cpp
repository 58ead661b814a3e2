// LIST and LSUB: a walk over the mailbox directories with wild-card listings. LSUB lists the
// same directories as LIST; the unsubscribed ones carry \Noselect.
#include <cstdio>
#include <cstring>
#include <vector>

#include "imap/commands.h"
#include "config/settings.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "net/client.h"
#include "platform/fs.h"

namespace {

constexpr size_t PATTERN_SIZE = 1024;

void SeparatorsToSlash(char* psz) {
    for (; *psz != '\0'; psz++) {
        if (*psz == '\\') {
            *psz = '/';
        }
    }
}

// The reference and the pattern are glued onto the mail directory: a "." or ".." component
// or a drive colon would walk the listing out of it.
bool StaysInMailDir(const char* psz) {
    while (*psz != '\0') {
        size_t nLength = strcspn(psz, "/");
        if ((nLength == 1 && psz[0] == '.') || (nLength == 2 && psz[0] == '.' && psz[1] == '.') ||
            memchr(psz, ':', nLength) != nullptr) {
            return false;
        }
        psz += nLength;
        if (*psz == '/') {
            psz++;
        }
    }
    return true;
}

bool Copy(char* pszOut, size_t nSize, const char* pszText) {
    int n = snprintf(pszOut, nSize, "%s", pszText);
    return n >= 0 && static_cast<size_t>(n) < nSize;
}

// One untagged line per directory, sent at once.
void SendListLine(Session* pSession, bool bHidden, const char* pszDelimiter, const char* pszPrefix,
                  const char* pszDirectory) {
    char szName[PATTERN_SIZE + MAX_PATH];
    char szNameText[2 * sizeof(szName) + 16];
    char szDelimiterText[2 * PATTERN_SIZE + 3];
    int n = snprintf(szName, sizeof(szName), "%s%s", pszPrefix, pszDirectory);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szName) || !FormatMailboxName(szName, szNameText, sizeof(szNameText)) ||
        !FormatQuotedString(pszDelimiter, szDelimiterText, sizeof(szDelimiterText))) {
        return;
    }
    FormatResponse(pSession, "* %s (%s) %s %s\r\n", pSession->pCommand, bHidden ? "\\Noselect" : "", szDelimiterText,
                   szNameText);
    SendResponse(pSession, 1, 1);
}

void ListMailboxes(Session* pSession, const char* pszReference, const char* pszPatternGiven) {
    char szPattern[PATTERN_SIZE];
    if (!Copy(szPattern, sizeof(szPattern), pszPatternGiven)) {
        return;
    }
    // "%" lists one level: it becomes "*" and the walk does not descend.
    bool bDescend = true;
    if (char* pPercent = strchr(szPattern, '%')) {
        *pPercent = '*';
        bDescend = false;
    }

    if (strcmp(pszReference, "/") == 0) {
        pszReference = "";
    }
    // Without a reference the walk starts at the top of the user's mailboxes, also while a
    // mailbox is selected: the selected mailbox's path has no separator at its end, so a
    // pattern glued to it would list its namesakes instead of any mailbox tree.
    const char* pszBase = pSession->szMailDir;
    char szSearch[MAX_PATH + 2 * PATTERN_SIZE];
    int n;
    if (*pszReference != '\0') {
        n = snprintf(szSearch, sizeof(szSearch), "%s%s/%s", pSession->szMailDir,
                     pszReference + (*pszReference == '/' ? 1 : 0), szPattern);
    } else if (szPattern[0] != '\0') {
        n = snprintf(szSearch, sizeof(szSearch), "%s%s", pszBase, szPattern);
    } else {
        n = snprintf(szSearch, sizeof(szSearch), "%s*", pszBase);
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szSearch)) {
        return;
    }

    std::vector<FindData> entries;
    FindFiles(szSearch, 0, entries);
    const char* pszDelimiter = *pszReference != '\0' ? pszReference : "/";
    for (const FindData& entry : entries) {
        // Links and special files read as system: nothing here follows them.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0 || strcmp(entry.cFileName, ".") == 0 ||
            strcmp(entry.cFileName, "..") == 0) {
            continue;
        }
        char szWork[PATTERN_SIZE];
        Copy(szWork, sizeof(szWork), szPattern);
        bool bHidden = (entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
        if (szPattern[0] == '*') {
            SendListLine(pSession, bHidden, pszDelimiter, "", entry.cFileName);
        } else {
            if (char* pStar = strchr(szPattern, '*')) {
                *pStar = '\0';
            }
            SendListLine(pSession, bHidden, pszDelimiter, *pszReference != '\0' ? szPattern : "", entry.cFileName);
        }
        if (!bDescend) {
            continue;
        }
        // The child pattern: the fixed part of the pattern, this directory, and "/*" when the
        // pattern had a wild card.
        char* pStar = strchr(szWork, '*');
        bool bHadStar = pStar != nullptr;
        char szChild[PATTERN_SIZE];
        if (szWork[0] == '*') {
            szWork[0] = '\0';
        } else if (pStar != nullptr) {
            *pStar = '\0';
        }
        n = snprintf(szChild, sizeof(szChild), "%s%s%s", szWork, entry.cFileName, bHadStar ? "/*" : "");
        if (n >= 0 && static_cast<size_t>(n) < sizeof(szChild)) {
            ListMailboxes(pSession, pszReference, szChild);
        }
        Copy(szPattern, sizeof(szPattern), pszPatternGiven);
    }
}

// Splits LIST's and LSUB's arguments into reference and pattern (PATTERN_SIZE each); false
// (BAD or NO already in szResponse) when they are unusable.
bool ListArguments(Session* pSession, char* pszReference, char* pszPattern) {
    if (!TakeTwoArguments(pSession, pszReference, PATTERN_SIZE, pszPattern, PATTERN_SIZE)) {
        return false;
    }
    SeparatorsToSlash(pszReference);
    SeparatorsToSlash(pszPattern);
    if (!StaysInMailDir(pszReference) || !StaysInMailDir(pszPattern)) {
        RespondFails(pSession);
        return false;
    }
    return true;
}

}  // namespace

int CmdList(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    TracePrint("[%08lx]  pList: state = %d;\n", SessionId(pSession), pSession->State);
    char szReference[PATTERN_SIZE];
    char szPattern[PATTERN_SIZE];
    if (ListArguments(pSession, szReference, szPattern)) {
        if (szPattern[0] == '\0') {
            // Clients ask with an empty pattern for the hierarchy delimiter alone; a walk
            // would list every top-level mailbox twice instead.
            FormatResponse(pSession, "* %s (\\Noselect) \"/\" \"\"\r\n", pSession->pCommand);
            SendResponse(pSession, 1, 1);
        } else {
            ListMailboxes(pSession, szReference, szPattern);
        }
        RespondCompleted(pSession);
    }
    return 1;
}

int CmdLsub(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szReference[PATTERN_SIZE];
    char szPattern[PATTERN_SIZE];
    if (ListArguments(pSession, szReference, szPattern)) {
        if (szPattern[0] != '/') {
            szReference[0] = '\0';
        }
        // No subscribed mailbox has the empty name.
        if (szPattern[0] != '\0') {
            ListMailboxes(pSession, szReference, szPattern);
        }
        RespondCompleted(pSession);
    }
    return 1;
}
