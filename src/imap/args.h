// The argument forms commands share, read from a command's argument text. A literal stands
// there in its wire form, "{n}\r\n" (or "{n+}") followed by its n bytes, as the command reader
// left it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/store.h"

// Each reader starts at *ppCursor and, when it succeeds, moves the cursor behind what it read.
// A text that does not fit its buffer fails whole: a cut name would be another mailbox.

// An atom, a quoted string (with \" and \\) or a literal; with bListChars an atom may also hold
// the list wild cards % and * (LIST and LSUB patterns, message sets).
bool TakeAstring(const char** ppCursor, char* pszOut, size_t nSize, bool bListChars = false);
// A quoted string or a literal only.
bool TakeString(const char** ppCursor, char* pszOut, size_t nSize);
// A literal's announcement "{n}" or "{n+}" that ends the text (APPEND's message).
bool TakeLiteralSize(const char** ppCursor, unsigned long* pulSize, bool* pbNonSync);
// Exactly one blank.
bool TakeBlank(const char** ppCursor);
// A parenthesised list: what stands between "(" and its ")" (no nesting) goes to pszOut.
bool TakeParenthesised(const char** ppCursor, char* pszOut, size_t nSize);
// A sequence set: numbers and ranges m:n (m:n naming what n:m names) joined by commas, "*" for
// the highest number in use; it runs to the next blank or the end. Zero, a number above
// 4294967295, an empty element and any other character fail it whole, and pSet is left empty.
bool TakeSequenceSet(const char** ppCursor, std::vector<SetElement>* pSet);
// The lenient reading LOGIN has always given a password that is no astring: the rest of the
// text, without one leading quote and up to the next quote. False when it does not fit.
bool TakeRestUnquoted(const char* pszText, char* pszOut, size_t nSize);

// A list written in place: a text that begins with "(" loses it and its last ")" (a list may
// end with an item's own parenthesis, as in BODY[HEADER.FIELDS (TO)]). Returns where it starts.
char* StripParentheses(char* pszText);
// The same without writing: the text of the list, as a copy.
std::string ListText(const char* pszText);
