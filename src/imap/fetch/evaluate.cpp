// The item evaluator: answers the items of one message in the order the client gave them,
// and the simple items UID, FLAGS and RFC822.SIZE.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imap/fetch/items.h"
#include "imap/response.h"
#include "net/client.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;
constexpr size_t FIELD_LIST_SIZE = 1100;

enum ItemKind {
    ITEM_NONE,
    ITEM_UID,
    ITEM_FLAGS,
    ITEM_INTERNALDATE,
    ITEM_SIZE,
    ITEM_ENVELOPE,
    ITEM_BODY,
    ITEM_BODYSTRUCTURE,
    ITEM_WHOLE,
    ITEM_RFC822_HEADER,
    ITEM_TEXT,
    ITEM_HEADER,
    ITEM_HEADER_FIELDS,
    ITEM_HEADER_FIELDS_NOT,
    ITEM_SECTION,
};

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
    if (StrICmp(pszItem, "INTERNALDATE") == 0) return ITEM_INTERNALDATE;
    if (StrICmp(pszItem, "RFC822.SIZE") == 0) return ITEM_SIZE;
    if (StrICmp(pszItem, "ENVELOPE") == 0) return ITEM_ENVELOPE;
    if (StrICmp(pszItem, "BODY") == 0) return ITEM_BODY;
    if (StrICmp(pszItem, "BODYSTRUCTURE") == 0) return ITEM_BODYSTRUCTURE;
    if (IsOneOf(pszItem, kWholeWords) || StartsWithOneOf(pszItem, kWholePartials)) return ITEM_WHOLE;
    if (StrICmp(pszItem, "RFC822.HEADER") == 0) return ITEM_RFC822_HEADER;
    if (IsOneOf(pszItem, kTextWords)) return ITEM_TEXT;
    if (IsOneOf(pszItem, kLinesWords)) return ITEM_NONE;
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

void QueueLabel(Session* pSession, const char* pszLabel) {
    QueueText(pSession, pszLabel);
}

bool EndsWithNoCase(const char* pszText, const char* pszSuffix) {
    size_t nText = strlen(pszText);
    size_t nSuffix = strlen(pszSuffix);
    return nText >= nSuffix && StrICmp(pszText + nText - nSuffix, pszSuffix) == 0;
}

// The splitter hands what follows an unclosed "[" up to its "]" to the next item.
bool IsOpenSection(const char* pszItem) {
    return strchr(pszItem, '[') != nullptr && strchr(pszItem, ']') == nullptr;
}

// The names of a HEADER.FIELDS list, split in a copy so the item list stays whole for the next
// message.
struct FieldNames {
    char szList[FIELD_LIST_SIZE];
    char* pNames[FETCH_ITEM_WORDS + 1];
    int nNames;
};

void SplitFieldNames(const char* pszList, FieldNames* pFields) {
    const char* pList = pszList != nullptr ? pszList : "";
    if (*pList == '(') {
        pList++;
    }
    snprintf(pFields->szList, sizeof(pFields->szList), "%s", pList);
    char* pClose = strrchr(pFields->szList, ')');
    if (pClose != nullptr) {
        *pClose = '\0';
    }
    char* pWords[FETCH_ITEM_WORDS + 1];
    bool bLimit = false;
    int nWords = SplitItemWords(pFields->szList, pWords, &bLimit);
    // Empty names (doubled spaces) would break the list's syntax and match every line.
    pFields->nNames = 0;
    for (int i = 0; i < nWords; i++) {
        if (pWords[i][0] != '\0') {
            pFields->pNames[pFields->nNames++] = pWords[i];
        }
    }
}

// "(" the names ")", each name queued on its own.
void QueueFieldNames(Session* pSession, const FieldNames* pFields) {
    QueueText(pSession, "(");
    for (int i = 0; i < pFields->nNames; i++) {
        FormatResponse(pSession, "%s%s", i == 0 ? "" : " ", pFields->pNames[i]);
        SendResponse(pSession, 0, 1);
    }
    QueueText(pSession, ")");
}

// HEADER.FIELDS (names) of the message; the list is the item after the HEADER.FIELDS word.
void WriteHeaderFields(Session* pSession, const char* pszList, bool bNot) {
    FieldNames fields;
    SplitFieldNames(pszList, &fields);
    QueueLabel(pSession, bNot ? "BODY[HEADER.FIELDS.NOT " : "BODY[HEADER.FIELDS ");
    QueueFieldNames(pSession, &fields);
    QueueLabel(pSession, "] {");
    ReadHeaderSection(pSession, bNot ? HEADER_FIELDS_NOT : HEADER_FIELDS, fields.pNames, fields.nNames);
}

// BODY[n], BODY[n.MIME] and BODY[n.HEADER.FIELDS (names)]; any other section reads as an empty
// one. pszRest is what the splitter cut off an unclosed section, the field list of n.HEADER.FIELDS.
void WriteNumberedSection(Session* pSession, const char* pszItem, const char* pszRest) {
    char szLabel[FIELD_LIST_SIZE];
    size_t nUsed = 0;
    for (const char* p = pszItem; *p != '\0' && nUsed + 1 < sizeof(szLabel);) {
        if (StartsWithNoCase(p, ".PEEK")) {
            p += strlen(".PEEK");
            continue;
        }
        // Partial ranges are not applied to numbered sections, so the label does not claim one.
        if (*p == '<') {
            break;
        }
        szLabel[nUsed++] = *p++;
    }
    szLabel[nUsed] = '\0';
    int nFields = HEADER_ALL;
    FieldNames fields;
    if (IsOpenSection(szLabel)) {
        if (EndsWithNoCase(szLabel, ".HEADER.FIELDS")) {
            nFields = HEADER_FIELDS;
        } else if (EndsWithNoCase(szLabel, ".HEADER.FIELDS.NOT")) {
            nFields = HEADER_FIELDS_NOT;
        }
    }
    QueueLabel(pSession, szLabel);
    if (nFields != HEADER_ALL) {
        SplitFieldNames(pszRest, &fields);
        QueueLabel(pSession, " ");
        QueueFieldNames(pSession, &fields);
    }
    // Any other unclosed section is closed here, its rest dropped, so the label stays one token.
    QueueLabel(pSession, IsOpenSection(szLabel) ? "] {" : " {");

    const char* pBracket = strchr(pszItem, '[');
    unsigned long ulPart = 0;
    for (const char* p = pBracket + 1; *p >= '0' && *p <= '9'; p++) {
        ulPart = ulPart * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (ulPart == 0) {
        FormatResponse(pSession, "2}\r\n\r\n");
        SendResponse(pSession, 1, 1);
        return;
    }
    if (nFields != HEADER_ALL) {
        ReadPartHeaderSection(pSession, ulPart, nFields, fields.pNames, fields.nNames);
        return;
    }
    const char* pDot = strchr(pBracket, '.');
    bool bMime = pDot != nullptr && StartsWithNoCase(pDot + 1, "MIME");
    ReadBodySection(pSession, bMime ? SECTION_MIME : SECTION_BODY, ulPart, nullptr);
}

}  // namespace

uint64_t MessageSize(const char* pszPath) {
    FILE* pFile = fopen(pszPath, "rb");
    if (pFile == nullptr) {
        return 0;
    }
    char szLine[LINE_SIZE];
    uint64_t ullSize = 0;
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr && strcmp(szLine, ".\r\n") != 0) {
        ullSize += strlen(szLine);
    }
    fclose(pFile);
    return ullSize;
}

void WriteUidItem(Session* pSession) {
    char szDigits[11];
    snprintf(szDigits, sizeof(szDigits), "%.10s", pSession->FindData.cFileName);
    FormatResponse(pSession, "UID %lu", strtoul(szDigits, nullptr, 10));
    SendResponse(pSession, 0, 1);
}

void WriteFlagsItem(Session* pSession) {
    struct FlagName {
        int nPosition;
        const char* pszName;
    };
    // The order clients see differs from the order of the flag code.
    static const FlagName kFlagNames[] = {
        {11, "\\Recent"}, {12, "\\Answered"}, {14, "\\Deleted"},
        {13, "\\Flagged"}, {15, "\\Seen"},    {16, "\\Draft"},
    };
    const char* pszName = pSession->FindData.cFileName;
    size_t nLength = strlen(pszName);
    char szFlags[96] = "FLAGS (";
    bool bFirst = true;
    // \Recent as this session holds it, where the session's view says.
    const char* pszShown = pSession->szShownFlags;
    for (const FlagName& flag : kFlagNames) {
        bool bSet = pszShown[0] != '\0' ? pszShown[flag.nPosition - 11] == '1'
                                        : static_cast<size_t>(flag.nPosition) < nLength && pszName[flag.nPosition] == '1';
        if (bSet) {
            AppendText(szFlags, sizeof(szFlags), bFirst ? "" : " ");
            AppendText(szFlags, sizeof(szFlags), flag.pszName);
            bFirst = false;
        }
    }
    AppendText(szFlags, sizeof(szFlags), ")");
    QueueText(pSession, szFlags);
}

void WriteSizeItem(Session* pSession) {
    char szPath[MAX_PATH + 1024];
    ContentPath(pSession, szPath, sizeof(szPath));
    FormatResponse(pSession, "RFC822.SIZE %" PRIu64, MessageSize(szPath));
    SendResponse(pSession, 0, 1);
}

bool ItemsWriteAnything(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        if (ClassifyItem(pList->pItems[i]) != ITEM_NONE) {
            return true;
        }
    }
    return false;
}

bool EvaluateItems(Session* pSession, const FetchItemList* pList) {
    bool bReadMark = false;
    bool bWritten = false;
    for (int i = 0; i < pList->nItems; i++) {
        const char* pszItem = pList->pItems[i];
        ItemKind kind = ClassifyItem(pszItem);
        // The field list belongs to this item whatever else happens.
        const char* pszFieldList = nullptr;
        bool bSection = kind == ITEM_HEADER_FIELDS || kind == ITEM_HEADER_FIELDS_NOT || kind == ITEM_SECTION;
        if (bSection && IsOpenSection(pszItem) && i + 1 < pList->nItems) {
            pszFieldList = pList->pItems[++i];
        }
        if (kind == ITEM_NONE) {
            continue;
        }
        // One space between items that write something: an unknown word leaves no gap.
        if (bWritten) {
            QueueText(pSession, " ");
        }
        bWritten = true;

        switch (kind) {
            case ITEM_UID:
                WriteUidItem(pSession);
                break;
            case ITEM_FLAGS:
                WriteFlagsItem(pSession);
                break;
            case ITEM_INTERNALDATE:
                WriteInternalDate(pSession);
                break;
            case ITEM_SIZE:
                WriteSizeItem(pSession);
                break;
            case ITEM_ENVELOPE:
                WriteEnvelope(pSession);
                break;
            case ITEM_BODY:
                WriteBodyStructure(pSession, 0);
                break;
            case ITEM_BODYSTRUCTURE:
                WriteBodyStructure(pSession, 1);
                break;
            case ITEM_WHOLE: {
                const char* pLess = strchr(pszItem, '<');
                QueueLabel(pSession, "BODY[] {");
                ReadBodySection(pSession, SECTION_WHOLE, 0, pLess != nullptr ? pLess + 1 : nullptr);
                break;
            }
            case ITEM_RFC822_HEADER:
                QueueLabel(pSession, "RFC822.HEADER {");
                ReadHeaderSection(pSession, HEADER_ALL, nullptr, 0);
                break;
            case ITEM_TEXT:
                QueueLabel(pSession, "BODY[TEXT] {");
                ReadBodySection(pSession, SECTION_BODY, 0, nullptr);
                break;
            case ITEM_HEADER:
                QueueLabel(pSession, "BODY[HEADER] {");
                ReadHeaderSection(pSession, HEADER_ALL, nullptr, 0);
                break;
            case ITEM_HEADER_FIELDS:
            case ITEM_HEADER_FIELDS_NOT:
                WriteHeaderFields(pSession, pszFieldList, kind == ITEM_HEADER_FIELDS_NOT);
                break;
            case ITEM_SECTION:
                WriteNumberedSection(pSession, pszItem, pszFieldList);
                break;
            case ITEM_NONE:
                break;
        }

        bool bMarks = kind == ITEM_WHOLE || kind == ITEM_TEXT || kind == ITEM_HEADER ||
                      kind == ITEM_HEADER_FIELDS || kind == ITEM_HEADER_FIELDS_NOT || kind == ITEM_SECTION;
        if (bMarks && !IsPeek(pszItem)) {
            bReadMark = true;
        }
    }
    return bReadMark;
}
