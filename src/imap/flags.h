// Flag lists of STORE and APPEND and of untagged FETCH lines, read from and written to the
// flag code of a message file name.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

constexpr int FLAG_COUNT = 6;

// Marks in abNamed (flag-code order: Recent, Answered, Flagged, Deleted, Seen, Draft) every flag
// that a word of pszText names. Every backslash begins a word; a word names a flag when it
// begins with the flag's IMAP name in any case, so "\SEEN" and "\Seen)" both name Seen.
// Keywords and unknown flags name nothing.
void ParseFlagWords(const char* pszText, bool abNamed[FLAG_COUNT]);
// The flag code of a new message with an APPEND flag list, read as above: Recent always set
// (a new message is Recent whatever the list says), the other five as named. pszCode receives
// six characters and a NUL.
void FlagCodeFromList(const char* pszFlagList, char* pszCode);

// The keywords of a flag list (its words that do not begin with "\"), in the order given; false
// when one is no name the store can keep (IsKeywordName).
bool KeywordsFromList(const char* pszFlagList, std::vector<std::string>* pNames);

// Whether a listed name has the full message-file form, so that its flag positions exist.
bool HasFlagCode(const char* pszName);

// The flag character ('1' or '0') at a flag position (11 to 16) of a message file name; '\0'
// for a name too short to have one.
char FlagAt(const char* pszName, int nPosition);

// Writes the IMAP names of the flags set in a message file name, in flag-code order and
// separated by single blanks ("\Recent \Seen"); an empty text when none is set.
void FormatFlagNames(const char* pszName, char* pszOut, size_t nSize);

// Size of a buffer for a mailbox path with a name or pattern behind it.
constexpr size_t MESSAGE_PATH_SIZE = 2 * MAX_PATH;
