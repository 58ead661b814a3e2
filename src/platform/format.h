// The one way text is written into a fixed buffer: bounded, checked by the compiler against its
// arguments, and telling the caller whether the whole text fitted.
#pragma once

#include <cstddef>

// Writes the text into pszOut (nSize bytes, always terminated when nSize > 0). False when it did
// not fit whole; the buffer then holds it cut at nSize - 1 bytes.
[[nodiscard]] bool FormatText(char* pszOut, size_t nSize, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
// Adds the text behind what pszOut holds, only when all of it fits: a cut path or token would
// name something else. False, and pszOut unchanged, when it does not.
[[nodiscard]] bool AppendFormat(char* pszOut, size_t nSize, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
