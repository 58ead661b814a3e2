// The capability list as this session would be told it now (CAPABILITY, and the [CAPABILITY]
// code of the greeting and of a successful login, which spare a client the extra round trip).
#pragma once

#include <cstddef>

#include "imap/session.h"

// Room for every word with its blank, and for the few more extensions still to come.
constexpr size_t CAPABILITY_TEXT_SIZE = 1024;

// The words, separated by blanks, into pszOut; false when they did not all fit.
bool FormatCapabilities(const Session* pSession, char* pszOut, size_t nSize);

// The tagged OK of a successful LOGIN or AUTHENTICATE, with what the client may do now that it
// has logged in: "tag OK [CAPABILITY ...] command completed".
void RespondLoggedIn(Session* pSession, const char* pszTag, const char* pszCommand);
