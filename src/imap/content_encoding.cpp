#include "imap/content_encoding.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "auth/base64.h"
#include "imap/mime.h"

#include "platform/text.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

TransferEncoding TransferEncodingOf(const std::string& value) {
    size_t nStart = 0;
    size_t nEnd = value.size();
    while (nStart < nEnd && IsBlank(value[nStart])) nStart++;
    while (nEnd > nStart && IsBlank(value[nEnd - 1])) nEnd--;
    std::string word = value.substr(nStart, nEnd - nStart);
    if (word.empty() || StrICmp(word.c_str(), "7bit") == 0 || StrICmp(word.c_str(), "8bit") == 0 ||
        StrICmp(word.c_str(), "binary") == 0) {
        return ENCODING_IDENTITY;
    }
    if (StrICmp(word.c_str(), "base64") == 0) return ENCODING_BASE64;
    if (StrICmp(word.c_str(), "quoted-printable") == 0) return ENCODING_QUOTED_PRINTABLE;
    return ENCODING_UNKNOWN;
}

std::string DecodeBase64Body(const char* pText, size_t nLength) {
    std::string out;
    out.reserve(nLength / 4 * 3 + 3);
    uint32_t ulBits = 0;
    int nBits = 0;
    for (size_t i = 0; i < nLength; i++) {
        unsigned char c = static_cast<unsigned char>(pText[i]);
        if (c == '=') break;
        int nValue = Base64Digit(static_cast<char>(c));
        if (nValue < 0) continue;
        ulBits = (ulBits << 6) | static_cast<uint32_t>(nValue);
        nBits += 6;
        if (nBits >= 8) {
            nBits -= 8;
            out += static_cast<char>((ulBits >> nBits) & 0xFF);
        }
    }
    return out;
}

std::string DecodeQuotedPrintableBody(const char* pText, size_t nLength) {
    std::string out;
    out.reserve(nLength);
    for (size_t nPos = 0; nPos < nLength;) {
        size_t nEnd = nPos;
        while (nEnd < nLength && pText[nEnd] != '\n') nEnd++;
        bool bLineEnd = nEnd < nLength;
        size_t nNext = bLineEnd ? nEnd + 1 : nEnd;
        // Blanks at the end are transport padding (RFC 2045), before or after a soft break.
        if (nEnd > nPos && pText[nEnd - 1] == '\r') nEnd--;
        while (nEnd > nPos && IsBlank(pText[nEnd - 1])) nEnd--;
        bool bSoft = nEnd > nPos && pText[nEnd - 1] == '=';
        if (bSoft) nEnd--;
        for (size_t i = nPos; i < nEnd; i++) {
            int nHigh = 0;
            int nLow = 0;
            if (pText[i] == '=' && i + 2 < nEnd && (nHigh = HexValue(pText[i + 1])) >= 0 &&
                (nLow = HexValue(pText[i + 2])) >= 0) {
                out += static_cast<char>(nHigh * 16 + nLow);
                i += 2;
            } else {
                out += pText[i];
            }
        }
        if (bLineEnd && !bSoft) out += "\r\n";
        nPos = nNext;
    }
    return out;
}

std::string EncodeBase64Body(const char* pData, size_t nLength) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr size_t LINE_GROUPS = 19;  // 76 characters
    std::string out;
    out.reserve((nLength + 2) / 3 * 4 + (nLength / 57 + 1) * 2);
    size_t nGroups = 0;
    for (size_t i = 0; i < nLength; i += 3) {
        uint32_t ulGroup = static_cast<uint32_t>(static_cast<unsigned char>(pData[i])) << 16;
        if (i + 1 < nLength) ulGroup |= static_cast<uint32_t>(static_cast<unsigned char>(pData[i + 1])) << 8;
        if (i + 2 < nLength) ulGroup |= static_cast<uint32_t>(static_cast<unsigned char>(pData[i + 2]));
        out += kAlphabet[(ulGroup >> 18) & 63];
        out += kAlphabet[(ulGroup >> 12) & 63];
        out += i + 1 < nLength ? kAlphabet[(ulGroup >> 6) & 63] : '=';
        out += i + 2 < nLength ? kAlphabet[ulGroup & 63] : '=';
        if (++nGroups == LINE_GROUPS) {
            out += "\r\n";
            nGroups = 0;
        }
    }
    if (nGroups > 0) out += "\r\n";
    return out;
}

namespace {

// The header with its Content-Transfer-Encoding field (and the field's folded lines) given as
// base64.
std::string HeaderAsBase64(const std::string& header) {
    static const char kField[] = "Content-Transfer-Encoding:";
    std::string out;
    bool bInField = false;
    for (size_t nPos = 0; nPos < header.size();) {
        size_t nLf = header.find('\n', nPos);
        size_t nNext = nLf == std::string::npos ? header.size() : nLf + 1;
        bool bFolded = header[nPos] == ' ' || header[nPos] == '\t';
        if (!bFolded) bInField = StrNICmp(header.c_str() + nPos, kField, sizeof(kField) - 1) == 0;
        if (bInField && !bFolded) {
            out += "Content-Transfer-Encoding: base64\r\n";
        } else if (!bInField) {
            out.append(header, nPos, nNext - nPos);
        }
        nPos = nNext;
    }
    return out;
}

}  // namespace

bool EncodeBinaryParts(const std::string& message, const MimeTree& tree, std::string* pOut) {
    std::vector<const MimePart*> binary;
    for (const MimePart& part : tree.parts) {
        std::string encoding = part.encoding;
        while (!encoding.empty() && IsBlank(encoding.back())) encoding.pop_back();
        while (!encoding.empty() && IsBlank(encoding.front())) encoding.erase(0, 1);
        if (part.children.empty() && StrICmp(encoding.c_str(), "binary") == 0) binary.push_back(&part);
    }
    if (binary.empty()) return false;
    std::sort(binary.begin(), binary.end(),
              [](const MimePart* a, const MimePart* b) { return a->ullHeaderOffset < b->ullHeaderOffset; });
    std::string out;
    size_t nCopied = 0;
    for (const MimePart* pPart : binary) {
        size_t nHeader = static_cast<size_t>(std::min<uint64_t>(pPart->ullHeaderOffset, message.size()));
        size_t nBody = static_cast<size_t>(std::min<uint64_t>(pPart->ullBodyOffset, message.size()));
        size_t nEnd = static_cast<size_t>(std::min<uint64_t>(pPart->ullBodyOffset + pPart->ullBodySize, message.size()));
        if (nHeader < nCopied || nBody < nHeader || nEnd < nBody) continue;
        out.append(message, nCopied, nHeader - nCopied);
        out += HeaderAsBase64(message.substr(nHeader, nBody - nHeader));
        std::string encoded = EncodeBase64Body(message.data() + nBody, nEnd - nBody);
        // Inside a multipart the line break before the next delimiter follows the body already.
        if (nEnd < message.size() && encoded.size() >= 2) encoded.resize(encoded.size() - 2);
        out += encoded;
        nCopied = nEnd;
    }
    out.append(message, nCopied, std::string::npos);
    *pOut = std::move(out);
    return true;
}
