#include "imap/response.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "imap/output.h"
#include "platform/format.h"

void FormatResponse(Session* pSession, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    int nLength = vsnprintf(pSession->szResponse, sizeof(pSession->szResponse), pszFormat, args);
    va_end(args);
    // A cut line still ends in CR LF, so that the client sees where it stops.
    if (nLength >= static_cast<int>(sizeof(pSession->szResponse))) {
        size_t nEnd = sizeof(pSession->szResponse) - 1;
        pSession->szResponse[nEnd - 2] = '\r';
        pSession->szResponse[nEnd - 1] = '\n';
        pSession->szResponse[nEnd] = '\0';
    }
}

void RespondCompleted(Session* pSession) {
    FormatResponse(pSession, "%s %s %s completed\r\n", pSession->pTag, "OK", pSession->pCommand);
}

void RespondWrongState(Session* pSession) {
    FormatResponse(pSession, "%s %s Command unrecognized: %s\r\n", pSession->pTag, "NO", pSession->pCommand);
}

void RespondIllegalArgument(Session* pSession) {
    FormatResponse(pSession, "%s %s %s illegal argument\r\n", pSession->pTag, "BAD", pSession->pCommand);
}

void RespondFails(Session* pSession) {
    FormatResponse(pSession, "%s %s %s fails\r\n", pSession->pTag, "NO", pSession->pCommand);
}

void AppendBye(Session* pSession, const char* pszReason) {
    OutputByeAfterTagged(pSession, pszReason);
}
