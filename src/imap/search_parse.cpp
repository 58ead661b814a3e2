// The SEARCH criteria grammar: keys, their arguments, NOT, OR and parenthesised groups, turned
// into a tree before anything is searched.
#include <cstring>

#include "imap/search.h"
#include "imap/search_text.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

const char* const kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                 "jul", "aug", "sep", "oct", "nov", "dec"};

struct FlagKeyword {
    const char* pszKey;
    int nFlag;
    bool bSet;
};

const FlagKeyword kFlagKeys[] = {
    {"RECENT", 0, true},     {"ANSWERED", 1, true},  {"UNANSWERED", 1, false}, {"FLAGGED", 2, true},
    {"UNFLAGGED", 2, false}, {"DELETED", 3, true},   {"UNDELETED", 3, false},  {"SEEN", 4, true},
    {"UNSEEN", 4, false},    {"DRAFT", 5, true},     {"UNDRAFT", 5, false},
};

struct TextKeyword {
    const char* pszKey;
    SearchKind kind;
    const char* pszField;  // the header field the key reads, if any
};

const TextKeyword kTextKeys[] = {
    {"FROM", SK_ADDRESS, "From"}, {"TO", SK_ADDRESS, "To"},  {"CC", SK_ADDRESS, "Cc"},
    {"BCC", SK_ADDRESS, "Bcc"},   {"SUBJECT", SK_HEADER, "Subject"}, {"BODY", SK_BODY, ""},
    {"TEXT", SK_TEXT, ""},
};

struct DateKeyword {
    const char* pszKey;
    SearchKind kind;
};

const DateKeyword kDateKeys[] = {
    {"BEFORE", SK_BEFORE},         {"ON", SK_ON},         {"SINCE", SK_SINCE},
    {"SENTBEFORE", SK_SENTBEFORE}, {"SENTON", SK_SENTON}, {"SENTSINCE", SK_SENTSINCE},
};

bool IsAtomChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '(' && c != ')' && c != '{' && c != '"' && c != '\\' && c != '%';
}

class Parser {
public:
    Parser(const char* pText, size_t nLength, SearchQuery* pQuery) : p_(pText), pEnd_(pText + nLength), pQuery_(pQuery) {}

    SearchParseResult Run(std::string* pstrError) {
        SearchParseResult result = ParseAll();
        if (result == SEARCH_BAD) *pstrError = strError_;
        return result;
    }

private:
    SearchParseResult ParseAll() {
        // CHARSET may only open the criteria.
        std::string strWord;
        const char* pStart = p_;
        if (ReadAtom(&strWord) && StrICmp(strWord.c_str(), "CHARSET") == 0) {
            std::string strCharset;
            if (!Blank() || !ReadAString(&strCharset)) return Fail("CHARSET needs a name");
            if (StrICmp(strCharset.c_str(), "US-ASCII") != 0 && StrICmp(strCharset.c_str(), "UTF-8") != 0) {
                return SEARCH_BAD_CHARSET;
            }
            if (!Blank()) return Fail("missing search key");
        } else {
            p_ = pStart;
        }
        int nRoot = NewNode(SK_AND);
        if (nRoot < 0) return SEARCH_BAD;
        pQuery_->nRoot = nRoot;
        if (!ParseKeyList(nRoot, 0, false)) return SEARCH_BAD;
        return SEARCH_PARSED;
    }

    SearchParseResult Fail(const char* pszWhat) {
        if (strError_.empty()) strError_ = pszWhat;
        return SEARCH_BAD;
    }
    bool Bad(const char* pszWhat) {
        Fail(pszWhat);
        return false;
    }

    bool Blank() {
        if (p_ < pEnd_ && *p_ == ' ') {
            ++p_;
            return true;
        }
        return false;
    }

    int NewNode(SearchKind kind) {
        if (pQuery_->nodes.size() >= SEARCH_MAX_NODES) {
            Fail("too many search keys");
            return -1;
        }
        pQuery_->nodes.emplace_back();
        pQuery_->nodes.back().kind = kind;
        return static_cast<int>(pQuery_->nodes.size() - 1);
    }

    // Keys separated by single blanks, into nParent, up to the end or (in a group) a ")".
    bool ParseKeyList(int nParent, int nDepth, bool bGroup) {
        for (;;) {
            int nChild = -1;
            if (!ParseKey(nDepth, &nChild)) return false;
            pQuery_->nodes[static_cast<size_t>(nParent)].children.push_back(nChild);
            if (p_ == pEnd_) {
                return bGroup ? Bad("unclosed parenthesis") : true;
            }
            if (*p_ == ')') {
                if (!bGroup) return Bad("unexpected parenthesis");
                ++p_;
                return true;
            }
            if (!Blank()) return Bad("blank expected between search keys");
        }
    }

    bool ParseKey(int nDepth, int* pnNode) {
        if (nDepth >= SEARCH_MAX_DEPTH) return Bad("search keys nested too deeply");
        if (p_ == pEnd_) return Bad("missing search key");
        if (*p_ == '(') {
            ++p_;
            int nGroup = NewNode(SK_AND);
            if (nGroup < 0) return false;
            *pnNode = nGroup;
            return ParseKeyList(nGroup, nDepth + 1, true);
        }
        std::string strKey;
        if (!ReadAtom(&strKey)) return Bad("search key expected");
        if (strKey == "$") return Saved(pnNode);
        if (strKey[0] == '*' || (strKey[0] >= '0' && strKey[0] <= '9')) {
            return ParseSet(strKey, SK_SEQUENCES, pnNode);
        }
        StrUpper(strKey.data());
        const char* pszKey = strKey.c_str();

        if (strcmp(pszKey, "NOT") == 0 || strcmp(pszKey, "OR") == 0) return Logical(pszKey[0] == 'O', nDepth, pnNode);
        if (strcmp(pszKey, "ALL") == 0) return Constant(true, pnNode);
        for (const FlagKeyword& key : kFlagKeys) {
            if (strcmp(pszKey, key.pszKey) == 0) return Flag(key.nFlag, key.bSet, pnNode);
        }
        if (strcmp(pszKey, "NEW") == 0 || strcmp(pszKey, "OLD") == 0) return NewOrOld(pszKey[0] == 'N', pnNode);
        if (strcmp(pszKey, "KEYWORD") == 0 || strcmp(pszKey, "UNKEYWORD") == 0) {
            // A system flag's name ("\\Seen") is a flag too, though no atom.
            std::string strFlag;
            if (!Blank()) return Bad("KEYWORD needs a flag");
            bool bSystem = p_ < pEnd_ && *p_ == '\\';
            if (bSystem) ++p_;
            if (!ReadAtom(&strFlag)) return Bad("KEYWORD needs a flag");
            if (bSystem) strFlag.insert(0, 1, '\\');
            return Keyword(strFlag, pszKey[0] == 'K', pnNode);
        }
        if (strcmp(pszKey, "MODSEQ") == 0) return ModSeq(pnNode);
        if (strcmp(pszKey, "UID") == 0) {
            std::string strSet;
            if (!Blank() || !ReadAtom(&strSet)) return Bad("UID needs a set");
            if (strSet == "$") return Saved(pnNode);
            return ParseSet(strSet, SK_UIDS, pnNode);
        }
        if (strcmp(pszKey, "LARGER") == 0 || strcmp(pszKey, "SMALLER") == 0) {
            return Size(pszKey[0] == 'L' ? SK_LARGER : SK_SMALLER, pnNode);
        }
        for (const DateKeyword& key : kDateKeys) {
            if (strcmp(pszKey, key.pszKey) == 0) return Date(key.kind, pnNode);
        }
        if (strcmp(pszKey, "HEADER") == 0) return Header(pnNode);
        for (const TextKeyword& key : kTextKeys) {
            if (strcmp(pszKey, key.pszKey) != 0) continue;
            std::string strValue;
            if (!Blank() || !ReadAString(&strValue)) return Bad("search string expected");
            return Text(key.kind, key.pszField, strValue, pnNode);
        }
        strError_ = "unknown search key " + strKey.substr(0, 40);
        return false;
    }

    // NOT key, OR key key.
    bool Logical(bool bOr, int nDepth, int* pnNode) {
        int nNode = NewNode(bOr ? SK_OR : SK_NOT);
        if (nNode < 0) return false;
        *pnNode = nNode;
        for (int i = 0; i < (bOr ? 2 : 1); i++) {
            int nChild = -1;
            if (!Blank()) return Bad("missing search key");
            if (!ParseKey(nDepth + 1, &nChild)) return false;
            pQuery_->nodes[static_cast<size_t>(nNode)].children.push_back(nChild);
        }
        return true;
    }

    // NEW is Recent and not Seen; OLD is not Recent.
    bool NewOrOld(bool bNew, int* pnNode) {
        int nNode = NewNode(bNew ? SK_AND : SK_NOT);
        if (nNode < 0) return false;
        *pnNode = nNode;
        int nChild = -1;
        if (!Flag(0, true, &nChild)) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].children.push_back(nChild);
        if (bNew) {
            if (!Flag(4, false, &nChild)) return false;
            pQuery_->nodes[static_cast<size_t>(nNode)].children.push_back(nChild);
        }
        return true;
    }

    // LARGER n, SMALLER n: n a 32-bit number.
    bool Size(SearchKind kind, int* pnNode) {
        std::string strNumber;
        if (!Blank() || !ReadAtom(&strNumber)) return Bad("size expected");
        uint64_t ullValue = 0;
        for (char c : strNumber) {
            if (c < '0' || c > '9' || ullValue > 0xFFFFFFFFull) return Bad("size expected");
            ullValue = ullValue * 10 + static_cast<uint64_t>(c - '0');
        }
        if (ullValue > 0xFFFFFFFFull) return Bad("size expected");
        int nNode = NewNode(kind);
        if (nNode < 0) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].ullNumber = ullValue;
        *pnNode = nNode;
        return true;
    }

    bool Date(SearchKind kind, int* pnNode) {
        std::string strDate;
        int64_t llDay = 0;
        if (!Blank() || !ReadAString(&strDate) || !ParseSearchDate(strDate.data(), strDate.size(), &llDay)) {
            return Bad("date expected (d-Mon-yyyy)");
        }
        int nNode = NewNode(kind);
        if (nNode < 0) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].ullNumber = static_cast<uint64_t>(llDay);
        *pnNode = nNode;
        return true;
    }

    bool Header(int* pnNode) {
        std::string strName, strValue;
        if (!Blank() || !ReadAString(&strName) || !Blank() || !ReadAString(&strValue)) {
            return Bad("HEADER needs a field name and a string");
        }
        if (strName.empty() || strName.find_first_of(": \t\r\n") != std::string::npos) {
            return Bad("bad header field name");
        }
        return Text(SK_HEADER, strName, strValue, pnNode);
    }

    bool Constant(bool bValue, int* pnNode) {
        int nNode = NewNode(SK_CONST);
        if (nNode < 0) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].bValue = bValue;
        *pnNode = nNode;
        return true;
    }

    // A system flag's name searches its flag; any other flag is a keyword. A name that is no
    // keyword cannot be on a message, and matches nothing.
    bool Keyword(const std::string& strFlag, bool bSet, int* pnNode) {
        if (strFlag[0] == '\\') {
            for (int i = 0; i < 6; i++) {
                if (StrICmp(strFlag.c_str(), FlagNames[i]) == 0) return Flag(i, bSet, pnNode);
            }
            return Constant(!bSet, pnNode);
        }
        int nNode = NewNode(SK_KEYWORD);
        if (nNode < 0) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].strName = strFlag;
        pQuery_->nodes[static_cast<size_t>(nNode)].bValue = bSet;
        *pnNode = nNode;
        return true;
    }

    // MODSEQ ["/flags/name" priv|shared|all] n. Every flag of a message shares its one sequence,
    // so the entry named changes nothing.
    bool ModSeq(int* pnNode) {
        if (!Blank()) return Bad("MODSEQ needs a number");
        if (p_ < pEnd_ && *p_ == '"') {
            std::string strEntry, strType;
            if (!ReadAString(&strEntry) || StrNICmp(strEntry.c_str(), "/flags/", 7) != 0 || !Blank() ||
                !ReadAtom(&strType) || !Blank()) {
                return Bad("bad MODSEQ entry");
            }
            StrUpper(strType.data());
            if (strType != "PRIV" && strType != "SHARED" && strType != "ALL") return Bad("bad MODSEQ entry type");
        }
        std::string strNumber;
        if (!ReadAtom(&strNumber)) return Bad("MODSEQ needs a number");
        uint64_t ullValue = 0;
        for (char c : strNumber) {
            uint64_t ullDigit = static_cast<uint64_t>(c - '0');
            if (c < '0' || c > '9' || ullValue > (0x7FFFFFFFFFFFFFFFull - ullDigit) / 10) return Bad("bad MODSEQ number");
            ullValue = ullValue * 10 + ullDigit;
        }
        int nNode = NewNode(SK_MODSEQ);
        if (nNode < 0) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].ullNumber = ullValue;
        *pnNode = nNode;
        return true;
    }

    bool Flag(int nFlag, bool bSet, int* pnNode) {
        int nNode = NewNode(SK_FLAG);
        if (nNode < 0) return false;
        pQuery_->nodes[static_cast<size_t>(nNode)].nFlag = nFlag;
        pQuery_->nodes[static_cast<size_t>(nNode)].bValue = bSet;
        *pnNode = nNode;
        return true;
    }

    bool Text(SearchKind kind, const std::string& strName, const std::string& strValue, int* pnNode) {
        int nNode = NewNode(kind);
        if (nNode < 0) return false;
        SearchNode& node = pQuery_->nodes[static_cast<size_t>(nNode)];
        node.strName = strName;
        node.strValue = strValue;
        FoldSearchText(&node.strValue);
        *pnNode = nNode;
        return true;
    }

    bool Saved(int* pnNode) {
        int nNode = NewNode(SK_SAVED);
        if (nNode < 0) return false;
        *pnNode = nNode;
        return true;
    }

    bool ParseSet(const std::string& strSet, SearchKind kind, int* pnNode) {
        int nNode = NewNode(kind);
        if (nNode < 0) return false;
        if (!ParseMessageSet(strSet.c_str(), &pQuery_->nodes[static_cast<size_t>(nNode)].set)) {
            return Bad("bad message set");
        }
        *pnNode = nNode;
        return true;
    }

    bool ReadAtom(std::string* pstrAtom) {
        const char* pStart = p_;
        while (p_ < pEnd_ && IsAtomChar(*p_)) ++p_;
        pstrAtom->assign(pStart, static_cast<size_t>(p_ - pStart));
        return !pstrAtom->empty();
    }

    // An atom, a quoted string or a literal.
    bool ReadAString(std::string* pstrValue) {
        if (p_ == pEnd_) return false;
        if (*p_ == '"') {
            pstrValue->clear();
            for (++p_; p_ < pEnd_; ++p_) {
                if (*p_ == '"') {
                    ++p_;
                    return true;
                }
                if (*p_ == '\\') {
                    if (++p_ == pEnd_ || (*p_ != '"' && *p_ != '\\')) return false;
                } else if (*p_ == '\r' || *p_ == '\n' || *p_ == '\0') {
                    return false;
                }
                pstrValue->push_back(*p_);
            }
            return false;
        }
        if (*p_ == '{') {
            const char* p = p_ + 1;
            uint64_t ullSize = 0;
            if (p == pEnd_ || *p < '0' || *p > '9') return false;
            while (p < pEnd_ && *p >= '0' && *p <= '9') {
                ullSize = ullSize * 10 + static_cast<uint64_t>(*p++ - '0');
                if (ullSize > static_cast<uint64_t>(pEnd_ - p_)) return false;
            }
            if (p < pEnd_ && *p == '+') ++p;
            if (pEnd_ - p < 3 || memcmp(p, "}\r\n", 3) != 0) return false;
            p += 3;
            if (static_cast<uint64_t>(pEnd_ - p) < ullSize) return false;
            pstrValue->assign(p, static_cast<size_t>(ullSize));
            p_ = p + ullSize;
            return true;
        }
        // Clients send UTF-8 text as atoms too, though a literal would be correct.
        const char* pStart = p_;
        while (p_ < pEnd_ && (IsAtomChar(*p_) || *p_ == '%' || *p_ == '\\' || static_cast<unsigned char>(*p_) >= 0x80)) ++p_;
        pstrValue->assign(pStart, static_cast<size_t>(p_ - pStart));
        return !pstrValue->empty();
    }

    const char* p_;
    const char* pEnd_;
    SearchQuery* pQuery_;
    std::string strError_;
};

int ReadDigits(const char** pp, const char* pEnd, int nMax) {
    int nValue = 0, nCount = 0;
    const char* p = *pp;
    while (p < pEnd && *p >= '0' && *p <= '9' && nCount < nMax) {
        nValue = nValue * 10 + (*p++ - '0');
        nCount++;
    }
    *pp = p;
    return nCount == 0 ? -1 : nValue;
}

int ReadMonth(const char* p, const char* pEnd) {
    if (pEnd - p < 3) return 0;
    for (int i = 0; i < 12; i++) {
        if (StrNICmp(p, kMonths[i], 3) == 0) return i + 1;
    }
    return 0;
}

int DaysInMonth(int nYear, int nMonth) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    return nMonth == 2 && bLeap ? 29 : kDays[nMonth - 1];
}

}  // namespace

SearchParseResult ParseSearch(const char* pText, size_t nLength, SearchQuery* pQuery, std::string* pstrError) {
    pQuery->nodes.clear();
    pQuery->nRoot = -1;
    Parser parser(pText, nLength, pQuery);
    return parser.Run(pstrError);
}

int64_t SearchDayNumber(int nYear, int nMonth, int nDay) {
    // Days from civil (proleptic Gregorian), counted from 1970-01-01.
    int64_t y = nYear - (nMonth <= 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (nMonth + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + nDay - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool ParseSearchDate(const char* pText, size_t nLength, int64_t* pllDay) {
    const char* p = pText;
    const char* pEnd = pText + nLength;
    int nDay = ReadDigits(&p, pEnd, 2);
    if (nDay < 1 || p == pEnd || *p++ != '-') return false;
    int nMonth = ReadMonth(p, pEnd);
    if (nMonth == 0) return false;
    p += 3;
    if (p == pEnd || *p++ != '-') return false;
    const char* pYear = p;
    int nYear = ReadDigits(&p, pEnd, 4);
    if (p != pEnd || p - pYear != 4 || nDay > DaysInMonth(nYear, nMonth)) return false;
    *pllDay = SearchDayNumber(nYear, nMonth, nDay);
    return true;
}

bool ParseHeaderDate(const char* pszText, int64_t* pllDay) {
    const char* p = SkipBlanks(pszText);
    const char* pEnd = p + strlen(p);
    // An optional day name and comma.
    const char* pComma = strchr(p, ',');
    if (pComma != nullptr && pComma - p <= 12) p = SkipBlanks(pComma + 1);
    int nDay = ReadDigits(&p, pEnd, 2);
    if (nDay < 1) return false;
    while (p < pEnd && (*p == ' ' || *p == '\t' || *p == '-')) ++p;
    int nMonth = ReadMonth(p, pEnd);
    if (nMonth == 0) return false;
    p += 3;
    while (p < pEnd && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) ++p;  // a month spelled out
    while (p < pEnd && (*p == ' ' || *p == '\t' || *p == '-')) ++p;
    const char* pYear = p;
    int nYear = ReadDigits(&p, pEnd, 4);
    if (nYear < 0) return false;
    if (p - pYear <= 2) nYear += nYear < 50 ? 2000 : 1900;  // two-digit years of old mail
    else if (p - pYear == 3) nYear += 1900;
    if (nDay > DaysInMonth(nYear, nMonth)) return false;
    *pllDay = SearchDayNumber(nYear, nMonth, nDay);
    return true;
}
