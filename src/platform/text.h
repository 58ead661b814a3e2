// Text helpers every layer shares: case-insensitive comparison in the Windows manner (_stricmp,
// _strnicmp), ASCII only.
#pragma once

#include <cctype>
#include <cstddef>
#include <string_view>

inline int StrICmp(const char* pszA, const char* pszB) {
    for (;; pszA++, pszB++) {
        int a = std::tolower(static_cast<unsigned char>(*pszA));
        int b = std::tolower(static_cast<unsigned char>(*pszB));
        if (a != b || a == 0) {
            return a - b;
        }
    }
}

inline int StrNICmp(const char* pszA, const char* pszB, size_t n) {
    for (; n > 0; n--, pszA++, pszB++) {
        int a = std::tolower(static_cast<unsigned char>(*pszA));
        int b = std::tolower(static_cast<unsigned char>(*pszB));
        if (a != b || a == 0) {
            return a - b;
        }
    }
    return 0;
}

// Whether two texts are the same but for ASCII case.
inline bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

inline void StrUpper(char* psz) {
    for (; *psz != '\0'; psz++) {
        *psz = static_cast<char>(std::toupper(static_cast<unsigned char>(*psz)));
    }
}

inline bool StartsWithNoCase(const char* pszText, const char* pszPrefix) {
    for (; *pszPrefix != '\0'; pszText++, pszPrefix++) {
        if (std::tolower(static_cast<unsigned char>(*pszText)) != std::tolower(static_cast<unsigned char>(*pszPrefix))) {
            return false;
        }
    }
    return true;
}

// Passes over blanks and tabs, as header parsing does.
inline const char* SkipBlanks(const char* p) {
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    return p;
}
