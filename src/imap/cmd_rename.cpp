// RENAME: moves a mailbox directory; renaming the inbox moves its messages away.
#include <string>

#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/output.h"
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
    // The names as written, for the LIST line that tells a UTF-8 client what became of the old one.
    const std::string oldShown = szOldName;
    const std::string newShown = szNewName;
    if (!ClientNameToStored(pSession, szOldName, sizeof(szOldName)) ||
        !ClientNameToStored(pSession, szNewName, sizeof(szNewName))) {
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
    if (UsesUtf8Names(pSession)) {
        // On the heap: the names' buffers already take much of a session thread's stack.
        std::string oldText(2 * MAX_PATH + 16, '\0');
        std::string newText(2 * MAX_PATH + 16, '\0');
        if (FormatMailboxName(oldShown.c_str(), oldText.data(), oldText.size(), true) &&
            FormatMailboxName(newShown.c_str(), newText.data(), newText.size(), true)) {
            OutputFormat(pSession, "* LIST () \"/\" %s (\"OLDNAME\" (%s))\r\n", newText.c_str(), oldText.c_str());
        }
    }
    FormatResponse(pSession, "%s %s %s successful\r\n", pSession->pTag, "OK", pSession->pCommand);
    return 1;
}
