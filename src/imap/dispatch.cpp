#include "imap/dispatch.h"

#include <cstdio>
#include <cstring>

#include "imap/command_reader.h"
#include "config/settings.h"
#include "imap/commands.h"
#include "imap/line.h"
#include "imap/login.h"
#include "imap/response.h"
#include "imap/search_return.h"
#include "imap/view.h"
#include "imap/session_io.h"
#include "imap/logs.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

using Handler = int (*)(Session*);

struct CommandRow {
    const char* pszWord;
    bool bNeedsArgs;
    Handler pHandler;
    int32_t lState;  // the least state the command runs in
};

constexpr int32_t ANY = Imap4NonAuthenticated;
constexpr int32_t AUTH = Imap4Authorization;
constexpr int32_t SEL = Imap4Selected;

// Compared in this order; the first row whose word and argument condition match wins.
const CommandRow kCommands[] = {
    {"CAPABILITY", false, CmdCapability, ANY},
    {"NOOP", false, CmdNoop, ANY},
    {"LOGOUT", false, CmdLogout, ANY},
    {"STARTTLS", false, CmdStartTls, ANY},
    {"AUTHENTICATE", false, CmdAuthenticate, ANY},
    {"LOGIN", true, CmdLogin, ANY},
    {"SELECT", true, CmdSelect, AUTH},
    {"EXAMINE", true, CmdExamine, AUTH},
    {"CREATE", true, CmdCreate, AUTH},
    {"DELETE", true, CmdDelete, AUTH},
    {"RENAME", true, CmdRename, AUTH},
    {"SUBSCRIBE", true, CmdSubscribe, AUTH},
    {"UNSUBSCRIBE", true, CmdUnsubscribe, AUTH},
    {"LIST", true, CmdList, AUTH},
    {"LSUB", true, CmdLsub, AUTH},
    {"STATUS", true, CmdStatus, AUTH},
    {"APPEND", true, CmdAppend, AUTH},
    {"NAMESPACE", false, CmdNamespace, AUTH},
    {"ENABLE", true, CmdEnable, AUTH},
    {"CHECK", false, CmdCheck, SEL},
    {"CLOSE", false, CmdClose, SEL},
    {"EXPUNGE", false, CmdExpunge, SEL},
    {"SEARCH", true, CmdSearch, SEL},
    {"FETCH", true, CmdFetch, SEL},
    {"STORE", true, CmdStore, SEL},
    {"COPY", true, CmdCopy, SEL},
    {"MOVE", true, CmdMove, SEL},
    {"UID", true, CmdUid, SEL},
    {"IDLE", false, CmdIdle, AUTH},
    {"CANCELUPDATE", true, CmdCancelUpdate, SEL},
    {"ID", true, CmdId, ANY},
    {"UNSELECT", false, CmdUnselect, SEL},
    {"COMPRESS", true, CmdCompress, AUTH},
    {"SORT", true, CmdSort, SEL},
    {"THREAD", true, CmdThread, SEL},
};

int UnrecognisedCommand(Session* pSession) {
    if (pSession->pCommand != nullptr) {
        StrUpper(pSession->pCommand);
    }
    if (pSession->pArgs != nullptr) {
        OutputFormat(pSession, "* %s unkown command.(%s)\r\n", "BAD", pSession->pCommand);
        // Without a tagged line the client would wait for this command's completion for ever.
        FormatResponse(pSession, "%s %s illegal argument.(%s)\r\n", pSession->pTag, "BAD", pSession->pCommand);
    } else {
        FormatResponse(pSession, "%s %s illegal argument.(%s)\r\n", pSession->pTag, "BAD",
                       pSession->pCommand != nullptr ? pSession->pCommand : "NULL");
    }
    return 1;
}

Handler ChooseHandler(Session* pSession) {
    if (pSession->pCommand == nullptr) {
        return UnrecognisedCommand;
    }
    for (const CommandRow& row : kCommands) {
        if (StrICmp(pSession->pCommand, row.pszWord) == 0 && (!row.bNeedsArgs || pSession->pArgs != nullptr)) {
            return row.pHandler;
        }
    }
    return UnrecognisedCommand;
}

// Tells the client what changed in its mailbox before the command's tagged line. While FETCH,
// STORE, SEARCH, SORT or THREAD run (not their UID forms) a message may not vanish: the numbers the client
// sent with them must keep meaning what it meant. The tagged line waits in szResponse, so the
// announcements go out before it.
void AnnounceAfter(Session* pSession, Handler pHandler) {
    if (pSession->State != Imap4Selected || pSession->pView == nullptr) return;
    bool bExpunges = pSession->bUid != 0 || (pHandler != CmdFetch && pHandler != CmdStore && pHandler != CmdSearch &&
                                               pHandler != CmdSort && pHandler != CmdThread);
    if (bExpunges) AnnounceSearchRemovals(pSession);
    AnnounceChanges(pSession, bExpunges);
    AnnounceSearchUpdates(pSession);
}

}  // namespace

bool CommandRunsInState(const char* pszWord, int32_t lState) {
    for (const CommandRow& row : kCommands) {
        if (StrICmp(pszWord, row.pszWord) == 0) return lState >= row.lState;
    }
    return false;
}

namespace {

// The reader asks this for every literal; it knows no commands itself.
LiteralRule LiteralRuleFor(const char* pszWord, int32_t lState) {
    if (!CommandRunsInState(pszWord, lState)) return LITERALS_REFUSED;
    // APPEND's message goes to a file, not into the command.
    return StrICmp(pszWord, "APPEND") == 0 ? LITERAL_MESSAGE : LITERALS_READ;
}

}  // namespace

int DispatchCommand(Session* pSession) {
    // What was received goes in front of anything a handler left queued: counted bytes from
    // RecvLine, or a text a caller put there itself.
    size_t nReceived = pSession->nReceived != 0 ? pSession->nReceived : strnlen(pSession->szRecv, RECV_SIZE - 1);
    pSession->nReceived = 0;
    QueueInFront(pSession, pSession->szRecv, nReceived);
    int nResult = 1;
    while (CommandWaiting(pSession)) {
        CommandRead read = ReadCommand(pSession, LiteralRuleFor);
        if (read == COMMAND_LOST) return 0;
        if (read == COMMAND_ABANDONED) {
            SendResponse(pSession, 1, 1);
            return 0;
        }
        if (read == COMMAND_REFUSED) {
            SendResponse(pSession, 1, 1);
            continue;
        }
        SplitRequestLine(pSession);

        if (pSession->pCommand != nullptr && StrICmp(pSession->pCommand, "LOGIN") != 0 &&
            StrICmp(pSession->pCommand, "AUTHENTICATE") != 0) {
            WriteAccessLog(pSession, "");
        }
        pSession->bUid = 0;
        Handler pHandler = ChooseHandler(pSession);
        // The command's answers leave together with its tagged line.
        pSession->Output.bBatching = 1;
        nResult = pHandler(pSession);
        if (nResult != 0) AnnounceAfter(pSession, pHandler);
        pSession->Output.bBatching = 0;
        if (pSession->bEndAfterCommand) {
            pSession->bEndAfterCommand = 0;
            AppendBye(pSession, "Line too long");
            SendResponse(pSession, 1, 1);
            return 0;
        }
        SendResponse(pSession, 1, 1);
    }
    // What a handler read into szRecv is used up: a caller that fills it next fills a text.
    pSession->nReceived = 0;
    return nResult;
}
