// What SORT and THREAD compare, taken once from a message's top header and kept in the
// mailbox's index, so that a repeated SORT or THREAD opens no file. Every text key is kept
// folded by i;ascii-casemap (ASCII letters in upper case), the only comparison it is used with.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imap/search.h"
#include "imap/session.h"
#include "imap/view.h"
#include "store/mailbox_index.h"

struct SortKeys : KeptContent {
    enum Text {
        FROM,          // the first From address's mailbox (local part)
        TO,
        CC,
        DISPLAY_FROM,  // its display name, decoded, or its address when it has none
        DISPLAY_TO,
        SUBJECT,       // the base subject
        MESSAGE_ID,    // as written between < and >, case kept: compared exactly
        REFERENCES,    // the parent chain, oldest first, one ID a line, case kept
        TEXT_COUNT,
    };
    int64_t llSent = 0;     // the Date: field in seconds since 1970 UTC; the arrival when it has none
    int64_t llArrival = 0;  // INTERNALDATE, seconds since 1970 UTC
    uint64_t ullSize = 0;   // RFC822.SIZE
    bool bReply = false;    // the subject said Re:, Fwd:, (fwd) or [fwd: ...]
    std::string strText;    // the texts one after the other
    uint32_t aulEnd[TEXT_COUNT] = {};
    KeptSearchFields search;  // what SEARCH's header keys compare, read in the same pass
    // A text key's place among the messages last sorted with it, as (ranking << 32) | rank:
    // messages that carry the same ranking compare by rank alone (sort_thread.cpp).
    mutable std::atomic<uint64_t> aullRank[MESSAGE_ID] = {};

    std::string_view Get(Text nText) const {
        uint32_t ulBegin = nText == 0 ? 0 : aulEnd[nText - 1];
        return std::string_view(strText).substr(ulBegin, aulEnd[nText] - ulBegin);
    }
    // The IDs of REFERENCES, oldest first.
    std::vector<std::string_view> References() const;
    size_t Cost() const override;
};

// The base subject of a Subject field's raw value: encoded words decoded, blanks collapsed, and
// the reply and forward marks, list tags and trailers taken away. *pbReply tells whether a reply
// or forward mark was taken. The result is not case-folded.
std::string BaseSubject(const std::string& strRaw, bool* pbReply);
// The date of a Date: field (RFC 5322, the obsolete forms and named zones included) in seconds
// since 1970 UTC; false when it cannot be read.
bool ParseSentDate(const std::string& strValue, int64_t* pllSeconds);
// The message IDs of a References, In-Reply-To or Message-ID field, in order, the angle brackets
// taken off; an ID without "@", or with blanks in it, is left out.
std::vector<std::string> ParseMessageIds(const std::string& strValue);
// ASCII letters in upper case, the rest as it is.
void FoldAsciiCase(std::string* pstrText);

// The keys of a message's top header, given as its bytes (up to and with the blank line, or all
// of a message that has none).
std::shared_ptr<SortKeys> SortKeysFromHeader(std::string_view header, int64_t llArrival, uint64_t ullSize);

// The keys of a message of the selected mailbox: kept ones, or read from its file (a scrambled
// one through its decoded copy) and kept. Null when the file is gone or cannot be read; a gone
// file is marked in the view.
std::shared_ptr<const SortKeys> LoadSortKeys(Session* pSession, ViewMessage& message);
// LoadSortKeys for the view's messages at the given indexes, in that order: the kept keys are
// looked up together, the others read.
std::vector<std::shared_ptr<const SortKeys>> LoadSortKeysOf(Session* pSession, const std::vector<size_t>& indexes);
// The keys the index keeps for the message, or null; reads nothing.
std::shared_ptr<const SortKeys> FindSortKeys(MailboxIndex& index, uint32_t ulUid);
// Whether the index keeps the message's keys, without reading anything: for tests and benches.
bool SortKeysKept(MailboxIndex& index, uint32_t ulUid);
