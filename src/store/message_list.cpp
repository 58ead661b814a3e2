// Message sets as the client writes them, and the listing of a mailbox that a session's view of
// it is built from.
#include <algorithm>
#include <cstring>

#include "platform/dir_watch.h"
#include "platform/time.h"
#include "store/store.h"

namespace {

// A nonzero number without sign or blanks, or "*" (0); false for anything else.
bool ReadSetNumber(const char*& p, uint32_t* pulValue) {
    if (*p == '*') {
        ++p;
        *pulValue = 0;
        return true;
    }
    if (*p < '1' || *p > '9') return false;
    uint64_t ullValue = 0;
    while (*p >= '0' && *p <= '9') {
        ullValue = ullValue * 10 + static_cast<uint64_t>(*p++ - '0');
        if (ullValue > 0xFFFFFFFFull) return false;
    }
    *pulValue = static_cast<uint32_t>(ullValue);
    return true;
}

}  // namespace

bool ParseMessageSet(const char* pszSet, std::vector<SetElement>* pElements) {
    pElements->clear();
    const char* p = pszSet;
    for (;;) {
        SetElement element{};
        if (!ReadSetNumber(p, &element.ulLow)) break;
        element.ulHigh = element.ulLow;
        if (*p == ':' && !ReadSetNumber(++p, &element.ulHigh)) break;
        pElements->push_back(element);
        if (*p == '\0') return true;
        if (*p++ != ',') break;
    }
    pElements->clear();
    return false;
}

void ElementBounds(const SetElement& element, uint32_t ulStar, uint32_t* pulLow, uint32_t* pulHigh) {
    uint32_t ulA = element.ulLow == 0 ? ulStar : element.ulLow;
    uint32_t ulB = element.ulHigh == 0 ? ulStar : element.ulHigh;
    *pulLow = std::min(ulA, ulB);
    *pulHigh = std::max(ulA, ulB);
}

bool SetContains(const std::vector<SetElement>& elements, uint32_t ulNumber, uint32_t ulStar) {
    for (const SetElement& element : elements) {
        uint32_t ulLow, ulHigh;
        ElementBounds(element, ulStar, &ulLow, &ulHigh);
        if (ulLow <= ulNumber && ulNumber <= ulHigh) return true;
    }
    return false;
}

bool ReadMessageName(const char* pszName, ListedMessage* pMessage) {
    if (strnlen(pszName, MESSAGE_NAME_LENGTH + 1) != MESSAGE_NAME_LENGTH || pszName[10] != '-' ||
        std::strcmp(pszName + 17, ".MSG") != 0) {
        return false;
    }
    uint64_t ullUid = 0;
    for (int i = 0; i < 10; ++i) {
        if (pszName[i] < '0' || pszName[i] > '9') return false;
        ullUid = ullUid * 10 + static_cast<uint64_t>(pszName[i] - '0');
    }
    if (ullUid == 0 || ullUid > 0xFFFFFFFFull) return false;
    uint8_t fFlags = 0;
    for (int i = 0; i < 6; ++i) {
        char ch = pszName[FLAG_POS_RECENT + i];
        if (ch != '0' && ch != '1') return false;
        if (ch == '1') fFlags = static_cast<uint8_t>(fFlags | (1u << i));
    }
    pMessage->ulUid = static_cast<uint32_t>(ullUid);
    pMessage->fFlags = fFlags;
    return true;
}

void FlagCodeOf(uint8_t fFlags, char* pszCode) {
    for (int i = 0; i < 6; ++i) pszCode[i] = (fFlags & (1u << i)) ? '1' : '0';
    pszCode[6] = '\0';
}

ListResult ListMessages(const char* pszMailbox, std::vector<ListedMessage>* pMessages, size_t* pnTemporaries) {
    pMessages->clear();
    size_t nTemporaries = 0;
    DirectoryRead read = ReadDirectoryFiles(
        pszMailbox,
        [&](const char* pszName) {
            ListedMessage message;
            if (pszName[0] == '.') {
                size_t nLength = std::strlen(pszName);
                if ((nLength > 9 && std::strcmp(pszName + nLength - 9, ".incoming") == 0) ||
                    (nLength > 4 && std::strcmp(pszName + nLength - 4, ".tmp") == 0)) {
                    nTemporaries++;
                }
            } else if (ReadMessageName(pszName, &message)) {
                pMessages->push_back(message);
            }
        },
        pnTemporaries != nullptr);
    if (pnTemporaries != nullptr) *pnTemporaries = nTemporaries;
    if (read != DIRECTORY_READ) {
        pMessages->clear();
        return read == DIRECTORY_MISSING ? LIST_MISSING : LIST_FAILED;
    }
    // Stable, so that of two names of one UID (a rename caught half-way by another program's
    // copy) the one the directory holds first is kept.
    std::stable_sort(pMessages->begin(), pMessages->end(),
                     [](const ListedMessage& a, const ListedMessage& b) { return a.ulUid < b.ulUid; });
    pMessages->erase(std::unique(pMessages->begin(), pMessages->end(),
                                 [](const ListedMessage& a, const ListedMessage& b) { return a.ulUid == b.ulUid; }),
                     pMessages->end());
    return LIST_OK;
}

bool FindMessageFlags(const char* pszMailbox, uint32_t ulUid, uint8_t* pfFlags) {
    char szPattern[MAX_PATH * 2];
    if (!FormatMessagePath(szPattern, sizeof(szPattern), pszMailbox, ulUid, "??????")) return false;
    // A listing may miss a file that another session renames while it runs, and a probe of one
    // name after another may miss it as it moves: the file is gone only when neither finds it,
    // several times over.
    for (int nRound = 0; nRound < 4; nRound++) {
        bool bFound = false;
        FindFiles(szPattern, 0, [&](const FindData& data) {
            ListedMessage listed;
            if (IsMessageFile(data) && ReadMessageName(data.cFileName, &listed) && listed.ulUid == ulUid) {
                *pfFlags = listed.fFlags;
                bFound = true;
            }
            return !bFound;
        });
        if (bFound || ProbeMessageFlags(pszMailbox, ulUid, pfFlags)) return true;
    }
    return false;
}

bool FindMovedMessageFlags(const char* pszMailbox, uint32_t ulUid, uint8_t fGone, uint8_t* pfFlags) {
    char szPattern[MAX_PATH * 2];
    if (!FormatMessagePath(szPattern, sizeof(szPattern), pszMailbox, ulUid, "??????")) return false;
    // A cluster file system may go on listing or finding the old name until its cache times out
    // (about a second); a local one is believed at once.
    const bool bShared = OnSharedFileSystem(pszMailbox);
    unsigned ulWaited = 0;
    int nEmptyLooks = 0;
    for (unsigned ulPause = 10;; ulPause *= 2) {
        bool bFound = false, bGoneListed = false;
        FindFiles(szPattern, 0, [&](const FindData& data) {
            ListedMessage listed;
            if (IsMessageFile(data) && ReadMessageName(data.cFileName, &listed) && listed.ulUid == ulUid) {
                if (listed.fFlags == fGone) {
                    bGoneListed = true;
                } else {
                    *pfFlags = listed.fFlags;
                    bFound = true;
                }
            }
            return !bFound;
        });
        if (bFound) return true;
        for (unsigned fFlags = 0; fFlags < 64; fFlags++) {
            char szCode[7];
            FlagCodeOf(static_cast<uint8_t>(fFlags), szCode);
            char szPath[MAX_PATH * 2];
            if (fFlags != fGone && FormatMessagePath(szPath, sizeof(szPath), pszMailbox, ulUid, szCode) &&
                PathExists(szPath)) {
                *pfFlags = static_cast<uint8_t>(fFlags);
                return true;
            }
        }
        // Seen under no name, several times over (one look may fall between two renames): gone.
        if (!bGoneListed) {
            if (++nEmptyLooks == 3) return false;
            continue;
        }
        if (!bShared || ulWaited >= 1500) {
            // Still there after all: the name was not gone, whatever the call said.
            *pfFlags = fGone;
            return true;
        }
        SleepMilliseconds(ulPause);
        ulWaited += ulPause;
    }
}

bool ProbeMessageFlags(const char* pszMailbox, uint32_t ulUid, uint8_t* pfFlags) {
    for (unsigned fFlags = 0; fFlags < 64; fFlags++) {
        char szCode[7];
        FlagCodeOf(static_cast<uint8_t>(fFlags), szCode);
        char szPath[MAX_PATH * 2];
        if (FormatMessagePath(szPath, sizeof(szPath), pszMailbox, ulUid, szCode) && PathExists(szPath)) {
            *pfFlags = static_cast<uint8_t>(fFlags);
            return true;
        }
    }
    return false;
}
