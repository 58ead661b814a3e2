// Text pieces of SEARCH: the streaming substring finder, header text decoding (encoded words,
// raw ISO-2022) and the body decoders (base64, quoted-printable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "auth/base64.h"

// Lowers a search text as the finder compares it: ASCII letters, and the Latin-1 capitals
// (U+00C0 to U+00DE) written in UTF-8.
void FoldSearchText(std::string* pstrText);

// Finds a text (already lowered by FoldSearchText) in bytes fed piece by piece, without regard to ASCII
// case, so a match may span two pieces. Found stays set once found.
class SearchNeedle {
public:
    void Init(const std::string& strFolded);
    // Feeds bytes; returns Found().
    bool Feed(const char* p, size_t n);
    // Forgets a partial match, so that nothing spans two separate texts.
    void Restart() {
        nState_ = 0;
        chPrevious_ = 0;
    }
    bool Found() const { return bFound_; }

private:
    std::string strNeedle_;
    std::vector<uint32_t> anFail_;
    size_t nState_ = 0;
    unsigned char chPrevious_ = 0;  // the byte before, for the second byte of a UTF-8 capital
    bool bFound_ = false;
};

// Whether strFolded (lowered) occurs in the text, compared as SearchNeedle compares.
bool ContainsFolded(const std::string& strText, const std::string& strFolded);

// Header field text as a reader sees it, in UTF-8: encoded words (=?charset?B|Q?...?=) decoded,
// the blanks between two adjacent encoded words dropped, raw ISO-2022 text converted.
std::string DecodeHeaderText(const char* p, size_t n);

// An address field with comments removed and blanks around "@" and "." closed up, so that
// "user (x) @ (y) example.org" reads user@example.org.
std::string NormaliseAddresses(const std::string& strText);

// Body transfer decoding, line by line.
class BodyDecoder {
public:
    enum Encoding { IDENTITY, BASE64, QUOTED_PRINTABLE };
    void Start(Encoding encoding);
    // Decodes one line (or a piece of a long one: bLineEnd false) into pstrOut (appended).
    void Line(const char* p, size_t n, bool bLineEnd, std::string* pstrOut);

private:
    Encoding encoding_ = IDENTITY;
    Base64Stream base64_;
};
