// The response formats shared by every handler; each writes one line into szResponse,
// cut to the buffer's size.
#pragma once

#include "imap/session.h"

void FormatResponse(Session* pSession, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void RespondCompleted(Session* pSession);     // "%s OK %s completed"
void RespondWrongState(Session* pSession);    // "%s NO Command unrecognized: %s"
void RespondIllegalArgument(Session* pSession);  // "%s BAD %s illegal argument"
void RespondFails(Session* pSession);         // "%s NO %s fails"
// "%s NO [UNAVAILABLE] %s fails: %s" with what the store could not do (LastStoreFailure): the
// command may succeed when tried again.
void RespondUnavailable(Session* pSession, const char* pszTag, const char* pszCommand);
// Adds "* BYE" with the reason behind the tagged line waiting in szResponse; the handler then
// ends the session.
void AppendBye(Session* pSession, const char* pszReason);
