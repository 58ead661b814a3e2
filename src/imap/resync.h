// The arguments and answers of fast resynchronisation (RFC 7162's CONDSTORE and QRESYNC) and
// of ENABLE (RFC 5161): modifiers of SELECT, FETCH and STORE, and the UID lists of VANISHED and
// [MODIFIED ...].
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imap/session.h"
#include "store/mod_state.h"
#include "store/store.h"

// The highest modification sequence a client may name (63 bits).
constexpr uint64_t MODSEQ_MAX = 0x7FFFFFFFFFFFFFFFull;

// A modification sequence at the cursor: digits only, at most MODSEQ_MAX; zero only with
// bZeroAllowed (UNCHANGEDSINCE and SEARCH MODSEQ take it, CHANGEDSINCE does not).
bool TakeModSeq(const char** ppCursor, uint64_t* pullValue, bool bZeroAllowed);

enum ModifierResult {
    MODIFIERS_NONE,  // the text carries none
    MODIFIERS_READ,
    MODIFIERS_BAD,   // a modifier list that cannot be read: answer BAD
};

// FETCH's modifiers: "(CHANGEDSINCE n)", "(CHANGEDSINCE n VANISHED)".
struct FetchModifiers {
    bool bChangedSince = false;
    uint64_t ullChangedSince = 0;
    bool bVanished = false;
};
// Cuts a modifier list that ends FETCH's item text ("(FLAGS) (CHANGEDSINCE 5)") off in place.
ModifierResult CutFetchModifiers(char* pszItems, FetchModifiers* pModifiers);

// STORE's "(UNCHANGEDSINCE n)" at the cursor, with the blank behind it.
ModifierResult TakeStoreModifiers(const char** ppCursor, uint64_t* pullUnchangedSince);

// SELECT's and EXAMINE's parameters: "(CONDSTORE)" or
// "(QRESYNC (uidvalidity modseq [known-uids [(known-sequences known-uids)]]))".
struct SelectParameters {
    bool bCondStore = false;
    bool bQresync = false;
    uint32_t ulUidValidity = 0;
    uint64_t ullModSeq = 0;
    bool bKnownUids = false;
    std::vector<SetElement> knownUids;
    bool bMatch = false;  // the client's sample of sequence numbers and their UIDs
    std::vector<SetElement> matchSequences;
    std::vector<SetElement> matchUids;
};
// Reads the parameter list that follows the mailbox name; false when it is malformed.
bool ReadSelectParameters(const char* pszText, SelectParameters* pParameters);

// Appends ascending UIDs as a set text ("3:5,9"), runs written as ranges.
void AppendUidSet(std::string* pstrOut, const std::vector<uint32_t>& uids);
// The part of the UID ranges that the set names ("*" standing for ulStar; all of them without a
// set), as a set text; empty when nothing is left.
std::string UidRangesText(const std::vector<UidRange>& ranges, const std::vector<SetElement>* pSet, uint32_t ulStar);

// The extensions a session has turned on (ENABLE, or a command that turns one on by its use).
enum : int32_t {
    ENABLED_CONDSTORE = 0x01,
    ENABLED_QRESYNC = 0x02,
    ENABLED_IMAP4REV2 = 0x04,  // RFC 9051's rules where they differ from IMAP4rev1's
};
// The session follows IMAP4rev2: no \Recent in any answer, SEARCH answered by ESEARCH.
inline bool Imap4Rev2(const Session* pSession) { return (pSession->fEnabled & ENABLED_IMAP4REV2) != 0; }
// Turns CONDSTORE on; when it comes on while a mailbox is selected, its client is told the
// mailbox's highest modification sequence now ("* OK [HIGHESTMODSEQ n]").
void EnableCondStore(Session* pSession);
