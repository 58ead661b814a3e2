// IDLE: the client waits for news of its mailbox without asking. The session waits without a
// timer: a change of the mailbox taken in by any thread (the process's one watch on the
// directories, or another session's command) wakes it, and so does mail delivered into the mail
// directory while the inbox is selected, or input on its socket. Where the kernel cannot tell of
// every change (no watch, a network file system that other machines change too), it also looks
// every second, or every MailboxPollInterval.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

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
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/time.h"
#include "platform/wake.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

constexpr int POLL_MILLISECONDS = 1000;
// Without a watch on the mail directory, deliveries are looked for this often.
constexpr uint64_t IMPORT_POLL_TICKS = 5ull * 10000000ull;
// A delivery found while another held the directory lock is looked for again this soon: the
// other taker may have listed the directory before it came.
constexpr int IMPORT_RETRY_MILLISECONDS = 200;

bool IsDone(const char* pszLine) {
    size_t nLength = strcspn(pszLine, "\r\n");
    return nLength == 4 && StrNICmp(pszLine, "DONE", 4) == 0;
}

bool InboxSelected(const Session* pSession) {
    char szInbox[MAX_PATH];
    return ResolveMailboxPath(pSession->szMailDir, "inbox", szInbox, sizeof(szInbox)) &&
           strcmp(szInbox, pSession->szMailbox) == 0;
}

// The socket's input wakes the waiter, seen by the readiness thread; ended with the command.
class InputWatch {
public:
    InputWatch(SOCKET sock, Wakeup* pWakeup)
        : m_llId(WatchReadable(static_cast<int>(sock), true, [pWakeup] { pWakeup->Signal(WAKE_INPUT); })) {}
    ~InputWatch() { UnwatchReadable(m_llId); }
    InputWatch(const InputWatch&) = delete;
    InputWatch& operator=(const InputWatch&) = delete;
    bool Watched() const { return m_llId >= 0; }

private:
    int64_t m_llId;
};

// An idle session may wait for half an hour and more: what its last commands left in its
// buffers and on its stack goes back to the kernel meanwhile. The bytes still in use stay.
void ReleaseIdleMemory(Session* pSession) {
    SessionOutput& output = pSession->Output;
    char* pSend = output.szSendBuf + output.nSendLength + 1;
    ReleasePages(pSend, static_cast<size_t>(output.szSendBuf + sizeof(output.szSendBuf) - pSend));
    char* pQueue = pSession->szQueue + pSession->nQueued + 1;
    ReleasePages(pQueue, static_cast<size_t>(pSession->szQueue + sizeof(pSession->szQueue) - pQueue));
    size_t nLine = std::max(pSession->nReceived, strnlen(pSession->szRecv, sizeof(pSession->szRecv)));
    char* pRecv = pSession->szRecv + std::min(nLine + 1, sizeof(pSession->szRecv));
    ReleasePages(pRecv, static_cast<size_t>(pSession->szRecv + sizeof(pSession->szRecv) - pRecv));
    ReleaseUnusedStack();
}

}  // namespace

int CmdIdle(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    // The tag lives in szRecv, where DONE will arrive.
    const std::string tag(pSession->pTag);
    char szCommand[32];
    static_cast<void>(FormatText(szCommand, sizeof(szCommand), "%s", pSession->pCommand));

    bool bSelected = pSession->State == Imap4Selected;
    bool bInbox = bSelected && InboxSelected(pSession);
    Wakeup wakeup;
    InputWatch input(pSession->sockClient, &wakeup);
    std::optional<ChangeWaiter> waiter;
    if (bSelected) waiter.emplace(CurrentView(pSession)->pIndex, &wakeup);
    // Nonzero: the events do not tell of every change, and the mailbox is looked at this often.
    const uint32_t ulPollMilliseconds = bSelected ? MailboxPollMilliseconds(pSession->szMailbox) : 0;
    bool bDeliveriesWatched = false;
    if (bInbox) {
        char szExtension[40];
        static_cast<void>(FormatText(szExtension, sizeof(szExtension), ".%s", Settings.MailExtension));
        bDeliveriesWatched = waiter->WatchArrivals(pSession->szMailDir, szExtension);
    }

    // With a mailbox selected, the continuation waits for the news already due, so that both
    // leave in one write: a client may act only on what came in the read that brought it.
    OutputAtom(pSession, "+ idling\r\n");
    if (!bSelected && OutputFlush(pSession) == 0) return 0;

    // The same autologout as between commands (never under 30 minutes: clients renew IDLE every 29).
    const uint64_t ullLimit = static_cast<uint64_t>(Settings.IdleTimeout) * 10000000ull;
    const uint64_t ullStart = GetSystemTimeAsFileTime();
    uint64_t ullLastImport = ullStart;
    // Mail delivered after the last command looked and before the watch began is looked for once.
    bool bFirst = true;
    bool bTurn = false;   // this session is to take in what was delivered
    bool bRetry = false;  // the directory lock was held: look again soon
    for (;;) {
        bool bComplete = input.Watched();
        if (bSelected) {
            uint64_t ullNow = GetSystemTimeAsFileTime();
            bool bImportDue = ullNow - ullLastImport >= IMPORT_POLL_TICKS &&
                              (!bDeliveriesWatched || ulPollMilliseconds != 0 || !waiter->Complete());
            bTurn = (bInbox && waiter->TakeArrival()) || bTurn;
            bool bImport = bInbox && (bTurn || bImportDue || bFirst || bRetry);
            bFirst = false;
            if (bImport) {
                ullLastImport = ullNow;
                bRetry = !ImportInbox(pSession->szMailDir, pSession->szMailbox, &pSession->ulUidNext);
                // The other sessions hear of it from the inbox, as the files are renamed into it.
                if (bTurn && !bRetry) {
                    bTurn = false;
                    waiter->ArrivalTaken();
                }
            }
            // Looked at after the signals were taken: whatever changes from here on signals again.
            AnnounceSearchRemovals(pSession);
            AnnounceChanges(pSession, true);
            AnnounceSearchUpdates(pSession);
            if (OutputHeld(pSession) && OutputFlush(pSession) == 0) return 0;
            bComplete = bComplete && waiter->Complete() && ulPollMilliseconds == 0;
        }
        if (!CommandWaiting(pSession) && !SessionInputPending(pSession)) {
            uint64_t ullIdle = GetSystemTimeAsFileTime() - ullStart;
            if (ullLimit != 0 && ullIdle >= ullLimit) {
                OutputFormat(pSession, "* BYE %s\r\n", "Autologout; idle for too long");
                pSession->szResponse[0] = '\0';
                return 0;
            }
            int nWait = POLL_MILLISECONDS;
            if (bRetry) {
                nWait = IMPORT_RETRY_MILLISECONDS;
            } else if (ulPollMilliseconds != 0) {
                nWait = static_cast<int>(ulPollMilliseconds);
            } else if (bComplete) {
                // Nothing to look at until something happens, or the autologout is due.
                nWait = ullLimit == 0 ? -1 : static_cast<int>(std::min<uint64_t>((ullLimit - ullIdle) / 10000 + 1, 1u << 30));
            }
            bool bInput;
            if (input.Watched()) {
                ReleaseIdleMemory(pSession);
                bInput = (wakeup.Wait(nWait) & WAKE_INPUT) != 0;
            } else {
                bInput = WaitForInputOrChange(nullptr, pSession->sockClient, std::min(nWait < 0 ? POLL_MILLISECONDS : nWait, POLL_MILLISECONDS)) == WATCH_INPUT;
            }
            if (!bInput) continue;
        }
        if (!ReadAnswerLine(pSession)) {
            // A line that is no DONE at all; a lost connection ends at the next read.
            FormatResponse(pSession, "%s %s %s expected DONE\r\n", tag.c_str(), "BAD", szCommand);
            return 1;
        }
        if (IsDone(pSession->szRecv)) break;
        FormatResponse(pSession, "%s %s %s expected DONE\r\n", tag.c_str(), "BAD", szCommand);
        return 1;
    }
    FormatResponse(pSession, "%s %s %s completed\r\n", tag.c_str(), "OK", szCommand);
    return 1;
}
