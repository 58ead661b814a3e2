// The admin command line, and the helpers every admin command shares.
#include "admin/admin.h"

#include <cstdio>
#include <cstring>

#include "admin/admin_internal.h"
#include "auth/base64.h"
#include "auth/userdir.h"
#include "config/settings.h"
#include "platform/accounts.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/types.h"

namespace {

constexpr size_t FIELD_LIMIT = 255;    // what the server keeps of each record field
constexpr size_t LINE_LIMIT = 1023;    // what the server reads of a user file line, line feed included
constexpr size_t RECORD_LIMIT = 1023;  // what the server keeps of a decoded record

constexpr const char* KEY_DOMAIN_IMAP4IP = "SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP";

void PrintUsage(FILE* pOut) {
    fprintf(pOut,
            "usage: veve4d-admin user list [DOMAIN]\n"
            "       veve4d-admin user add NAME[@DOMAIN] [--home DIR] [--scrambled] [--force]\n"
            "       veve4d-admin user remove NAME[@DOMAIN]\n"
            "       veve4d-admin user password NAME[@DOMAIN] [--scrambled]\n"
            "       veve4d-admin user mailboxes NAME[@DOMAIN]\n"
            "       veve4d-admin config check\n"
            "       veve4d-admin --help | --version\n"
            "Passwords are read from standard input. The registry is %s.\n",
            RegistryFilePath());
}

}  // namespace

std::vector<std::string> UserFileDomains() {
    std::vector<std::string> domains;
    for (const char* p = Settings.DomainNamesAreLocal;
         p < Settings.DomainNamesAreLocal + sizeof Settings.DomainNamesAreLocal && *p != '\0'; p += strlen(p) + 1) {
        domains.emplace_back(p);
    }
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

bool IsKnownDomain(const std::string& domain) {
    for (const std::string& known : UserFileDomains()) {
        if (EqualNoCase(known, domain)) return true;
    }
    return false;
}

bool UserExists(const AdminUser& user) {
    if (Settings.UserManager != 0) {
        if (SystemUserExists(user.name.c_str())) return true;
        fprintf(stderr, "veve4d-admin: no operating-system account %s\n", user.name.c_str());
        return false;
    }
    std::string path = UserFilePath(user.domain);
    std::string text;
    bool bExists = false;
    if (path.empty() || !ReadWhole(path, &text, &bExists)) return false;
    for (const UserFileLine& line : ParseUserFile(text)) {
        if (!line.name.empty() && EqualNoCase(line.name, user.name)) return true;
    }
    fprintf(stderr, "veve4d-admin: %s@%s has no record in %s\n", user.name.c_str(), user.domain.c_str(),
            path.c_str());
    return false;
}

std::string MailDirectoryClash(const AdminUser& user) {
    std::string mailDir = MailDirectoryOf(user);
    if (mailDir.empty() || Settings.UserManager != 0) return "";
    for (const std::string& domain : UserFileDomains()) {
        std::string text;
        bool bExists = false;
        std::string path = UserFilePath(domain);
        if (path.empty() || !ReadWhole(path, &text, &bExists)) continue;
        for (const UserFileLine& line : ParseUserFile(text)) {
            if (line.name.empty() || (EqualNoCase(line.name, user.name) && EqualNoCase(domain, user.domain))) continue;
            if (MailDirectoryOf({line.name, domain}) == mailDir) return line.name + "@" + domain;
        }
    }
    return "";
}

std::vector<UserFileLine> ParseUserFile(const std::string& text) {
    std::vector<UserFileLine> lines;
    size_t nStart = 0;
    while (nStart < text.size()) {
        size_t nEnd = text.find('\n', nStart);
        UserFileLine line;
        line.raw = text.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd + 1 - nStart);
        nStart = nEnd == std::string::npos ? text.size() : nEnd + 1;
        // The server reads a record only from a whole line within its length limit.
        if (line.raw.back() == '\n' && line.raw.size() <= LINE_LIMIT) {
            size_t nText = line.raw.find_first_of(" \n");
            for (size_t i = 0; i < nText; ++i) {
                char c = line.raw[i];
                bool bAlphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                 c == '+' || c == '/' || c == '=' || c == '\r';
                line.bBase64 = line.bBase64 && bAlphabet;
            }
            char szRecord[RECORD_LIMIT + 1];
            Base64Decode(line.raw.data(), nText, szRecord, sizeof szRecord);
            line.record = szRecord;
            line.name = line.record.substr(0, line.record.find('\t'));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> RecordFields(const std::string& record) {
    std::vector<std::string> fields;
    size_t nStart = 0;
    while (fields.size() < 5) {
        size_t nTab = record.find('\t', nStart);
        fields.push_back(record.substr(nStart, nTab == std::string::npos ? std::string::npos : nTab - nStart));
        if (nTab == std::string::npos) break;
        nStart = nTab + 1;
    }
    fields.resize(5);
    return fields;
}

std::string EncodeUserLine(const std::vector<std::string>& fields) {
    std::string record;
    for (size_t i = 0; i < fields.size(); ++i) record += (i > 0 ? "\t" : "") + fields[i];
    char szLine[LINE_LIMIT + 1];
    if (Base64Encode(record.data(), record.size(), szLine, LINE_LIMIT) < 0) return "";
    return std::string(szLine) + "\n";
}

std::string RefuseUserName(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > FIELD_LIMIT) return "the name is longer than 255 bytes";
    // LOGIN takes the name up to the first blank or quote; "@" and "%" start the domain.
    if (name.find_first_of(" \"@%") != std::string::npos) return "the name holds a blank, a quote, \"@\" or \"%\"";
    if (!IsSafeUserName(name.c_str(), name.size())) {
        return "the server refuses such a name (a path separator, \"..\", a control character or a device name)";
    }
    return "";
}

std::string RefusePassword(const std::string& password) {
    if (password.empty()) return "the password is empty";
    if (password.size() > FIELD_LIMIT) return "the password is longer than 255 bytes";
    for (char c : password) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) return "the password holds a control character";
    }
    // A password file entry that starts with this byte reads as a scrambled one.
    if (static_cast<unsigned char>(password[0]) == 0xFF) return "the password starts with byte 0xFF";
    return "";
}

bool ParseAdminUser(const char* pszArg, AdminUser* pUser) {
    std::string arg = pszArg;
    size_t nAt = arg.find('@');
    pUser->name = arg.substr(0, nAt);
    pUser->domain = nAt == std::string::npos ? "" : arg.substr(nAt + 1);
    std::string why = RefuseUserName(pUser->name);
    if (why.empty() && nAt != std::string::npos && (pUser->domain.empty() || RefuseUserName(pUser->domain) != "")) {
        why = "the domain is not a plain name";
    }
    if (!why.empty()) {
        fprintf(stderr, "veve4d-admin: refused user name \"%s\": %s\n", pszArg, why.c_str());
        return false;
    }
    if (pUser->domain.empty()) {
        // As a login without a domain searches them: the first of the local domains.
        pUser->domain = Settings.DomainNamesAreLocal;
        if (pUser->domain.empty() && Settings.UserManager == 0) {
            fprintf(stderr, "veve4d-admin: no domain: write NAME@DOMAIN or set DomainNamesAreLocal\n");
            return false;
        }
    }
    return true;
}

std::string UserFilePath(const std::string& domain) {
    const char* pszFolder = Settings.Membership[0] != '\0' ? Settings.Membership : Settings.ProgramPath;
    if (pszFolder[0] == '\0') return "";
    return std::string(pszFolder) + domain + ".idx";
}

std::string MailDirectoryOf(const AdminUser& user) {
    std::string full = user.domain.empty() ? user.name : user.name + "@" + user.domain;
    char szMailDir[MAX_PATH];
    ResolveMailDirectory(full.c_str(), "", szMailDir, sizeof szMailDir);
    return szMailDir;
}

int AdminMain(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    LoadRegistryFile(RegistryFilePath());
    ReadSettings();

    struct Command {
        const char* pszGroup;
        const char* pszName;
        int (*pfn)(const std::vector<std::string>&);
    };
    static const Command commands[] = {
        {"user", "list", CmdUserList},         {"user", "add", CmdUserAdd},
        {"user", "remove", CmdUserRemove},     {"user", "password", CmdUserPassword},
        {"user", "mailboxes", CmdUserMailboxes}, {"config", "check", CmdConfigCheck},
    };
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        PrintUsage(stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        printf("veve4d-admin %.*s\n", static_cast<int>(strlen(SERVER_VERSION) - 2), SERVER_VERSION + 1);
        return 0;
    }
    if (args.size() >= 2) {
        for (const Command& command : commands) {
            if (args[0] == command.pszGroup && args[1] == command.pszName) {
                return command.pfn(std::vector<std::string>(args.begin() + 2, args.end()));
            }
        }
    }
    PrintUsage(stderr);
    return 2;
}
