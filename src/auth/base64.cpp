#include "auth/base64.h"

namespace {

const char szAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// "=" counts as 0 here, so that a padded group still yields its leading bytes.
int Base64Value(char c) { return c == '=' ? 0 : Base64Digit(c); }

}  // namespace

int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void Base64Stream::Feed(const char* p, size_t n, std::string* pstrOut) {
    for (size_t i = 0; i < n; i++) {
        int v = Base64Digit(p[i]);
        if (v < 0) continue;
        ulBits_ = (ulBits_ << 6) | static_cast<uint32_t>(v);
        nBits_ += 6;
        if (nBits_ >= 8) {
            nBits_ -= 8;
            pstrOut->push_back(static_cast<char>((ulBits_ >> nBits_) & 0xFF));
        }
    }
}

int Base64Encode(const void* pData, size_t nLength, char* pszOut, size_t nCapacity) {
    if (nCapacity == 0) return -1;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    size_t nOut = 0;
    pszOut[0] = '\0';
    for (size_t i = 0; i < nLength; i += 3) {
        if (nOut + 4 >= nCapacity) return -1;
        unsigned long ulGroup = static_cast<unsigned long>(p[i]) << 16;
        if (i + 1 < nLength) ulGroup |= static_cast<unsigned long>(p[i + 1]) << 8;
        if (i + 2 < nLength) ulGroup |= p[i + 2];
        pszOut[nOut] = szAlphabet[(ulGroup >> 18) & 0x3f];
        pszOut[nOut + 1] = szAlphabet[(ulGroup >> 12) & 0x3f];
        pszOut[nOut + 2] = i + 1 < nLength ? szAlphabet[(ulGroup >> 6) & 0x3f] : '=';
        pszOut[nOut + 3] = i + 2 < nLength ? szAlphabet[ulGroup & 0x3f] : '=';
        nOut += 4;
        pszOut[nOut] = '\0';
    }
    return static_cast<int>(nOut);
}

int Base64Decode(const char* pszText, size_t nLength, char* pOut, size_t nCapacity) {
    size_t nOut = 0;
    if (nCapacity > 0) pOut[0] = '\0';

    // Appends one byte, refusing the one that would leave no room for the terminator.
    auto Put = [&](unsigned int uByte) {
        if (nOut + 1 >= nCapacity) return false;
        pOut[nOut++] = static_cast<char>(uByte & 0xff);
        pOut[nOut] = '\0';
        return true;
    };

    char cGroup[4];
    int nGroup = 0;
    for (size_t i = 0; i < nLength; ++i) {
        if (Base64Value(pszText[i]) < 0) continue;
        cGroup[nGroup++] = pszText[i];
        if (nGroup < 4) continue;
        nGroup = 0;
        unsigned int u1 = Base64Value(cGroup[0]), u2 = Base64Value(cGroup[1]);
        unsigned int u3 = Base64Value(cGroup[2]), u4 = Base64Value(cGroup[3]);
        if (!Put((u1 << 2) | (u2 >> 4))) return -1;
        // Padding ends the data: whatever follows a padded group is not part of it.
        if (cGroup[2] == '=') break;
        if (!Put((u2 << 4) | (u3 >> 2))) return -1;
        if (cGroup[3] == '=') break;
        if (!Put((u3 << 6) | u4)) return -1;
    }
    return static_cast<int>(nOut);
}
