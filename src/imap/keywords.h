// Flag lists with keywords (STORE, APPEND, SEARCH KEYWORD): the six system flags live in the
// message file's name, every other flag is a keyword kept beside the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Longer names are refused: a FLAGS line lists every keyword of the mailbox.
constexpr size_t KEYWORD_MAX_LENGTH = 128;

// Whether the bytes form a keyword: an IMAP atom (no blank, control, "(", ")", "{", "%", "*",
// '"', "\", "]", nothing above 0x7e) that is no longer than KEYWORD_MAX_LENGTH.
bool IsKeywordAtom(const char* pText, size_t nLength);

// The flags a STORE or APPEND names. System flags are read as they always were: every word
// that begins with a backslash names the flag whose IMAP name it begins with (any case), or
// nothing. Every other word is a keyword, kept once in the order first named.
struct FlagList {
    uint8_t fSystem = 0;  // FLAG_BIT_*
    std::vector<std::string> keywords;
};

// Reads the words of pszText (blank-separated, an optional surrounding "(" ")"). False when a
// keyword is no atom; *pstrBad then holds it (cut) for the BAD line.
bool ReadFlagList(const char* pszText, FlagList* pList, std::string* pstrBad);

// Whether a keyword name equals another: keywords compare without regard to case.
bool SameKeyword(const std::string& a, const std::string& b);
