// The mail store: mailboxes are directories, messages are files named by UID and flag code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/fs.h"

// ---- Message file names ----------------------------------------------------------------------

// "0000000042-100010.MSG": ten UID digits, "-", six flag characters, ".MSG".
constexpr size_t MESSAGE_NAME_LENGTH = 21;
// Positions of the flag code in a message file name.
enum {
    FLAG_POS_RECENT = 11,
    FLAG_POS_ANSWERED = 12,
    FLAG_POS_FLAGGED = 13,
    FLAG_POS_DELETED = 14,
    FLAG_POS_SEEN = 15,
    FLAG_POS_DRAFT = 16,
};
// The IMAP names of the six flags, in flag-code order.
extern const char* const FlagNames[6];
// Directory, hidden and system: an entry with any of these is not a message file.
constexpr uint32_t NOT_MESSAGE_ATTRIBUTES = 0x16;

// Listing patterns, relative to a mailbox directory.
constexpr const char* ALL_MESSAGES_PATTERN = "*-??????.MSG";

// Writes "mailbox/name" into pszPath; false when it does not fit, and then nothing may be done
// with it: a cut path could name another file.
[[nodiscard]] bool MailboxFilePath(char* pszPath, size_t nSize, const char* pszMailbox, const char* pszName);
// Whether a listed entry counts as a message file.
bool IsMessageFile(const FindData& data);
// The UID of a message file name: the decimal value of its digits up to the "-".
uint32_t MessageUid(const char* pszName);
// The UID after ulUid: 4294967295 is followed by 1, never by 0.
uint32_t NextUid(uint32_t ulUid);
// Writes "%010u-%s.MSG" into pszName (at least MESSAGE_NAME_LENGTH + 1 bytes): the only
// spelling of a message file's name.
void FormatMessageName(char* pszName, size_t nSize, uint32_t ulUid, const char* pszFlagCode);
// pszMailbox, "/" and the message name; "??????" as the flag code gives the pattern that lists
// every file of that UID. False when the path does not fit nSize.
[[nodiscard]] bool FormatMessagePath(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid,
                                     const char* pszFlagCode);

// The path of the UID's file under the flag bits fFlags (FLAG_BIT_*).
[[nodiscard]] bool MessageFilePath(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid, uint8_t fFlags);
// ---- Mailbox names ---------------------------------------------------------------------------

// Turns a client's mailbox name (quotes already removed) into the mailbox directory below
// pszMailDir: "\" reads as "/", every existing component is matched without regard to case
// (INBOX, Inbox and inbox address "inbox"), and a new component keeps the client's spelling.
// Fails for a name that would leave the mail directory or address it itself: "", "." or ".."
// components, an absolute path, an empty component, a NUL byte, a drive or stream (":"), a
// device name (CON, NUL, COM1...), a component that is a symbolic link, or a result that does
// not fit nSize. Commands answer their failure line and touch nothing when this fails.
bool ResolveMailboxPath(const char* pszMailDir, const char* pszName, size_t nNameLength, char* pszPath, size_t nSize);
bool ResolveMailboxPath(const char* pszMailDir, const char* pszName, char* pszPath, size_t nSize);
// Whether a client's mailbox name addresses the inbox ("inbox" in any case).
bool IsInboxName(const char* pszName);

// One mailbox directory of the tree below a mail directory.
struct FolderEntry {
    std::string name;   // below the mail directory, "/" between levels, as stored
    bool bInbox;        // the top-level inbox, whatever its spelling
    bool bSubscribed;   // the directory carries no hidden mark
    bool bHasChildren;
    bool bReachable;    // its path fits MAX_PATH, so that a command can address it
};
// Every mailbox directory below pszMailDir (ending in "/"), each before its children, each level
// in listing order. Links and special files are no mailboxes; of several spellings of the inbox
// only the one ResolveMailboxPath reaches is listed.
void ListFolders(const char* pszMailDir, std::vector<FolderEntry>* pFolders);

// ---- UIDs and counts -------------------------------------------------------------------------

// The mailbox's next UID: the uid file, else (missing, empty or garbled) one past the highest
// message UID, written back when nobody is assigning UIDs, else 1.
uint32_t ReadUidNext(const char* pszMailbox);
// Replaces the uid file whole (a temporary renamed over it, flushed as MailFsync says), so that
// neither a reader nor a crash ever finds it empty; a failure is ignored.
void WriteUidNext(const char* pszMailbox, uint32_t ulUidNext);
// False when nothing exists at the path; else the low 32 bits of the directory's creation time.
bool GetUidValidity(const char* pszMailbox, uint32_t* pulUidValidity);
// The same from one look that also finds a directory there: false for a file or nothing.
bool GetMailboxUidValidity(const char* pszMailbox, uint32_t* pulUidValidity);
// Counts the message files: all, Recent, not Seen, and the sequence number of the first not
// Seen (0 when every message is Seen). A missing directory gives four zeros.
void CountMailbox(const char* pszMailbox, int32_t* plExists, int32_t* plRecent, int32_t* plUnseen,
                  int32_t* plFirstUnseen);

// UID assignment is read-modify-write on the uid file; this lock serialises it per mailbox
// among sessions and other processes that follow it (an advisory lock on the mailbox
// directory). Hold it from ReadUidNext to WriteUidNext.
LockHandle LockMailboxUids(const char* pszMailbox);
void UnLockMailboxUids(LockHandle hLock);
// The highest UID the mailbox holds, or has held while a session had it open (expunged ones
// included); from that index when there is one, else from a listing when bList, else 0.
uint32_t HighestPresentUid(const char* pszMailbox, bool bList);
// The UID after a run of ulCount UIDs from ulFirst.
uint32_t UidAfterRun(uint32_t ulFirst, uint32_t ulCount);
// Takes ulCount consecutive UIDs, each above the uid file's next UID and above every UID present,
// that no message file carries, under that lock, and advances the uid file past them; returns
// the first, or 0 when the uid file could not be advanced (the UIDs would be given again). They
// are consumed even when a message is never written. The caller flushes the mailbox directory
// (SyncMailbox) once the messages are in it, which also makes the uid file's new name durable.
uint32_t AssignUids(const char* pszMailbox, uint32_t ulCount);
// A new message received under a hidden name (FormatIncomingName), and the flag code its name
// is to carry.
struct IncomingMessage {
    std::string incoming;
    char szFlagCode[7];
};
// Gives new messages their names under the UID lock, with the UIDs from *pulFirst, part of a
// run AssignUids gave that ends before ulRunEnd (0: the run of just these). When a UID after the
// run has been taken since, or a message has appeared at or above *pulFirst, they take a fresh
// run above it, and *pulFirst says which. Returns how many were named, in order; those after a
// failed rename keep their hidden names.
size_t PublishMessages(const char* pszMailbox, uint32_t* pulFirst, const std::vector<IncomingMessage>& messages,
                       uint32_t ulRunEnd = 0);
// Why the last failing store call of this thread (AssignUids, PublishMessages, WriteMessageFile)
// failed: what could not be done and the system's reason ("the uid file cannot be advanced:
// Stale file handle"), for the client's NO.
const char* LastStoreFailure();
// Records pszWhat as that failure, with the reason of the last failed file call (fs.h).
void SetStoreFailure(const char* pszWhat);
// Forgets it (and the last failed file call): each of those calls begins so.
void ClearStoreFailure();
// Whether a message file of the UID exists, whatever its flags (asked under that lock).
bool MessageUidExists(const char* pszMailbox, uint32_t ulUid);
// Renames a message file for its new flags. Holds the UID lock shared meanwhile: an assignment,
// which holds it exclusively, never looks for a UID while its message is between two names.
bool RenameMessageFile(const char* pszMailbox, const char* pszOld, const char* pszNew);

// ---- What the store creates ------------------------------------------------------------------

// Modes of new mail files and mailbox directories: 0600/0700, or 0660/0770 when the companion
// server shares a group (MailSharedGroup).
uint32_t MailFileMode();
uint32_t MailDirectoryMode();
// Whether a new message, its directory entry and the uid file reach the disk before the client
// is answered (MailFsync is not "never").
bool MailFsyncOn();
// Creates a mailbox directory with the mail directory mode; false as CreateDirectoryEntry.
bool CreateMailboxDirectory(const char* pszPath);
// Flushes the mailbox directory's new names to the disk when MailFsync asks; false when that
// failed (the new messages may be lost by a power failure).
bool SyncMailbox(const char* pszMailbox);
// Hidden temporaries (".0000000042.incoming", ".uid.PID-TID.tmp") are where new files are made
// before they take their names. Removes those that no live writer holds and that are older than
// ulMinAgeSeconds: the leftovers of a crash.
void RemoveStaleTemporaries(const char* pszMailbox, uint32_t ulMinAgeSeconds);
// The age that tells a leftover from a file whose writer is still waiting to begin (APPEND
// creates its file before the client is asked for the message).
constexpr uint32_t STALE_TEMPORARY_AGE = 120;

// ---- Message sets ----------------------------------------------------------------------------

// Message sets as the client writes them: elements n or n:m joined by commas, each number
// nonzero or "*" (the highest number in use), n:m naming the same as m:n.
struct SetElement {
    uint32_t ulLow;   // 0 stands for "*"
    uint32_t ulHigh;  // the same as ulLow for a lone number
};
// False, and pElements left empty, for text that is no message set.
bool ParseMessageSet(const char* pszSet, std::vector<SetElement>* pElements);
// The lowest and highest number an element names once "*" is known (the highest sequence
// number or UID in use; 0 when there is none).
void ElementBounds(const SetElement& element, uint32_t ulStar, uint32_t* pulLow, uint32_t* pulHigh);
bool SetContains(const std::vector<SetElement>& elements, uint32_t ulNumber, uint32_t ulStar);

// ---- Listing ---------------------------------------------------------------------------------

// Flag bits of a message, bit i for flag-code position i (Recent, Answered, Flagged, Deleted,
// Seen, Draft).
enum : uint8_t {
    FLAG_BIT_RECENT = 0x01,
    FLAG_BIT_ANSWERED = 0x02,
    FLAG_BIT_FLAGGED = 0x04,
    FLAG_BIT_DELETED = 0x08,
    FLAG_BIT_SEEN = 0x10,
    FLAG_BIT_DRAFT = 0x20,
    // The flags a client may set and clear; \Recent is the server's.
    FLAG_BITS_CLIENT = FLAG_BIT_ANSWERED | FLAG_BIT_FLAGGED | FLAG_BIT_DELETED | FLAG_BIT_SEEN | FLAG_BIT_DRAFT,
};
struct ListedMessage {
    uint32_t ulUid;
    uint8_t fFlags;
};
enum ListResult {
    LIST_OK,
    LIST_MISSING,  // the mailbox directory is gone
    LIST_FAILED,   // it could not be read; nothing is known about its messages
};
// The message files of a mailbox in UID order. Only full message names count (ten digits,
// "-", six flag digits, ".MSG"); of two files with one UID the first listed wins.
// *pnTemporaries, when asked, counts the hidden temporaries the listing passed.
ListResult ListMessages(const char* pszMailbox, std::vector<ListedMessage>* pMessages, size_t* pnTemporaries = nullptr);
// Reads a message file name; false when it is not one.
bool ReadMessageName(const char* pszName, ListedMessage* pMessage);
// The flags of the UID's file as it is now; false when no file of that UID is left. Looks
// several times over, since another process may be renaming it meanwhile.
bool FindMessageFlags(const char* pszMailbox, uint32_t ulUid, uint8_t* pfFlags);
// The same, after a rename or removal found the file gone from its name fGone: that name is not
// believed again while the directory (or, on a shared file system, a cache of another
// machine's doing) still shows it for a moment.
bool FindMovedMessageFlags(const char* pszMailbox, uint32_t ulUid, uint8_t fGone, uint8_t* pfFlags);
// One look at each of the UID's 64 possible names, and no listing: a cost that does not grow with
// the mailbox, and that may miss a file renamed during the look.
bool ProbeMessageFlags(const char* pszMailbox, uint32_t ulUid, uint8_t* pfFlags);
// Writes the six flag characters of fFlags and a NUL into pszCode.
void FlagCodeOf(uint8_t fFlags, char* pszCode);

// ---- New messages ----------------------------------------------------------------------------

constexpr int64_t NO_INTERNAL_DATE = INT64_MIN;
// Hands the next bytes of a message being received: at most ullWanted of them at *ppData and
// their number in *pnLength (which may be 0). False when the input has ended.
using MessageSource = std::function<bool(uint64_t ullWanted, const char** ppData, size_t* pnLength)>;
// Stores APPEND's literal as a new message named with the flag code pszFlagCode. *pulUid is the UID
// taken for it before (its incoming file is named by it); a UID taken by another writer since
// makes the message take the next one, and *pulUid says which it got. Reads the literal and
// the CRLF that ends the command line from the source; the literal is stored as sent, with a
// CRLF added only when it does not end with one. A llInternalDate other than NO_INTERNAL_DATE
// becomes the file's last-write time (seconds since 1970). Returns 1 when the file was kept, 0
// when it was deleted again.
int WriteMessageFile(const MessageSource& source, const char* pszMailbox, uint32_t* pulUid, uint32_t ulSize,
                     const char* pszFlagCode, int64_t llInternalDate = NO_INTERNAL_DATE);
// The file a message is received into before it takes its name: hidden, and never a message
// name, so that a receipt cut short (even by a crash) is never shown as a message.
bool FormatIncomingName(char* pszPath, size_t nSize, const char* pszMailbox, uint32_t ulUid);

// ---- Inbox import and directory lock ---------------------------------------------------------

// Takes the lock file "$LockFile" in a mail directory (ending in "/"); INVALID_LOCK_HANDLE when
// not taken. A lock file is alive while a process of ours holds it (flock) or while it is younger
// than Timeout, unless it names a process of this machine that is gone: then it is broken at once.
LockHandle LockMailDirectoryAt(const char* pszMailDir);
// Who wrote a lock file, from its content.
enum LockOwnerKind {
    LOCK_OWNER_FOREIGN,     // not one of ours (the companion's, empty, garbled): judged by its age
    LOCK_OWNER_THIS_HOST,   // a server on this machine, with its process id
    LOCK_OWNER_OTHER_HOST,  // a server on another machine sharing the store
};
struct LockOwner {
    LockOwnerKind kind;
    unsigned long ulPid;
};
LockOwner ReadLockOwner(const char* pszContent);
void UnLockMailDirectoryAt(const char* pszMailDir, LockHandle hLock);
// Takes the newly delivered files of pszMailDir into pszInbox and advances *pulUidNext (read
// again from the uid file) past them. A crash at any instant loses no delivered message and
// imports none twice: imap.idx moves only over files taken in, and in copy mode the journal
// ".imap-import" in the mail directory names the files taken in since. False when files wait
// but the directory lock was held by another taker, who may have listed before they came: the
// caller that must not miss them looks again a little later.
bool ImportInbox(const char* pszMailDir, const char* pszInbox, uint32_t* pulUidNext);
// How many delivered files of pszMailDir the next import would take in (for the admin tool).
size_t CountDeliveriesWaiting(const char* pszMailDir);
