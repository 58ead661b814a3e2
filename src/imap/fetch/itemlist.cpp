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

// Searched in this order, as whole words in any case: the first one found wins.
const FetchMacro kMacros[] = {
    {"ALL", "FLAGS INTERNALDATE RFC822.SIZE ENVELOPE "},
    {"FULL", "FLAGS INTERNALDATE RFC822.SIZE ENVELOPE BODY "},
    {"FAST", "FLAGS INTERNALDATE RFC822.SIZE "},
};

bool IsWordNot(const char* pWord, const char* pEnd) {
    return pEnd - pWord == 3 && StrNICmp(pWord, "not", 3) == 0;
}

// The first word of the text, outside any section's brackets, that equals pszWord in any case.
const char* FindMacroWord(const char* pszText, const char* pszWord) {
    size_t nWord = strlen(pszWord);
    int nDepth = 0;
    for (const char* p = pszText; *p != '\0'; p++) {
        if (*p == '[') nDepth++;
        if (*p == ']' && nDepth > 0) nDepth--;
        bool bStarts = p == pszText || p[-1] == ' ' || p[-1] == '(';
        if (nDepth > 0 || !bStarts || StrNICmp(p, pszWord, nWord) != 0) continue;
        char chAfter = p[nWord];
        if (chAfter == '\0' || chAfter == ' ' || chAfter == ')') return p;
    }
    return nullptr;
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
        const char* pFound = FindMacroWord(pszText, macro.pszWord);
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
