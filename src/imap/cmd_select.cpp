// SELECT, EXAMINE and STATUS: open a mailbox, or report its counts without opening it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "imap/args.h"
#include "imap/commands.h"
#include "imap/mailbox_name.h"
#include "imap/resync.h"
#include "imap/response.h"
#include "imap/status.h"
#include "imap/mime.h"
#include "imap/flags.h"
#include "platform/dir_watch.h"
#include "platform/file_range.h"
#include "imap/view.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

// The untagged lines of the SELECT and EXAMINE answer. A mailbox without unseen messages
// has no first unseen one to name; IMAP4rev2 names none and has no \Recent to count (its client
// searches for what it wants).
void SendMailboxState(Session* pSession) {
    bool bRev2 = Imap4Rev2(pSession);
    OutputFormat(pSession, "* %ld EXISTS\r\n", static_cast<long>(pSession->lExists));
    if (!bRev2) OutputFormat(pSession, "* %ld RECENT\r\n", static_cast<long>(pSession->lRecent));
    if (pSession->lFirstUnseen != 0 && !bRev2) {
        OutputFormat(pSession, "* %s [UNSEEN %ld] Message %ld is first unseen\r\n", "OK",
                     static_cast<long>(pSession->lFirstUnseen), static_cast<long>(pSession->lFirstUnseen));
    }
    OutputFormat(pSession, "* %s [UIDVALIDITY %lu] UIDs valid\r\n", "OK",
                 static_cast<unsigned long>(pSession->ulUidValidity));
    OutputFormat(pSession, "* %s [UIDNEXT %lu] Predicted next UID\r\n", "OK",
                 static_cast<unsigned long>(pSession->ulUidNext));
    AnnounceKeywords(pSession, false);
    // 0: the directory went away while it was opened, and has no sequences to tell.
    uint64_t ullHighest = pSession->pView->pIndex->HighestModSeq();
    if (ullHighest == 0) {
        OutputFormat(pSession, "* OK [NOMODSEQ] No modification sequences here\r\n");
    } else {
        OutputFormat(pSession, "* OK [HIGHESTMODSEQ %llu] Highest\r\n", static_cast<unsigned long long>(ullHighest));
    }
}

// IMAP4rev2 names the mailbox just opened in a LIST line, as LIST would show it: INBOX in capitals,
// "/" between levels, and the attributes it has.
void SendSelectedName(Session* pSession, const char* pszName, const char* pszPath) {
    std::string name = pszName;
    std::replace(name.begin(), name.end(), '\\', '/');
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    size_t nTop = std::min(name.find('/'), name.size());
    if (IsInboxName(name.substr(0, nTop).c_str())) name.replace(0, nTop, "INBOX");
    std::vector<FolderEntry> children;
    ListFolders((std::string(pszPath) + "/").c_str(), &children);
    std::string attributes = children.empty() ? "\\HasNoChildren" : "\\HasChildren";
    if (const char* pszUse = SpecialUse(name.c_str())) attributes.append(" ").append(pszUse);
    char szNameText[2 * MAX_PATH + 16];
    if (!FormatMailboxName(name.c_str(), szNameText, sizeof(szNameText))) return;
    OutputFormat(pSession, "* LIST (%s) \"/\" %s\r\n", attributes.c_str(), szNameText);
}

// QRESYNC's catching up, for a client that knew the mailbox under the same UIDVALIDITY: the UIDs
// it knew that went since its sequence (all of them when it named none), then the flags of
// every message changed since.
void SendResync(Session* pSession, const SelectParameters& parameters) {
    if (parameters.ulUidValidity != pSession->ulUidValidity) return;
    MailboxView& view = *pSession->pView;
    MailboxIndex& index = *view.pIndex;
    std::vector<UidRange> expunged;
    index.ExpungedSince(parameters.ullModSeq, &expunged);
    uint32_t ulHighest = std::max(view.ulHighestUid, index.HighestUid());
    std::string strSet = UidRangesText(expunged, parameters.bKnownUids ? &parameters.knownUids : nullptr, ulHighest);
    if (!strSet.empty()) OutputFormat(pSession, "* VANISHED (EARLIER) %s\r\n", strSet.c_str());
    std::vector<uint32_t> changed;
    index.ChangedSince(parameters.ullModSeq, &changed);
    std::vector<SetElement> set;
    for (uint32_t ulUid : changed) set.push_back(SetElement{ulUid, ulUid});
    ForEachMessage(pSession, set, true, [&](uint32_t ulSequence, ViewMessage& message) {
        SendFlagsLine(pSession, ulSequence, message, false);
        return true;
    });
}

// Builds the session's view; the next UID is never one the view already holds.
void OpenInto(Session* pSession, bool bReadOnly) {
    OpenView(pSession, bReadOnly, &pSession->lExists, &pSession->lRecent, &pSession->lFirstUnseen);
    const MailboxView& view = *pSession->pView;
    // Nor one expunged while the mailbox was open: the next new message goes above it.
    uint32_t ulHighest = std::max(view.ulHighestUid, view.pIndex->HighestUid());
    if (ulHighest != 0 && pSession->ulUidNext <= ulHighest) {
        pSession->ulUidNext = NextUid(ulHighest);
    }
}

// SELECT and EXAMINE. A mailbox that cannot be opened leaves no mailbox selected.
int OpenMailbox(Session* pSession, bool bReadOnly) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szName[MAX_PATH];
    const char* p = pSession->pArgs;
    SelectParameters parameters;
    if (!TakeAstring(&p, szName, sizeof(szName)) ||
        (*p != '\0' && (!TakeBlank(&p) || !ReadSelectParameters(p, &parameters)))) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // QRESYNC's parameter is for a client that turned QRESYNC on.
    if (parameters.bQresync && !(pSession->fEnabled & ENABLED_QRESYNC)) {
        FormatResponse(pSession, "%s BAD %s QRESYNC is not enabled\r\n", pSession->pTag, pSession->pCommand);
        return 1;
    }
    CloseView(pSession);
    if (pSession->State == Imap4Selected) {
        pSession->State = Imap4Authorization;
        // What follows is about the mailbox being opened, not the one the client had.
        if (Imap4Rev2(pSession)) OutputFormat(pSession, "* OK [CLOSED] Previous mailbox closed\r\n");
    }
    // A name refused leaves no mailbox selected, as any SELECT that fails.
    if (!ClientNameToStored(pSession, szName, sizeof(szName))) {
        static_cast<void>(FormatText(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", pSession->szMailDir));
        return 1;
    }
    char szPath[MAX_PATH];
    if (!ResolveMailboxPath(pSession->szMailDir, szName, szPath, sizeof(szPath)) || !MailboxExists(szPath) ||
        !GetUidValidity(szPath, &pSession->ulUidValidity)) {
        static_cast<void>(FormatText(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", pSession->szMailDir));
        FormatResponse(pSession, "%s %s No such mailbox\r\n", pSession->pTag, "NO");
        return 1;
    }
    static_cast<void>(FormatText(pSession->szMailbox, sizeof(pSession->szMailbox), "%s", szPath));
    pSession->ulUidNext = ReadUidNext(pSession->szMailbox);
    // Delivered mail waits outside the inbox until a session looks at it.
    if (IsInboxName(szName)) {
        ImportInbox(pSession->szMailDir, pSession->szMailbox, &pSession->ulUidNext);
    }
    if (parameters.bCondStore) EnableCondStore(pSession);
    OpenInto(pSession, bReadOnly);
    SendMailboxState(pSession);
    if (Imap4Rev2(pSession)) SendSelectedName(pSession, szName, szPath);
    if (parameters.bQresync) SendResync(pSession, parameters);
    FormatResponse(pSession, "%s %s [%s] %s completed\r\n", pSession->pTag, "OK", bReadOnly ? "READ-ONLY" : "READ-WRITE",
                   pSession->pCommand);
    pSession->State = Imap4Selected;
    pSession->bReadOnly = bReadOnly;
    return 1;
}

// The counts of a mailbox no session has open, as its last listing gave them: good for as long
// as the directory's stamp stays where it was then. Only listings that began well after the
// stamp's change are kept, since the file system keeps the stamp coarsely.
struct KeptCount {
    uint64_t ullStamp;
    int32_t lExists, lRecent, lUnseen;
    uint32_t ulHighest;
};
constexpr uint64_t COUNT_STAMP_GRAIN = 1000000000ull;
constexpr size_t KEPT_COUNTS_MAX = 4096;

struct KeptCounts {
    std::mutex mutex;
    std::unordered_map<std::string, KeptCount> byPath;
};
KeptCounts& TheKeptCounts() {
    static KeptCounts counts;
    return counts;
}

bool FindKeptCount(const char* pszPath, uint64_t ullStamp, KeptCount* pCount) {
    KeptCounts& counts = TheKeptCounts();
    std::lock_guard<std::mutex> lock(counts.mutex);
    auto it = counts.byPath.find(pszPath);
    if (it == counts.byPath.end() || it->second.ullStamp != ullStamp) return false;
    *pCount = it->second;
    return true;
}

void KeepCount(const char* pszPath, const KeptCount& count) {
    KeptCounts& counts = TheKeptCounts();
    std::lock_guard<std::mutex> lock(counts.mutex);
    // Many mailboxes asked once each: start again rather than grow.
    if (counts.byPath.size() >= KEPT_COUNTS_MAX) counts.byPath.clear();
    counts.byPath[pszPath] = count;
}

// The counts of STATUS: kept from the last STATUS while the directory is unchanged, else from
// the index a session has open on the mailbox, else from one listing.
// The next UID is above every UID present, as the next new message's will be.
void CountForStatus(const char* pszPath, int32_t* plExists, int32_t* plRecent, int32_t* plUnseen, uint32_t* pulUidNext,
                    uint64_t* pullSize) {
    uint64_t ullSize = 0;
    // The sizes FETCH tells as RFC822.SIZE, from the index where it knows them.
    auto add_size = [&](uint32_t ulUid, uint8_t fFlags) {
        char szPath[MESSAGE_PATH_SIZE];
        FileProbe probe;
        if (!MessageFilePath(szPath, sizeof(szPath), pszPath, ulUid, fFlags) || !ProbeFile(szPath, &probe)) return;
        ullSize += ContentSizeFromTail(probe.ullSize, probe.szTail, probe.nTail);
    };
    int32_t lExists = 0, lRecent = 0, lUnseen = 0;
    auto count = [&](uint8_t fFlags) {
        lExists++;
        if (fFlags & FLAG_BIT_RECENT) lRecent++;
        if (!(fFlags & FLAG_BIT_SEEN)) lUnseen++;
    };
    uint32_t ulHighest = 0;
    // The sizes are not kept: a message written again in place leaves the directory as it was.
    uint64_t ullStamp = 0;
    bool bStamp = pullSize == nullptr && DirectoryChangeStamp(pszPath, &ullStamp);
    KeptCount kept;
    if (bStamp && FindKeptCount(pszPath, ullStamp, &kept)) {
        lExists = kept.lExists;
        lRecent = kept.lRecent;
        lUnseen = kept.lUnseen;
        ulHighest = kept.ulHighest;
    } else {
        uint64_t ullCountedAt = WallClockNanoseconds();
        bool bCounted = true;
        if (std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::FindOpen(pszPath)) {
            uint64_t ullNow = 0;
            pIndex->Visit([](size_t) {}, [&](const IndexedMessage& message) {
                count(message.fFlags);
                if (pullSize == nullptr) return;
                if (message.fState & INDEXED_PROBED) ullSize += message.ulSize;
                else add_size(message.ulUid, message.fFlags);
            }, &ullNow);
            ulHighest = pIndex->HighestUid();
        } else {
            std::vector<ListedMessage> listed;
            bCounted = ListMessages(pszPath, &listed) == LIST_OK;
            for (const ListedMessage& message : listed) {
                count(message.fFlags);
                if (pullSize != nullptr) add_size(message.ulUid, message.fFlags);
            }
            ulHighest = listed.empty() ? 0 : listed.back().ulUid;
        }
        // Counted after the stamp was read: a change made meanwhile moves the stamp on, and the
        // next STATUS counts again.
        if (bStamp && bCounted && ullCountedAt > ullStamp + COUNT_STAMP_GRAIN) {
            KeepCount(pszPath, KeptCount{ullStamp, lExists, lRecent, lUnseen, ulHighest});
        }
    }
    *plExists = lExists;
    *plRecent = lRecent;
    *plUnseen = lUnseen;
    *pulUidNext = ReadUidNext(pszPath);
    if (ulHighest != 0 && *pulUidNext <= ulHighest) *pulUidNext = NextUid(ulHighest);
    if (pullSize != nullptr) *pullSize = ullSize;
}

// The messages flagged \Deleted, asked for alone by STATUS DELETED: from an open index, else
// from one listing.
uint64_t CountDeleted(const char* pszPath) {
    uint64_t ullDeleted = 0;
    if (std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::FindOpen(pszPath)) {
        uint64_t ullNow = 0;
        pIndex->Visit([](size_t) {}, [&](const IndexedMessage& message) {
            if (message.fFlags & FLAG_BIT_DELETED) ullDeleted++;
        }, &ullNow);
        return ullDeleted;
    }
    std::vector<ListedMessage> listed;
    ListMessages(pszPath, &listed);
    for (const ListedMessage& message : listed) {
        if (message.fFlags & FLAG_BIT_DELETED) ullDeleted++;
    }
    return ullDeleted;
}

}  // namespace

int CmdSelect(Session* pSession) { return OpenMailbox(pSession, false); }

int CmdExamine(Session* pSession) { return OpenMailbox(pSession, true); }

const char* const kStatusWords[STATUS_ITEMS] = {"MESSAGES", "RECENT", "UIDNEXT", "UIDVALIDITY", "UNSEEN", "SIZE",
                                                "HIGHESTMODSEQ", "DELETED"};

bool ReadStatusItems(const char* pszList, StatusRequest* pRequest, bool bImap4Rev2) {
    pRequest->nItems = 0;
    for (const char* p = pszList; *p != '\0';) {
        size_t nLength = strcspn(p, " ");
        int nFound = -1;
        for (int i = 0; i < STATUS_ITEMS; i++) {
            if (strlen(kStatusWords[i]) == nLength && StrNICmp(p, kStatusWords[i], nLength) == 0) nFound = i;
        }
        // Each revision knows only its own words.
        if (nFound == (bImap4Rev2 ? STATUS_RECENT : STATUS_DELETED)) nFound = -1;
        if (nFound < 0 || pRequest->nItems == STATUS_ITEMS * 2) return false;
        pRequest->aItems[pRequest->nItems++] = static_cast<StatusItem>(nFound);
        p += nLength;
        if (*p == ' ' && *++p == '\0') return false;
    }
    return pRequest->nItems > 0;
}

bool OutputStatusLine(Session* pSession, const char* pszName, const char* pszPath, const StatusRequest& request) {
    uint32_t ulUidValidity = 0;
    if (!GetMailboxUidValidity(pszPath, &ulUidValidity)) return false;
    int32_t lExists = 0;
    int32_t lRecent = 0;
    int32_t lUnseen = 0;
    uint32_t ulUidNext = 0;
    uint64_t ullSize = 0;
    // The sizes cost a look at every file the index has not measured yet: only when asked.
    bool bSize = std::find(request.aItems, request.aItems + request.nItems, STATUS_SIZE) != request.aItems + request.nItems;
    CountForStatus(pszPath, &lExists, &lRecent, &lUnseen, &ulUidNext, bSize ? &ullSize : nullptr);
    uint64_t ullDeleted = 0;
    if (std::find(request.aItems, request.aItems + request.nItems, STATUS_DELETED) != request.aItems + request.nItems) {
        ullDeleted = CountDeleted(pszPath);
    }
    uint64_t ullHighestModSeq = 0;
    if (std::find(request.aItems, request.aItems + request.nItems, STATUS_HIGHESTMODSEQ) !=
        request.aItems + request.nItems) {
        EnableCondStore(pSession);
        ListResult result = LIST_OK;
        std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(pszPath, &result);
        if (result != LIST_OK) return false;
        ullHighestModSeq = pIndex->HighestModSeq();
    }
    const unsigned long long aullValues[STATUS_ITEMS] = {
        static_cast<unsigned long long>(lExists), static_cast<unsigned long long>(lRecent), ulUidNext,
        ulUidValidity, static_cast<unsigned long long>(lUnseen), ullSize, ullHighestModSeq, ullDeleted};

    // The name as the client would write it back: it may need quotes or a literal.
    char szNameText[2 * MAX_PATH + 16];
    if (!FormatMailboxName(pszName, szNameText, sizeof(szNameText), UsesUtf8Names(pSession))) return false;
    char szValues[STATUS_ITEMS * 2 * 40] = "";
    for (size_t i = 0; i < request.nItems; i++) {
        if (!AppendFormat(szValues, sizeof(szValues), "%s%s %llu", i == 0 ? "" : " ", kStatusWords[request.aItems[i]],
                          aullValues[request.aItems[i]])) {
            break;
        }
    }
    OutputFormat(pSession, "* STATUS %s (%s)\r\n", szNameText, szValues);
    return true;
}

int CmdStatus(Session* pSession) {
    if (pSession->State < Imap4Authorization) {
        RespondWrongState(pSession);
        return 1;
    }
    char szName[MAX_PATH];
    char szList[RECV_SIZE];
    StatusRequest request;
    const char* p = pSession->pArgs;
    if (!TakeAstring(&p, szName, sizeof(szName)) || !TakeBlank(&p) || !TakeParenthesised(&p, szList, sizeof(szList)) ||
        *p != '\0' || !ReadStatusItems(szList, &request, Imap4Rev2(pSession))) {
        RespondIllegalArgument(pSession);
        return 1;
    }
    // The answer names the mailbox as the client wrote it.
    const std::string written = szName;
    if (!ClientNameToStored(pSession, szName, sizeof(szName))) return 1;
    char szPath[MAX_PATH];
    // Gone since it was found: no UIDVALIDITY to tell.
    if (!ResolveMailboxPath(pSession->szMailDir, szName, szPath, sizeof(szPath)) ||
        !OutputStatusLine(pSession, written.c_str(), szPath, request)) {
        FormatResponse(pSession, "%s %s No such mailbox\r\n", pSession->pTag, "NO");
        return 1;
    }
    RespondCompleted(pSession);
    return 1;
}
