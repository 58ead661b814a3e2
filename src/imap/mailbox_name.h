// Mailbox names as clients write them and as the server writes them back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "imap/mailbox_utf8.h"
#include "imap/session.h"
#include "store/store.h"

// Whether the session's client names mailboxes in UTF-8 (it enabled IMAP4rev2); the others use
// the store's own spelling, modified UTF-7 by convention.
bool UsesUtf8Names(const Session* pSession);
// The stored spelling of a name the client wrote: the same text for a client that does not use
// UTF-8 names, else each level in modified UTF-7, or, where only a directory of the level's
// bytes as they are exists (one LIST shows so), those bytes. UTF8_NAME_OK when pStored is set.
Utf8NameCheck StoredNameOf(const Session* pSession, std::string_view name, std::string* pStored);
// The same in place, for a command: a name that is no UTF-8 leaves the BAD line in szResponse,
// one with a character no name may hold (or that no longer fits) the NO line, and it fails.
bool ClientNameToStored(Session* pSession, char* pszName, size_t nSize);
// A stored name as the client sees it; false when a UTF-8 client cannot be shown it.
bool ShownMailboxName(const Session* pSession, const std::string& stored, std::string* pShown);

// The single mailbox name that makes up a command's arguments (an atom, a quoted string or a
// literal), for a command of the authenticated and selected states, in its stored spelling.
// Before login the wrong-state line, and for anything else the BAD line, is left in szResponse
// and it fails.
bool TakeMailboxArgument(Session* pSession, char* pszName, size_t nSize);

// The two-argument form of COPY, RENAME, LIST and LSUB, each an astring whose atom may hold
// the list wild cards (message sets and patterns use them). Anything else leaves the BAD line
// in szResponse and fails.
bool TakeTwoArguments(Session* pSession, char* pszFirst, size_t nFirstSize, char* pszSecond, size_t nSecondSize);

// The directory of a client's mailbox name (quotes removed) below the user's mail directory.
// "\" reads as "/" and trailing separators are dropped, as CreateDirectory and friends ignore
// them. False for a name that would leave the mail directory or address it itself; the
// command then answers its failure line and touches nothing.
bool ResolveClientMailbox(const Session* pSession, const char* pszName, char* pszPath, size_t nSize);

// The same for a name below another base directory (SUBSCRIBE's selected-mailbox base).
bool ResolveMailboxBelow(const char* pszBase, const char* pszName, char* pszPath, size_t nSize);

// Whether a mailbox directory exists at the path.
bool MailboxExists(const char* pszPath);

// COPY's and APPEND's answer for a target that is no mailbox: TRYCREATE when nothing exists
// there, so that the client may create it; a plain failure when a file is in the way; the
// system's reason (UNAVAILABLE) when the place could not be looked at.
void RespondNoMailbox(Session* pSession, const char* pszTag, const char* pszCommand, const char* pszPath);
// COPY and MOVE: the message set and the path of the existing target mailbox; false once the
// client has been answered.
bool TakeSetAndTarget(Session* pSession, std::vector<SetElement>* pSet, char* pszTarget, size_t nTargetSize);

// Writes a mailbox name as LIST and LSUB send it: an atom when every character may stand in
// one, else a quoted string with "\" before each double quote and backslash, else (8-bit or
// line-end characters) a literal; with bUtf8 UTF-8 stands in a quoted string too. False when it
// does not fit.
bool FormatMailboxName(const char* pszName, char* pszOut, size_t nSize, bool bUtf8 = false);

// Writes a quoted string with escapes; false when it does not fit.
bool FormatQuotedString(const char* pszText, char* pszOut, size_t nSize);

// Whether a mailbox name matches a LIST pattern: "*" stands for any text, "%" for any text
// without "/"; other characters match without regard to case, as the store finds names.
bool MatchListPattern(const char* pszPattern, const char* pszName);

// The special-use attribute ("\\Sent", ...) of a folder whose name the settings give to a role;
// null for any other.
const char* SpecialUse(const char* pszName);
