#include "imap/dispatch.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "imap/commands.h"
#include "imap/line.h"
#include "imap/login.h"
#include "imap/response.h"
#include "imap/view.h"
#include "net/client.h"
#include "net/logs.h"
#include "platform/text.h"

namespace {

using Handler = int (*)(Session*);

struct CommandRow {
    const char* pszWord;
    bool bNeedsArgs;
    Handler pHandler;
};

// Compared in this order; the first row whose word and argument condition match wins.
const CommandRow kCommands[] = {
    {"CAPABILITY", false, CmdCapability},
    {"NOOP", false, CmdNoop},
    {"LOGOUT", false, CmdLogout},
    {"STARTTLS", false, CmdStartTls},
    {"AUTHENTICATE", false, CmdAuthenticate},
    {"LOGIN", true, CmdLogin},
    {"SELECT", true, CmdSelect},
    {"EXAMINE", true, CmdExamine},
    {"CREATE", true, CmdCreate},
    {"DELETE", true, CmdDelete},
    {"RENAME", true, CmdRename},
    {"SUBSCRIBE", true, CmdSubscribe},
    {"UNSUBSCRIBE", true, CmdUnsubscribe},
    {"LIST", true, CmdList},
    {"LSUB", true, CmdLsub},
    {"STATUS", true, CmdStatus},
    {"APPEND", true, CmdAppend},
    {"NAMESPACE", false, CmdNamespace},
    {"CHECK", false, CmdCheck},
    {"CLOSE", false, CmdClose},
    {"EXPUNGE", false, CmdExpunge},
    {"SEARCH", true, CmdSearch},
    {"FETCH", true, CmdFetch},
    {"STORE", true, CmdStore},
    {"COPY", true, CmdCopy},
    {"MOVE", true, CmdMove},
    {"UID", true, CmdUid},
    {"IDLE", false, CmdIdle},
};

int UnrecognisedCommand(Session* pSession) {
    if (pSession->pCommand != nullptr) {
        StrUpper(pSession->pCommand);
    }
    if (pSession->pArgs != nullptr) {
        FormatResponse(pSession, "* %s unkown command.(%s)\r\n", "BAD", pSession->pCommand);
        // Without a tagged line the client would wait for this command's completion for ever.
        SendResponse(pSession, 0, 1);
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

// Moves everything behind the first LF of szRecv into szQueue.
void SplitOffFurtherLines(Session* pSession) {
    char* pLf = strchr(pSession->szRecv, '\n');
    if (pLf != nullptr && pLf[1] != '\0') {
        snprintf(pSession->szQueue, sizeof(pSession->szQueue), "%s", pLf + 1);
        pLf[1] = '\0';
    }
}

// Tells the client what changed in its mailbox before the command's tagged line. While FETCH,
// STORE or SEARCH run (not their UID forms) a message may not vanish: the numbers the client
// sent with them must keep meaning what it meant.
void AnnounceAfter(Session* pSession, Handler pHandler) {
    if (pSession->State != Veve4Delected || pSession->pView == nullptr) return;
    bool bExpunges = pSession->bUid != 0 || (pHandler != CmdFetch && pHandler != CmdStore && pHandler != CmdSearch);
    std::string tagged(pSession->szResponse);
    pSession->szResponse[0] = '\0';
    AnnounceChanges(pSession, bExpunges);
    snprintf(pSession->szResponse, sizeof(pSession->szResponse), "%s", tagged.c_str());
}

}  // namespace

int DispatchCommand(Session* pSession) {
    int nResult = 1;
    for (;;) {
        if (pSession->szQueue[0] != '\0') {
            TracePrint("[%08lx] RECV QUEUE [%08x] <- [%s]\n", SessionId(pSession), pSession->sockClient, pSession->szQueue);
            WriteProtocolLog(pSession, pSession->szQueue);
            // What follows a received line is shorter than the receive buffer it came from.
            size_t nLength = strnlen(pSession->szQueue, RECV_SIZE - 1);
            memcpy(pSession->szRecv, pSession->szQueue, nLength);
            pSession->szRecv[nLength] = '\0';
            pSession->szQueue[0] = '\0';
        }
        SplitOffFurtherLines(pSession);
        SplitRequestLine(pSession);

        if (pSession->pCommand != nullptr && StrICmp(pSession->pCommand, "LOGIN") != 0 &&
            StrICmp(pSession->pCommand, "AUTHENTICATE") != 0) {
            WriteAccessLog(pSession, "");
        }
        pSession->bUid = 0;
        Handler pHandler = ChooseHandler(pSession);
        // The command's answers leave together with its tagged line.
        pSession->bBatching = 1;
        nResult = pHandler(pSession);
        if (nResult != 0) AnnounceAfter(pSession, pHandler);
        pSession->bBatching = 0;
        SendResponse(pSession, 1, 1);

        // A fragment without its LF stays queued until RecvLine completes it.
        if (pSession->szQueue[0] == '\0' || strchr(pSession->szQueue, '\n') == nullptr) {
            return nResult;
        }
    }
}
