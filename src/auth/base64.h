// Base64 with the RFC 2045 alphabet, as the user files, AUTHENTICATE and the header
// conversion exchange it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The value of one character of the alphabet; -1 for anything else, "=" included.
int Base64Digit(char c);

// Decodes text that arrives in pieces (a body line by line): characters outside the alphabet,
// padding included, are passed over.
class Base64Stream {
public:
    void Feed(const char* p, size_t n, std::string* pstrOut);

private:
    uint32_t ulBits_ = 0;
    int nBits_ = 0;
};

// Writes the encoding of nLength bytes as one NUL-terminated line, "=" padded. Returns the
// number of characters written, or -1 when the whole encoding does not fit in nCapacity (the
// output then holds the groups that fit, still NUL-terminated).
int Base64Encode(const void* pData, size_t nLength, char* pszOut, size_t nCapacity);

// Decodes up to nLength characters of pszText, skipping anything outside the alphabet. The
// output is kept NUL-terminated after every byte so that callers may read it as text. Returns
// the number of bytes decoded, or -1 when more bytes would follow than nCapacity - 1.
int Base64Decode(const char* pszText, size_t nLength, char* pOut, size_t nCapacity);
