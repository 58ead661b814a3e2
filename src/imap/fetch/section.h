// FETCH's body sections: BODY[section]<partial> read once per command into what it names (a part
// path, HEADER, HEADER.FIELDS[.NOT] with its names, TEXT, MIME, a partial range), and the writers
// that send what it names as byte ranges of the message file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imap/mime.h"
#include "imap/output.h"

struct Session;
struct FetchMessage;

// A partial range <start.length> of a section.
struct PartialRange {
    bool bGiven = false;
    uint64_t ullStart = 0;
    bool bLength = false;
    uint64_t ullLength = 0;
};

enum SectionKind { SECTION_PART, SECTION_HEADER, SECTION_FIELDS, SECTION_FIELDS_NOT, SECTION_TEXT, SECTION_MIME };

// What a BODY[...] item asks for.
struct SectionSpec {
    // False: the text names no section (a bad suffix, a path ending in ".", MIME without a part,
    // a number too large); it is answered as an empty string.
    bool bValid = true;
    SectionKind kind = SECTION_PART;
    uint32_t ulPath[MIME_DEPTH_MAX + 2] = {};
    size_t nPath = 0;
    std::string label;               // the text between the brackets as the client wrote it
    std::vector<std::string> names;  // the HEADER.FIELDS[.NOT] names as written, in order
    PartialRange partial;
};

// "<start.length>", from the text after the "<"; nullptr: no partial range.
PartialRange ReadPartial(const char* pszText);
// A section text such as "1.2.HEADER.FIELDS" (nText bytes): its path, its kind and bValid.
void ReadSectionText(const char* pszText, size_t nText, SectionSpec* pSpec);
// A "BODY[...]" or "BODY.PEEK[...]" item. pszFieldList is what the item list's splitter cut off
// an unclosed section (the field list of HEADER.FIELDS), null when the section closed in the item;
// pszAfterList the word after that list. *pbUsedPartial: that word was the section's partial.
SectionSpec ReadSectionItem(const char* pszItem, const char* pszFieldList, const char* pszAfterList,
                            bool* pbUsedPartial);

// Writes "BODY[label]<origin> " and the section's content as a literal.
void WriteSection(Session* pSession, FetchMessage* pMessage, const SectionSpec& wanted);

enum HeaderMode { HEADER_ALL = 0, HEADER_FIELDS = 1, HEADER_FIELDS_NOT = 2 };

// Content writers: the label is queued already; these write the literal (or "" when there is
// nothing to send). Bytes ullOffset.. of the message, ullSize of them.
void SendFileRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize,
                   const PartialRange& partial);
// The lines of a header range that the mode takes (field names compared without case).
void SendHeaderRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize, int nMode,
                     const std::vector<std::string>& names, const PartialRange& partial);
// The same range as content that goes out as it is (BINARY): a literal, or a literal8 when it
// holds a NUL. False, with nothing written, when the file cannot be looked at.
bool SendBinaryRange(Session* pSession, FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize,
                     const PartialRange& partial);
// What is known of a range's bytes: the message's own NUL scan kept in its index answers for
// every range of a message without one; otherwise the range is looked at. RANGE_LOOK when it
// cannot be.
RangeBytes ScanRangeForNul(FetchMessage* pMessage, uint64_t ullOffset, uint64_t ullSize);
// An empty string, for a section that does not exist.
void SendEmptySection(Session* pSession);
