// The UID prefix: runs COPY, MOVE, EXPUNGE, FETCH, STORE, SEARCH, SORT or THREAD with UIDs instead of sequence numbers.
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
    {"SORT", CmdSort},
    {"THREAD", CmdThread},
};

}  // namespace

int CmdUid(Session* pSession) {
    // A client that sends a UID command too early has only made a mistake; the session goes on.
    if (pSession->State != Imap4Selected) {
        FormatResponse(pSession, "%s %s %s needs a selected mailbox\r\n", pSession->pTag, "BAD", pSession->pCommand);
        return 1;
    }
    pSession->bUid = 1;
    pSession->pCommand = pSession->pArgs;
    pSession->pArgs = nullptr;
    SplitWordAndArgs(pSession->pCommand, &pSession->pArgs);
    for (const UidRow& row : kUidCommands) {
        if (StrICmp(pSession->pCommand, row.pszWord) == 0) {
            // Every one of them needs its arguments: a UID SEARCH without criteria is no search.
            if (pSession->pArgs == nullptr || *pSession->pArgs == '\0') {
                RespondIllegalArgument(pSession);
                return 1;
            }
            return row.pHandler(pSession);
        }
    }
    StrUpper(pSession->pCommand);
    FormatResponse(pSession, "%s %s illegal argument.(%s)\r\n", pSession->pTag, "BAD", pSession->pCommand);
    return 1;
}
