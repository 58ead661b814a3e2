// What the admin tool needs from the system beyond the server's own file calls: replacing a
// file in one step, acting as the owner of the tree it changes, and reading a password.
#pragma once

#include <cstddef>

// Writes the data to a new file beside pszPath, flushes it to disk and renames it over
// pszPath, so that a reader sees the old content or the new, never a mixture. The new file
// takes the old one's mode and owner, or nNewMode when there was none. On failure the old
// file is untouched, no temporary file is left, and false comes back with errno set.
bool ReplaceFileContent(const char* pszPath, const void* pData, size_t nLength, unsigned int nNewMode);

// Run as root, switches the effective user and group to the owner of pszPath (or of its nearest
// existing parent), so that what the tool creates belongs to whoever runs the server there, and
// that user's permissions apply. Does nothing for other users. ActAsSelf switches back.
bool ActAsOwnerOf(const char* pszPath);
void ActAsSelf();

// Reads one line from standard input without its line end; with a terminal, prompts on standard
// error and turns echo off meanwhile. False at end of input.
bool ReadSecretLine(const char* pszPrompt, char* pszLine, size_t nSize);

// Whether something already listens at the address ("address" text and port); false when the
// port is free or cannot be tried. pszWhy receives the system's reason when the bind failed.
bool PortInUse(const char* pszAddress, int nPort, char* pszWhy, size_t nWhySize);

// Whether the path names an existing directory, an existing regular file, and may be read.
bool IsDirectoryPath(const char* pszPath);
bool IsReadableFile(const char* pszPath);
// Whether standard input is a terminal (a password is then asked twice).
bool IsTerminalInput();

// Whether the text is a numeric IPv4 or IPv6 address, as the listener takes one.
bool IsNumericAddress(const char* pszAddress);
// Connects to the port (a wildcard address is tried on loopback), sends the preamble (if any)
// and reads the first line the server sends, within a second; false when nothing answers.
bool ReadGreeting(const char* pszAddress, int nPort, char* pszLine, size_t nSize, const char* pPreamble = nullptr,
                  size_t nPreamble = 0);
// A path's permission bits and its owner's name; false when the path does not exist.
bool PathModeOwner(const char* pszPath, unsigned int* pnMode, char* pszOwner, size_t nOwnerSize);
// Makes the directory and every missing level above it, each new level owned by the account
// and mode 0700. False with errno set when a level cannot be made.
bool MakeDirectoriesFor(const char* pszDir, const char* pszAccount);
