// EXPUNGE and CLOSE: both delete the files of the messages flagged Deleted; EXPUNGE announces
// each removal, CLOSE removes in silence and leaves the selected state.
#include <cstdio>

#include "imap/commands.h"
#include "imap/expunge.h"
#include "imap/flags.h"
#include "imap/response.h"
#include "net/client.h"
#include "store/store.h"

namespace {

// A message counts as removed only when no file of its UID is left: deleted now, or already
// deleted by another session. A file that could not be deleted, or that another session renamed
// first, is still a message and keeps its number.
bool MessageGone(const char* pszMailbox, uint32_t ulUid) {
    char szName[MESSAGE_NAME_LENGTH + 1];
    FormatMessageName(szName, sizeof(szName), ulUid, "??????");
    char szPattern[MESSAGE_PATH_SIZE];
    if (!MailboxFilePath(szPattern, sizeof(szPattern), pszMailbox, szName)) return false;
    bool bFound = false;
    FindFiles(szPattern, 0, [&](const FindData& data) {
        bFound = IsMessageFile(data);
        return !bFound;
    });
    return !bFound;
}

}  // namespace

void ExpungeMailbox(Session* pSession, int bAnnounce) {
    char szPattern[MESSAGE_PATH_SIZE];
    if (!MailboxFilePath(szPattern, sizeof(szPattern), pSession->szMailbox, ALL_MESSAGES_PATTERN)) return;
    int32_t lCounter = 0;
    // The listing is complete and sorted before the first entry comes back, so deleting inside
    // the walk cannot disturb it.
    FindFiles(szPattern, 0, [&](const FindData& data) {
        if (!IsMessageFile(data)) return true;
        lCounter++;
        if (FlagAt(data.cFileName, FLAG_POS_DELETED) != '1') return true;
        char szPath[MESSAGE_PATH_SIZE];
        if (!MailboxFilePath(szPath, sizeof(szPath), pSession->szMailbox, data.cFileName)) return true;
        if (!DeleteFileEntry(szPath) && !MessageGone(pSession->szMailbox, MessageUid(data.cFileName))) return true;
        if (bAnnounce) {
            FormatResponse(pSession, "* %ld EXPUNGE\r\n", static_cast<long>(lCounter));
            SendResponse(pSession, 1, 1);
        }
        // The messages behind this one move up by one.
        lCounter--;
        pSession->lExists--;
        return true;
    });
}

int CmdExpunge(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        RespondWrongState(pSession);
        return 1;
    }
    ExpungeMailbox(pSession, 1);
    RespondCompleted(pSession);
    return 1;
}

int CmdClose(Session* pSession) {
    if (pSession->State != Veve4Delected) {
        RespondWrongState(pSession);
        return 1;
    }
    ExpungeMailbox(pSession, 0);
    pSession->State = Imap4Authorization;
    RespondCompleted(pSession);
    return 1;
}
