// RENAME: moves a mailbox directory; renaming the inbox moves its messages away.
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/response.h"
#include "platform/fs.h"
#include "store/store.h"

int CmdRename(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szOldName[RECV_SIZE];
    char szNewName[RECV_SIZE];
    if (!TakeTwoArguments(pSession, szOldName, sizeof(szOldName), szNewName, sizeof(szNewName))) {
        return 1;
    }

    char szOldPath[MAX_PATH];
    char szNewPath[MAX_PATH];
    if (!ResolveClientMailbox(pSession, szOldName, szOldPath, sizeof(szOldPath)) ||
        !ResolveClientMailbox(pSession, szNewName, szNewPath, sizeof(szNewPath)) ||
        !MoveFileNoReplace(szOldPath, szNewPath)) {
        RespondFails(pSession);
        return 1;
    }
    // Renamed, a mailbox starts unsubscribed; one that cannot take the mark goes back.
    if (!SetHiddenAttribute(szNewPath, true)) {
        MoveFileNoReplace(szNewPath, szOldPath);
        RespondFails(pSession);
        return 1;
    }
    // The inbox itself must always exist: what moved was its content.
    if (IsInboxName(szOldName)) {
        CreateMailboxDirectory(szOldPath);
    }
    FormatResponse(pSession, "%s %s %s successful\r\n", pSession->pTag, "OK", pSession->pCommand);
    return 1;
}
