#include "platform/charset.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

#include "platform/text.h"

namespace {

iconv_t Handle(void* h) { return static_cast<iconv_t>(h); }

}  // namespace

CharsetConverter::~CharsetConverter() { Close(); }

bool CharsetConverter::Open(const char* pszCharset) {
    Close();
    iconv_t h = iconv_open("UTF-8", pszCharset);
    if (h == reinterpret_cast<iconv_t>(-1)) return false;
    hConv_ = h;
    return true;
}

void CharsetConverter::Close() {
    if (hConv_ != nullptr) iconv_close(Handle(hConv_));
    hConv_ = nullptr;
}

void CharsetConverter::Reset() {
    if (hConv_ != nullptr) iconv(Handle(hConv_), nullptr, nullptr, nullptr, nullptr);
}

size_t CharsetConverter::Convert(const char** ppIn, size_t* pnIn, char* pOut, size_t nOutSize) {
    if (hConv_ == nullptr) return 0;
    char* pIn = const_cast<char*>(*ppIn);
    char* pWrite = pOut;
    size_t nLeft = nOutSize;
    while (*pnIn > 0 && nLeft > 0) {
        size_t n = iconv(Handle(hConv_), &pIn, pnIn, &pWrite, &nLeft);
        if (n != static_cast<size_t>(-1)) break;
        if (errno == EILSEQ) {
            // A byte the charset does not have: skip it and go on with the text after it.
            ++pIn;
            --*pnIn;
            continue;
        }
        break;  // E2BIG: the output is full; EINVAL: an incomplete sequence waits for more input
    }
    *ppIn = pIn;
    return static_cast<size_t>(pWrite - pOut);
}

bool IsUtf8Compatible(const char* pszCharset) {
    return pszCharset[0] == '\0' || StrICmp(pszCharset, "utf-8") == 0 || StrICmp(pszCharset, "utf8") == 0 ||
           StrICmp(pszCharset, "us-ascii") == 0 || StrICmp(pszCharset, "ascii") == 0;
}
