// The Settings record: read once from the registry at start, with the defaults and the
// precedence that the companion servers' keys impose, then normalised into directories the
// rest of the server can append names to.
#include "config/settings.h"
#include "config/settings_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/format.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/text.h"

SettingsRecord Settings;

namespace {

// Only the thread inside ReadSettings notes what it reads; later reads (per login) do not.
thread_local bool t_bNoteReads = false;
std::vector<SettingValue> g_valuesRead;

void NoteRead(const char* pszKey, const char* pszValue, SettingKind kind) {
    if (!t_bNoteReads) return;
    for (const SettingValue& read : g_valuesRead) {
        if (read.key == pszKey && EqualNoCase(read.value, pszValue)) return;
    }
    g_valuesRead.push_back(SettingValue{pszKey, pszValue, kind});
}

constexpr const char* szDefaultInBoxDir = "%HOME%/INETMAIL/INBOX";
constexpr const char* szDefaultSpoolDir = "%SystemRoot%/SYSTEM32/VLM/MAIL";
constexpr const char* szDefaultQueueDir = "incoming";
// RFC 3501's autologout timer is at least 30 minutes: clients renew IDLE every 29.
constexpr int32_t MIN_IDLE_TIMEOUT = 30 * 60;
constexpr uint32_t PRE_LOGIN_LITERAL_LIMIT = 4096;
// Clients send long UID sets, ID lists and APPEND flag lists; 64 KiB holds what they send.
constexpr uint32_t MAX_LINE_LENGTH_DEFAULT = 65536;
constexpr uint32_t MIN_LINE_LENGTH = 1024;
// Stands for %SystemRoot% (in any case, as Windows reads names) where the environment has none, as on
// every Linux host.
constexpr const char* szSystemRootFallback = "/var/lib/veve4d";

// Copies at most nCapacity-1 bytes and always terminates.
void CopyText(char* pszTo, size_t nCapacity, const char* pszFrom) {
    if (nCapacity == 0) return;
    static_cast<void>(FormatText(pszTo, nCapacity, "%s", pszFrom != nullptr ? pszFrom : ""));
}

// Registry values written on Windows use "\" between directories.
void SlashesForward(char* psz) {
    for (; *psz != '\0'; ++psz) {
        if (*psz == '\\') *psz = '/';
    }
}

// A directory that other names are appended to must end in "/".
bool EndWithSlash(char* psz, size_t nCapacity) {
    size_t n = strlen(psz);
    if (n == 0 || psz[n - 1] == '/') return true;
    return AppendFormat(psz, nCapacity, "/");
}

// Expands the environment references at the very start of the value ("%A%%B%/MAIL" expands
// both, "%A%/%B%" only the first). An unset variable gives nothing, except SystemRoot, which
// a Linux host does not have. A reference without its closing "%" stays as written.
bool ExpandLeadingVariables(const char* pszValue, char* pszOut, size_t nCapacity) {
    pszOut[0] = '\0';
    const char* p = pszValue;
    while (*p == '%') {
        const char* pClose = strchr(p + 1, '%');
        if (pClose == nullptr) break;
        char szName[128];
        size_t nName = static_cast<size_t>(pClose - (p + 1));
        if (nName >= sizeof szName) break;
        memcpy(szName, p + 1, nName);
        szName[nName] = '\0';
        const char* pszEnv = getenv(szName);
        if (pszEnv == nullptr && StrICmp(szName, "SystemRoot") == 0) pszEnv = szSystemRootFallback;
        if (pszEnv != nullptr && !AppendFormat(pszOut, nCapacity, "%s", pszEnv)) return false;
        p = pClose + 1;
    }
    return AppendFormat(pszOut, nCapacity, "%s", p);
}

void NormaliseInBoxDir() {
    SlashesForward(Settings.MailInBoxDir);
    if (Settings.MailInBoxDir[0] == '\0') {
        CopyText(Settings.MailInBoxDir, sizeof Settings.MailInBoxDir, szDefaultInBoxDir);
    } else if (strchr(Settings.MailInBoxDir, '%') == nullptr &&
               !AppendFormat(Settings.MailInBoxDir, sizeof Settings.MailInBoxDir, "%%USERNAME%%")) {
        // Without the user's name every user would share one directory: a template too long
        // to take it counts as too long for its field.
        CopyText(Settings.MailInBoxDir, sizeof Settings.MailInBoxDir, szDefaultInBoxDir);
    }
}

void NormaliseProgramPath() {
    SlashesForward(Settings.ProgramPath);
    size_t n = strlen(Settings.ProgramPath);
    for (size_t i = n; i-- > 1;) {
        if (Settings.ProgramPath[i] == '/') {
            memset(Settings.ProgramPath + i + 1, 0, sizeof Settings.ProgramPath - (i + 1));
            break;
        }
    }
}


void ReadQueueDir() {
    RegReadString(KEY_COMPANION_PARAMETERS, "MailQueueDir", szDefaultQueueDir, Settings.MailQueueDir,
                  sizeof Settings.MailQueueDir);
    if (EqualNoCase(Settings.MailQueueDir, szDefaultQueueDir)) {
        RegReadString(KEY_SERVICE_PARAMETERS, "MailQueueDir", szDefaultQueueDir, Settings.MailQueueDir,
                      sizeof Settings.MailQueueDir);
    }
    SlashesForward(Settings.MailQueueDir);
    if (!EndWithSlash(Settings.MailQueueDir, sizeof Settings.MailQueueDir)) {
        CopyText(Settings.MailQueueDir, sizeof Settings.MailQueueDir, "incoming/");
    }
}

// The spool must come out as a directory ending in "/"; a value that cannot (expansion too
// long for the field, or nothing left after expansion) falls back to the default.
void NormaliseSpoolDir() {
    SlashesForward(Settings.MailSpoolDir);
    char szExpanded[sizeof Settings.MailSpoolDir];
    bool bOk = Settings.MailSpoolDir[0] != '\0' &&
               ExpandLeadingVariables(Settings.MailSpoolDir, szExpanded, sizeof szExpanded) &&
               szExpanded[0] != '\0' && EndWithSlash(szExpanded, sizeof szExpanded);
    if (!bOk) {
        bOk = ExpandLeadingVariables(szDefaultSpoolDir, szExpanded, sizeof szExpanded) &&
              szExpanded[0] != '\0' && EndWithSlash(szExpanded, sizeof szExpanded);
    }
    if (!bOk)
        static_cast<void>(FormatText(szExpanded, sizeof szExpanded, "%s/SYSTEM32/VLM/MAIL/", szSystemRootFallback));
    memset(Settings.MailSpoolDir, 0, sizeof Settings.MailSpoolDir);
    CopyText(Settings.MailSpoolDir, sizeof Settings.MailSpoolDir, szExpanded);
}

void CreateBelowSpool(const char* pszName) {
    char szPath[sizeof Settings.MailSpoolDir + sizeof Settings.MailQueueDir];
    if (FormatText(szPath, sizeof szPath, "%s%s", Settings.MailSpoolDir, pszName)) CreateDirectoryLevel(szPath);
}

const char* OnOff(int32_t l) {
    return l != 0 ? "on" : "off";
}

// What both string readers do first: the buffer cleared and holding the default, then the
// value read over it. False (with *pcbData the capacity) when the key does not open.
bool QueryText(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer, uint32_t ulCapacity,
               uint32_t* pcbData, long* plResult) {
    memset(pBuffer, 0, ulCapacity);
    CopyText(pBuffer, ulCapacity, pszDefault);
    *pcbData = ulCapacity;
    if (!RegKeyExists(pszKey)) return false;
    uint32_t dwType = 0;
    *plResult = RegQueryValue(pszKey, pszValue, &dwType, pBuffer, pcbData);
    return true;
}

}  // namespace

uint32_t RegReadNumber(const char* pszKey, const char* pszValue, uint32_t ulDefault) {
    NoteRead(pszKey, pszValue, SETTING_NUMBER);
    if (!RegKeyExists(pszKey)) return ulDefault;
    // Cleared first, so a value shorter than four bytes reads as its bytes and zeros.
    unsigned char bData[4] = {0, 0, 0, 0};
    uint32_t cbData = sizeof bData;
    uint32_t dwType = 0;
    if (RegQueryValue(pszKey, pszValue, &dwType, bData, &cbData) != ERROR_SUCCESS) return ulDefault;
    return static_cast<uint32_t>(bData[0]) | (static_cast<uint32_t>(bData[1]) << 8) |
           (static_cast<uint32_t>(bData[2]) << 16) | (static_cast<uint32_t>(bData[3]) << 24);
}

uint32_t RegReadString(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer,
                       uint32_t ulCapacity) {
    NoteRead(pszKey, pszValue, SETTING_TEXT);
    if (ulCapacity == 0) return 0;
    uint32_t cbData;
    long lResult;
    if (!QueryText(pszKey, pszValue, pszDefault, pBuffer, ulCapacity, &cbData, &lResult)) return cbData;
    // A value that fills the buffer without a terminator (binary data read as text) would
    // leave the field unterminated: it counts as too long.
    if (lResult == ERROR_SUCCESS && cbData == ulCapacity && pBuffer[ulCapacity - 1] != '\0') {
        lResult = ERROR_MORE_DATA;
    }
    if (lResult != ERROR_SUCCESS) {
        memset(pBuffer, 0, ulCapacity);
        CopyText(pBuffer, ulCapacity, pszDefault);
    }
    return cbData;
}

uint32_t RegReadStringList(const char* pszKey, const char* pszValue, const char* pszDefault, char* pBuffer,
                           uint32_t ulCapacity) {
    NoteRead(pszKey, pszValue, SETTING_LIST);
    if (ulCapacity == 0) return 0;
    uint32_t cbData;
    long lResult;
    if (!QueryText(pszKey, pszValue, pszDefault, pBuffer, ulCapacity, &cbData, &lResult)) return cbData;
    // Readers walk the list until an empty entry: the last two bytes of a full buffer must
    // both be NUL, or the walk would run past the field.
    if (lResult == ERROR_SUCCESS && ulCapacity >= 2 && cbData + 2 > ulCapacity &&
        (pBuffer[ulCapacity - 1] != '\0' || pBuffer[ulCapacity - 2] != '\0')) {
        lResult = ERROR_MORE_DATA;
    }
    if (lResult != ERROR_SUCCESS) memset(pBuffer, 0, ulCapacity);
    return cbData;
}

int32_t ReadPortNo() {
    uint32_t ulPort = RegReadNumber(KEY_VEVE4D_PARAMETERS, "PortNo", 143);
    if (ulPort == 143) ulPort = RegReadNumber(KEY_SERVICE_PARAMETERS, "PortNo", 143);
    return static_cast<int32_t>(ulPort);
}

const std::vector<SettingValue>& SettingValuesRead() {
    return g_valuesRead;
}

void ReadSettings() {
    g_valuesRead.clear();
    t_bNoteReads = true;
    memset(&Settings, 0, sizeof Settings);
    Settings.Priority = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "Priority", 0));
    Settings.Timeout = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "Timeout", 300));
    Settings.AcceptLimit = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "AcceptLimit", 0));
    RegReadString(KEY_SERVICE, "PasswordFile", "apop.dat", Settings.PasswordFile, sizeof Settings.PasswordFile);
    Settings.AcceptlogEnabled = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "AcceptlogEnabled", 0));
    RegReadString(KEY_SERVICE, "MailExtension", "MSG", Settings.MailExtension, sizeof Settings.MailExtension);
    Settings.ListenMode = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "ListenMode", 0));
    RegReadStringList(KEY_SERVICE, "ListenIP", "", Settings.ListenIP, sizeof Settings.ListenIP);
    Settings.PortNo = ReadPortNo();
    uint32_t ulLog = RegReadNumber(KEY_VEVE4D_PARAMETERS, "Imap4LogEnabled", 0);
    if (ulLog == 0) ulLog = RegReadNumber(KEY_SERVICE_PARAMETERS, "Imap4LogEnabled", 0);
    Settings.Imap4LogEnabled = static_cast<int32_t>(ulLog);
    Settings.UserManager = static_cast<int32_t>(RegReadNumber(KEY_EMWAC_IMS, "UserManager", 1));
    Settings.SendDataTimeout = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "SendDataTimeout", 60));
    Settings.POP3IsNotUsed = static_cast<int32_t>(RegReadNumber(KEY_EMWAC_IMS, "POP3IsNotUsed", 0));
    Settings.AddressFamily = static_cast<int32_t>(RegReadNumber(KEY_EMWAC_IMS, "AddressFamily", 0));
    RegReadString(KEY_EMWAC_IMS, "Membership", "", Settings.Membership, sizeof Settings.Membership);
    SlashesForward(Settings.Membership);
    RegReadString(KEY_EMWAC_IMS, "HostName", "", Settings.HostName, sizeof Settings.HostName);
    RegReadStringList(KEY_EMWAC_IMS, "DomainNamesAreLocal", "", Settings.DomainNamesAreLocal,
                      sizeof Settings.DomainNamesAreLocal);
    RegReadString(KEY_EMWAC_IMS, "MailInBoxDir", szDefaultInBoxDir, Settings.MailInBoxDir,
                  sizeof Settings.MailInBoxDir);
    RegReadString(KEY_EMWAC_IMS, "MailGroup", "IMSUsers", Settings.MailGroup, sizeof Settings.MailGroup);
    RegReadString(KEY_SERVICE, "ImagePath", "", Settings.ProgramPath, sizeof Settings.ProgramPath);
    ReadQueueDir();
    RegReadString(KEY_EMWAC_IMS, "MailSpoolDir", szDefaultSpoolDir, Settings.MailSpoolDir,
                  sizeof Settings.MailSpoolDir);
    Settings.LogKeepDays = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "LogKeepDays", 0));
    if (Settings.LogKeepDays < 0) Settings.LogKeepDays = 0;
    RegReadString(KEY_SERVICE, "TlsCertificateFile", "", Settings.TlsCertificateFile,
                  sizeof Settings.TlsCertificateFile);
    RegReadString(KEY_SERVICE, "TlsKeyFile", "", Settings.TlsKeyFile, sizeof Settings.TlsKeyFile);
    Settings.TlsPortNo = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "TlsPortNo", 993));
    Settings.PlaintextLoginNeedsTls = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "PlaintextLoginNeedsTls", 0));
    Settings.LoginTimeout = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "LoginTimeout", 60));
    if (Settings.LoginTimeout <= 0) Settings.LoginTimeout = 60;
    Settings.IdleTimeout = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "IdleTimeout", MIN_IDLE_TIMEOUT));
    if (Settings.IdleTimeout < MIN_IDLE_TIMEOUT) Settings.IdleTimeout = MIN_IDLE_TIMEOUT;
    // No value turns these off: a client that could stay before login for ever holds a thread
    // for ever.
    Settings.TlsHandshakeTimeLimit = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "TlsHandshakeTimeLimit", 20));
    if (Settings.TlsHandshakeTimeLimit <= 0) Settings.TlsHandshakeTimeLimit = 20;
    Settings.LoginTimeLimit = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "LoginTimeLimit", 60));
    if (Settings.LoginTimeLimit <= 0) Settings.LoginTimeLimit = 60;
    Settings.AddressLimit = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "AddressLimit", 0));
    if (Settings.AddressLimit < 0) Settings.AddressLimit = 0;
    RegReadStringList(KEY_SERVICE, "ProxyTrusted", "", Settings.ProxyTrusted, sizeof Settings.ProxyTrusted);
    Settings.ProxyRequired = RegReadNumber(KEY_SERVICE, "ProxyRequired", 1) != 0 ? 1 : 0;
    Settings.LoginFailureDelay = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "LoginFailureDelay", 2000));
    if (Settings.LoginFailureDelay < 0) Settings.LoginFailureDelay = 2000;
    Settings.LoginFailureLimit = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "LoginFailureLimit", 5));
    if (Settings.LoginFailureLimit <= 0) Settings.LoginFailureLimit = 5;
    Settings.MaxMessageSize = RegReadNumber(KEY_SERVICE, "MaxMessageSize", 64u << 20);
    Settings.PreLoginLiteralLimit = RegReadNumber(KEY_SERVICE, "PreLoginLiteralLimit", PRE_LOGIN_LITERAL_LIMIT);
    if (Settings.PreLoginLiteralLimit == 0) Settings.PreLoginLiteralLimit = PRE_LOGIN_LITERAL_LIMIT;
    Settings.MaxLineLength = RegReadNumber(KEY_SERVICE, "MaxLineLength", MAX_LINE_LENGTH_DEFAULT);
    if (Settings.MaxLineLength == 0) Settings.MaxLineLength = MAX_LINE_LENGTH_DEFAULT;
    // Below a short command's needs nothing would work; above the buffer nothing could be held.
    Settings.MaxLineLength = std::clamp<uint32_t>(Settings.MaxLineLength, MIN_LINE_LENGTH, MAX_LINE_LENGTH_DEFAULT);
    Settings.IdHideVersion = RegReadNumber(KEY_SERVICE, "IdHideVersion", 0) != 0 ? 1 : 0;
    Settings.LiteralMinus = RegReadNumber(KEY_SERVICE, "LiteralMinus", 0) != 0 ? 1 : 0;
    Settings.DebugAcceptAnyPassword =
        static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "DebugAcceptAnyPassword", 0));
    RegReadString(KEY_SERVICE, "DraftsFolder", "Drafts", Settings.DraftsFolder, sizeof Settings.DraftsFolder);
    RegReadString(KEY_SERVICE, "SentFolder", "Sent", Settings.SentFolder, sizeof Settings.SentFolder);
    RegReadString(KEY_SERVICE, "TrashFolder", "Trash", Settings.TrashFolder, sizeof Settings.TrashFolder);
    RegReadString(KEY_SERVICE, "JunkFolder", "Junk", Settings.JunkFolder, sizeof Settings.JunkFolder);
    Settings.ConsoleTrace = RegReadNumber(KEY_SERVICE, "ConsoleTrace", 1) != 0 ? 1 : 0;
    char szFsync[16];
    RegReadString(KEY_SERVICE, "MailFsync", "always", szFsync, sizeof szFsync);
    Settings.MailFsync = StrICmp(szFsync, "never") == 0 ? MAIL_FSYNC_NEVER : MAIL_FSYNC_ALWAYS;
    Settings.MailSharedGroup = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "MailSharedGroup", 0));
    char szWatch[16];
    RegReadString(KEY_SERVICE, "MailboxWatch", "auto", szWatch, sizeof szWatch);
    Settings.MailboxWatch = StrICmp(szWatch, "poll") == 0     ? MAILBOX_WATCH_POLL
                            : StrICmp(szWatch, "events") == 0 ? MAILBOX_WATCH_EVENTS
                                                              : MAILBOX_WATCH_AUTO;
    Settings.MailboxPollInterval = RegReadNumber(KEY_SERVICE, "MailboxPollInterval", 1000);
    if (Settings.MailboxPollInterval == 0) Settings.MailboxPollInterval = 1000;
    // Longer than a minute would leave an idling client behind the others for longer than any
    // client waits; shorter than 50 ms costs the file server more than it gives.
    Settings.MailboxPollInterval = std::clamp<uint32_t>(Settings.MailboxPollInterval, 50, 60000);
    Settings.IndexCacheLimit = static_cast<int32_t>(RegReadNumber(KEY_SERVICE, "IndexCacheLimit", 64));
    if (Settings.IndexCacheLimit < 0) Settings.IndexCacheLimit = 64;
    // Each name is kept by every index of the mailbox and announced in every FLAGS line; the
    // upper bound keeps the table's indexes in 16 bits.
    Settings.MaxKeywords = std::clamp<uint32_t>(RegReadNumber(KEY_SERVICE, "MaxKeywords", 256), 1, 16384);
    char szDelete[16];
    RegReadString(KEY_SERVICE, "DeleteFullMailbox", "remove", szDelete, sizeof szDelete);
    Settings.DeleteFullMailbox = StrICmp(szDelete, "refuse") == 0 ? DELETE_FULL_REFUSE : DELETE_FULL_REMOVE;
    // Read again where each TLS context is made (a reload takes new ones); read here too so that
    // they count among the values the server knows.
    TlsProtocolSettings tlsProtocol;
    ReadTlsProtocolSettings(&tlsProtocol);

    t_bNoteReads = false;

    NormaliseInBoxDir();
    NormaliseProgramPath();
    NormaliseSpoolDir();
}

void TracePrint(const char* pszFormat, ...) {
    if (Settings.ConsoleTrace == 0) return;
    va_list args;
    va_start(args, pszFormat);
    va_list again;
    va_copy(again, args);
    int nLength = vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    std::string text(nLength > 0 ? static_cast<size_t>(nLength) : 0, '\0');
    if (nLength > 0) vsnprintf(text.data(), text.size() + 1, pszFormat, again);
    va_end(again);
    // A trace line may carry a client's bytes (a mailbox name from a literal): every control
    // byte but the line's own end, and every byte outside ASCII, is shown as \xNN, so that no
    // client text makes a trace line of its own.
    size_t nEnd = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    for (size_t i = 0; i < nEnd; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7f) {
            printf("\\x%02x", c);
        } else {
            putchar(c);
        }
    }
    if (nEnd < text.size()) putchar('\n');
}

void CreateSpoolDirectories() {
    // Every level of the spool, from the first one below the root. A network path
    // ("//server/share/...") is somebody else's to create.
    const char* pszSpool = Settings.MailSpoolDir;
    if (pszSpool[0] == '/' && pszSpool[1] != '/') {
        char szLevel[sizeof Settings.MailSpoolDir];
        for (size_t i = 1; pszSpool[i] != '\0'; ++i) {
            if (pszSpool[i] != '/' || i >= sizeof szLevel) continue;
            memcpy(szLevel, pszSpool, i);
            szLevel[i] = '\0';
            CreateDirectoryLevel(szLevel);
        }
    }
    CreateBelowSpool(Settings.MailQueueDir);
    if (Settings.Imap4LogEnabled != 0) CreateBelowSpool("imap4log");
    CreateBelowSpool("temp");
}

void PrintSettings() {
    printf("---- regestry ----\n");
    printf("Priority            %d\n", Settings.Priority);
    printf("User Manager        %s\n", Settings.UserManager != 0 ? "NT use" : "VLM use");
    if (Settings.UserManager != 0) {
        printf("Membership          %s\n", Settings.Membership[0] != '\0' ? Settings.Membership : "workgroup");
    } else {
        printf("Account folder      %s\n", Settings.Membership[0] != '\0' ? Settings.Membership : "current");
    }
    printf("Host IP version     %s\n",
           Settings.AddressFamily == 0 ? "IPv4" : Settings.AddressFamily == 2 ? "IPv4/6" : "IPv6");
    printf("Host Name(IPv6)     %s\n", Settings.HostName);
    printf("Accept limit        %ld%s\n", static_cast<long>(Settings.AcceptLimit),
           Settings.AcceptLimit != 0 ? "" : "(Unlimited)");
    printf("Timer               %d(sec)\n", Settings.Timeout);
    printf("Address limit       %ld%s\n", static_cast<long>(Settings.AddressLimit),
           Settings.AddressLimit != 0 ? "" : "(Unlimited)");
    if (Settings.ProxyTrusted[0] != '\0') {
        printf("PROXY header from  ");
        const char* p = Settings.ProxyTrusted;
        const char* pEnd = Settings.ProxyTrusted + sizeof Settings.ProxyTrusted;
        while (p < pEnd && *p != '\0') {
            size_t n = strnlen(p, static_cast<size_t>(pEnd - p));
            printf(" \"%.*s\"", static_cast<int>(n), p);
            p += n + 1;
        }
        printf(" (%s)\n", Settings.ProxyRequired != 0 ? "required" : "optional");
    }
    printf("Login time limit    %d(s)\n", Settings.LoginTimeLimit);
    printf("TLS handshake limit %d(s)\n", Settings.TlsHandshakeTimeLimit);
    printf("Send Data Timer     %s %d(s)\n", OnOff(Settings.SendDataTimeout), Settings.SendDataTimeout);
    printf("Imap4 IP            permit");
    if (Settings.ListenMode != 0) {
        const char* p = Settings.ListenIP;
        const char* pEnd = Settings.ListenIP + sizeof Settings.ListenIP;
        while (p < pEnd && *p != '\0') {
            size_t n = strnlen(p, static_cast<size_t>(pEnd - p));
            printf(" \"%.*s\"", static_cast<int>(n), p);
            p += n + 1;
        }
        printf("\n");
    } else {
        printf(" all\n");
    }
    printf("Imap4 Port          %d\n", Settings.PortNo);
    printf("MailGroup           \"%s\"\n", Settings.MailGroup);
    printf("MailSpoolDir        %s\n", Settings.MailSpoolDir);
    printf("MailBoxDir          %s\n", Settings.MailInBoxDir);
    printf("MailDataExtension   *.%s\n", Settings.MailExtension);
    printf("Program Path        %s\n", Settings.ProgramPath);
    printf("Imap Password File  %s\n", Settings.PasswordFile);
    printf("Pop3 isn't using    %s\n", OnOff(Settings.POP3IsNotUsed));
    printf("AcceptImap4 Log     %s\n", OnOff(Settings.AcceptlogEnabled));
    printf("Imap4Log            %s\n", OnOff(Settings.Imap4LogEnabled));
    printf("Console Trace       %s\n", OnOff(Settings.ConsoleTrace));
    printf("-------------------\n");
    fflush(stdout);
}
