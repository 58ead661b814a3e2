#include "imap/search_return.h"

#include <algorithm>
#include <cstring>

#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

struct ReturnWord {
    const char* pszWord;
    uint32_t fOption;
};

const ReturnWord kReturnWords[] = {
    {"MIN", RETURN_MIN},   {"MAX", RETURN_MAX},       {"ALL", RETURN_ALL},         {"COUNT", RETURN_COUNT},
    {"SAVE", RETURN_SAVE}, {"UPDATE", RETURN_UPDATE}, {"CONTEXT", RETURN_CONTEXT}, {"PARTIAL", RETURN_PARTIAL},
};

// A number from 1 to 4294967295, read to its end.
bool TakePosition(const char** ppCursor, uint32_t* pulValue) {
    const char* p = *ppCursor;
    uint64_t ullValue = 0;
    if (*p < '1' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; p++) {
        ullValue = ullValue * 10 + static_cast<uint64_t>(*p - '0');
        if (ullValue > UINT32_MAX) return false;
    }
    *pulValue = static_cast<uint32_t>(ullValue);
    *ppCursor = p;
    return true;
}

bool Refuse(std::string* pstrError, const char* pszWhy) {
    *pstrError = pszWhy;
    return false;
}

}  // namespace

bool TakeSearchReturn(const char** ppCursor, SearchReturn* pReturn, std::string* pstrError) {
    const char* p = *ppCursor;
    if (StrNICmp(p, "RETURN ", 7) != 0) return true;
    p += 7;
    if (*p != '(') return Refuse(pstrError, "RETURN needs a list of options");
    p++;
    SearchReturn options;
    options.bExtended = true;
    while (*p != ')') {
        size_t nLength = std::strcspn(p, " )");
        uint32_t fOption = 0;
        for (const ReturnWord& word : kReturnWords) {
            if (std::strlen(word.pszWord) == nLength && StrNICmp(p, word.pszWord, nLength) == 0) fOption = word.fOption;
        }
        if (fOption == 0) return Refuse(pstrError, "unknown RETURN option");
        if (options.fOptions & fOption) return Refuse(pstrError, "RETURN option given twice");
        options.fOptions |= fOption;
        p += nLength;
        if (fOption == RETURN_PARTIAL) {
            uint32_t ulFirst = 0, ulLast = 0;
            if (*p != ' ' || !TakePosition(&++p, &ulFirst) || *p != ':' || !TakePosition(&++p, &ulLast)) {
                return Refuse(pstrError, "PARTIAL needs a range of positions");
            }
            options.ulPartialLow = std::min(ulFirst, ulLast);
            options.ulPartialHigh = std::max(ulFirst, ulLast);
        }
        if (*p == ' ' && p[1] != ')' && p[1] != ' ') p++;
        else if (*p != ')') return Refuse(pstrError, "malformed RETURN options");
    }
    p++;
    if (*p != ' ') return Refuse(pstrError, "search criteria expected after RETURN");
    p++;
    // RETURN () asks for what a plain SEARCH tells.
    if ((options.fOptions & ~RETURN_CONTEXT) == 0) options.fOptions |= RETURN_ALL;
    *pReturn = options;
    *ppCursor = p;
    return true;
}

std::string FormatNumberSet(const std::vector<uint32_t>& numbers) {
    std::string text;
    char szNumber[32];
    for (size_t i = 0; i < numbers.size();) {
        size_t nEnd = i + 1;
        while (nEnd < numbers.size() && numbers[nEnd - 1] != UINT32_MAX && numbers[nEnd] == numbers[nEnd - 1] + 1) nEnd++;
        if (!text.empty()) text += ',';
        static_cast<void>(FormatText(szNumber, sizeof(szNumber), "%lu", static_cast<unsigned long>(numbers[i])));
        text += szNumber;
        if (nEnd - i > 1) {
            static_cast<void>(FormatText(szNumber, sizeof(szNumber), ":%lu", static_cast<unsigned long>(numbers[nEnd - 1])));
            text += szNumber;
        }
        i = nEnd;
    }
    return text;
}

namespace {

// The numbers MIN and MAX name: the lowest and highest, or in a sort order the first and last.
std::pair<uint32_t, uint32_t> Ends(const std::vector<uint32_t>& numbers, bool bOrdered) {
    if (bOrdered) return {numbers.front(), numbers.back()};
    auto [itMin, itMax] = std::minmax_element(numbers.begin(), numbers.end());
    return {*itMin, *itMax};
}

}  // namespace

std::vector<uint32_t> SavedPart(const SearchReturn& options, const std::vector<uint32_t>& numbers, bool bOrdered) {
    bool bEnds = (options.fOptions & (RETURN_MIN | RETURN_MAX)) != 0;
    bool bWhole = (options.fOptions & (RETURN_ALL | RETURN_COUNT | RETURN_PARTIAL)) != 0;
    std::vector<uint32_t> part;
    if (!bEnds || bWhole || numbers.empty()) {
        part = numbers;
    } else {
        auto [ulMin, ulMax] = Ends(numbers, bOrdered);
        if (options.fOptions & RETURN_MIN) part.push_back(ulMin);
        if ((options.fOptions & RETURN_MAX) && (part.empty() || ulMax != part[0])) part.push_back(ulMax);
    }
    if (bOrdered || part.size() != numbers.size()) std::sort(part.begin(), part.end());
    return part;
}

void OutputNumberList(Session* pSession, const char* pszWord, const std::vector<uint32_t>& numbers, uint64_t ullModSeq) {
    OutputAtom(pSession, "* ");
    OutputAtom(pSession, pszWord);
    for (uint32_t ulNumber : numbers) {
        OutputAtom(pSession, " ");
        OutputNumber(pSession, ulNumber);
    }
    if (ullModSeq != 0) {
        OutputAtom(pSession, " (MODSEQ ");
        OutputNumber(pSession, ullModSeq);
        OutputAtom(pSession, ")");
    }
    OutputLineEnd(pSession);
}

void OutputEsearch(Session* pSession, const SearchReturn& options, const std::vector<uint32_t>& numbers, bool bUid,
                   const EsearchExtra& extra) {
    // The tag is quoted: a tag holds no quote or backslash, but a client's mistake stays harmless.
    OutputAtom(pSession, "* ESEARCH (TAG ");
    OutputString(pSession, pSession->pTag, std::strlen(pSession->pTag));
    OutputAtom(pSession, ")");
    if (bUid) OutputAtom(pSession, " UID");
    const uint32_t fOptions = options.fOptions;
    if (!numbers.empty()) {
        auto [ulMin, ulMax] = Ends(numbers, extra.bOrdered);
        if (fOptions & RETURN_MIN) {
            OutputAtom(pSession, " MIN ");
            OutputNumber(pSession, ulMin);
        }
        if (fOptions & RETURN_MAX) {
            OutputAtom(pSession, " MAX ");
            OutputNumber(pSession, ulMax);
        }
    }
    if (fOptions & RETURN_COUNT) {
        OutputAtom(pSession, " COUNT ");
        OutputNumber(pSession, numbers.size());
    }
    if ((fOptions & RETURN_ALL) && !numbers.empty()) {
        std::string set = FormatNumberSet(numbers);
        OutputAtom(pSession, " ALL ");
        OutputText(pSession, set.data(), set.size());
    }
    if (fOptions & RETURN_PARTIAL) {
        char szRange[32];
        static_cast<void>(FormatText(szRange, sizeof(szRange), " PARTIAL (%lu:%lu ",
                                     static_cast<unsigned long>(options.ulPartialLow),
                                     static_cast<unsigned long>(options.ulPartialHigh)));
        OutputAtom(pSession, szRange);
        if (options.ulPartialLow > numbers.size()) {
            OutputAtom(pSession, "NIL");
        } else {
            size_t nFirst = options.ulPartialLow - 1;
            size_t nEnd = std::min<size_t>(options.ulPartialHigh, numbers.size());
            std::string set = FormatNumberSet(std::vector<uint32_t>(numbers.begin() + static_cast<ptrdiff_t>(nFirst),
                                                                    numbers.begin() + static_cast<ptrdiff_t>(nEnd)));
            OutputText(pSession, set.data(), set.size());
        }
        OutputAtom(pSession, ")");
    }
    if (extra.ullModSeq != 0) {
        OutputAtom(pSession, " MODSEQ ");
        OutputNumber(pSession, extra.ullModSeq);
    }
    OutputLineEnd(pSession);
}
