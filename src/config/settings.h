// Process-wide settings, read once from the registry at start and read-only afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr const char* SERVICE_NAME = "VLMVEVE4D-SVC";
constexpr const char* DISPLAY_NAME = "Velmora IMAP4rev1 Server";
constexpr const char* SERVER_VERSION = "(0.07)";

constexpr const char* KEY_SERVICE = "SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC";
constexpr const char* KEY_SERVICE_PARAMETERS = "SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC\\Parameters";
constexpr const char* KEY_VEVE4D_PARAMETERS = "SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters";
constexpr const char* KEY_COMPANION_PARAMETERS = "SYSTEM\\CurrentControlSet\\Services\\MXGATE\\Parameters";
constexpr const char* KEY_EMWAC_IMS = "SOFTWARE\\EMWAC\\IMS";

struct SettingsRecord {
    int32_t Priority;
    int32_t Timeout;
    int32_t AcceptLimit;
    char PasswordFile[128];
    int32_t AcceptlogEnabled;
    char MailExtension[32];
    int32_t ListenMode;
    char ListenIP[1024];  // string list: NUL-separated entries, ended by an empty one
    int32_t PortNo;
    int32_t Imap4LogEnabled;
    int32_t UserManager;
    int32_t SendDataTimeout;
    int32_t POP3IsNotUsed;
    int32_t AddressFamily;
    char Membership[64];
    char HostName[256];
    char DomainNamesAreLocal[4096];  // string list
    char MailInBoxDir[260];
    char MailGroup[128];
    char ProgramPath[256];
    char MailQueueDir[128];
    char MailSpoolDir[128];
    int32_t LogKeepDays;  // 0: daily logs are kept for ever
    // TLS: on when both files are named; STARTTLS on PortNo and implicit TLS on TlsPortNo
    // (0: no such port).
    char TlsCertificateFile[260];  // PEM chain, the server's certificate first
    char TlsKeyFile[260];          // PEM key of that certificate
    int32_t TlsPortNo;
    // Plaintext passwords (LOGIN, AUTHENTICATE LOGIN and PLAIN): 0 always accepted, 1 only after
    // TLS or from a loopback peer, 2 only after TLS.
    int32_t PlaintextLoginNeedsTls;
    // Seconds a session may wait for its next line before it is closed with BYE: before login
    // (LoginTimeout) and after (IdleTimeout, never under the 30 minutes RFC 3501 asks for).
    int32_t LoginTimeout;
    int32_t IdleTimeout;
    // Whole seconds, however the client paces its bytes: to finish a TLS handshake, and from
    // the connection to the authenticated state. A client still short of it is closed.
    int32_t TlsHandshakeTimeLimit;
    int32_t LoginTimeLimit;
    // Sessions at once from one client address; 0: no limit.
    int32_t AddressLimit;
    // Load balancers whose PROXY protocol header names the real client (string list of
    // addresses and CIDR ranges; empty: none), and whether they must send one (nonzero) or may
    // also connect for themselves without it.
    char ProxyTrusted[1024];
    int32_t ProxyRequired;
    // A failed LOGIN or AUTHENTICATE is answered after LoginFailureDelay milliseconds, doubled
    // for each further failure from the same address; the connection closes after
    // LoginFailureLimit failures.
    int32_t LoginFailureDelay;
    int32_t LoginFailureLimit;
    // Debug mode with operating-system accounts takes any password only when this says so.
    int32_t DebugAcceptAnyPassword;
    // Largest message APPEND takes, in bytes; 0: no limit.
    uint32_t MaxMessageSize;
    // The folders LIST marks \Drafts, \Sent, \Trash and \Junk; empty: no folder has that role.
    char DraftsFolder[128];
    char SentFolder[128];
    char TrashFolder[128];
    char JunkFolder[128];
    // The per-session console trace: on in debug mode unless the registry turns it off; never
    // formatted as a service, where no console is read.
    int32_t ConsoleTrace;
    // Whether APPEND, COPY and the import wait for the disk before answering: MAIL_FSYNC_ALWAYS,
    // or MAIL_FSYNC_NEVER for those who trade safety against power failures for speed.
    int32_t MailFsync;
    // Nonzero: the companion server reaches the mail through a shared group, so mail is created
    // 0660/0770 instead of 0600/0700.
    int32_t MailSharedGroup;
    // How a mailbox index learns of changes: MAILBOX_WATCH_AUTO (inotify, and on a network or
    // cluster file system also the directory's change time every MailboxPollInterval, for other
    // machines' changes), MAILBOX_WATCH_EVENTS (inotify alone, falling back to polling where the
    // file system has none) or MAILBOX_WATCH_POLL (the directory's change time alone).
    int32_t MailboxWatch;
    // Milliseconds between two looks at a polled mailbox's change time while a session idles.
    uint32_t MailboxPollInterval;
    // Megabytes of text made from message content (envelopes, body structures, header
    // sections) that the indexes keep; 0 keeps none.
    int32_t IndexCacheLimit;
    // Keyword names a mailbox may hold; a STORE or APPEND that would add one more is refused.
    uint32_t MaxKeywords;
    // DELETE of a mailbox that still holds messages: DELETE_FULL_REMOVE removes it with them,
    // DELETE_FULL_REFUSE refuses it, as older versions did.
    int32_t DeleteFullMailbox;
    // Largest literal taken before login, in bytes: a user name or a password needs no more,
    // and a client that has not logged in gets no buffer to fill. 0 (a session made without
    // settings): no limit.
    uint32_t PreLoginLiteralLimit;
    // Longest command line taken, in bytes without its CR LF (literals read into the command
    // count); a longer one is refused. 0 (a session made without settings): the most the
    // session's buffer holds, MAX_LINE_LENGTH.
    uint32_t MaxLineLength;
    // ID names the server but not its version.
    int32_t IdHideVersion;
    // LITERAL- instead of LITERAL+: a literal over 4096 bytes must wait for the go-ahead.
    int32_t LiteralMinus;
};

enum : int32_t {
    MAILBOX_WATCH_EVENTS = 0,
    MAILBOX_WATCH_POLL = 1,
    MAILBOX_WATCH_AUTO = 2,
};
enum : int32_t {
    DELETE_FULL_REMOVE = 0,
    DELETE_FULL_REFUSE = 1,
};
enum : int32_t {
    MAIL_FSYNC_ALWAYS = 0,
    MAIL_FSYNC_NEVER = 1,
};

extern SettingsRecord Settings;

// Registry readers; the key path is below HKEY_LOCAL_MACHINE.
uint32_t RegReadNumber(const char* pszKey, const char* pszValue, uint32_t ulDefault);
uint32_t RegReadString(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer,
                       uint32_t ulCapacity);
uint32_t RegReadStringList(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer,
                           uint32_t ulCapacity);

// A registry value ReadSettings reads, and how: as a number, a text or a list of texts.
enum SettingKind { SETTING_NUMBER, SETTING_TEXT, SETTING_LIST };
struct SettingValue {
    std::string key;
    std::string value;
    SettingKind kind;
};
// Every value the last ReadSettings read (the readers note them as it runs), for a check of the
// registry file against the names the server knows.
const std::vector<SettingValue>& SettingValuesRead();

// Fills Settings from the registry, applying defaults, precedence and normalisation.
void ReadSettings();
// Creates the spool directories that the settings name.
void CreateSpoolDirectories();
// A console trace line (printf format), written only while the trace is on.
void TracePrint(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// Prints the settings dump on standard output.
void PrintSettings();
// Reads PortNo with its precedence (at start, and again by RequestStop for its own use).
int32_t ReadPortNo();
