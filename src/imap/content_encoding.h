// Content-Transfer-Encodings undone (BINARY fetches) and done (binary parts of an appended
// message made 7-bit safe).
#pragma once

#include <cstddef>
#include <string>

enum TransferEncoding {
    ENCODING_IDENTITY,  // 7bit, 8bit, binary, or none given: the bytes are the content
    ENCODING_BASE64,
    ENCODING_QUOTED_PRINTABLE,
    ENCODING_UNKNOWN,
};

// The encoding a Content-Transfer-Encoding value names (any case, blanks around it ignored).
TransferEncoding TransferEncodingOf(const std::string& value);

// Base64 as mail carries it: characters outside the alphabet (line ends, blanks) are skipped,
// and the text ends at its padding.
std::string DecodeBase64Body(const char* pText, size_t nLength);
// Quoted-printable: blanks at a line's end are dropped, "=" at a line's end joins the lines,
// "=XX" is a byte; an "=" that starts no such sequence stays as it is. Every line end that is
// not joined becomes CRLF.
std::string DecodeQuotedPrintableBody(const char* pText, size_t nLength);
// Base64 in lines of 76 characters, each ending in CRLF.
std::string EncodeBase64Body(const char* pData, size_t nLength);

struct MimeTree;
// The message with every part whose Content-Transfer-Encoding is "binary" carried in base64
// instead, its header saying so; tree is the message's own. False (and pOut untouched) when no
// part is binary.
bool EncodeBinaryParts(const std::string& message, const MimeTree& tree, std::string* pOut);
