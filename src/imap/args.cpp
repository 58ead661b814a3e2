#include "imap/args.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool IsAstringChar(unsigned char c, bool bListChars) {
    if (c <= 0x20 || c == 0x7f) return false;
    if (bListChars && (c == '%' || c == '*')) return true;
    // "]" may stand in an astring; the other atom specials end it.
    return std::strchr("(){%*\"\\", c) == nullptr;
}

bool Put(char* pszOut, size_t nSize, size_t* pnUsed, char c) {
    if (*pnUsed + 1 >= nSize) return false;
    pszOut[(*pnUsed)++] = c;
    return true;
}

bool TakeQuoted(const char** ppCursor, char* pszOut, size_t nSize) {
    const char* p = *ppCursor + 1;
    size_t nUsed = 0;
    for (;; p++) {
        char c = *p;
        if (c == '"') break;
        if (c == '\\') {
            c = *++p;
            if (c != '"' && c != '\\') return false;
        }
        if (c == '\0' || c == '\r' || c == '\n' || !Put(pszOut, nSize, &nUsed, c)) return false;
    }
    pszOut[nUsed] = '\0';
    *ppCursor = p + 1;
    return true;
}

bool TakeLiteral(const char** ppCursor, char* pszOut, size_t nSize) {
    const char* p = *ppCursor;
    unsigned long ulSize = 0;
    bool bNonSync = false;
    if (!TakeLiteralSize(&p, &ulSize, &bNonSync)) return false;
    if (*p == '\r') p++;
    if (*p != '\n') return false;
    p++;
    // A NUL inside ends the text early; such a literal is no string.
    if (ulSize >= nSize || strnlen(p, ulSize) != ulSize) return false;
    std::memcpy(pszOut, p, ulSize);
    pszOut[ulSize] = '\0';
    *ppCursor = p + ulSize;
    return true;
}

}  // namespace

bool TakeLiteralSize(const char** ppCursor, unsigned long* pulSize, bool* pbNonSync) {
    const char* p = *ppCursor;
    if (*p != '{') return false;
    p++;
    uint64_t ullSize = 0;
    const char* pDigits = p;
    for (; *p >= '0' && *p <= '9'; p++) {
        ullSize = ullSize * 10 + static_cast<uint64_t>(*p - '0');
        if (ullSize > 0xFFFFFFFFull) return false;
    }
    if (p == pDigits) return false;
    *pbNonSync = *p == '+';
    if (*pbNonSync) p++;
    if (*p != '}') return false;
    *pulSize = static_cast<unsigned long>(ullSize);
    *ppCursor = p + 1;
    return true;
}

bool TakeAstring(const char** ppCursor, char* pszOut, size_t nSize, bool bListChars) {
    const char* p = *ppCursor;
    if (*p == '"') return TakeQuoted(ppCursor, pszOut, nSize);
    if (*p == '{') return TakeLiteral(ppCursor, pszOut, nSize);
    size_t nUsed = 0;
    for (; IsAstringChar(static_cast<unsigned char>(*p), bListChars); p++) {
        if (!Put(pszOut, nSize, &nUsed, *p)) return false;
    }
    if (nUsed == 0) return false;
    pszOut[nUsed] = '\0';
    *ppCursor = p;
    return true;
}

bool TakeString(const char** ppCursor, char* pszOut, size_t nSize) {
    if (**ppCursor == '"') return TakeQuoted(ppCursor, pszOut, nSize);
    if (**ppCursor == '{') return TakeLiteral(ppCursor, pszOut, nSize);
    return false;
}

bool TakeBlank(const char** ppCursor) {
    if (**ppCursor != ' ') return false;
    (*ppCursor)++;
    return true;
}

bool TakeParenthesised(const char** ppCursor, char* pszOut, size_t nSize) {
    const char* p = *ppCursor;
    if (*p != '(') return false;
    const char* pClose = std::strchr(p + 1, ')');
    if (pClose == nullptr) return false;
    size_t nLength = static_cast<size_t>(pClose - (p + 1));
    if (nLength >= nSize || std::memchr(p + 1, '(', nLength) != nullptr) return false;
    std::memcpy(pszOut, p + 1, nLength);
    pszOut[nLength] = '\0';
    *ppCursor = pClose + 1;
    return true;
}

bool TakeSequenceSet(const char** ppCursor, std::vector<SetElement>* pSet) {
    const char* p = *ppCursor;
    size_t nLength = std::strcspn(p, " ");
    if (!ParseMessageSet(std::string(p, nLength).c_str(), pSet)) return false;
    *ppCursor = p + nLength;
    return true;
}

bool TakeRestUnquoted(const char* pszText, char* pszOut, size_t nSize) {
    if (*pszText == '"') pszText++;
    size_t nLength = std::strcspn(pszText, "\"");
    if (nLength >= nSize) return false;
    std::memcpy(pszOut, pszText, nLength);
    pszOut[nLength] = '\0';
    return true;
}

char* StripParentheses(char* pszText) {
    if (*pszText != '(') return pszText;
    char* pClose = std::strrchr(++pszText, ')');
    if (pClose != nullptr) *pClose = '\0';
    return pszText;
}

std::string ListText(const char* pszText) {
    if (*pszText != '(') return pszText;
    std::string text(pszText + 1);
    size_t nClose = text.rfind(')');
    if (nClose != std::string::npos) text.resize(nClose);
    return text;
}
