// Per-day access log and protocol log under the mail spool.
#pragma once

#include "imap/session.h"

void WriteAccessLog(Session* pSession, const char* pszResult);
void WriteProtocolLog(Session* pSession, char* pszText);

// Copies received text for the console and the protocol log with every secret replaced by
// "****": LOGIN's password, AUTHENTICATE's initial response, a line answering an AUTHENTICATE
// prompt, and the literals that follow LOGIN or AUTHENTICATE. *pbSecret says on entry whether
// the first line is such a secret and on return whether the line after the text will be;
// *pbAfterFirst (may be null) gets the same for the line after the first.
void RedactReceived(const char* pszText, char* pszOut, size_t nSize, int32_t* pbSecret, int32_t* pbAfterFirst);
