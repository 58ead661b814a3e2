#include "imap/keywords.h"

#include <cstring>

#include "platform/text.h"
#include "store/store.h"

bool IsKeywordAtom(const char* pText, size_t nLength) {
    if (nLength == 0 || nLength > KEYWORD_MAX_LENGTH) return false;
    for (size_t i = 0; i < nLength; i++) {
        unsigned char u = static_cast<unsigned char>(pText[i]);
        if (u <= 0x20 || u >= 0x7f || strchr("(){%*\"\\]", u) != nullptr) return false;
    }
    return true;
}

bool SameKeyword(const std::string& a, const std::string& b) {
    return a.size() == b.size() && StrNICmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool ReadFlagList(const char* pszText, FlagList* pList, std::string* pstrBad) {
    *pList = FlagList{};
    const char* p = pszText;
    while (*p == ' ') p++;
    bool bParenthesised = *p == '(';
    if (bParenthesised) p++;
    const char* pEnd = p + strlen(p);
    if (bParenthesised) {
        while (pEnd > p && pEnd[-1] == ' ') pEnd--;
        if (pEnd > p && pEnd[-1] == ')') pEnd--;
    }
    while (p < pEnd) {
        const char* pWord = p;
        while (p < pEnd && *p != ' ') p++;
        size_t nWord = static_cast<size_t>(p - pWord);
        while (p < pEnd && *p == ' ') p++;
        if (nWord == 0) continue;
        if (*pWord == '\\') {
            for (int i = 0; i < 6; i++) {
                size_t nName = strlen(FlagNames[i]);
                if (nWord >= nName && StrNICmp(pWord, FlagNames[i], nName) == 0) {
                    pList->fSystem = static_cast<uint8_t>(pList->fSystem | (1u << i));
                    break;
                }
            }
            continue;
        }
        if (!IsKeywordAtom(pWord, nWord)) {
            pstrBad->assign(pWord, nWord < 40 ? nWord : 40);
            return false;
        }
        std::string keyword(pWord, nWord);
        bool bKnown = false;
        for (const std::string& named : pList->keywords) bKnown = bKnown || SameKeyword(named, keyword);
        if (!bKnown) pList->keywords.push_back(std::move(keyword));
    }
    return true;
}
