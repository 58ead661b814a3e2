// The password file shared with the POP3 server, and the scrambled form that covers both its
// entries and whole message files.
#pragma once

#include <cstddef>

// Reads the first line of mail directory + PasswordFile into pszPassword (descrambled when it
// is scrambled). Returns 1 when the file was read, 0 when there is none (or no mail directory),
// -1 (with a line on the console) when something other than the reader's own regular file
// stands there.
int ReadPasswordFile(const char* pszMailDir, char* pszPassword, size_t nSize);

// A scrambled entry (0xFF, key byte, hex pairs) gives its decoded bytes; any other entry is
// copied unchanged. The output is always NUL-terminated and cut to nSize.
void DescrambleText(const char* pszEntry, char* pszOut, size_t nSize);
// The same for an entry of nLength bytes, which may hold a NUL (a key byte of 0).
void DescrambleText(const char* pszEntry, size_t nLength, char* pszOut, size_t nSize);
// The scrambled entry of a password under the key byte: 0xFF, the key, two upper-case hex digits
// per byte. Returns its length, or 0 when it does not fit in nSize with its NUL.
size_t ScrambleText(const char* pszPassword, unsigned char bKey, char* pszOut, size_t nSize);

// Writes the decoded form of a scrambled message file to pszDest. Returns 1 when the source is
// scrambled and the destination has been written whole, else 0 and no destination is left.
int DecodeMessageFile(const char* pszSource, const char* pszDest);
// Whether a message file starting with this byte is scrambled (DecodeMessageFile decodes it).
bool IsScrambledStart(unsigned char chFirst);
