// Per-day access log and protocol log under the mail spool.
#pragma once

#include <cstddef>
#include <string>

#include "imap/session.h"

void WriteAccessLog(Session* pSession, const char* pszResult);
// One protocol-log line for the text, up to its last CR; the caller's text is never touched.
void WriteProtocolLog(Session* pSession, const char* pszText);
void WriteProtocolLog(Session* pSession, const char* pText, size_t nLength);

// Client bytes as a log shows them: CR, LF and TAB as \r, \n and \t, every other control
// byte and every byte outside ASCII as \xNN, so that no text can make a line of its own.
std::string EscapeLogText(const char* pText, size_t nLength);

// Writes a received command (or the answer to a prompt) to the console trace and the protocol
// log: a LOGIN keeps its user name and an AUTHENTICATE its mechanism, their rest shown as
// "****"; with bSecret nothing of it is shown.
void TraceReceived(Session* pSession, const char* pText, size_t nLength, bool bSecret);
