// The response formats shared by every handler; each writes one line into szResponse,
// cut to the buffer's size.
#pragma once

#include "imap/session.h"

void FormatResponse(Session* pSession, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void RespondCompleted(Session* pSession);     // "%s OK %s completed"
void RespondWrongState(Session* pSession);    // "%s NO Command unrecognized: %s"
void RespondIllegalArgument(Session* pSession);  // "%s BAD %s illegal argument"
void RespondFails(Session* pSession);         // "%s NO %s fails"
// "* BYE" with the reason, sent right behind the tagged line that the handler leaves in
// szResponse; the handler then ends the session.
void AppendBye(Session* pSession, const char* pszReason);
