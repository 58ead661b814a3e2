// The item list of FETCH and the field lists of HEADER.FIELDS share one splitter.
#include <cstdio>
#include <cstring>

#include "imap/fetch/items.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

struct FetchMacro {
    const char* pszWord;
    const char* pszExpansion;
};

// Searched in this order, as plain case-sensitive substrings: the first one found wins.
const FetchMacro kMacros[] = {
    {"ALL", "FLAGS INTERNALDATE RFC822.SIZE ENVELOPE "},
    {"FULL", "FLAGS INTERNALDATE RFC822.SIZE ENVELOPE BODY "},
    {"FAST", "FLAGS INTERNALDATE RFC822.SIZE "},
};

bool IsWordNot(const char* pWord, const char* pEnd) {
    return pEnd - pWord == 3 && StrNICmp(pWord, "not", 3) == 0;
}

}  // namespace

int SplitItemWords(char* pszText, char** ppWords, bool* pbLimit) {
    int nWords = 0;
    bool bToBracket = false;
    char* p = pszText;
    *pbLimit = false;
    for (;;) {
        if (nWords == FETCH_ITEM_WORDS - 1) {
            // The last place takes whatever is left, spaces included.
            ppWords[nWords++] = p;
            *pbLimit = true;
            break;
        }
        ppWords[nWords++] = p;
        char* pEnd;
        if (bToBracket) {
            pEnd = strchr(p, ']');
        } else {
            pEnd = strchr(p, ' ');
            if (pEnd != nullptr && IsWordNot(p, pEnd)) {
                pEnd = strchr(pEnd + 1, ' ');
            }
        }
        if (pEnd == nullptr) {
            break;
        }
        *pEnd = '\0';
        // A word that opens a section without closing it hands the rest of the section, up to
        // its "]", to the next word: that is how a HEADER.FIELDS list stays in one piece.
        bToBracket = strchr(p, '[') != nullptr && strchr(p, ']') == nullptr;
        p = pEnd + 1;
    }
    ppWords[nWords] = nullptr;
    return nWords;
}

void ParseItemList(char* pszText, bool bAddUid, FetchItemList* pList) {
    char* pText = pszText;
    for (const FetchMacro& macro : kMacros) {
        const char* pFound = strstr(pszText, macro.pszWord);
        if (pFound != nullptr) {
            // Text before the macro word is dropped; the rest follows the expansion.
            static_cast<void>(FormatText(pList->szExpanded, sizeof(pList->szExpanded), "%s%.*s", macro.pszExpansion,
                                         static_cast<int>(FETCH_MACRO_REST), pFound + strlen(macro.pszWord)));
            pText = pList->szExpanded;
            break;
        }
    }

    bool bLimit = false;
    int nWords = SplitItemWords(pText, pList->pItems, &bLimit);
    pList->nItems = nWords;
    pList->nCount = nWords + (bLimit ? 1 : 0);

    if (bAddUid) {
        // Within the limit the last word is the rest of the text, not an item of its own.
        int nLook = bLimit ? nWords - 1 : nWords;
        bool bHasUid = false;
        for (int i = 0; i < nLook; i++) {
            if (StrICmp(pList->pItems[i], "UID") == 0) {
                bHasUid = true;
                break;
            }
        }
        if (!bHasUid) {
            static_cast<void>(FormatText(pList->szUid, sizeof(pList->szUid), "UID"));
            pList->pItems[pList->nItems++] = pList->szUid;
            pList->pItems[pList->nItems] = nullptr;
            pList->nCount++;
        }
    }
    ClassifyItems(pList);
}
