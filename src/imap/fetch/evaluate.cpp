// The item evaluator: answers the items of one message in the order the client gave them,
// and the simple items UID, FLAGS and RFC822.SIZE.
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imap/args.h"
#include "imap/fetch/items.h"
#include "imap/response.h"
#include "imap/session_io.h"
#include "platform/format.h"
#include "platform/text.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

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

// Each item's kind, as ClassifyItems noted it once for the whole command; a list whose kinds
// were never noted is classified on the spot.
ItemKind KindAt(const FetchItemList* pList, int i) {
    return pList->bClassified ? static_cast<ItemKind>(pList->aKind[i]) : ClassifyItem(pList->pItems[i]);
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

// The names of a HEADER.FIELDS list, split in a copy so the item list stays whole for the next
// message.
struct FieldNames {
    char szList[FIELD_LIST_SIZE + 1];  // with the list's opening parenthesis
    char* pNames[FETCH_ITEM_WORDS + 1];
    int nNames;
};

void SplitFieldNames(const char* pszList, FieldNames* pFields) {
    static_cast<void>(FormatText(pFields->szList, sizeof(pFields->szList), "%s", pszList != nullptr ? pszList : ""));
    char* pWords[FETCH_ITEM_WORDS + 1];
    bool bLimit = false;
    int nWords = SplitItemWords(StripParentheses(pFields->szList), pWords, &bLimit);
    // Empty names (doubled spaces) would break the list's syntax.
    pFields->nNames = 0;
    for (int i = 0; i < nWords; i++) {
        if (pWords[i][0] != '\0') {
            pFields->pNames[pFields->nNames++] = pWords[i];
        }
    }
}

// A partial range "<start.length>" (the text after "<").
PartialRange ReadPartial(const char* pszText) {
    PartialRange partial;
    if (pszText == nullptr) {
        return partial;
    }
    partial.bGiven = true;
    partial.ullStart = strtoull(pszText, nullptr, 10);
    const char* pDot = strchr(pszText, '.');
    if (pDot != nullptr) {
        partial.bLength = true;
        partial.ullLength = strtoull(pDot + 1, nullptr, 10);
    }
    return partial;
}

// "<start>" after a label: a partial answer carries its origin.
void QueueOrigin(Session* pSession, const PartialRange& partial) {
    if (partial.bGiven) {
        FormatResponse(pSession, "<%" PRIu64 ">", partial.ullStart);
        SendResponse(pSession, 0, 1);
    }
}

enum SectionKind { SECTION_PART, SECTION_HEADER, SECTION_FIELDS, SECTION_FIELDS_NOT, SECTION_TEXT, SECTION_MIME };

// What a section text "1.2.HEADER.FIELDS" names: its part numbers and its kind.
struct SectionSpec {
    uint32_t ulPath[MIME_DEPTH_MAX + 2];
    size_t nPath;
    SectionKind kind;
    bool bValid;
};

SectionSpec ReadSectionSpec(const char* pszText, size_t nText) {
    SectionSpec wanted = {};
    wanted.kind = SECTION_PART;
    wanted.bValid = true;
    size_t i = 0;
    while (i < nText && pszText[i] >= '0' && pszText[i] <= '9') {
        uint64_t ullNumber = 0;
        for (; i < nText && pszText[i] >= '0' && pszText[i] <= '9'; i++) {
            ullNumber = ullNumber * 10 + static_cast<uint64_t>(pszText[i] - '0');
            if (ullNumber > 0xFFFFFFFFull) {
                wanted.bValid = false;
            }
        }
        if (wanted.nPath < sizeof(wanted.ulPath) / sizeof(wanted.ulPath[0])) {
            wanted.ulPath[wanted.nPath++] = static_cast<uint32_t>(ullNumber);
        } else {
            wanted.bValid = false;  // deeper than any tree goes
        }
        if (i < nText && pszText[i] == '.') {
            i++;
        } else {
            break;
        }
    }
    std::string rest(pszText + i, nText - i);
    struct Suffix {
        const char* pszWord;
        SectionKind kind;
    };
    static const Suffix kSuffixes[] = {
        {"", SECTION_PART},
        {"HEADER", SECTION_HEADER},
        {"HEADER.FIELDS", SECTION_FIELDS},
        {"HEADER.FIELDS.NOT", SECTION_FIELDS_NOT},
        {"TEXT", SECTION_TEXT},
        {"MIME", SECTION_MIME},
    };
    for (const Suffix& suffix : kSuffixes) {
        if (StrICmp(rest.c_str(), suffix.pszWord) == 0) {
            wanted.kind = suffix.kind;
            // A part number needs no suffix; a path ending in "." or MIME without a part is wrong.
            if ((wanted.nPath > 0 && i > 0 && pszText[i - 1] == '.' && rest.empty()) ||
                (wanted.kind == SECTION_MIME && wanted.nPath == 0)) {
                wanted.bValid = false;
            }
            return wanted;
        }
    }
    wanted.bValid = false;
    return wanted;
}

// BODY[section]<partial> in every form. pszRest is what the splitter cut off an unclosed section
// (the field list of HEADER.FIELDS); *pbUsedPartial tells that the item after it was its partial.
void WriteSection(Session* pSession, FetchMessage* pMessage, const char* pszItem, const char* pszRest,
                  const char* pszAfterRest, bool* pbUsedPartial) {
    *pbUsedPartial = false;
    const char* pOpen = strchr(pszItem, '[');
    const char* pClose = strchr(pOpen, ']');
    size_t nSection = pClose != nullptr ? static_cast<size_t>(pClose - pOpen - 1) : strlen(pOpen + 1);
    SectionSpec wanted = ReadSectionSpec(pOpen + 1, nSection);
    const char* pLess = pClose != nullptr ? strchr(pClose, '<') : nullptr;
    if (pClose == nullptr && pszAfterRest != nullptr && pszAfterRest[0] == '<') {
        pLess = pszAfterRest;
        *pbUsedPartial = true;
    }
    PartialRange partial = ReadPartial(pLess != nullptr ? pLess + 1 : nullptr);

    FieldNames fields = {};
    bool bFields = wanted.kind == SECTION_FIELDS || wanted.kind == SECTION_FIELDS_NOT;
    if (bFields) {
        SplitFieldNames(pClose == nullptr ? pszRest : "", &fields);
    }
    // The label: the section as asked, the field names as asked, the partial's origin.
    FormatResponse(pSession, "BODY[%.*s", static_cast<int>(nSection), pOpen + 1);
    SendResponse(pSession, 0, 1);
    if (bFields) {
        QueueText(pSession, " (");
        for (int i = 0; i < fields.nNames; i++) {
            FormatResponse(pSession, "%s%s", i == 0 ? "" : " ", fields.pNames[i]);
            SendResponse(pSession, 0, 1);
        }
        QueueText(pSession, ")");
    }
    QueueText(pSession, "]");
    QueueOrigin(pSession, partial);
    QueueText(pSession, " ");

    // The whole message is one range, known without its structure.
    if (wanted.bValid && wanted.kind == SECTION_PART && wanted.nPath == 0 && pMessage->pFile != nullptr) {
        SendFileRange(pSession, pMessage, 0, pMessage->ullSize, partial);
        return;
    }
    const MimeTree* pTree = wanted.bValid ? MessageTree(pMessage) : nullptr;
    if (pTree == nullptr) {
        SendEmptySection(pSession);
        return;
    }
    MimeSection where = ResolveMimeSection(*pTree, wanted.ulPath, wanted.nPath);
    if (where.nPart < 0) {
        SendEmptySection(pSession);
        return;
    }
    const MimePart& part = pTree->parts[static_cast<size_t>(where.nPart)];
    const MimePart* pInner = where.nMessage >= 0 ? &pTree->parts[static_cast<size_t>(where.nMessage)] : nullptr;
    switch (wanted.kind) {
        case SECTION_PART:
            if (wanted.nPath == 0) {
                SendFileRange(pSession, pMessage, 0, pTree->ullSize, partial);
            } else {
                SendFileRange(pSession, pMessage, part.ullBodyOffset, part.ullBodySize, partial);
            }
            return;
        case SECTION_MIME:
            SendFileRange(pSession, pMessage, part.ullHeaderOffset, part.ullHeaderSize, partial);
            return;
        case SECTION_TEXT:
            if (pInner == nullptr) {
                SendEmptySection(pSession);
            } else {
                SendFileRange(pSession, pMessage, pInner->ullBodyOffset, pInner->ullBodySize, partial);
            }
            return;
        case SECTION_HEADER:
        case SECTION_FIELDS:
        case SECTION_FIELDS_NOT:
            if (pInner == nullptr) {
                SendEmptySection(pSession);
                return;
            }
            SendHeaderRange(pSession, pMessage, pInner->ullHeaderOffset, pInner->ullHeaderSize,
                            wanted.kind == SECTION_HEADER ? HEADER_ALL
                            : wanted.kind == SECTION_FIELDS ? HEADER_FIELDS
                                                          : HEADER_FIELDS_NOT,
                            fields.pNames, fields.nNames, partial);
            return;
    }
}

// RFC822, RFC822.HEADER and RFC822.TEXT: labelled as asked; the partial forms (an old
// extension) answer as BODY[]<start>.
void WriteRfc822(Session* pSession, FetchMessage* pMessage, const char* pszItem, ItemKind kind) {
    const char* pLess = strchr(pszItem, '<');
    PartialRange partial = ReadPartial(pLess != nullptr ? pLess + 1 : nullptr);
    const MimeTree* pTree = kind == ITEM_WHOLE ? nullptr : MessageTree(pMessage);
    switch (kind) {
        case ITEM_WHOLE:
            QueueText(pSession, partial.bGiven ? "BODY[]" : "RFC822");
            QueueOrigin(pSession, partial);
            QueueText(pSession, " ");
            SendFileRange(pSession, pMessage, 0, pMessage->ullSize, partial);
            return;
        case ITEM_RFC822_HEADER:
            QueueText(pSession, "RFC822.HEADER ");
            break;
        default:
            QueueText(pSession, "RFC822.TEXT ");
            break;
    }
    if (pTree == nullptr) {
        SendEmptySection(pSession);
        return;
    }
    const MimePart& root = pTree->parts[0];
    if (kind == ITEM_RFC822_HEADER) {
        SendFileRange(pSession, pMessage, root.ullHeaderOffset, root.ullHeaderSize, partial);
    } else {
        SendFileRange(pSession, pMessage, root.ullBodyOffset, root.ullBodySize, partial);
    }
}

bool MarksSeen(ItemKind kind, const char* pszItem) {
    bool bMarks = kind == ITEM_WHOLE || kind == ITEM_TEXT || kind == ITEM_HEADER || kind == ITEM_HEADER_FIELDS ||
                  kind == ITEM_HEADER_FIELDS_NOT || kind == ITEM_SECTION;
    return bMarks && !IsPeek(pszItem);
}

}  // namespace

const MimeTree* MessageTree(FetchMessage* pMessage) {
    if (!pMessage->bTreeTried) {
        pMessage->bTreeTried = true;
        pMessage->bTree = pMessage->pFile != nullptr && ParseMime(pMessage->pFile, pMessage->ullSize, &pMessage->tree);
        if (!pMessage->bTree) pMessage->bReadFailed = true;
    }
    return pMessage->bTree ? &pMessage->tree : nullptr;
}

void QueueNumberItem(Session* pSession, const char* pszLabel, uint64_t ullValue) {
    // Written by hand: these go out for every message of a large FETCH.
    size_t nLabel = strlen(pszLabel);
    memcpy(pSession->szResponse, pszLabel, nLabel);
    char* pEnd = std::to_chars(pSession->szResponse + nLabel, pSession->szResponse + nLabel + 24, ullValue).ptr;
    *pEnd = '\0';
    SendResponse(pSession, 0, 1);
}

void WriteUidItem(Session* pSession) {
    QueueNumberItem(pSession, "UID ", MessageUid(pSession->FindData.cFileName));
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
    // Every flag name together takes 62 bytes at the most.
    char szFlags[96] = "FLAGS (";
    size_t nFlags = 7;
    // \Recent as this session holds it, where the session's view says.
    const char* pszShown = pSession->szShownFlags;
    for (const FlagName& flag : kFlagNames) {
        bool bSet = pszShown[0] != '\0' ? pszShown[flag.nPosition - 11] == '1'
                                        : static_cast<size_t>(flag.nPosition) < nLength && pszName[flag.nPosition] == '1';
        if (!bSet) continue;
        if (nFlags > 7) szFlags[nFlags++] = ' ';
        size_t nName = strlen(flag.pszName);
        memcpy(szFlags + nFlags, flag.pszName, nName);
        nFlags += nName;
    }
    memcpy(szFlags + nFlags, ")", 2);
    QueueText(pSession, szFlags);
}

void WriteSizeItem(Session* pSession, const FetchMessage* pMessage) {
    QueueNumberItem(pSession, "RFC822.SIZE ", pMessage->ullSize);
}

void ClassifyItems(FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) pList->aKind[i] = static_cast<uint8_t>(ClassifyItem(pList->pItems[i]));
    pList->bClassified = true;
}

bool ItemsWriteAnything(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        if (KindAt(pList, i) != ITEM_NONE) {
            return true;
        }
    }
    return false;
}

bool ItemsMarkSeen(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        if (MarksSeen(KindAt(pList, i), pList->pItems[i])) {
            return true;
        }
    }
    return false;
}

namespace {

// UID, FLAGS, INTERNALDATE and RFC822.SIZE come from the name and the file's size and time.
bool ReadsContent(ItemKind kind) {
    switch (kind) {
        case ITEM_NONE:
        case ITEM_UID:
        case ITEM_FLAGS:
        case ITEM_INTERNALDATE:
        case ITEM_SIZE:
            return false;
        default:
            return true;
    }
}

}  // namespace

bool ItemsNeedContent(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        if (ReadsContent(KindAt(pList, i))) return true;
    }
    return false;
}

bool ItemsAskSize(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        ItemKind kind = KindAt(pList, i);
        if (kind == ITEM_SIZE || kind == ITEM_INTERNALDATE) {
            return true;
        }
    }
    return false;
}

bool ItemsAskFlags(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        if (KindAt(pList, i) == ITEM_FLAGS) {
            return true;
        }
    }
    return false;
}

namespace {

// One item of the list with the words that belong to it: the field list of an unclosed section
// whatever else happens, and a partial range that followed the list's "]".
struct ItemWords {
    ItemKind kind;
    const char* pszItem;
    const char* pszFieldList;
    const char* pszAfterList;
};

ItemWords TakeItem(const FetchItemList* pList, int* pi) {
    ItemWords words{KindAt(pList, *pi), pList->pItems[*pi], nullptr, nullptr};
    bool bSection = words.kind == ITEM_HEADER_FIELDS || words.kind == ITEM_HEADER_FIELDS_NOT || words.kind == ITEM_SECTION;
    if (bSection && IsOpenSection(words.pszItem) && *pi + 1 < pList->nItems) {
        words.pszFieldList = pList->pItems[++*pi];
        words.pszAfterList = *pi + 1 < pList->nItems ? pList->pItems[*pi + 1] : nullptr;
    }
    return words;
}

// Answers made by parsing the content depend on nothing but the content and the item's words,
// so the index keeps them; the content itself (a body, a text) is read again, not kept.
constexpr size_t CACHED_ANSWER_MAX = 16 * 1024;

bool Cacheable(const ItemWords& words) {
    switch (words.kind) {
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

bool PartialFollows(const ItemWords& words) {
    return words.pszFieldList != nullptr && words.pszAfterList != nullptr && words.pszAfterList[0] == '<';
}

std::string CacheKey(const ItemWords& words) {
    std::string key = words.pszItem;
    if (words.pszFieldList != nullptr) key.append("\n").append(words.pszFieldList);
    if (PartialFollows(words)) key.append("\n").append(words.pszAfterList);
    return key;
}

// Queues a cached answer as it was first sent: the text up to a literal's content traced, the
// content not.
void QueueCached(Session* pSession, const CachedText& cached) {
    for (size_t nAt = 0; nAt < cached.text.size();) {
        bool bTrace = nAt < cached.nSplit;
        size_t nEnd = bTrace ? cached.nSplit : cached.text.size();
        size_t nTake = std::min(nEnd - nAt, sizeof(pSession->szResponse) - 1);
        memcpy(pSession->szResponse, cached.text.data() + nAt, nTake);
        pSession->szResponse[nTake] = '\0';
        SendResponse(pSession, 0, bTrace ? 1 : 0);
        nAt += nTake;
    }
    pSession->szResponse[0] = '\0';
}

// Keeps what the item just queued, when it is all still in the send buffer.
void KeepAnswer(Session* pSession, const FetchMessage* pMessage, const std::string& key, size_t nStart,
                uint32_t ulFlushes) {
    if (pSession->Output.ulFlushes != ulFlushes || pSession->Output.nSendLength < nStart) return;
    size_t nLength = pSession->Output.nSendLength - nStart;
    if (nLength == 0 || nLength > CACHED_ANSWER_MAX) return;
    CachedText cached{std::string(pSession->Output.szSendBuf + nStart, nLength), nLength};
    size_t nLiteral = cached.text.find("}\r\n");
    if (nLiteral != std::string::npos) cached.nSplit = nLiteral + 3;
    pMessage->pIndex->KeepText(pMessage->ulUid, key, std::move(cached));
}

}  // namespace

bool TakeKeptAnswers(const FetchItemList* pList, FetchMessage* pMessage) {
    if (pMessage->pIndex == nullptr) return false;
    bool bAll = true;
    for (int i = 0; i < pList->nItems; i++) {
        int nAt = i;
        ItemWords words = TakeItem(pList, &i);
        if (!ReadsContent(words.kind)) continue;
        if (!Cacheable(words)) return false;
        if (!pMessage->abKept[nAt]) {
            pMessage->abKept[nAt] = pMessage->pIndex->FindText(pMessage->ulUid, CacheKey(words), &pMessage->aKept[nAt]);
        }
        bAll = bAll && pMessage->abKept[nAt];
    }
    return bAll;
}

bool ItemsNeedTree(const FetchItemList* pList) {
    for (int i = 0; i < pList->nItems; i++) {
        ItemKind kind = KindAt(pList, i);
        if (ReadsContent(kind) && kind != ITEM_WHOLE) return true;
    }
    return false;
}

namespace {

// Writes one item; true when the word after it was its partial range.
bool WriteItem(Session* pSession, FetchMessage* pMessage, const ItemWords& words) {
    const char* pszItem = words.pszItem;
    bool bUsedPartial = false;
    switch (words.kind) {
        case ITEM_UID:
            WriteUidItem(pSession);
            break;
        case ITEM_FLAGS:
            WriteFlagsItem(pSession);
            break;
        case ITEM_INTERNALDATE:
            WriteInternalDate(pSession, pMessage);
            break;
        case ITEM_SIZE:
            WriteSizeItem(pSession, pMessage);
            break;
        case ITEM_ENVELOPE:
            WriteEnvelope(pSession, pMessage);
            break;
        case ITEM_BODY:
        case ITEM_BODYSTRUCTURE:
            WriteBodyStructure(pSession, pMessage, words.kind == ITEM_BODYSTRUCTURE);
            break;
        case ITEM_RFC822_HEADER:
            WriteRfc822(pSession, pMessage, pszItem, words.kind);
            break;
        case ITEM_WHOLE:
        case ITEM_TEXT:
            if (StartsWithNoCase(pszItem, "BODY")) {
                WriteSection(pSession, pMessage, pszItem, nullptr, nullptr, &bUsedPartial);
            } else {
                WriteRfc822(pSession, pMessage, pszItem, words.kind);
            }
            break;
        case ITEM_HEADER:
        case ITEM_HEADER_FIELDS:
        case ITEM_HEADER_FIELDS_NOT:
        case ITEM_SECTION:
            WriteSection(pSession, pMessage, pszItem, words.pszFieldList, words.pszAfterList, &bUsedPartial);
            break;
        case ITEM_NONE:
            break;
    }
    return bUsedPartial;
}

}  // namespace

void EvaluateItems(Session* pSession, const FetchItemList* pList, FetchMessage* pMessage) {
    bool bWritten = false;
    for (int i = 0; i < pList->nItems; i++) {
        int nAt = i;
        ItemWords words = TakeItem(pList, &i);
        if (words.kind == ITEM_NONE) {
            continue;
        }
        // One space between items that write something: an unknown word leaves no gap.
        if (bWritten) {
            QueueText(pSession, " ");
        }
        bWritten = true;

        std::string key;
        size_t nStart = pSession->Output.nSendLength;
        uint32_t ulFlushes = pSession->Output.ulFlushes;
        if (pMessage->pIndex != nullptr && Cacheable(words)) {
            key = CacheKey(words);
            CachedText cached;
            if (pMessage->abKept[nAt] || pMessage->pIndex->FindText(pMessage->ulUid, key, &cached)) {
                QueueCached(pSession, pMessage->abKept[nAt] ? pMessage->aKept[nAt] : cached);
                if (PartialFollows(words)) i++;
                continue;
            }
        }
        if (WriteItem(pSession, pMessage, words)) i++;
        if (!key.empty() && !pMessage->bReadFailed) KeepAnswer(pSession, pMessage, key, nStart, ulFlushes);
    }
}
