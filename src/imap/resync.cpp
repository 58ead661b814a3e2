#include "imap/resync.h"

#include <algorithm>
#include <cstring>

#include "imap/args.h"
#include "imap/output.h"
#include "imap/view.h"
#include "platform/text.h"

namespace {

// The word at the cursor equals pszWord (any case) and ends there.
bool TakeWord(const char** ppCursor, const char* pszWord) {
    size_t nWord = strlen(pszWord);
    const char* p = *ppCursor;
    if (StrNICmp(p, pszWord, nWord) != 0) return false;
    char chAfter = p[nWord];
    if (chAfter != '\0' && chAfter != ' ' && chAfter != ')') return false;
    *ppCursor = p + nWord;
    return true;
}

bool TakeChar(const char** ppCursor, char ch) {
    if (**ppCursor != ch) return false;
    ++*ppCursor;
    return true;
}

bool TakeNumber32(const char** ppCursor, uint32_t* pulValue) {
    uint64_t ullValue = 0;
    const char* p = *ppCursor;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') {
        ullValue = ullValue * 10 + static_cast<uint64_t>(*p++ - '0');
        if (ullValue > 0xFFFFFFFFull) return false;
    }
    *ppCursor = p;
    *pulValue = static_cast<uint32_t>(ullValue);
    return true;
}

// A sequence set inside a list: it ends at a blank or the list's ")".
bool TakeListedSet(const char** ppCursor, std::vector<SetElement>* pSet) {
    size_t nLength = strcspn(*ppCursor, " )");
    std::string strSet(*ppCursor, nLength);
    const char* p = strSet.c_str();
    if (!TakeSequenceSet(&p, pSet) || *p != '\0') return false;
    *ppCursor += nLength;
    return true;
}

}  // namespace

bool TakeModSeq(const char** ppCursor, uint64_t* pullValue, bool bZeroAllowed) {
    const char* p = *ppCursor;
    if (*p < '0' || *p > '9') return false;
    uint64_t ullValue = 0;
    while (*p >= '0' && *p <= '9') {
        uint64_t ullDigit = static_cast<uint64_t>(*p++ - '0');
        if (ullValue > (MODSEQ_MAX - ullDigit) / 10) return false;
        ullValue = ullValue * 10 + ullDigit;
    }
    if (ullValue == 0 && !bZeroAllowed) return false;
    *ppCursor = p;
    *pullValue = ullValue;
    return true;
}

ModifierResult CutFetchModifiers(char* pszItems, FetchModifiers* pModifiers) {
    *pModifiers = FetchModifiers{};
    size_t nLength = strlen(pszItems);
    if (nLength < 2 || pszItems[nLength - 1] != ')') return MODIFIERS_NONE;
    char* pOpen = strrchr(pszItems, '(');
    // A modifier list stands alone behind the items, and holds no list of its own.
    if (pOpen == nullptr || pOpen == pszItems || pOpen[-1] != ' ' || strchr(pOpen, ')') != pszItems + nLength - 1) {
        return MODIFIERS_NONE;
    }
    const char* p = pOpen + 1;
    if (StrNICmp(p, "CHANGEDSINCE", 12) != 0 && StrNICmp(p, "VANISHED", 8) != 0) return MODIFIERS_NONE;
    for (bool bFirst = true;; bFirst = false) {
        if (!bFirst && !TakeChar(&p, ' ')) return MODIFIERS_BAD;
        if (TakeWord(&p, "CHANGEDSINCE")) {
            if (pModifiers->bChangedSince || !TakeChar(&p, ' ') ||
                !TakeModSeq(&p, &pModifiers->ullChangedSince, false)) {
                return MODIFIERS_BAD;
            }
            pModifiers->bChangedSince = true;
        } else if (TakeWord(&p, "VANISHED")) {
            if (pModifiers->bVanished) return MODIFIERS_BAD;
            pModifiers->bVanished = true;
        } else {
            return MODIFIERS_BAD;
        }
        if (*p == ')') break;
    }
    // VANISHED says which expunges to report since CHANGEDSINCE's sequence: it needs one.
    if (pModifiers->bVanished && !pModifiers->bChangedSince) return MODIFIERS_BAD;
    pOpen[-1] = '\0';
    return MODIFIERS_READ;
}

ModifierResult TakeStoreModifiers(const char** ppCursor, uint64_t* pullUnchangedSince) {
    const char* p = *ppCursor;
    if (*p != '(' || StrNICmp(p + 1, "UNCHANGEDSINCE", 14) != 0) return MODIFIERS_NONE;
    p++;
    if (!TakeWord(&p, "UNCHANGEDSINCE") || !TakeChar(&p, ' ') || !TakeModSeq(&p, pullUnchangedSince, true) ||
        !TakeChar(&p, ')') || !TakeChar(&p, ' ')) {
        return MODIFIERS_BAD;
    }
    *ppCursor = p;
    return MODIFIERS_READ;
}

bool ReadSelectParameters(const char* pszText, SelectParameters* pParameters) {
    *pParameters = SelectParameters{};
    const char* p = pszText;
    if (!TakeChar(&p, '(')) return false;
    for (bool bFirst = true;; bFirst = false) {
        if (!bFirst && !TakeChar(&p, ' ')) return false;
        if (TakeWord(&p, "CONDSTORE")) {
            pParameters->bCondStore = true;
        } else if (TakeWord(&p, "QRESYNC")) {
            if (pParameters->bQresync || !TakeChar(&p, ' ') || !TakeChar(&p, '(') ||
                !TakeNumber32(&p, &pParameters->ulUidValidity) || pParameters->ulUidValidity == 0 ||
                !TakeChar(&p, ' ') || !TakeModSeq(&p, &pParameters->ullModSeq, false)) {
                return false;
            }
            pParameters->bQresync = true;
            if (TakeChar(&p, ' ')) {
                if (*p != '(') {
                    if (!TakeListedSet(&p, &pParameters->knownUids)) return false;
                    pParameters->bKnownUids = true;
                    if (*p == ' ') p++;
                }
                if (TakeChar(&p, '(')) {
                    if (!TakeListedSet(&p, &pParameters->matchSequences) || !TakeChar(&p, ' ') ||
                        !TakeListedSet(&p, &pParameters->matchUids) || !TakeChar(&p, ')')) {
                        return false;
                    }
                    pParameters->bMatch = true;
                }
            }
            if (!TakeChar(&p, ')')) return false;
        } else {
            return false;
        }
        if (*p == ')') break;
    }
    return TakeChar(&p, ')') && *p == '\0';
}

void AppendUidSet(std::string* pstrOut, const std::vector<uint32_t>& uids) {
    bool bFirst = true;
    for (size_t i = 0; i < uids.size();) {
        size_t j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) j++;
        if (!bFirst) pstrOut->push_back(',');
        bFirst = false;
        pstrOut->append(std::to_string(uids[i]));
        if (j > i) pstrOut->append(":").append(std::to_string(uids[j]));
        i = j + 1;
    }
}

std::string UidRangesText(const std::vector<UidRange>& ranges, const std::vector<SetElement>* pSet, uint32_t ulStar) {
    std::vector<UidRange> kept;
    for (const UidRange& range : ranges) {
        if (pSet == nullptr) {
            kept.push_back(range);
            continue;
        }
        for (const SetElement& element : *pSet) {
            uint32_t ulLow, ulHigh;
            ElementBounds(element, ulStar, &ulLow, &ulHigh);
            ulLow = std::max(ulLow, range.ulLow);
            ulHigh = std::min(ulHigh, range.ulHigh);
            if (ulLow <= ulHigh) kept.push_back(UidRange{ulLow, ulHigh});
        }
    }
    std::sort(kept.begin(), kept.end(), [](const UidRange& a, const UidRange& b) { return a.ulLow < b.ulLow; });
    std::string strText;
    for (size_t i = 0; i < kept.size();) {
        uint32_t ulLow = kept[i].ulLow, ulHigh = kept[i].ulHigh;
        // Overlapping or adjacent pieces (a set may name a UID twice) are written once.
        for (i++; i < kept.size() && (kept[i].ulLow <= ulHigh || kept[i].ulLow - 1 == ulHigh); i++) {
            ulHigh = std::max(ulHigh, kept[i].ulHigh);
        }
        if (!strText.empty()) strText.push_back(',');
        strText.append(std::to_string(ulLow));
        if (ulHigh != ulLow) strText.append(":").append(std::to_string(ulHigh));
    }
    return strText;
}

void EnableCondStore(Session* pSession) {
    if (pSession->fEnabled & ENABLED_CONDSTORE) return;
    pSession->fEnabled |= ENABLED_CONDSTORE;
    // A client that turns it on with a mailbox open has not been told where its sequences stand.
    if (pSession->State == Imap4Selected && pSession->pView != nullptr) {
        OutputFormat(pSession, "* OK [HIGHESTMODSEQ %llu] Highest\r\n",
                     static_cast<unsigned long long>(pSession->pView->pIndex->HighestModSeq()));
    }
}
