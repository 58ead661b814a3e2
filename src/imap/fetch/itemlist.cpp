// The item list of FETCH, read once per command into typed items; the field lists of
// HEADER.FIELDS share its splitter.
#include <cstdio>
#include <cstring>
#include <string>

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

bool IsOneOf(const char* pszItem, const char* const* ppWords) {
    for (; *ppWords != nullptr; ppWords++) {
        if (StrICmp(pszItem, *ppWords) == 0) {
            return true;
        }
    }
    return false;
}

bool StartsWithOneOf(const char* pszItem, const char* const* ppWords) {
    for (; *ppWords != nullptr; ppWords++) {
        if (StartsWithNoCase(pszItem, *ppWords)) {
            return true;
        }
    }
    return false;
}

const char* const kWholeWords[] = {"RFC822.PEEK", "RFC822", "BODY[]", "BODY.PEEK[]", nullptr};
const char* const kWholePartials[] = {"RFC822.PEEK<", "RFC822<", "BODY[]<", "BODY.PEEK[]<", nullptr};
const char* const kTextWords[] = {"RFC822.TEXT.PEEK", "RFC822.TEXT", "BODY[TEXT]", "BODY.PEEK[TEXT]", nullptr};
const char* const kLinesWords[] = {"RFC822.HEADER.LINES", "RFC822.HEADER.LINES.NOT", nullptr};
const char* const kBinaryStarts[] = {"BINARY[", "BINARY.PEEK[", nullptr};
const char* const kBinarySizeStarts[] = {"BINARY.SIZE[", nullptr};
const char* const kSectionStarts[] = {"BODY[", "BODY.PEEK[", nullptr};
const char* const kHeaderWords[] = {"BODY[HEADER]", "BODY.PEEK[HEADER]", nullptr};
const char* const kFieldsWords[] = {"BODY[HEADER.FIELDS", "BODY.PEEK[HEADER.FIELDS", nullptr};
const char* const kFieldsNotWords[] = {"BODY[HEADER.FIELDS.NOT", "BODY.PEEK[HEADER.FIELDS.NOT", nullptr};

ItemKind ClassifyItem(const char* pszItem) {
    if (pszItem[0] == '\0') {
        return ITEM_NONE;
    }
    if (StrICmp(pszItem, "UID") == 0) return ITEM_UID;
    if (StrICmp(pszItem, "FLAGS") == 0) return ITEM_FLAGS;
    if (StrICmp(pszItem, "MODSEQ") == 0) return ITEM_MODSEQ;
    if (StrICmp(pszItem, "INTERNALDATE") == 0) return ITEM_INTERNALDATE;
    if (StrICmp(pszItem, "RFC822.SIZE") == 0) return ITEM_SIZE;
    if (StrICmp(pszItem, "ENVELOPE") == 0) return ITEM_ENVELOPE;
    if (StrICmp(pszItem, "BODY") == 0) return ITEM_BODY;
    if (StrICmp(pszItem, "BODYSTRUCTURE") == 0) return ITEM_BODYSTRUCTURE;
    if (IsOneOf(pszItem, kWholeWords) || StartsWithOneOf(pszItem, kWholePartials)) return ITEM_WHOLE;
    if (StrICmp(pszItem, "RFC822.HEADER") == 0) return ITEM_RFC822_HEADER;
    if (IsOneOf(pszItem, kTextWords)) return ITEM_TEXT;
    if (IsOneOf(pszItem, kLinesWords)) return ITEM_NONE;
    if (StartsWithOneOf(pszItem, kBinaryStarts)) return ITEM_BINARY;
    if (StartsWithOneOf(pszItem, kBinarySizeStarts)) return ITEM_BINARY_SIZE;
    if (!StartsWithOneOf(pszItem, kSectionStarts)) return ITEM_NONE;
    if (IsOneOf(pszItem, kHeaderWords)) return ITEM_HEADER;
    if (IsOneOf(pszItem, kFieldsWords)) return ITEM_HEADER_FIELDS;
    if (IsOneOf(pszItem, kFieldsNotWords)) return ITEM_HEADER_FIELDS_NOT;
    return ITEM_SECTION;
}

bool IsPeek(const char* pszItem) {
    for (const char* p = pszItem; *p != '\0'; p++) {
        if (StartsWithNoCase(p, ".PEEK")) {
            return true;
        }
    }
    return false;
}

// The splitter hands what follows an unclosed "[" up to its "]" to the next item.
bool IsOpenSection(const char* pszItem) {
    return strchr(pszItem, '[') != nullptr && strchr(pszItem, ']') == nullptr;
}

bool MarksSeen(ItemKind kind, const char* pszItem) {
    bool bMarks = kind == ITEM_WHOLE || kind == ITEM_TEXT || kind == ITEM_HEADER || kind == ITEM_HEADER_FIELDS ||
                  kind == ITEM_HEADER_FIELDS_NOT || kind == ITEM_SECTION || kind == ITEM_BINARY;
    return bMarks && !IsPeek(pszItem);
}

// Answers made by parsing the content depend on nothing but the content and the item's words,
// so the index keeps them under those words; a body or a text is read again, not kept.
bool Cacheable(ItemKind kind) {
    switch (kind) {
        case ITEM_ENVELOPE:
        case ITEM_BODY:
        case ITEM_BODYSTRUCTURE:
        case ITEM_RFC822_HEADER:
        case ITEM_HEADER:
        case ITEM_HEADER_FIELDS:
        case ITEM_HEADER_FIELDS_NOT:
            return true;
        default:
            return false;
    }
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

void ClassifyItems(FetchItemList* pList) {
    pList->nTyped = 0;
    for (int i = 0; i < pList->nItems; i++) {
        FetchItem& item = pList->items[pList->nTyped++];
        item = FetchItem{};
        item.pszItem = pList->pItems[i];
        item.kind = ClassifyItem(item.pszItem);
        item.bMarksSeen = MarksSeen(item.kind, item.pszItem);
        // The field list of an unclosed section belongs to it whatever else happens; so does a
        // partial range after the list's "]".
        const char* pszFieldList = nullptr;
        const char* pszAfterList = nullptr;
        bool bOpenable = item.kind == ITEM_HEADER_FIELDS || item.kind == ITEM_HEADER_FIELDS_NOT || item.kind == ITEM_SECTION;
        if (bOpenable && IsOpenSection(item.pszItem) && i + 1 < pList->nItems) {
            pszFieldList = pList->pItems[++i];
            pszAfterList = i + 1 < pList->nItems ? pList->pItems[i + 1] : nullptr;
        }
        bool bUsedPartial = false;
        switch (item.kind) {
            case ITEM_WHOLE:
            case ITEM_TEXT:
            case ITEM_RFC822_HEADER:
                // The RFC822 forms carry their partial range in the word itself.
                item.bSection = StartsWithNoCase(item.pszItem, "BODY");
                if (!item.bSection) {
                    const char* pLess = strchr(item.pszItem, '<');
                    item.section.partial = ReadPartial(pLess != nullptr ? pLess + 1 : nullptr);
                    break;
                }
                [[fallthrough]];
            case ITEM_HEADER:
            case ITEM_HEADER_FIELDS:
            case ITEM_HEADER_FIELDS_NOT:
            case ITEM_SECTION:
            case ITEM_BINARY:
            case ITEM_BINARY_SIZE:
                item.bSection = true;
                item.section = ReadSectionItem(item.pszItem, pszFieldList, pszAfterList, &bUsedPartial);
                break;
            default:
                break;
        }
        if (Cacheable(item.kind)) {
            item.key = item.pszItem;
            if (pszFieldList != nullptr) item.key.append("\n").append(pszFieldList);
            if (bUsedPartial) item.key.append("\n").append(pszAfterList);
        }
        if (bUsedPartial) i++;
    }
}
