// The UID prefix: runs COPY, MOVE, EXPUNGE, FETCH, STORE or SEARCH with UIDs instead of sequence numbers.
#include <cstring>

#include "imap/commands.h"
#include "imap/line.h"
#include "imap/response.h"
#include "platform/text.h"

namespace {

struct UidRow {
    const char* pszWord;
    int (*pHandler)(Session*);
};

const UidRow kUidCommands[] = {
    {"COPY", CmdCopy},
    {"MOVE", CmdMove},
    {"EXPUNGE", CmdExpunge},
    {"FETCH", CmdFetch},
    {"STORE", CmdStore},
    {"SEARCH", CmdSearch},
};

}  // namespace

int CmdUid(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        RespondWrongState(pSession);
        return 0;
    }
    pSession->bUid = 1;
    pSession->pCommand = pSession->pArgs;
    char* pBlank = strchr(pSession->pCommand, ' ');
    if (pBlank != nullptr) {
        *pBlank = '\0';
        pSession->pArgs = pBlank + 1;
        EndAtCrLfPair(pSession->pArgs);
    } else {
        EndAtFirstCrOrLf(pSession->pCommand);
    }
    for (const UidRow& row : kUidCommands) {
        if (StrICmp(pSession->pCommand, row.pszWord) == 0) {
            return row.pHandler(pSession);
        }
    }
    StrUpper(pSession->pCommand);
    FormatResponse(pSession, "%s %s illegal argument.(%s)\r\n", pSession->pTag, "BAD", pSession->pCommand);
    return 1;
}
