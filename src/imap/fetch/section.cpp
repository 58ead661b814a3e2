// Body sections. A BODY[...] item is read once per command into what it names; every section is
// then a byte range of the message file, found in its MIME tree. Header sections restricted to or
// stripped of named fields make two passes over their range, the first counting what the second
// sends, so that the literal's size can be announced before its content without holding the
// content.
#include "imap/fetch/section.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "imap/args.h"
#include "imap/fetch/items.h"
#include "imap/output.h"
#include "platform/file_range.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;
constexpr size_t READ_BLOCK = 8192;
// Ranges this long leave the file directly (from its mapping, or in large reads) instead of
// passing through the answer buffer.
constexpr uint64_t DIRECT_MIN = 64 * 1024;
// A header up to this size is read in one piece and filtered in memory.
constexpr uint64_t HEADER_READ_MAX = 1024 * 1024;

// Where the bytes of a literal go. The literal must hold exactly the announced count, so a writer
// never sends more, and whatever it falls short of is made up at the end.
struct LiteralOut {
    Session* pSession;
    uint64_t ullSkip;  // bytes before a partial range's start
    uint64_t ullLeft;
};

void PutBytes(LiteralOut* pOut, const char* pData, size_t nLength) {
    if (pOut->ullSkip > 0) {
        size_t nSkip = pOut->ullSkip < nLength ? static_cast<size_t>(pOut->ullSkip) : nLength;
        pOut->ullSkip -= nSkip;
        pData += nSkip;
        nLength -= nSkip;
    }
    if (nLength > pOut->ullLeft) {
        nLength = static_cast<size_t>(pOut->ullLeft);
    }
    OutputContent(pOut->pSession, pData, nLength);
    pOut->ullLeft -= nLength;
}

void FinishLiteral(LiteralOut* pOut) {
    // Only a file that changed under us leaves bytes owed; blanks keep the client in step with
    // the announced size.
    char szFill[64];
    memset(szFill, ' ', sizeof(szFill));
    while (pOut->ullLeft > 0) {
        PutBytes(pOut, szFill, sizeof(szFill));
    }
}

// The part of ullTotal bytes that a partial range selects.
uint64_t PartialSize(uint64_t ullTotal, const PartialRange& partial) {
    if (!partial.bGiven) {
        return ullTotal;
    }
    uint64_t ullRest = partial.ullStart < ullTotal ? ullTotal - partial.ullStart : 0;
    return partial.bLength && partial.ullLength < ullRest ? partial.ullLength : ullRest;
}

// Announces a literal of ullSize bytes; an empty section is the empty string instead.
bool StartLiteral(Session* pSession, uint64_t ullSize, LiteralOut* pOut) {
    if (ullSize == 0) {
        SendEmptySection(pSession);
        return false;
    }
    OutputAtom(pSession, "{");
    OutputNumber(pSession, ullSize);
    OutputAtom(pSession, "}\r\n");
    *pOut = {pSession, 0, ullSize};
    return true;
}

bool SeekTo(FILE* pFile, uint64_t ullOffset) {
    return ullOffset <= static_cast<uint64_t>(LONG_MAX) && fseek(pFile, static_cast<long>(ullOffset), SEEK_SET) == 0;
}

// ---- Header filter ----------------------------------------------------------------------

// The line starts with one of the names followed by its colon (blanks may come between).
bool MatchesField(const char* pszLine, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        size_t nLength = name.size();
        if (nLength == 0 || StrNICmp(pszLine, name.c_str(), nLength) != 0) {
            continue;
        }
        const char* p = pszLine + nLength;
        while (*p == ' ' || *p == '\t') {
            p++;
        }
        if (*p == ':') {
            return true;
        }
    }
    return false;
}

struct HeaderFilter {
    int nMode;
    const std::vector<std::string>* pNames;
    bool bMatch;  // the verdict of a field carries over its folded lines
};

bool TakesLine(HeaderFilter* pFilter, const char* pszLine) {
    if (strcmp(pszLine, "\r\n") == 0 || strcmp(pszLine, "\n") == 0) {
        return true;
    }
    if (pFilter->nMode == HEADER_ALL) {
        return true;
    }
    if (pszLine[0] != ' ' && pszLine[0] != '\t') {
        pFilter->bMatch = MatchesField(pszLine, *pFilter->pNames);
    }
    return pFilter->bMatch == (pFilter->nMode == HEADER_FIELDS);
}

// One pass over the header range; counts what the filter takes and, with pOut, sends it.
uint64_t HeaderPass(FILE* pFile, uint64_t ullOffset, uint64_t ullSize, HeaderFilter* pFilter, LiteralOut* pOut) {
    if (!SeekTo(pFile, ullOffset)) {
        return 0;
    }
    char szLine[LINE_SIZE];
    uint64_t ullLeft = ullSize;
    uint64_t ullTotal = 0;
    bool bLineStart = true;
    bool bTake = false;
    bool bEnded = false;  // the blank line has been taken: a filtered header always ends with it
    pFilter->bMatch = false;
    while (ullLeft > 0) {
        size_t nLength = ReadRangeLine(pFile, szLine, sizeof(szLine), &ullLeft);
        if (nLength == 0) {
            break;
        }
        // A piece of a long line follows the verdict of the line's start.
        if (bLineStart) {
            bTake = TakesLine(pFilter, szLine);
            bEnded = strcmp(szLine, "\r\n") == 0 || strcmp(szLine, "\n") == 0;
        }
        bLineStart = szLine[nLength - 1] == '\n';
        if (bTake) {
            ullTotal += nLength;
            if (pOut != nullptr) {
                PutBytes(pOut, szLine, nLength);
            }
        }
    }
    // A header cut short by the end of the message still ends with a blank line when filtered.
    if (pFilter->nMode != HEADER_ALL && !bEnded) {
        ullTotal += 2;
        if (pOut != nullptr) {
            PutBytes(pOut, "\r\n", 2);
        }
    }
    return ullTotal;
}

// The same filter over a header held in memory: the lines it takes, in order.
std::string FilterHeaderText(const char* pText, size_t nText, HeaderFilter* pFilter) {
    std::string taken;
    bool bEnded = false;
    pFilter->bMatch = false;
    char szStart[LINE_SIZE];
    for (size_t nPos = 0; nPos < nText;) {
        const char* pLf = static_cast<const char*>(memchr(pText + nPos, '\n', nText - nPos));
        size_t nLine = pLf != nullptr ? static_cast<size_t>(pLf - (pText + nPos)) + 1 : nText - nPos;
        // The verdict falls on the line's start, as far as a line is ever compared.
        size_t nStart = nLine < sizeof(szStart) - 1 ? nLine : sizeof(szStart) - 1;
        memcpy(szStart, pText + nPos, nStart);
        szStart[nStart] = '\0';
        if (TakesLine(pFilter, szStart)) taken.append(pText + nPos, nLine);
        bEnded = strcmp(szStart, "\r\n") == 0 || strcmp(szStart, "\n") == 0;
        nPos += nLine;
    }
    if (pFilter->nMode != HEADER_ALL && !bEnded) taken += "\r\n";
    return taken;
}

// Whether a message holds a NUL anywhere, kept for the file it was read from: a large range of a
// message without one leaves by the kernel without being looked at again.
struct KeptNulScan : KeptContent {
    FileIdentity file;
    uint64_t ullSize = 0;
    bool bNul = false;
    size_t Cost() const override { return sizeof(KeptNulScan); }
};

const char* const KEPT_NUL_KEY = "(nul)";

// The literal's content, from the file: large ranges around the answer buffer, small ones through it.
void SendRangeContent(Session* pSession, FetchMessage* pMessage, uint64_t ullFrom, RangeBytes bytes, LiteralOut* pOut) {
    if (pMessage->pFile != nullptr && pOut->ullLeft >= DIRECT_MIN) {
        // A peer that cannot be written to is told nothing more; the padding would fail too.
        // A range the file no longer holds whole leaves the rest in pOut->ullLeft.
        if (!OutputFileRange(pSession, pMessage->pFile, ullFrom, &pOut->ullLeft, bytes)) pOut->ullLeft = 0;
    } else if (pMessage->pFile != nullptr) {
        char buffer[READ_BLOCK];
        while (pOut->ullLeft > 0) {
            size_t nWant = pOut->ullLeft < sizeof(buffer) ? static_cast<size_t>(pOut->ullLeft) : sizeof(buffer);
            // A range the head holds is sent from there.
            const char* pData = ullFrom + nWant <= pMessage->nHead ? pMessage->achHead + ullFrom : buffer;
            size_t nGot = pData == buffer ? ReadFileAt(pMessage->pFile, ullFrom, buffer, nWant) : nWant;
            if (nGot == 0) {
                break;
            }
            ullFrom += nGot;
            if (bytes == RANGE_AS_IS) {
                OutputBinaryContent(pSession, pData, nGot);
                pOut->ullLeft -= nGot;
            } else {
                PutBytes(pOut, pData, nGot);
            }
        }
    }
    // What the file no longer gave is made up with blanks; the answer is then not the message's.
    if (pOut->ullLeft > 0) pMessage->bReadFailed = true;
    FinishLiteral(pOut);
}

}  // namespace

RangeBytes ScanRangeForNul(FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize) {
    if (pMessage->pFile == nullptr) return RANGE_LOOK;
    bool bKeep = pMessage->pIndex != nullptr && pMessage->bFileKnown;
    std::shared_ptr<const KeptContent> pKept;
    if (bKeep && pMessage->pIndex->FindContent(pMessage->ulUid, KEPT_NUL_KEY, &pKept)) {
        auto pScan = std::dynamic_pointer_cast<const KeptNulScan>(pKept);
        if (pScan != nullptr && pScan->file == pMessage->file && pScan->ullSize == pMessage->ullSize) {
            if (!pScan->bNul) return RANGE_AS_IS;
            bKeep = false;  // known to hold one: only the range is looked at
        }
    }
    bool bNul = true;
    // A range of half the message or more costs about what the whole does, and the whole answers
    // every later range of it.
    if (bKeep && ullSize >= pMessage->ullSize / 2) {
        if (!RangeHoldsNul(pMessage->pFile, 0, pMessage->ullSize, &bNul)) return RANGE_LOOK;
        auto pScan = std::make_shared<KeptNulScan>();
        pScan->file = pMessage->file;
        pScan->ullSize = pMessage->ullSize;
        pScan->bNul = bNul;
        pMessage->pIndex->KeepContent(pMessage->ulUid, KEPT_NUL_KEY, pScan);
        if (!bNul) return RANGE_AS_IS;
    }
    if (!RangeHoldsNul(pMessage->pFile, ullOffset, ullSize, &bNul)) return RANGE_LOOK;
    return bNul ? RANGE_BLANK_NULS : RANGE_AS_IS;
}

void SendEmptySection(Session* pSession) { OutputAtom(pSession, "\"\""); }

void SendFileRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize,
                   const PartialRange& partial) {
    uint64_t ullSend = PartialSize(ullSize, partial);
    LiteralOut out;
    if (!StartLiteral(pSession, ullSend, &out)) {
        return;
    }
    uint64_t ullFrom = ullOffset + (partial.bGiven ? partial.ullStart : 0);
    // Small ranges pass through the buffer, which blanks a NUL as it copies.
    RangeBytes bytes = ullSend >= DIRECT_MIN ? ScanRangeForNul(pMessage, ullFrom, ullSend) : RANGE_BLANK_NULS;
    SendRangeContent(pSession, pMessage, ullFrom, bytes, &out);
}

bool SendBinaryRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize,
                     const PartialRange& partial) {
    uint64_t ullSend = PartialSize(ullSize, partial);
    uint64_t ullFrom = ullOffset + (partial.bGiven ? partial.ullStart : 0);
    RangeBytes bytes = ScanRangeForNul(pMessage, ullFrom, ullSend);
    if (bytes == RANGE_LOOK) return false;
    if (ullSend == 0) {
        SendEmptySection(pSession);
        return true;
    }
    // Content with a NUL goes out as a literal8, the only form that carries one as it is.
    OutputAtom(pSession, bytes == RANGE_BLANK_NULS ? "~{" : "{");
    OutputNumber(pSession, ullSend);
    OutputAtom(pSession, "}\r\n");
    LiteralOut out = {pSession, 0, ullSend};
    SendRangeContent(pSession, pMessage, ullFrom, RANGE_AS_IS, &out);
    return true;
}

void SendHeaderRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize, int nMode,
                     const std::vector<std::string>& names, const PartialRange& partial) {
    if (nMode == HEADER_ALL) {
        SendFileRange(pSession, pMessage, ullOffset, ullSize, partial);
        return;
    }
    HeaderFilter filter = {nMode, &names, false};
    // A header of usual size is read once, in one piece.
    if (pMessage->pFile != nullptr && ullSize <= HEADER_READ_MAX) {
        // The head holds most headers; others are read in one piece.
        std::string header;
        const char* pHeader = pMessage->achHead + ullOffset;
        size_t nHeader = static_cast<size_t>(ullSize);
        if (ullOffset + ullSize > pMessage->nHead) {
            header.resize(nHeader);
            header.resize(ReadFileAt(pMessage->pFile, ullOffset, header.data(), header.size()));
            if (header.size() < ullSize) pMessage->bReadFailed = true;
            pHeader = header.data();
            nHeader = header.size();
        }
        std::string taken = FilterHeaderText(pHeader, nHeader, &filter);
        LiteralOut out;
        if (!StartLiteral(pSession, PartialSize(taken.size(), partial), &out)) {
            return;
        }
        out.ullSkip = partial.bGiven ? partial.ullStart : 0;
        PutBytes(&out, taken.data(), taken.size());
        FinishLiteral(&out);
        return;
    }
    if (pMessage->pFile == nullptr) pMessage->bReadFailed = true;
    uint64_t ullTotal = pMessage->pFile != nullptr ? HeaderPass(pMessage->pFile, ullOffset, ullSize, &filter, nullptr) : 0;
    uint64_t ullSend = PartialSize(ullTotal, partial);
    LiteralOut out;
    if (!StartLiteral(pSession, ullSend, &out)) {
        return;
    }
    out.ullSkip = partial.bGiven ? partial.ullStart : 0;
    HeaderPass(pMessage->pFile, ullOffset, ullSize, &filter, &out);
    FinishLiteral(&out);
}

// ---- What a BODY[...] item names ---------------------------------------------------------

namespace {

// A field list is looked at this far; a longer one is cut.
constexpr size_t FIELD_LIST_SIZE = 1100;

// The names of a HEADER.FIELDS list, split as the item list is. Empty names (doubled spaces)
// would break the answer's syntax.
std::vector<std::string> SplitFieldNames(const char* pszList) {
    char szList[FIELD_LIST_SIZE + 1];
    static_cast<void>(FormatText(szList, sizeof(szList), "%s", pszList != nullptr ? pszList : ""));
    char* pWords[FETCH_ITEM_WORDS + 1];
    bool bLimit = false;
    int nWords = SplitItemWords(StripParentheses(szList), pWords, &bLimit);
    std::vector<std::string> names;
    for (int i = 0; i < nWords; i++) {
        if (pWords[i][0] != '\0') names.emplace_back(pWords[i]);
    }
    return names;
}

// "<start>" after a label: a partial answer carries its origin.
void QueueOrigin(Session* pSession, const PartialRange& partial) {
    if (partial.bGiven) {
        OutputAtom(pSession, "<");
        OutputNumber(pSession, partial.ullStart);
        OutputAtom(pSession, ">");
    }
}

}  // namespace

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

void ReadSectionText(const char* pszText, size_t nText, SectionSpec* pSpec) {
    pSpec->kind = SECTION_PART;
    pSpec->bValid = true;
    pSpec->nPath = 0;
    size_t i = 0;
    while (i < nText && pszText[i] >= '0' && pszText[i] <= '9') {
        uint64_t ullNumber = 0;
        for (; i < nText && pszText[i] >= '0' && pszText[i] <= '9'; i++) {
            ullNumber = ullNumber * 10 + static_cast<uint64_t>(pszText[i] - '0');
            if (ullNumber > 0xFFFFFFFFull) {
                pSpec->bValid = false;
                ullNumber = 0xFFFFFFFFull;  // no part has it; and the sum cannot wrap
            }
        }
        if (pSpec->nPath < sizeof(pSpec->ulPath) / sizeof(pSpec->ulPath[0])) {
            pSpec->ulPath[pSpec->nPath++] = static_cast<uint32_t>(ullNumber);
        } else {
            pSpec->bValid = false;  // deeper than any tree goes
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
            pSpec->kind = suffix.kind;
            // A part number needs no suffix; a path ending in "." or MIME without a part is wrong.
            if ((pSpec->nPath > 0 && i > 0 && pszText[i - 1] == '.' && rest.empty()) ||
                (pSpec->kind == SECTION_MIME && pSpec->nPath == 0)) {
                pSpec->bValid = false;
            }
            return;
        }
    }
    pSpec->bValid = false;
}

SectionSpec ReadSectionItem(const char* pszItem, const char* pszFieldList, const char* pszAfterList,
                            bool* pbUsedPartial) {
    SectionSpec wanted;
    *pbUsedPartial = false;
    const char* pOpen = strchr(pszItem, '[');
    if (pOpen == nullptr) {
        wanted.bValid = false;
        return wanted;
    }
    const char* pClose = strchr(pOpen, ']');
    size_t nSection = pClose != nullptr ? static_cast<size_t>(pClose - pOpen - 1) : strlen(pOpen + 1);
    wanted.label.assign(pOpen + 1, nSection);
    ReadSectionText(pOpen + 1, nSection, &wanted);
    // An unclosed section's partial follows its field list as a word of its own.
    const char* pLess = pClose != nullptr ? strchr(pClose, '<') : nullptr;
    if (pClose == nullptr && pszAfterList != nullptr && pszAfterList[0] == '<') {
        pLess = pszAfterList;
        *pbUsedPartial = true;
    }
    wanted.partial = ReadPartial(pLess != nullptr ? pLess + 1 : nullptr);
    if (wanted.kind == SECTION_FIELDS || wanted.kind == SECTION_FIELDS_NOT) {
        wanted.names = SplitFieldNames(pClose == nullptr ? pszFieldList : "");
    }
    return wanted;
}

void WriteSection(Session* pSession, FetchMessage* pMessage, const SectionSpec& wanted) {
    // The label: the section as asked, the field names as asked, the partial's origin.
    OutputFormat(pSession, "BODY[%s", wanted.label.c_str());
    if (wanted.kind == SECTION_FIELDS || wanted.kind == SECTION_FIELDS_NOT) {
        OutputAtom(pSession, " (");
        for (size_t i = 0; i < wanted.names.size(); i++) {
            OutputFormat(pSession, "%s%s", i == 0 ? "" : " ", wanted.names[i].c_str());
        }
        OutputAtom(pSession, ")");
    }
    OutputAtom(pSession, "]");
    QueueOrigin(pSession, wanted.partial);
    OutputAtom(pSession, " ");

    const PartialRange& partial = wanted.partial;
    // The whole message is one range, known without its structure.
    if (wanted.bValid && wanted.kind == SECTION_PART && wanted.nPath == 0 && pMessage->pFile != nullptr) {
        SendFileRange(pSession, pMessage, 0, pMessage->ullSize, partial);
        return;
    }
    // So is the top header, as long as it ends within the message's first bytes.
    bool bTopHeader = wanted.kind == SECTION_HEADER || wanted.kind == SECTION_FIELDS || wanted.kind == SECTION_FIELDS_NOT;
    uint64_t ullHeader = 0;
    if (wanted.bValid && bTopHeader && wanted.nPath == 0 && pMessage->pFile != nullptr) {
        if (!TopHeaderSize(pMessage, &ullHeader)) {
            SendEmptySection(pSession);
            return;
        }
        SendHeaderRange(pSession, pMessage, 0, ullHeader,
                        wanted.kind == SECTION_HEADER ? HEADER_ALL
                        : wanted.kind == SECTION_FIELDS ? HEADER_FIELDS
                                                      : HEADER_FIELDS_NOT,
                        wanted.names, partial);
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
                            wanted.names, partial);
            return;
    }
}
