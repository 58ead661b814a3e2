// Conversion of text in a named character set to UTF-8 (the C library's iconv underneath).
#pragma once

#include <cstddef>

class CharsetConverter {
public:
    CharsetConverter() = default;
    ~CharsetConverter();
    CharsetConverter(const CharsetConverter&) = delete;
    CharsetConverter& operator=(const CharsetConverter&) = delete;

    // False when the character set is unknown here; the converter is then closed.
    bool Open(const char* pszCharset);
    void Close();
    bool IsOpen() const { return hConv_ != nullptr; }
    // Back to the initial shift state, for a new piece of text.
    void Reset();
    // Converts as much of [*ppIn, *ppIn + *pnIn) as fits into pOut; bytes that are not valid in
    // the character set are passed over, and an incomplete sequence at the end stays in the input
    // for the next call. Returns the number of bytes written.
    size_t Convert(const char** ppIn, size_t* pnIn, char* pOut, size_t nOutSize);

private:
    void* hConv_ = nullptr;
};

// Whether a charset name needs no conversion to be read as UTF-8.
bool IsUtf8Compatible(const char* pszCharset);
