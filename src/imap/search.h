// SEARCH criteria: the parsed key tree and its evaluation against one message. The whole
// criteria text is parsed before any message is looked at, so a malformed search touches
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

enum SearchKind {
    SK_AND,         // every child
    SK_OR,          // either of two children
    SK_NOT,         // one child
    SK_CONST,       // bValue: ALL
    SK_KEYWORD,     // keyword strName set (bValue) or not
    SK_MODSEQ,      // modification sequence at least ullNumber
    SK_SEQUENCES,   // a message set of sequence numbers
    SK_UIDS,        // UID set
    SK_FLAG,        // nFlag set (bValue) or clear
    SK_LARGER,      // size above ullNumber
    SK_SMALLER,     // size below ullNumber
    SK_BEFORE,      // internal date, day number
    SK_ON,
    SK_SINCE,
    SK_SENTBEFORE,  // the Date: field's day
    SK_SENTON,
    SK_SENTSINCE,
    SK_HEADER,      // field strName holds strValue
    SK_ADDRESS,     // the same for an address field (FROM, TO, CC, BCC)
    SK_BODY,        // strValue in the body
    SK_TEXT,        // strValue in the header or the body
    SK_SAVED,       // "$": the saved result, made an SK_UIDS set by the command before matching
};

struct SearchNode {
    SearchKind kind = SK_CONST;
    bool bValue = true;
    int nFlag = 0;                      // flag-code index (Recent, Answered, Flagged, Deleted, Seen, Draft)
    uint64_t ullNumber = 0;             // LARGER/SMALLER bound, or a day number for the dates
    std::string strName;                // header field name, without the colon
    std::string strValue;               // search text, lowered by FoldSearchText
    std::vector<SetElement> set;        // SK_SEQUENCES, SK_UIDS
    std::vector<int> children;          // node indices
};

struct SearchQuery {
    std::vector<SearchNode> nodes;
    int nRoot = -1;
};

enum SearchParseResult {
    SEARCH_PARSED,
    SEARCH_BAD,          // malformed: answer BAD, search nothing
    SEARCH_BAD_CHARSET,  // a charset other than US-ASCII and UTF-8: answer NO [BADCHARSET ...]
};

// Nesting of groups, NOT and OR beyond this is refused rather than followed.
constexpr int SEARCH_MAX_DEPTH = 64;
constexpr size_t SEARCH_MAX_NODES = 4096;

// Parses the criteria (nLength bytes, which may hold literals "{n}" CRLF and their bytes). On
// SEARCH_BAD, strError says what was wrong, for the BAD line.
SearchParseResult ParseSearch(const char* pText, size_t nLength, SearchQuery* pQuery, std::string* pstrError);

// Days since 1 January 1970 of a civil date; month 1 to 12.
int64_t SearchDayNumber(int nYear, int nMonth, int nDay);
// "d-Mon-yyyy" as IMAP writes dates; false when the text is not one.
bool ParseSearchDate(const char* pText, size_t nLength, int64_t* pllDay);
// The day of an RFC 2822 date field ("Tue, 1 Jul 2003 10:52:37 +0200"), its time and zone
// disregarded; false when none can be read.
bool ParseHeaderDate(const char* pszText, int64_t* pllDay);

// The top header's fields that SEARCH asks for most, taken from the header once and kept with the
// message's sort keys, so that a repeated FROM, TO, CC, BCC, SUBJECT or SENT* search opens no
// file. Each value is decoded and lowered as the finder compares it, and ends in a NUL, so that
// no match spans two values.
struct KeptSearchFields {
    enum Field {
        FROM,
        TO,
        CC,
        BCC,
        SUBJECT,
        // The address fields with comments dropped and blanks closed up, where that differs.
        FROM_BARE,
        TO_BARE,
        CC_BARE,
        BCC_BARE,
        FIELD_COUNT,
    };
    std::string strText;
    uint32_t aulEnd[FIELD_COUNT] = {};
    int64_t llSentDay = 0;
    bool bSentDate = false;  // the first Date field could be read; llSentDay is its day
    // False when the header was too long to keep whole, or a value holds a NUL: the file decides.
    bool bComplete = false;

    std::string_view Values(Field nField) const {
        uint32_t ulBegin = nField == 0 ? 0 : aulEnd[nField - 1];
        return std::string_view(strText).substr(ulBegin, aulEnd[nField] - ulBegin);
    }
};

// The fields of a top header (its bytes, up to and with the blank line, or the whole of a message
// that has none), as ContentScan would find them in the file.
KeptSearchFields SearchFieldsFromHeader(std::string_view header);

// What the evaluation knows of one message besides its file: the walk supplies these.
struct SearchMessage {
    const char* pszPath;   // the message file
    const char* pszFlags;  // its six flag characters as the client is shown them
    uint32_t ulSequence;
    uint32_t ulUid;
    uint32_t ulMaxSequence;  // what "*" means
    uint32_t ulMaxUid;
    long lSecondsWest;       // the zone INTERNALDATE is shown in (standard time)
    // Its keywords, names joined by blanks, and its modification sequence.
    const char* pszKeywords;
    uint64_t ullModSeq;
    // The message's kept fields, when the walk can give them: bRead asks for them to be read from
    // the header when not kept yet. Null, or a null answer: the file is read.
    const KeptSearchFields* (*pfnKept)(void* pContext, bool bRead) = nullptr;
    void* pContext = nullptr;
};

// Whether the message matches. The file is stat'ed only when a size or date key is asked and
// opened only when flags, sets and sizes leave the answer open; its content is read once, and
// reading stops as soon as the answer is known.
bool SearchMatches(const SearchQuery& query, const SearchMessage& message);
// Whether any key asks for a size or an internal date, so that files will be stat'ed.
bool SearchReadsEntry(const SearchQuery& query);
// Whether any key of the query is MODSEQ: the answer then names the highest sequence found.
bool SearchAsksModSeq(const SearchQuery& query);

struct Session;
// Whether the selected view's message at nIndex matches, tested as the client is shown it (flags
// with this session's \Recent, keywords); a message whose file is gone matches nothing.
// *pullModSeq is its modification sequence when bModSeq, else 0.
bool ViewMessageMatches(Session* pSession, const SearchQuery& query, size_t nIndex, long lSecondsWest, bool bModSeq,
                        uint64_t* pullModSeq);
// IMAP4rev2 has no \Recent, and so no RECENT, NEW or OLD key: true, with the BAD line left,
// when such a session's criteria name one.
bool RefuseRecentKeys(Session* pSession, const SearchQuery& query);
// Whether any key of the query needs the file's content (header, body or sent date).
bool SearchReadsContent(const SearchQuery& query);
