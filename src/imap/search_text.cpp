#include "imap/search_text.h"

#include <cstring>

#include "auth/base64.h"
#include "platform/charset.h"
#include "platform/text.h"

namespace {

inline char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The second byte of a UTF-8 Latin-1 capital (C3 80 to C3 9E, but not the multiplication sign
// C3 97) lowered, given the byte before it.
inline char FoldAfter(unsigned char chPrevious, char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (chPrevious == 0xC3 && u >= 0x80 && u <= 0x9E && u != 0x97) return static_cast<char>(u + 0x20);
    return Fold(c);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Appends bytes in the named charset to pstrOut as UTF-8; an unknown charset is copied as it is.
void AppendConverted(const char* pszCharset, const char* p, size_t n, std::string* pstrOut) {
    CharsetConverter converter;
    if (IsUtf8Compatible(pszCharset) || !converter.Open(pszCharset)) {
        pstrOut->append(p, n);
        return;
    }
    char szOut[1024];
    while (n > 0) {
        size_t nBefore = n;
        size_t nOut = converter.Convert(&p, &n, szOut, sizeof(szOut));
        pstrOut->append(szOut, nOut);
        if (nOut == 0 && n == nBefore) break;  // an incomplete sequence at the end
    }
}

// The character set of raw ISO-2022 text, from its first escape sequence.
const char* RawIso2022Charset(const char* p, size_t n) {
    struct Escape {
        const char* pszSequence;
        const char* pszCharset;
    };
    static const Escape kEscapes[] = {
        {"\x1b$@", "ISO-2022-JP"}, {"\x1b$B", "ISO-2022-JP"},  {"\x1b(B", "ISO-2022-JP"},
        {"\x1b(J", "ISO-2022-JP"}, {"\x1b$)A", "ISO-2022-CN"}, {"\x1b$)G", "ISO-2022-CN"},
        {"\x1b*H", "ISO-2022-CN"}, {"\x1b$)C", "ISO-2022-KR"},
    };
    std::string_view text(p, n);
    for (const Escape& escape : kEscapes) {
        if (text.find(escape.pszSequence) != std::string_view::npos) return escape.pszCharset;
    }
    return nullptr;
}

void AppendPlain(const char* p, size_t n, std::string* pstrOut) {
    const char* pszRaw = memchr(p, '\x1b', n) != nullptr ? RawIso2022Charset(p, n) : nullptr;
    if (pszRaw != nullptr) {
        AppendConverted(pszRaw, p, n, pstrOut);
    } else {
        pstrOut->append(p, n);
    }
}

// Decodes one encoded word at p ("=?cs?E?text?="); returns its length, 0 when it is none.
size_t DecodeWord(const char* p, const char* pEnd, std::string* pstrOut) {
    if (pEnd - p < 8 || p[0] != '=' || p[1] != '?') return 0;
    const char* pCharset = p + 2;
    const char* q = static_cast<const char*>(memchr(pCharset, '?', static_cast<size_t>(pEnd - pCharset)));
    if (q == nullptr || q == pCharset || pEnd - q < 4 || q[2] != '?') return 0;
    char chEncoding = Fold(q[1]);
    if (chEncoding != 'b' && chEncoding != 'q') return 0;
    const char* pText = q + 3;
    const char* pClose = pText;
    while (pClose + 1 < pEnd && !(pClose[0] == '?' && pClose[1] == '=')) {
        if (*pClose == ' ' || *pClose == '\t') return 0;
        ++pClose;
    }
    if (pClose + 1 >= pEnd) return 0;
    std::string strCharset(pCharset, static_cast<size_t>(q - pCharset));
    size_t nStar = strCharset.find('*');  // a language tag
    if (nStar != std::string::npos) strCharset.resize(nStar);
    std::string strBytes;
    if (chEncoding == 'b') {
        Base64Stream().Feed(pText, static_cast<size_t>(pClose - pText), &strBytes);
    } else {
        for (const char* r = pText; r < pClose; ++r) {
            if (*r == '_') {
                strBytes.push_back(' ');
            } else if (*r == '=' && pClose - r >= 3 && HexValue(r[1]) >= 0 && HexValue(r[2]) >= 0) {
                strBytes.push_back(static_cast<char>(HexValue(r[1]) * 16 + HexValue(r[2])));
                r += 2;
            } else {
                strBytes.push_back(*r);
            }
        }
    }
    AppendConverted(strCharset.c_str(), strBytes.data(), strBytes.size(), pstrOut);
    return static_cast<size_t>(pClose + 2 - p);
}

}  // namespace

void FoldSearchText(std::string* pstrText) {
    unsigned char chPrevious = 0;
    for (char& c : *pstrText) {
        unsigned char chRaw = static_cast<unsigned char>(c);
        c = FoldAfter(chPrevious, c);
        chPrevious = chRaw;
    }
}

void SearchNeedle::Init(const std::string& strFolded) {
    strNeedle_ = strFolded;
    anFail_.assign(strNeedle_.size() + 1, 0);
    // Failure links of the Knuth-Morris-Pratt automaton.
    for (size_t i = 1, k = 0; i < strNeedle_.size(); i++) {
        while (k > 0 && strNeedle_[i] != strNeedle_[k]) k = anFail_[k];
        if (strNeedle_[i] == strNeedle_[k]) k++;
        anFail_[i + 1] = static_cast<uint32_t>(k);
    }
    nState_ = 0;
    chPrevious_ = 0;
    bFound_ = strNeedle_.empty();
}

bool SearchNeedle::Feed(const char* p, size_t n) {
    if (bFound_) return true;
    const char* pEnd = p + n;
    const char chFirst = strNeedle_[0];
    const char chFirstUpper = chFirst >= 'a' && chFirst <= 'z' ? static_cast<char>(chFirst - 'a' + 'A') : chFirst;
    const size_t nLength = strNeedle_.size();
    while (p < pEnd) {
        if (nState_ == 0) {
            // Most text holds no start of the needle: skip to the next candidate quickly.
            const char* pFrom = p;
            while (p < pEnd && *p != chFirst && *p != chFirstUpper) ++p;
            if (p > pFrom) chPrevious_ = static_cast<unsigned char>(p[-1]);
            if (p == pEnd) break;
        }
        char c = FoldAfter(chPrevious_, *p);
        chPrevious_ = static_cast<unsigned char>(*p++);
        while (nState_ > 0 && c != strNeedle_[nState_]) nState_ = anFail_[nState_];
        if (c == strNeedle_[nState_]) nState_++;
        if (nState_ == nLength) {
            bFound_ = true;
            return true;
        }
    }
    return false;
}

bool ContainsFolded(const std::string& strText, const std::string& strFolded) {
    SearchNeedle needle;
    needle.Init(strFolded);
    return needle.Feed(strText.data(), strText.size());
}

std::string DecodeHeaderText(const char* p, size_t n) {
    std::string strOut;
    const char* pEnd = p + n;
    const char* pPlain = p;
    bool bAfterWord = false;  // only blanks since the last encoded word
    for (const char* q = p; q < pEnd;) {
        if (q[0] == '=' && q + 1 < pEnd && q[1] == '?') {
            std::string strWord;
            size_t nWord = DecodeWord(q, pEnd, &strWord);
            if (nWord > 0) {
                // Blanks between two encoded words belong to neither.
                bool bOnlyBlanks = true;
                for (const char* r = pPlain; r < q; ++r) bOnlyBlanks = bOnlyBlanks && (*r == ' ' || *r == '\t');
                if (!(bAfterWord && bOnlyBlanks)) AppendPlain(pPlain, static_cast<size_t>(q - pPlain), &strOut);
                strOut += strWord;
                q += nWord;
                pPlain = q;
                bAfterWord = true;
                continue;
            }
        }
        ++q;
    }
    AppendPlain(pPlain, static_cast<size_t>(pEnd - pPlain), &strOut);
    return strOut;
}

std::string NormaliseAddresses(const std::string& strText) {
    std::string strBare;
    int nDepth = 0;
    bool bQuoted = false;
    for (size_t i = 0; i < strText.size(); i++) {
        char c = strText[i];
        if (c == '\\' && i + 1 < strText.size()) {
            if (nDepth == 0) strBare.append(strText, i, 2);
            i++;
        } else if (bQuoted) {
            if (c == '"') bQuoted = false;
            strBare.push_back(c);
        } else if (c == '(') {
            nDepth++;
        } else if (c == ')' && nDepth > 0) {
            nDepth--;
        } else if (nDepth == 0) {
            if (c == '"') bQuoted = true;
            strBare.push_back(c);
        }
    }
    std::string strOut;
    for (size_t i = 0; i < strBare.size(); i++) {
        char c = strBare[i];
        if (c == ' ' || c == '\t') {
            size_t j = strBare.find_first_not_of(" \t", i);
            bool bBeforeJoint = j != std::string::npos && (strBare[j] == '@' || strBare[j] == '.');
            bool bAfterJoint = !strOut.empty() && (strOut.back() == '@' || strOut.back() == '.');
            if (bBeforeJoint || bAfterJoint) continue;
        }
        strOut.push_back(c);
    }
    return strOut;
}

void BodyDecoder::Start(Encoding encoding) {
    encoding_ = encoding;
    base64_ = Base64Stream();
}

void BodyDecoder::Line(const char* p, size_t n, bool bLineEnd, std::string* pstrOut) {
    switch (encoding_) {
        case IDENTITY:
            pstrOut->append(p, n);
            return;
        case BASE64:
            base64_.Feed(p, n, pstrOut);
            return;
        case QUOTED_PRINTABLE: {
            size_t nText = n;
            bool bHadEnd = false;
            if (bLineEnd) {
                while (nText > 0 && (p[nText - 1] == '\n' || p[nText - 1] == '\r')) nText--;
                bHadEnd = nText < n;
                // Trailing blanks were added in transport.
                while (nText > 0 && (p[nText - 1] == ' ' || p[nText - 1] == '\t')) nText--;
            }
            bool bSoftBreak = false;
            for (size_t i = 0; i < nText; i++) {
                if (p[i] != '=') {
                    pstrOut->push_back(p[i]);
                } else if (i + 2 < nText && HexValue(p[i + 1]) >= 0 && HexValue(p[i + 2]) >= 0) {
                    pstrOut->push_back(static_cast<char>(HexValue(p[i + 1]) * 16 + HexValue(p[i + 2])));
                    i += 2;
                } else if (i + 1 == nText) {
                    bSoftBreak = true;
                } else {
                    pstrOut->push_back('=');
                }
            }
            if (bHadEnd && !bSoftBreak) pstrOut->append("\r\n");
            return;
        }
    }
}
