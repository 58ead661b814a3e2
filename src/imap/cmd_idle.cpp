// IDLE: the client waits for news of its mailbox without asking. A change to the mailbox
// directory (or, with the inbox selected, a delivery into the mail directory) wakes the session at
// once where the file system can tell; elsewhere it looks again every second. On a file system
// that other machines change too, the kernel tells only of this machine's changes: the session
// then also looks every MailboxPollInterval.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "imap/command_reader.h"
#include "imap/commands.h"
#include "imap/response.h"
#include "imap/search_return.h"
#include "imap/view.h"
#include "imap/output.h"
#include "imap/session_io.h"
#include "platform/dir_watch.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

constexpr int POLL_MILLISECONDS = 1000;
// With a working watch the listing is still taken now and then, in case an event was lost.
constexpr int WATCHED_MILLISECONDS = 30000;
// Without a watch on the mail directory, deliveries are looked for this often.
constexpr uint64_t IMPORT_POLL_TICKS = 5ull * 10000000ull;

bool IsDone(const char* pszLine) {
    size_t nLength = strcspn(pszLine, "\r\n");
    return nLength == 4 && StrNICmp(pszLine, "DONE", 4) == 0;
}

bool InboxSelected(const Session* pSession) {
    char szInbox[MAX_PATH];
    return ResolveMailboxPath(pSession->szMailDir, "inbox", szInbox, sizeof(szInbox)) &&
           strcmp(szInbox, pSession->szMailbox) == 0;
}

}  // namespace

int CmdIdle(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    // The tag lives in szRecv, where DONE will arrive.
    char szTag[RECV_SIZE];
    char szCommand[32];
    static_cast<void>(FormatText(szTag, sizeof(szTag), "%s", pSession->pTag));
    static_cast<void>(FormatText(szCommand, sizeof(szCommand), "%s", pSession->pCommand));

    bool bSelected = pSession->State == Imap4Selected;
    bool bInbox = bSelected && InboxSelected(pSession);
    DirectoryWatch watch;
    bool bWatched = bSelected && WatchDirectory(&watch, pSession->szMailbox, ".MSG", WATCH_ENTRIES);
    // Nonzero: the events do not tell of every change, and the mailbox is looked at this often.
    const uint32_t ulPollMilliseconds = bSelected ? MailboxPollMilliseconds(pSession->szMailbox) : 0;
    int nWaitMilliseconds = POLL_MILLISECONDS;
    if (ulPollMilliseconds != 0) {
        nWaitMilliseconds = static_cast<int>(ulPollMilliseconds);
    } else if (bWatched) {
        nWaitMilliseconds = WATCHED_MILLISECONDS;
    }
    bool bDeliveriesWatched = false;
    if (bInbox) {
        char szExtension[40];
        static_cast<void>(FormatText(szExtension, sizeof(szExtension), ".%s", Settings.MailExtension));
        // A delivery is taken once its writer is done with it: an import would copy half a file.
        bDeliveriesWatched = bWatched && WatchDirectory(&watch, pSession->szMailDir, szExtension, WATCH_ARRIVALS);
    }

    // With a mailbox selected, the continuation waits for the news already due, so that both
    // leave in one write: a client may act only on what came in the read that brought it.
    OutputAtom(pSession, "+ idling\r\n");
    if (!bSelected && OutputFlush(pSession) == 0) return 0;

    // The same autologout as between commands (never under 30 minutes: clients renew IDLE every 29).
    const uint64_t ullLimit = static_cast<uint64_t>(Settings.IdleTimeout);
    const uint64_t ullStart = GetSystemTimeAsFileTime();
    uint64_t ullLastImport = ullStart;
    for (;;) {
        if (bSelected) {
            uint64_t ullNow = GetSystemTimeAsFileTime();
            bool bImportDue = (!bDeliveriesWatched || ulPollMilliseconds != 0) && ullNow - ullLastImport >= IMPORT_POLL_TICKS;
            bool bImport = bInbox && ((bDeliveriesWatched && watch.abChanged[1]) || bImportDue);
            if (bImport) {
                watch.abChanged[1] = false;
                ullLastImport = ullNow;
                ImportInbox(pSession->szMailDir, pSession->szMailbox, &pSession->ulUidNext);
            }
            AnnounceSearchRemovals(pSession);
            AnnounceChanges(pSession, true);
            AnnounceSearchUpdates(pSession);
            if (OutputHeld(pSession) && OutputFlush(pSession) == 0) return 0;
        }
        if (!CommandWaiting(pSession) && !SessionInputPending(pSession)) {
            WatchWait wait = WaitForInputOrChange(&watch, pSession->sockClient, nWaitMilliseconds);
            if (wait != WATCH_INPUT) {
                if (ullLimit != 0 && GetSystemTimeAsFileTime() - ullStart >= ullLimit * 10000000ull) {
                    OutputFormat(pSession, "* BYE %s\r\n", "Autologout; idle for too long");
                    pSession->szResponse[0] = '\0';
                    return 0;
                }
                continue;
            }
        }
        if (!ReadAnswerLine(pSession)) {
            // A line that is no DONE at all; a lost connection ends at the next read.
            FormatResponse(pSession, "%s %s %s expected DONE\r\n", szTag, "BAD", szCommand);
            return 1;
        }
        if (IsDone(pSession->szRecv)) break;
        FormatResponse(pSession, "%s %s %s expected DONE\r\n", szTag, "BAD", szCommand);
        return 1;
    }
    FormatResponse(pSession, "%s %s %s completed\r\n", szTag, "OK", szCommand);
    return 1;
}
