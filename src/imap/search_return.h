// What a client asks SEARCH to return (RETURN (...), RFC 4731 and its extensions) and the ESEARCH
// line that answers it. Kept apart from SEARCH itself: any command that produces a list of
// message numbers (SORT's extended form as well) reads its options and writes its answer here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imap/search.h"
#include "imap/session.h"

enum : uint32_t {
    RETURN_MIN = 0x01,
    RETURN_MAX = 0x02,
    RETURN_ALL = 0x04,
    RETURN_COUNT = 0x08,
    RETURN_SAVE = 0x10,     // keep the result for "$"
    RETURN_UPDATE = 0x20,   // keep telling the client how the result changes
    RETURN_CONTEXT = 0x40,  // a hint that more of the same will follow: nothing to do
    RETURN_PARTIAL = 0x80,  // a range of positions in the result
};

struct SearchReturn {
    bool bExtended = false;  // RETURN was given: the answer is an ESEARCH line
    uint32_t fOptions = 0;   // RETURN_*; RETURN () alone means RETURN_ALL
    uint32_t ulPartialLow = 0;
    uint32_t ulPartialHigh = 0;  // 1-based positions, low <= high
};

// Reads "RETURN (option ...)" and the blank after it when the text starts with it; otherwise
// leaves the cursor and *pReturn as they are. False, with the reason in *pstrError, for an option
// that is unknown or malformed.
bool TakeSearchReturn(const char** ppCursor, SearchReturn* pReturn, std::string* pstrError);

// Items an ESEARCH line carries besides the result itself; MODSEQ (the highest modification
// sequence among the messages found) is written when nonzero.
struct EsearchExtra {
    uint64_t ullModSeq = 0;
    // The numbers come in a sort order (SORT's extended form): MIN and MAX are then the first and
    // the last of them, not the lowest and the highest.
    bool bOrdered = false;
};

// Writes "* ESEARCH (TAG "t") [UID] ..." for the numbers found, in the order given (ascending for
// SEARCH): MIN, MAX, COUNT, ALL and PARTIAL as asked. MIN, MAX and ALL are left out when nothing
// was found; COUNT is always told.
void OutputEsearch(Session* pSession, const SearchReturn& options, const std::vector<uint32_t>& numbers, bool bUid,
                   const EsearchExtra& extra = EsearchExtra{});

// Writes the plain answer "* SEARCH 1 2 3" or "* SORT 3 1 2" (pszWord) number by number, so that
// a result of any length goes out whole, with "(MODSEQ n)" when ullModSeq is not 0.
void OutputNumberList(Session* pSession, const char* pszWord, const std::vector<uint32_t>& numbers, uint64_t ullModSeq);

// Writes a list of numbers as a set: runs of consecutive ascending numbers as "a:b", the rest
// joined by commas, in the order given.
std::string FormatNumberSet(const std::vector<uint32_t>& numbers);

// Which of the numbers found SAVE keeps, ascending: only the lowest and/or highest (the first
// and/or last when bOrdered) when MIN or MAX alone were asked, else all of them.
std::vector<uint32_t> SavedPart(const SearchReturn& options, const std::vector<uint32_t>& numbers,
                                bool bOrdered = false);

// A search the client asked to keep up to date (RETURN (UPDATE ...)): its criteria and the UIDs
// it matched when last told.
struct SearchUpdate {
    std::string strTag;
    bool bUid = false;
    SearchQuery query;
    // A SORT's criteria as the client wrote them, "(...)"; empty for a SEARCH. A sorted result
    // keeps its UIDs in the sort order, and its changes name positions in that order.
    std::string strSortCriteria;
    std::vector<uint32_t> uids;
    // The view as it was when the result was last worked out: unchanged, nothing can have
    // changed the result, and the messages are not read again.
    uint64_t ullGeneration = 0;
    size_t nMessages = 0;
};

// "$" in the criteria made the saved UIDs as they are when the command starts.
void ResolveSavedResult(Session* pSession, SearchQuery* pQuery);
// Answers a search or sort given RETURN: the ESEARCH line (MIN and MAX of the first and last
// when extra.bOrdered), "$" saved, the result kept up to date. numbers are what the client is
// told (UIDs or sequence numbers), uids the same messages' UIDs in the same order.
void AnswerWithReturn(Session* pSession, const SearchReturn& options, const SearchQuery& query,
                      const std::vector<uint32_t>& numbers, const std::vector<uint32_t>& uids, EsearchExtra extra,
                      const std::string& strSortCriteria = std::string());
// Keeps a search (a sort when strSortCriteria is given) for updates, replacing one under the
// session's tag; past the bound the client is told NOUPDATE and nothing is kept.
void KeepForUpdates(Session* pSession, const SearchQuery& query, const std::vector<uint32_t>& uids,
                    const std::string& strSortCriteria = std::string());
// The UIDs a kept sort matches now, in its order; messages gone are not among them.
std::vector<uint32_t> SortedMatches(Session* pSession, const SearchUpdate& update);

// After a command, for the searches the client asked to keep up to date: messages gone are told
// (ESEARCH REMOVEFROM) before their EXPUNGE, with the numbers they still have, so this runs before
// the announcements, and only where an EXPUNGE may be sent.
void AnnounceSearchRemovals(Session* pSession);
// After the announcements: every other change of each result (ADDTO for messages that now match,
// new ones included, REMOVEFROM for those that no longer do). A message gone whose EXPUNGE must
// wait stays in the result until then.
void AnnounceSearchUpdates(Session* pSession);
