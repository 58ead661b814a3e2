// Process-wide settings, read once from the registry at start and read-only afterwards.
#pragma once

#include <cstdint>

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
    // The folders LIST marks \Drafts, \Sent, \Trash and \Junk; empty: no folder has that role.
    char DraftsFolder[128];
    char SentFolder[128];
    char TrashFolder[128];
    char JunkFolder[128];
    // The per-session console trace: on in debug mode unless the registry turns it off; never
    // formatted as a service, where no console is read.
    int32_t ConsoleTrace;
};

extern SettingsRecord Settings;

// Registry readers; the key path is below HKEY_LOCAL_MACHINE.
uint32_t RegReadNumber(const char* pszKey, const char* pszValue, uint32_t ulDefault);
uint32_t RegReadString(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer,
                       uint32_t ulCapacity);
uint32_t RegReadStringList(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer,
                           uint32_t ulCapacity);

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
