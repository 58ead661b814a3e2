// The MIME tree of one message file, found in one streaming pass: where every part's header and
// body lie in the file, their line counts, their content headers, and how parts nest (multipart
// children, the message inside a message/rfc822 part). Only the tree is kept, never the message,
// so that every section becomes a byte range of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Nesting (parts in parts, messages in messages) deeper than this is not looked into: the part at
// the limit keeps its bytes as one opaque body.
constexpr int MIME_DEPTH_MAX = 48;
// Parts beyond this many stay inside the body of the part being read when the limit was reached.
constexpr size_t MIME_PART_MAX = 20000;
// Longest content-header value kept (unfolded); longer ones are cut.
constexpr size_t MIME_VALUE_MAX = 8192;

struct MimeParam {
    std::string name;
    std::string value;
    bool operator==(const MimeParam&) const = default;
};

struct MimePart {
    // Byte ranges in the file. The header includes the blank line that ends it; a body that ends
    // at a delimiter excludes the line break before the delimiter line.
    uint64_t ullHeaderOffset = 0;
    uint64_t ullHeaderSize = 0;
    uint64_t ullBodyOffset = 0;
    uint64_t ullBodySize = 0;
    uint64_t ullBodyLines = 0;  // line breaks inside the body

    // Content-Type, with the default filled in (text/plain, or message/rfc822 inside a digest).
    std::string type;
    std::string subtype;
    std::vector<MimeParam> params;
    bool bTypeGiven = false;  // a Content-Type with a subtype was present
    std::string id;
    std::string description;
    std::string encoding;  // empty: not given (7bit)
    std::string md5;
    std::string dispositionType;  // empty: no Content-Disposition
    std::vector<MimeParam> dispositionParams;
    std::string language;  // raw value, empty when not given
    std::string location;

    int nParent = -1;
    int nDepth = 0;
    // A message node is the whole top-level message or the message inside a message/rfc822
    // part; every other node is a part of a multipart.
    bool bMessage = false;
    // A multipart's parts in order; for a message/rfc822 part, its one inner message node.
    std::vector<int> children;

    bool operator==(const MimePart&) const = default;
    bool IsMultipart() const { return !children.empty() && !IsMessageRfc822(); }
    bool IsMessageRfc822() const;
    // The value of a Content-Type parameter, nullptr when absent (name compared without case).
    const std::string* Param(const char* pszName) const;
};

// Kept in the mailbox's index once made (see FetchMessage), so that a later section, structure or
// envelope, and a sort or thread key in the top header, are found without parsing the file again.
struct MimeTree {
    std::vector<MimePart> parts;  // parts[0] is the top-level message; its header is the top header
    uint64_t ullSize = 0;         // the bytes of the message (see MessageContentSize)
};

// The bytes of a message file that are the message: all of them, except that a file whose very
// last line is "." (a terminator stored by a mail transfer agent) keeps that line out. Looks at
// the file's size and its last bytes only. False when the file cannot be examined.
bool MessageContentSize(FILE* pFile, uint64_t* pullSize);
// The same rule on a file of ullSize bytes whose last nTail bytes (at least five, or the whole
// file) are known.
uint64_t ContentSizeFromTail(uint64_t ullSize, const char* pTail, size_t nTail);

// Builds the tree of the message in pFile (its first ullSize bytes). False on a read error.
bool ParseMime(FILE* pFile, uint64_t ullSize, MimeTree* pTree);
// The same for a path; false when it cannot be opened or read.
bool ParseMimeFile(const char* pszPath, MimeTree* pTree);

// What a section path (numbers separated by dots, as in BODY[1.2.3]) addresses. A path names a
// part; for the empty path the top-level message itself. nMessage is the message whose HEADER
// and TEXT the path's section suffix would address: the message node itself for the empty path,
// the inner message when the part is message/rfc822, else -1 (no HEADER or TEXT there).
struct MimeSection {
    int nPart = -1;  // -1: no such part
    int nMessage = -1;
};
// ppulPath holds nNumbers numbers (1-based). Returns the part, or nPart -1 when it does not exist.
MimeSection ResolveMimeSection(const MimeTree& tree, const uint32_t* pulPath, size_t nNumbers);

// An RFC 5322 comment that starts at s[i] (a "("): nested comments and quoted pairs belong to it.
// Returns the position after its ")" (the end of s when it is never closed); pText, when given,
// receives what is between the outer parentheses, quoted pairs unescaped.
size_t ReadComment(const std::string& s, size_t i, std::string* pText);

// Parses a structured header value "token/token; name=value; ..." (RFC 2045 syntax: quoted
// strings, comments and folding whitespace allowed). pszFirst receives what precedes the first
// ";" (trimmed, comments removed); the parameters follow in order.
void ParseMimeValue(const std::string& value, std::string* pFirst, std::vector<MimeParam>* pParams);
