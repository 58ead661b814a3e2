// EXPUNGE, UID EXPUNGE and CLOSE: both delete the files of the messages flagged Deleted; EXPUNGE's removals
// are announced after the command like every other change, CLOSE removes in silence and leaves
// the selected state.
#include <vector>

#include "imap/args.h"
#include "imap/commands.h"
#include "imap/expunge.h"
#include "imap/response.h"
#include "imap/view.h"

void ExpungeMailbox(Session* pSession, int bAnnounce) {
    RefreshView(pSession);
    if (!bAnnounce) {
        // Messages the client has not been told of go too: nobody will be told of them now.
        MailboxView& view = *pSession->pView;
        for (const ViewMessage& message : view.incoming) view.messages.push_back(message);
        if (!view.incoming.empty()) view.ulHighestUid = view.incoming.back().ulUid;
        view.incoming.clear();
    }
    ExpungeDeleted(pSession, nullptr);
}

int CmdExpunge(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    if (RefuseReadOnly(pSession)) return 1;
    if (pSession->bUid) {
        // UID EXPUNGE (UIDPLUS): only the messages of the set go, so that a client never
        // removes what another client flagged \Deleted meanwhile.
        std::vector<SetElement> uids;
        const char* p = pSession->pArgs != nullptr ? pSession->pArgs : "";
        if (!TakeMessageSet(pSession, &p, &uids) || *p != '\0') {
            RespondIllegalArgument(pSession);
            return 1;
        }
        RefreshView(pSession);
        ExpungeDeleted(pSession, &uids);
        RespondCompleted(pSession);
        return 1;
    }
    ExpungeMailbox(pSession, 1);
    RespondCompleted(pSession);
    return 1;
}

int CmdClose(Session* pSession) {
    if (pSession->State != Imap4Selected) {
        RespondWrongState(pSession);
        return 1;
    }
    // After EXAMINE, CLOSE only leaves: nothing is removed, and no error is told.
    if (!pSession->bReadOnly) ExpungeMailbox(pSession, 0);
    CloseView(pSession);
    pSession->State = Imap4Authorization;
    RespondCompleted(pSession);
    return 1;
}
