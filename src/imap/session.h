// The per-connection record: every buffer a session needs lives here, so that a line costs
// no allocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#include "imap/output.h"
#include "platform/deflate.h"
#include "platform/fs.h"
#include "platform/types.h"

enum {
    Imap4NonAuthenticated = 0,
    Imap4Authorization = 1,
    Imap4Selected = 2,
};

struct TlsContext;
struct TlsConnection;
class LoginFailures;
struct QueueAddress;

// The longest command line the administrator may allow (MaxLineLength), without its CR LF.
constexpr size_t MAX_LINE_LENGTH = 65536;
// A command with its literals up to that length is read whole (its CR LF and a NUL after it);
// the queue holds what came in behind it.
constexpr size_t RECV_SIZE = MAX_LINE_LENGTH + 3;
constexpr size_t QUEUE_SIZE = RECV_SIZE;
constexpr size_t RESPONSE_SIZE = 8193;

// A session's own picture of its selected mailbox (imap/view.h).
struct MailboxView;
struct MailboxViewDeleter {
    void operator()(MailboxView* pView) const;
};

struct Session {
    // The record is large (a whole line, a whole answer) and mostly never written: it takes pages
    // of its own, zero-filled, which cost nothing until written. Made with a plain new (no "()"),
    // the zeros are the kernel's and no page is touched for them.
    static void* operator new(size_t nSize);
    static void* operator new(size_t nSize, const std::nothrow_t&) noexcept;
    static void operator delete(void* p, size_t nSize) noexcept;

    SOCKET sockClient;
    SockAddr6 sinLocal6;
    SockAddr4 sinLocal;
    int32_t nLocalLen;
    void* pHostEnt;
    int32_t State;
    char szHostName[256];
    char szLocalAddr[46];
    char szPeerAddr[46];
    char szAuthWork[4096];
    // The tagged line a handler leaves for the dispatcher (before the thread starts: the
    // greeting or refusal the listener prepared). Untagged answers go through Output.
    char szResponse[RESPONSE_SIZE];
    // Everything the session sends goes through here (imap/output.h).
    SessionOutput Output;
    int32_t lExists;
    int32_t lRecent;
    int32_t lFirstUnseen;
    uint32_t ulUidNext;
    uint32_t ulUidValidity;
    char szUser[260];
    char szPassword[260];
    char szChallenge[256];
    char szAuthData[768];
    char szMailDir[260];
    char szMailbox[260];
    char* pTag;
    char* pCommand;
    char* pArgs;
    int32_t bUid;
    char* pAuthCursor;
    struct ::FindData FindData;
    int32_t lLoginNo;
    uint32_t bDecoded;
    char szDecodedName[1024];
    char szRecv[RECV_SIZE];
    char szQueue[QUEUE_SIZE];
    // Client bytes are counted, never ended by a NUL: the bytes szQueue holds, and those that
    // RecvLine left in szRecv (0: szRecv holds a text ended by its NUL, put there by a caller
    // that filled it itself). Both buffers keep a NUL behind their bytes as well.
    size_t nQueued;
    size_t nReceived;
    std::unique_ptr<MailboxView, MailboxViewDeleter> pView;
    // The mailbox was opened by EXAMINE: nothing in it changes through this session until SELECT.
    int32_t bReadOnly;
    // The extensions the client has turned on (ENABLED_*, imap/resync.h); they last as long as
    // the connection.
    int32_t fEnabled;
    // The flag code FETCH shows for the message being answered, where it differs from the file
    // name's (\Recent belongs to one session); empty: the file name's.
    char szShownFlags[7];
    // The keywords FETCH shows for that message, names joined by blanks (null: none).
    const char* pszShownKeywords;
    // TLS: the server's certificate when one is configured (null: no TLS on offer), the
    // session's encryption once negotiated (null: clear text), and whether the connection came
    // in on the implicit-TLS port.
    TlsContext* pTlsContext;
    TlsConnection* pTls;
    int32_t bImplicitTls;
    // COMPRESS=DEFLATE once the client asked for it (null: none): what is sent is compressed by
    // pDeflate, what comes in is decompressed by pInflate; under TLS when both are on.
    DeflatePtr pDeflate;
    DeflatePtr pInflate;
    // Set by the first send that fails (a peer that stopped reading, a broken link): every later
    // send fails at once, so the session ends instead of waiting out the send time-out again.
    int32_t bSendFailed;
    // The line being read answers an AUTHENTICATE prompt: it never reaches the console or the
    // protocol log.
    int32_t bSecretInput;
    // The client's input can no longer be followed (an answer too long before login): the
    // session ends once the command that read it is answered.
    int32_t bEndAfterCommand;
    // Failed LOGIN and AUTHENTICATE attempts on this connection, and the server's count per
    // client address (none: no delay, as in tests that drive a session directly).
    int32_t lLoginFailures;
    LoginFailures* pLoginFailures;
    // Read by other sessions' admission (net/tmqueue) while this one is queued: when its last
    // line came in (monotonic ms), whether it has logged in, and whether it was asked to make
    // room for a newcomer. A last input at the admission time means nothing whole came yet.
    std::atomic<uint64_t> ullLastInput;
    uint64_t ullAdmitted;
    std::atomic<int32_t> bLoggedIn;
    std::atomic<int32_t> bEvicted;
    // When the session must have logged in, and finished the TLS handshake under way (monotonic
    // ms; 0: none); past either it is closed (bEvicted EVICTED_LATE). Set by its admission and by
    // the handshake, read by the queue's watch.
    std::atomic<uint64_t> ullLoginDeadline;
    std::atomic<uint64_t> ullHandshakeDeadline;
    // The admission queue's own bookkeeping (net/tmqueue), touched only under its lock: whether
    // the session is queued, its address's counts, and its place among the sessions that have
    // not logged in yet (all of them, and those of its address) in the order they came.
    int32_t bQueued;
    int32_t bWaitsLogin;
    QueueAddress* pQueueAddress;
    Session* pWaitPrev;
    Session* pWaitNext;
    Session* pAddressWaitPrev;
    Session* pAddressWaitNext;
    // This session has its address's turn to have a password checked (auth/login_guard).
    int32_t bHoldsLoginTurn;
    // The greeting left with the accept (clear-text ports): the thread only logs it.
    int32_t bGreeted;
    // A trusted load balancer's connection: its thread reads the PROXY header, and only then
    // admits the session under the client's address (net/proxy_accept). szBalancerAddr is the
    // balancer's own address once szPeerAddr names the client; bProxyChecked says the start of
    // the connection was looked at for a header, and nothing later is taken for one.
    int32_t bAwaitsProxyHeader;
    int32_t bProxyChecked;
    char szBalancerAddr[46];
};

// Why a session was told to leave (bEvicted): to make room for a newcomer, or too slow to log in.
enum : int32_t {
    EVICTED_FOR_ROOM = 1,
    EVICTED_LATE = 2,
};

// Session id of the console trace and the protocol log: the record's address.
inline unsigned long SessionId(const Session* pSession) {
    return reinterpret_cast<uintptr_t>(pSession);
}
