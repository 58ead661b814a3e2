// Mailbox names between the UTF-8 a client that enabled IMAP4rev2 uses and the spelling the
// store keeps: the modified UTF-7 of IMAP4rev1 (RFC 3501 5.1.3), which every other client and the
// mail directories on disk go on using.
#pragma once

#include <string>
#include <string_view>

enum Utf8NameCheck {
    UTF8_NAME_OK,
    UTF8_NAME_MALFORMED,  // not UTF-8 at all: a broken, overlong or surrogate sequence
    UTF8_NAME_FORBIDDEN,  // UTF-8, but with a control character or a line or paragraph separator
};
// Whether a client's UTF-8 text may name a mailbox.
Utf8NameCheck CheckUtf8MailboxName(std::string_view name);

// The modified UTF-7 of a UTF-8 text that passed the check: printable ASCII stands for itself,
// "&" is written "&-", every other run is "&", modified base64 of its UTF-16 and "-".
std::string EncodeModifiedUtf7(std::string_view utf8);
// The UTF-8 of a text in modified UTF-7; false unless the text is exactly what
// EncodeModifiedUtf7 writes for it (so a raw "&", 8-bit bytes, padding bits, an encoded ASCII
// character or two runs side by side make it no modified UTF-7).
bool DecodeModifiedUtf7(std::string_view text, std::string* pUtf8);

// A stored name ("/" between levels) as a UTF-8 client sees it, level by level: decoded where
// the level is modified UTF-7 of an allowed name, else its bytes as they are when those are an
// allowed UTF-8 name (a directory made by hand, "AT&T" from a client that never encoded);
// false when a level is neither, as bytes of another character set are.
bool StoredNameToUtf8(std::string_view stored, std::string* pUtf8);
// The same for one level.
bool StoredLevelToUtf8(std::string_view level, std::string* pUtf8);
