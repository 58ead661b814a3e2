// The FETCH item list and the writers that answer one message's items. Everything here works on
// the message in the Session's FindData and queues its text through SendResponse.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/session.h"

// At most 19 items come from the client's text; one more place holds an added "UID".
constexpr int FETCH_ITEM_WORDS = 19;
constexpr int FETCH_ITEM_MAX = 20;
// The text carried over after a macro word.
constexpr size_t FETCH_MACRO_REST = 1023;

struct FetchItemList {
    char* pItems[FETCH_ITEM_MAX + 1];  // ends with nullptr
    int nItems;                        // entries in pItems
    int nCount;                        // the count the limit check compares with 20
    char szExpanded[64 + FETCH_MACRO_REST + 1];  // macro expansion and the text after the macro
    char szUid[4];                               // the added "UID" item
};

// Cuts pszText in place into at most 19 words (single spaces; "[" without "]" makes the next
// word end at "]"; "not" joins the word after it; the 19th word is the rest). Returns the number
// of words; *pbLimit tells whether the 19-word limit was reached.
int SplitItemWords(char* pszText, char** ppWords, bool* pbLimit);

// Parses FETCH's item text (macros, splitting, the UID addition when bAddUid). pszText is cut
// in place unless a macro copies it into pList->szExpanded.
void ParseItemList(char* pszText, bool bAddUid, FetchItemList* pList);

// Path of the file the content readers use: the decoded copy when there is one.
void ContentPath(const Session* pSession, char* pszPath, size_t nSize);
// Path of the message file itself.
void MessagePath(const Session* pSession, char* pszPath, size_t nSize);

// Queues text as it is (SendResponse, no flush, traced).
void QueueText(Session* pSession, const char* pszText);
// Appends pszValue to pszOut as an IMAP string: quoted with '"' and '\' escaped, or a literal
// when it holds CR, LF or 8-bit bytes, which a quoted string cannot carry.
void AppendString(char* pszOut, size_t nSize, const char* pszValue);
// Appends plain text, cut to the buffer.
void AppendText(char* pszOut, size_t nSize, const char* pszText);

// Whether any item of the list is one that writes; each of those writes something for every
// message, whatever its file holds.
bool ItemsWriteAnything(const FetchItemList* pList);
// Answers the items of the current message in list order; returns the read mark.
bool EvaluateItems(Session* pSession, const FetchItemList* pList);

// Item writers.
void WriteUidItem(Session* pSession);
void WriteFlagsItem(Session* pSession);
void WriteSizeItem(Session* pSession);
void WriteInternalDate(Session* pSession);
void WriteEnvelope(Session* pSession);
// The envelope "(...)" of the header that starts at ullStart in the file; a line beginning with
// pszStop, when not empty, ends the header.
void WriteEnvelopeOf(Session* pSession, const char* pszPath, uint64_t ullStart, const char* pszStop);
void WriteBodyStructure(Session* pSession, int bExtended);

// Content readers (the label and its "{" are already queued).
enum HeaderMode { HEADER_ALL = 0, HEADER_FIELDS = 1, HEADER_FIELDS_NOT = 2 };
enum SectionMode { SECTION_WHOLE = 0, SECTION_BODY = 1, SECTION_MIME = 2 };
constexpr int HEADER_FIELD_MAX = 20;

void ReadHeaderSection(Session* pSession, int nMode, char* const* ppNames, int nNames);
// The header lines of part n chosen as above: for an encapsulated message (message/rfc822) its own
// header, for any other part its MIME header.
void ReadPartHeaderSection(Session* pSession, unsigned long ulPart, int nMode, char* const* ppNames, int nNames);
void ReadBodySection(Session* pSession, int nMode, unsigned long ulPart, const char* pszPartial);

// Rewrites raw ISO-2022 text from its first escape sequence on as one encoded word.
void ConvertRawText(char* pszText, size_t nSize);

// Byte count of the message up to its ".\r\n" line (RFC822.SIZE).
uint64_t MessageSize(const char* pszPath);
