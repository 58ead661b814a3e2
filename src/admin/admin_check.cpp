// config check: the settings as the server would take them, then every problem found with them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin/admin_internal.h"
#include "config/settings.h"
#include "platform/admin_files.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/tls.h"

namespace {

constexpr const char* KEY_DOMAIN_IMAP4IP = "SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP";

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

// Every domain whose user file a login may read: the local ones and those bound to an address.
std::vector<std::string> UserFileDomains() {
    std::vector<std::string> domains = StringList(Settings.DomainNamesAreLocal, sizeof Settings.DomainNamesAreLocal);
    for (uint32_t i = 0;; ++i) {
        char szName[256];
        char szData[257];
        uint32_t dwType = 0, cbData = 256;
        long lResult = RegEnumValue(KEY_DOMAIN_IMAP4IP, i, szName, sizeof szName, &dwType, szData, &cbData);
        if (lResult == ERROR_MORE_DATA) continue;
        if (lResult != ERROR_SUCCESS) break;
        bool bKnown = false;
        for (const std::string& domain : domains) bKnown = bKnown || EqualNoCase(domain, szName);
        if (!bKnown) domains.emplace_back(szName);
    }
    return domains;
}

void CheckUserFile(Findings& findings, const std::string& domain) {
    std::string path = UserFilePath(domain);
    if (!IsReadableFile(path.c_str())) {
        findings.Problem("user file " + path + " of domain " + domain + " is missing or unreadable");
        return;
    }
    FILE* pFile = fopen(path.c_str(), "rb");
    if (pFile == nullptr) return;
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
            if (MailDirectoryOf({line.name, domain}).empty()) {
                findings.Problem(where + ": " + line.name + " has no mail directory (no home field for %HOME%?)");
            }
        }
    }
    printf("user file %s: %zu user%s\n", path.c_str(), nUsers, nUsers == 1 ? "" : "s");
}

void CheckAccounts(Findings& findings) {
    if (Settings.UserManager != 0) {
        if (!IsReadableFile("/etc/pam.d/veve4d")) {
            findings.Problem("operating-system accounts, but no PAM configuration /etc/pam.d/veve4d");
        }
        findings.Note("operating-system accounts: PAM checks passwords only when the server runs as root");
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
    for (const std::string& domain : domains) CheckUserFile(findings, domain);
}

void CheckPort(Findings& findings, const std::string& address, int nPort) {
    char szWhy[128];
    std::string where = (address.empty() ? std::string("*") : address) + " port " + std::to_string(nPort);
    if (PortInUse(address.c_str(), nPort, szWhy, sizeof szWhy)) {
        findings.Problem(where + " is already in use (by a running server?)");
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

void CheckPorts(Findings& findings) {
    bool bIpv4 = Settings.AddressFamily == 0 || Settings.AddressFamily == 2;
    bool bIpv6 = Settings.AddressFamily != 0;
    if (Settings.ListenMode == 0) {
        if (bIpv4) CheckAddress(findings, "", Settings.PortNo);
        if (bIpv6) CheckAddress(findings, "::", Settings.PortNo);
        return;
    }
    for (const std::string& entry : StringList(Settings.ListenIP, sizeof Settings.ListenIP)) {
        size_t nBlank = entry.find(' ');
        std::string address = entry.substr(0, nBlank);
        int nPort = nBlank == std::string::npos ? Settings.PortNo : atoi(entry.c_str() + nBlank + 1);
        bool bEntryIpv6 = address.find(':') != std::string::npos;
        if (bEntryIpv6 ? bIpv6 : bIpv4) CheckAddress(findings, address, nPort);
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
    printf("%d problem%s found\n", findings.nProblems, findings.nProblems == 1 ? "" : "s");
    return findings.nProblems == 0 ? 0 : 1;
}
