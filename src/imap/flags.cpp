#include "imap/flags.h"

#include <cstring>

#include "platform/format.h"
#include "platform/text.h"
#include "store/mod_state.h"
#include "store/store.h"

void ParseFlagWords(const char* pszText, bool abNamed[FLAG_COUNT]) {
    for (const char* p = strchr(pszText, '\\'); p != nullptr; p = strchr(p + 1, '\\')) {
        for (int i = 0; i < FLAG_COUNT; i++) {
            if (StrNICmp(p, FlagNames[i], strlen(FlagNames[i])) == 0) {
                abNamed[i] = true;
                break;
            }
        }
    }
}

void FlagCodeFromList(const char* pszFlagList, char* pszCode) {
    bool abNamed[FLAG_COUNT] = {};
    ParseFlagWords(pszFlagList, abNamed);
    pszCode[0] = '1';
    for (int i = 1; i < FLAG_COUNT; i++) pszCode[i] = abNamed[i] ? '1' : '0';
    pszCode[FLAG_COUNT] = '\0';
}

bool KeywordsFromList(const char* pszFlagList, std::vector<std::string>* pNames) {
    pNames->clear();
    for (const char* p = pszFlagList; *p != '\0';) {
        if (*p == ' ') {
            p++;
            continue;
        }
        const char* pEnd = strchr(p, ' ');
        if (pEnd == nullptr) pEnd = p + strlen(p);
        std::string word(p, static_cast<size_t>(pEnd - p));
        p = pEnd;
        if (word[0] == '\\') continue;
        if (!IsKeywordName(word.c_str())) return false;
        pNames->push_back(word);
    }
    return true;
}

bool HasFlagCode(const char* pszName) {
    return strnlen(pszName, MESSAGE_NAME_LENGTH + 1) == MESSAGE_NAME_LENGTH && pszName[10] == '-';
}

char FlagAt(const char* pszName, int nPosition) {
    // A short name ends before its flag positions; what lies behind its NUL is not part of it.
    if (strnlen(pszName, static_cast<size_t>(nPosition) + 1) <= static_cast<size_t>(nPosition)) {
        return '\0';
    }
    return pszName[nPosition];
}

void FormatFlagNames(const char* pszName, char* pszOut, size_t nSize) {
    pszOut[0] = '\0';
    for (int i = 0; i < FLAG_COUNT; i++) {
        if (FlagAt(pszName, FLAG_POS_RECENT + i) != '1') {
            continue;
        }
        if (!AppendFormat(pszOut, nSize, "%s%s", pszOut[0] == '\0' ? "" : " ", FlagNames[i])) return;
    }
}
