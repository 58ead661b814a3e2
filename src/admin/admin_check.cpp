// config check: the settings as the server would take them, then every problem found with them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "admin/admin_internal.h"
#include "config/proxy_trust.h"
#include "config/settings.h"
#include "platform/admin_files.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/tls.h"

namespace {

constexpr const char* KEY_DOMAIN_IMAP4IP = "SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP";
constexpr const char* KEY_DOMAIN_FOLDER = "SOFTWARE\\Velmora\\IMS\\Domain\\Folder";

struct Findings {
    int nProblems = 0;
    void Problem(const std::string& text) {
        printf("problem: %s\n", text.c_str());
        ++nProblems;
    }
    void Note(const std::string& text) { printf("note: %s\n", text.c_str()); }
};

std::vector<std::string> StringList(const char* pList, size_t nSize) {
    std::vector<std::string> entries;
    for (const char* p = pList; p < pList + nSize && *p != '\0'; p += strlen(p) + 1) entries.emplace_back(p);
    return entries;
}

// A key as the registry looks it up: below HKEY_LOCAL_MACHINE, one "\\" between levels, lower case.
std::string KeyId(const std::string& written) {
    std::string path = written;
    for (const char* pszHive : {"HKEY_LOCAL_MACHINE", "HKLM"}) {
        size_t n = strlen(pszHive);
        if (path.size() >= n && EqualNoCase(path.substr(0, n), pszHive) && (path.size() == n || path[n] == '\\')) {
            path.erase(0, n);
            break;
        }
    }
    std::string id;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            if (!id.empty() && id.back() != '\\') id.push_back('\\');
        } else {
            id.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
    }
    while (!id.empty() && id.back() == '\\') id.pop_back();
    return id;
}

// The numbers whose meaning stops at a bound; other numbers take any value.
struct NumberRange {
    const char* pszValue;
    uint32_t ulLow;
    uint32_t ulHigh;
};
constexpr NumberRange NUMBER_RANGES[] = {
    {"PortNo", 1, 65535},         {"TlsPortNo", 0, 65535},        {"AddressFamily", 0, 2},
    {"ListenMode", 0, 1},         {"UserManager", 0, 1},          {"PlaintextLoginNeedsTls", 0, 2},
    {"Imap4LogEnabled", 0, 1},    {"AcceptlogEnabled", 0, 1},     {"MailSharedGroup", 0, 1},
    {"ConsoleTrace", 0, 1},       {"POP3IsNotUsed", 0, 1},        {"DebugAcceptAnyPassword", 0, 1},
    {"ProxyRequired", 0, 1},
    {"MailboxPollInterval", 50, 60000},
};
// Texts the server compares with a few words; anything else silently means the first word.
struct TextChoice {
    const char* pszValue;
    const char* pszFirst;
    const char* pszSecond;
    const char* pszThird;  // null when there are two
};
constexpr TextChoice TEXT_CHOICES[] = {{"MailFsync", "always", "never", nullptr},
                                       {"MailboxWatch", "auto", "events", "poll"},
                                       {"DeleteFullMailbox", "remove", "refuse", nullptr}};

const char* KindName(SettingKind kind) {
    return kind == SETTING_NUMBER ? "a number (dword:)" : kind == SETTING_TEXT ? "a text (\"...\")" : "a list of texts";
}

bool TypeFits(SettingKind kind, uint32_t type) {
    switch (kind) {
        case SETTING_NUMBER: return type == REG_DWORD;
        case SETTING_TEXT: return type == REG_SZ || type == REG_EXPAND_SZ;
        case SETTING_LIST: return type == REG_MULTI_SZ || type == REG_SZ;
    }
    return false;
}

// The shortest number of one-letter edits between two names, ignoring case.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t nDiagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t nAbove = row[j];
            bool bSame = EqualNoCase(a.substr(i - 1, 1), b.substr(j - 1, 1));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, nDiagonal + (bSame ? 0 : 1)});
            nDiagonal = nAbove;
        }
    }
    return row[b.size()];
}

std::string Suggest(const std::string& name, const std::vector<std::string>& known) {
    std::string best;
    size_t nBest = 3;
    for (const std::string& candidate : known) {
        size_t n = EditDistance(name, candidate);
        if (n < nBest) {
            nBest = n;
            best = candidate;
        }
    }
    return best.empty() ? "" : " (did you mean \"" + best + "\"?)";
}

// Where each value was last written, so that later findings can name the line.
std::map<std::string, size_t> g_valueLines;

std::string LineOf(const char* pszKey, const char* pszValue) {
    auto it = g_valueLines.find(KeyId(pszKey) + "\\" + KeyId(pszValue));
    return it == g_valueLines.end() ? std::string(RegistryFilePath()) + " (" + pszValue + " not set)"
                                    : std::string(RegistryFilePath()) + " line " + std::to_string(it->second);
}

// Every line of the registry file: skipped lines, keys and value names the server does not
// read, values of the wrong kind and numbers out of their range.
void CheckRegistryLines(Findings& findings) {
    std::map<std::string, std::vector<const SettingValue*>> known;  // by key id
    for (const SettingValue& read : SettingValuesRead()) known[KeyId(read.key)].push_back(&read);
    std::string imap4ip = KeyId(KEY_DOMAIN_IMAP4IP);
    std::string folder = KeyId(KEY_DOMAIN_FOLDER);
    std::string companion = KeyId(KEY_COMPANION_PARAMETERS);
    auto KnownKey = [&](const std::string& id) {
        if (id == imap4ip || id == folder) return true;
        for (const auto& [key, values] : known) {
            // A key above the server's keys (written to make the tree) is harmless.
            if (key == id || (key.size() > id.size() && key.compare(0, id.size(), id) == 0 && key[id.size()] == '\\')) {
                return true;
            }
        }
        return false;
    };
    const std::string file = RegistryFilePath();
    g_valueLines.clear();
    for (const RegFileLine& line : RegFileLines()) {
        std::string where = file + " line " + std::to_string(line.nLine);
        std::string id = KeyId(line.key);
        if (line.kind == REG_LINE_SKIPPED) {
            findings.Problem(where + ": the server cannot read this line and skips it: " + line.key);
            continue;
        }
        bool bDeletedKey = !line.key.empty() && line.key[0] == '-';
        if (line.kind == REG_LINE_KEY) {
            if (bDeletedKey) continue;  // deleting a key is what such a line is for
            if (!line.bHklm) {
                findings.Problem(where + ": [" + line.key + "] is not below HKEY_LOCAL_MACHINE; the server reads nothing there");
            } else if (!KnownKey(id)) {
                std::vector<std::string> names;
                for (const auto& [key, values] : known) names.push_back(values.front()->key);
                names.push_back(KEY_DOMAIN_IMAP4IP);
                names.push_back(KEY_DOMAIN_FOLDER);
                std::string below = line.key.substr(line.key.find('\\') + 1);
                findings.Problem(where + ": the server reads no key [" + line.key + "]" + Suggest(below, names));
            }
            continue;
        }
        if (bDeletedKey) {
            findings.Problem(where + ": a value below a deleted key [" + line.key + "] is ignored");
            continue;
        }
        if (!line.bHklm || !KnownKey(id)) continue;  // named at the key's line
        g_valueLines[id + "\\" + KeyId(line.value)] = line.nLine;
        if (line.kind == REG_LINE_DELETE) continue;
        std::string quoted = "\"" + line.value + "\"";
        if (id == imap4ip || id == folder) {
            if (line.type != REG_SZ) findings.Problem(where + ": " + quoted + " must be a text (\"...\")");
            continue;
        }
        const SettingValue* pRead = nullptr;
        std::vector<std::string> names;
        for (const SettingValue* p : known[id]) {
            names.push_back(p->value);
            if (EqualNoCase(p->value, line.value)) pRead = p;
        }
        if (pRead == nullptr) {
            std::string text = where + ": the server reads no value " + quoted + " in [" + line.key + "]" + Suggest(line.value, names);
            // The companion server's own values may share its key.
            if (id == companion) {
                findings.Note(text);
            } else {
                findings.Problem(text);
            }
            continue;
        }
        if (!TypeFits(pRead->kind, line.type)) {
            std::string text = where + ": " + quoted + " must be " + KindName(pRead->kind);
            if (pRead->kind == SETTING_NUMBER) {
                text += ", e.g. " + quoted + "=dword:00000000; the server reads its bytes as the number " +
                        std::to_string(RegReadNumber(pRead->key.c_str(), pRead->value.c_str(), 0));
            }
            findings.Problem(text);
            continue;
        }
        if (pRead->kind == SETTING_NUMBER) {
            for (const NumberRange& range : NUMBER_RANGES) {
                if (!EqualNoCase(range.pszValue, line.value)) continue;
                uint32_t ulValue = RegReadNumber(pRead->key.c_str(), pRead->value.c_str(), 0);
                if (ulValue < range.ulLow || ulValue > range.ulHigh) {
                    findings.Problem(where + ": " + quoted + " is " + std::to_string(ulValue) + "; it must be " +
                                     std::to_string(range.ulLow) + " to " + std::to_string(range.ulHigh));
                }
            }
        } else if (pRead->kind == SETTING_TEXT) {
            for (const TextChoice& choice : TEXT_CHOICES) {
                if (!EqualNoCase(choice.pszValue, line.value)) continue;
                char szText[64];
                RegReadString(pRead->key.c_str(), pRead->value.c_str(), "", szText, sizeof szText);
                bool bThird = choice.pszThird != nullptr && EqualNoCase(szText, choice.pszThird);
                if (!EqualNoCase(szText, choice.pszFirst) && !EqualNoCase(szText, choice.pszSecond) && !bThird) {
                    std::string choices = std::string("\"") + choice.pszFirst + "\"";
                    if (choice.pszThird != nullptr) choices += std::string(", \"") + choice.pszSecond + "\"";
                    const char* pszLast = choice.pszThird != nullptr ? choice.pszThird : choice.pszSecond;
                    findings.Problem(where + ": " + quoted + " is \"" + szText + "\"; it must be " + choices + " or \"" +
                                     pszLast + "\"");
                }
            }
        }
    }
}

void CheckDirectory(Findings& findings, const char* pszWhat, const std::string& path) {
    if (!IsDirectoryPath(path.c_str())) findings.Problem(std::string(pszWhat) + " " + path + " does not exist");
}

void CheckSpool(Findings& findings) {
    std::string spool = Settings.MailSpoolDir;
    if (!IsDirectoryPath(spool.c_str())) {
        findings.Problem("MailSpoolDir " + spool + " does not exist (the server tries to create it at start)");
        return;
    }
    if (Settings.Imap4LogEnabled != 0 && !IsDirectoryPath((spool + "imap4log").c_str())) {
        findings.Note("access log directory " + spool + "imap4log is created at start");
    }
    // The server never creates this one: without it the protocol log is silently not written.
    if (Settings.AcceptlogEnabled != 0) CheckDirectory(findings, "protocol log directory", spool + "receiveimap4");
}

// Which user each mail directory belongs to: two users sharing one read each other's mail.
using MailDirectoryOwners = std::map<std::string, std::string>;

void CheckUserFile(Findings& findings, const std::string& domain, MailDirectoryOwners& owners) {
    std::string path = UserFilePath(domain);
    if (!IsReadableFile(path.c_str())) {
        findings.Problem("user file " + path + " of domain " + domain + " is missing or unreadable");
        return;
    }
    // Read as the server reads it: as the spool's owner, the user the server runs as.
    ActAsOwnerOf(Settings.MailSpoolDir);
    FILE* pFile = fopen(path.c_str(), "rb");
    ActAsSelf();
    if (pFile == nullptr) {
        unsigned int nMode = 0;
        char szOwner[64] = "";
        char szServer[64] = "";
        PathModeOwner(path.c_str(), &nMode, szOwner, sizeof szOwner);
        PathModeOwner(Settings.MailSpoolDir, &nMode, szServer, sizeof szServer);
        findings.Problem("user file " + path + " cannot be read by " + szServer +
                         ", the owner of the spool and the user the server runs as (the file belongs to " + szOwner +
                         "): chown " + szServer + " " + path);
        return;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pFile)) > 0;) text.append(buf, n);
    fclose(pFile);

    std::vector<UserFileLine> lines = ParseUserFile(text);
    size_t nUsers = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const UserFileLine& line = lines[i];
        std::string where = path + " line " + std::to_string(i + 1);
        if (line.raw.back() != '\n') {
            findings.Problem(where + " has no line feed: the server does not read it");
        } else if (!line.bBase64) {
            findings.Problem(where + " is not Base64 text: the server reads it as garbage, no user");
        } else if (line.record.empty() && line.raw.find_first_not_of(" \r\n") != std::string::npos) {
            findings.Problem(where + " is not a record the server can read");
        } else if (!line.name.empty()) {
            ++nUsers;
            std::string why = RefuseUserName(line.name);
            if (!why.empty()) findings.Problem(where + ": user " + line.name + " cannot log in: " + why);
            for (size_t j = 0; j < i; ++j) {
                if (EqualNoCase(lines[j].name, line.name)) {
                    findings.Note(where + ": " + line.name + " again; only line " + std::to_string(j + 1) + " counts");
                }
            }
            std::string mailDir = MailDirectoryOf({line.name, domain});
            if (mailDir.empty()) {
                findings.Problem(where + ": " + line.name + " has no mail directory (no home field for %HOME%?)");
            } else {
                std::string user = line.name + "@" + domain;
                auto [it, bNew] = owners.try_emplace(mailDir, user);
                if (!bNew && !EqualNoCase(it->second, user)) {
                    findings.Problem(where + ": " + user + " and " + it->second + " share the mail directory " + mailDir +
                                     " and read each other's mail: give domain " + domain +
                                     " its own folder in [HKEY_LOCAL_MACHINE\\" + KEY_DOMAIN_FOLDER + "]");
                }
            }
        }
    }
    printf("user file %s: %zu user%s\n", path.c_str(), nUsers, nUsers == 1 ? "" : "s");
}

// With operating-system accounts each session reaches its mail as its user: every level of
// the mail directory template above the user's own must let others pass.
void CheckSystemAccountPaths(Findings& findings) {
    std::string tmpl = Settings.MailInBoxDir;
    if (tmpl.size() >= 6 && EqualNoCase(tmpl.substr(0, 6), "%home%")) return;
    std::string fixed = tmpl.substr(0, tmpl.find('%'));
    fixed = fixed.substr(0, fixed.find_last_of('/') + 1);
    for (size_t nSlash = fixed.find('/', 1); nSlash != std::string::npos; nSlash = fixed.find('/', nSlash + 1)) {
        std::string level = fixed.substr(0, nSlash);
        unsigned int nMode = 0;
        char szOwner[64];
        if (!PathModeOwner(level.c_str(), &nMode, szOwner, sizeof szOwner)) {
            findings.Problem(LineOf(KEY_EMWAC_IMS, "MailInBoxDir") + ": " + level + " does not exist; make it (mode 0711)");
            return;
        }
        if ((nMode & 01) == 0) {
            char szMode[16];
            snprintf(szMode, sizeof szMode, "%04o", nMode);
            findings.Problem(LineOf(KEY_EMWAC_IMS, "MailInBoxDir") +
                             ": with operating-system accounts each session reads its mail as its user, who cannot pass " +
                             level + " (mode " + szMode + ", owner " + szOwner + "): run chmod o+x " + level +
                             ", or set \"MailInBoxDir\"=\"%HOME%/veve4d-mail\" in [HKEY_LOCAL_MACHINE\\" + KEY_EMWAC_IMS +
                             "]; each user's own directory is made by veve4d-admin user password NAME");
            return;
        }
    }
}

void CheckAccounts(Findings& findings) {
    if (Settings.UserManager != 0) {
        if (!IsReadableFile("/etc/pam.d/veve4d")) {
            findings.Problem("operating-system accounts, but no PAM configuration /etc/pam.d/veve4d");
        }
        findings.Note("operating-system accounts: PAM checks passwords only when the server runs as root");
        CheckSystemAccountPaths(findings);
        return;
    }
    std::string folder = UserFilePath("");
    if (folder.empty()) {
        findings.Problem("user files, but no account folder: set Membership");
        return;
    }
    folder.resize(folder.size() - strlen(".idx"));
    CheckDirectory(findings, "account folder (Membership)", folder);
    std::vector<std::string> domains = UserFileDomains();
    if (domains.empty()) findings.Problem("user files, but no domain: set DomainNamesAreLocal");
    MailDirectoryOwners owners;
    for (const std::string& domain : domains) CheckUserFile(findings, domain, owners);
    // A login without a domain searches the local domains' user files but takes the folder of
    // the key's default value: unless that is the first domain's, the user's mail is elsewhere.
    if (!domains.empty() && RegKeyExists(KEY_DOMAIN_FOLDER)) {
        char szDefault[256];
        char szFirst[256];
        RegReadString(KEY_DOMAIN_FOLDER, "", "", szDefault, sizeof szDefault);
        RegReadString(KEY_DOMAIN_FOLDER, domains.front().c_str(), "", szFirst, sizeof szFirst);
        if (strcmp(szDefault, szFirst) != 0) {
            findings.Problem(LineOf(KEY_DOMAIN_FOLDER, domains.front().c_str()) + ": logins without a domain take the folder \"" +
                             szDefault + "\" of the default value @, the first domain " + domains.front() + " has \"" +
                             szFirst + "\": set @=\"" + szFirst + "\" in [HKEY_LOCAL_MACHINE\\" + KEY_DOMAIN_FOLDER + "]");
        }
    }
}

// A port something already listens on is a problem, unless it is an IMAP server answering
// (this one, running: the check then is of the registry for its next start).
void CheckPort(Findings& findings, const std::string& address, int nPort) {
    char szWhy[128];
    std::string where = (address.empty() ? std::string("*") : address) + " port " + std::to_string(nPort);
    if (PortInUse(address.c_str(), nPort, szWhy, sizeof szWhy)) {
        char szGreeting[256];
        // The check connects from the address it tries (loopback for a wildcard): where that is
        // a trusted balancer, the server greets it only after a PROXY header, and a v2 LOCAL
        // one says the connection is the check's own.
        static const char LOCAL_HEADER[16] = {'\r', '\n', '\r', '\n', '\0', '\r', '\n', 'Q',
                                              'U',  'I',  'T',  '\n', 0x20, 0x00, 0x00, 0x00};
        std::string from = address.empty() || address == "0.0.0.0" ? "127.0.0.1" : address == "::" ? "::1" : address;
        bool bBalancer = IsTrustedBalancer(from.c_str());
        if (ReadGreeting(address.c_str(), nPort, szGreeting, sizeof szGreeting, bBalancer ? LOCAL_HEADER : nullptr,
                         bBalancer ? sizeof LOCAL_HEADER : 0) &&
            strncmp(szGreeting, "* OK", 4) == 0) {
            findings.Note(where + " is in use by a running IMAP server (" + szGreeting +
                          "); restart it to apply the registry");
        } else {
            findings.Problem(where + " is already in use by another program");
        }
    } else if (szWhy[0] != '\0') {
        findings.Note(where + " cannot be tried here: " + szWhy);
    }
}

bool TlsOn() {
    return Settings.TlsCertificateFile[0] != '\0' && Settings.TlsKeyFile[0] != '\0';
}

void CheckTls(Findings& findings) {
    if (!TlsOn()) {
        if (Settings.TlsCertificateFile[0] != '\0' || Settings.TlsKeyFile[0] != '\0') {
            findings.Problem("TLS needs both TlsCertificateFile and TlsKeyFile; with one of them TLS stays off");
        }
        if (Settings.PlaintextLoginNeedsTls == 2) {
            findings.Problem("PlaintextLoginNeedsTls is 2 but TLS is off: no plaintext login can succeed");
        }
        return;
    }
    char szWhy[256];
    // Loaded as the spool's owner, who is the user the server runs as: a key only root may read
    // keeps TLS off in a server that runs as its own user.
    ActAsOwnerOf(Settings.MailSpoolDir);
    bool bPair = TlsCheckKeyPair(Settings.TlsCertificateFile, Settings.TlsKeyFile, szWhy, sizeof szWhy);
    ActAsSelf();
    if (!bPair) {
        findings.Problem(std::string("TLS certificate ") + Settings.TlsCertificateFile + " and key " +
                         Settings.TlsKeyFile + ": " + szWhy);
    }
}

// Each listening address, at the IMAP port and, with TLS, at the implicit-TLS port beside it.
void CheckAddress(Findings& findings, const std::string& address, int nPort) {
    CheckPort(findings, address, nPort);
    if (TlsOn() && Settings.TlsPortNo != 0) CheckPort(findings, address, Settings.TlsPortNo);
}

// Balancers whose headers are believed: an entry that does not parse stops the start.
void CheckProxyBalancers(Findings& findings) {
    char szBad[64];
    if (!CheckProxyTrusted(Settings.ProxyTrusted, sizeof Settings.ProxyTrusted, szBad, sizeof szBad)) {
        findings.Problem(LineOf(KEY_SERVICE, "ProxyTrusted") + ": ProxyTrusted entry \"" + szBad +
                         "\" is not an IP address or an address/prefix range (192.0.2.10, 10.0.0.0/8, 2001:db8::/32)");
    }
}

void CheckPorts(Findings& findings) {
    bool bIpv4 = Settings.AddressFamily == 0 || Settings.AddressFamily == 2;
    bool bIpv6 = Settings.AddressFamily != 0;
    if (Settings.ListenMode == 0) {
        if (TlsOn() && Settings.TlsPortNo != 0 && Settings.TlsPortNo == Settings.PortNo) {
            findings.Problem(LineOf(KEY_SERVICE, "TlsPortNo") + ": TlsPortNo " + std::to_string(Settings.TlsPortNo) +
                             " is also PortNo: implicit TLS needs a port of its own");
            return;
        }
        if (bIpv4) CheckAddress(findings, "", Settings.PortNo);
        if (bIpv6) CheckAddress(findings, "::", Settings.PortNo);
        return;
    }
    std::vector<std::string> entries = StringList(Settings.ListenIP, sizeof Settings.ListenIP);
    std::string where = LineOf(KEY_SERVICE, "ListenIP");
    if (entries.empty()) findings.Problem(where + ": ListenMode is 1 but ListenIP names no address");
    for (const std::string& entry : entries) {
        size_t nBlank = entry.find(' ');
        std::string address = entry.substr(0, nBlank);
        int nPort = Settings.PortNo;
        if (nBlank != std::string::npos) {
            std::string port = entry.substr(nBlank + 1);
            char* pEnd = nullptr;
            long lPort = strtol(port.c_str(), &pEnd, 10);
            if (port.empty() || *pEnd != '\0' || lPort < 1 || lPort > 65535) {
                findings.Problem(where + ": ListenIP entry \"" + entry + "\": \"" + port + "\" is not a port (1 to 65535)");
                continue;
            }
            nPort = static_cast<int>(lPort);
        }
        if (!IsNumericAddress(address.c_str())) {
            findings.Problem(where + ": ListenIP entry \"" + entry + "\": \"" + address +
                             "\" is not a numeric IPv4 or IPv6 address");
            continue;
        }
        if (TlsOn() && Settings.TlsPortNo != 0 && nPort == Settings.TlsPortNo) {
            findings.Problem(LineOf(KEY_SERVICE, "TlsPortNo") + ": TlsPortNo " + std::to_string(Settings.TlsPortNo) +
                             " is also the port of ListenIP entry \"" + entry + "\": implicit TLS needs a port of its own");
            continue;
        }
        bool bEntryIpv6 = address.find(':') != std::string::npos;
        if (bEntryIpv6 ? bIpv6 : bIpv4) {
            CheckAddress(findings, address, nPort);
        } else {
            findings.Note("ListenIP entry \"" + entry + "\" is not served: AddressFamily leaves out its kind of address");
        }
    }
}

}  // namespace

int CmdConfigCheck(const std::vector<std::string>& args) {
    if (!args.empty()) return 2;
    Findings findings;
    printf("registry %s\n", RegistryFilePath());
    if (!IsReadableFile(RegistryFilePath())) {
        findings.Problem("the registry file cannot be read: every default applies");
    }
    PrintSettings();
    CheckRegistryLines(findings);
    printf("Log keep days       %d%s\n", Settings.LogKeepDays, Settings.LogKeepDays > 0 ? "" : "(all)");
    printf("TLS certificate     %s\nTLS key             %s\nTLS port            %d%s\n",
           Settings.TlsCertificateFile, Settings.TlsKeyFile, Settings.TlsPortNo, TlsOn() ? "" : " (TLS off)");
    printf("Plaintext login     %s\n", Settings.PlaintextLoginNeedsTls == 0   ? "always"
                                       : Settings.PlaintextLoginNeedsTls == 1 ? "after TLS or from loopback"
                                                                              : "after TLS");
    CheckSpool(findings);
    CheckAccounts(findings);
    CheckTls(findings);
    CheckPorts(findings);
    CheckProxyBalancers(findings);
    printf("%d problem%s found\n", findings.nProblems, findings.nProblems == 1 ? "" : "s");
    return findings.nProblems == 0 ? 0 : 1;
}
