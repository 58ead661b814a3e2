// user list, add, remove and password: the user files and the password file.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "admin/admin_internal.h"
#include "auth/password.h"
#include "config/settings.h"
#include "platform/admin_files.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

// User files and password files hold passwords: nobody but their owner reads them.
constexpr unsigned int SECRET_FILE_MODE = 0600;

struct Options {
    std::vector<std::string> words;
    std::string home;
    bool bScrambled = false;
    bool bHome = false;
    bool bForce = false;
};

bool ParseOptions(const std::vector<std::string>& args, Options* pOptions, size_t nWords, bool bHomeAllowed) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--scrambled") {
            pOptions->bScrambled = true;
        } else if (args[i] == "--force" && bHomeAllowed) {
            pOptions->bForce = true;
        } else if (args[i] == "--home" && bHomeAllowed && i + 1 < args.size()) {
            pOptions->home = args[++i];
            pOptions->bHome = true;
        } else if (args[i].rfind("--", 0) == 0) {
            fprintf(stderr, "veve4d-admin: unknown option %s\n", args[i].c_str());
            return false;
        } else {
            pOptions->words.push_back(args[i]);
        }
    }
    if (pOptions->words.size() != nWords) {
        fprintf(stderr, "veve4d-admin: expected %zu name%s\n", nWords, nWords == 1 ? "" : "s");
        return false;
    }
    return true;
}

bool UserFilesInUse() {
    if (Settings.UserManager == 0) return true;
    fprintf(stderr, "veve4d-admin: UserManager is not 0: the server checks operating-system accounts and reads no "
                    "user files\n");
    return false;
}

}  // namespace

bool ReadWhole(const std::string& path, std::string* pText, bool* pbExists) {
    pText->clear();
    UniqueFile file(fopen(path.c_str(), "rb"));
    FILE* pFile = file.get();
    *pbExists = pFile != nullptr;
    if (pFile == nullptr) {
        if (errno == ENOENT) return true;
        fprintf(stderr, "veve4d-admin: cannot read %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pFile)) > 0;) pText->append(buf, n);
    bool bOk = ferror(pFile) == 0;
    if (!bOk) fprintf(stderr, "veve4d-admin: cannot read %s\n", path.c_str());
    return bOk;
}

namespace {

bool Replace(const std::string& path, const std::string& text) {
    if (ReplaceFileContent(path.c_str(), text.data(), text.size(), SECRET_FILE_MODE)) return true;
    fprintf(stderr, "veve4d-admin: cannot write %s: %s (the file is unchanged)\n", path.c_str(), strerror(errno));
    return false;
}

// Holds the account folder's lock while a user file is read, changed and replaced, so that two
// admin commands never both start from the old file; and acts as the folder's owner meanwhile.
struct UserFileEdit {
    std::string path;
    LockHandle hLock = INVALID_LOCK_HANDLE;
    std::string text;
    bool bExists = false;
    bool bOpen = false;

    explicit UserFileEdit(const AdminUser& user) : path(UserFilePath(user.domain)) {
        if (path.empty()) {
            fprintf(stderr, "veve4d-admin: no account folder: set Membership\n");
            return;
        }
        std::string folder = path.substr(0, path.find_last_of('/') + 1);
        ActAsOwnerOf(folder.c_str());
        hLock = LockPathExclusive(folder.c_str());
        if (hLock == INVALID_LOCK_HANDLE) {
            fprintf(stderr, "veve4d-admin: account folder %s cannot be opened: %s\n", folder.c_str(), strerror(errno));
            return;
        }
        bOpen = ReadWhole(path, &text, &bExists);
    }
    ~UserFileEdit() {
        if (hLock != INVALID_LOCK_HANDLE) UnlockPath(hLock);
        ActAsSelf();
    }
    UserFileEdit(const UserFileEdit&) = delete;
    UserFileEdit& operator=(const UserFileEdit&) = delete;
};

// mkdir -p, each level made by the owner of the level above it.
bool MakeDirectories(const std::string& dir) {
    for (size_t nSlash = dir.find('/', 1); nSlash != std::string::npos; nSlash = dir.find('/', nSlash + 1)) {
        std::string level = dir.substr(0, nSlash);
        if (IsDirectoryPath(level.c_str())) continue;
        ActAsOwnerOf(level.c_str());
        bool bMade = CreateDirectoryLevel(level.c_str()) || IsDirectoryPath(level.c_str());
        ActAsSelf();
        if (!bMade) {
            fprintf(stderr, "veve4d-admin: cannot create %s: %s\n", level.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

// A key byte that survives every reader of the file: not NUL, no line end, not Ctrl+Z (the end
// of a Windows text file), printable.
unsigned char NewKeyByte() {
    std::random_device random;
    return static_cast<unsigned char>(0x21 + random() % (0x7f - 0x21));
}

// The password file in the user's mail directory, which AUTHENTICATE reads.
bool WritePasswordFile(const AdminUser& user, const std::string& password, bool bScrambled) {
    std::string mailDir = MailDirectoryOf(user);
    if (mailDir.empty()) {
        fprintf(stderr, "veve4d-admin: %s has no mail directory (no home directory for %%HOME%%?)\n",
                user.name.c_str());
        return false;
    }
    if (Settings.UserManager != 0) {
        // The session reads the file as the user: the directories are the user's own.
        if (!MakeDirectoriesFor(mailDir.c_str(), user.name.c_str())) {
            fprintf(stderr, "veve4d-admin: cannot create %s for %s: %s\n", mailDir.c_str(), user.name.c_str(),
                    strerror(errno));
            return false;
        }
    } else if (!MakeDirectories(mailDir)) {
        return false;
    }
    std::string entry = password;
    if (bScrambled) {
        char szEntry[600];
        size_t n = ScrambleText(password.c_str(), NewKeyByte(), szEntry, sizeof szEntry);
        entry.assign(szEntry, n);
    }
    std::string path = mailDir + Settings.PasswordFile;
    ActAsOwnerOf(mailDir.c_str());
    bool bOk = Replace(path, entry + "\n");
    ActAsSelf();
    if (bOk) printf("password file %s written%s\n", path.c_str(), bScrambled ? " (scrambled)" : "");
    return bOk;
}

bool ReadNewPassword(std::string* pPassword) {
    char szFirst[512];
    char szSecond[512];
    if (!ReadSecretLine("Password: ", szFirst, sizeof szFirst)) {
        fprintf(stderr, "veve4d-admin: no password given on standard input\n");
        return false;
    }
    // Only a typed password is asked twice; a piped one cannot be mistyped.
    if (IsTerminalInput() &&
        (!ReadSecretLine("Again: ", szSecond, sizeof szSecond) || strcmp(szFirst, szSecond) != 0)) {
        fprintf(stderr, "veve4d-admin: the passwords differ\n");
        return false;
    }
    *pPassword = szFirst;
    std::string why = RefusePassword(*pPassword);
    if (!why.empty()) {
        fprintf(stderr, "veve4d-admin: refused password: %s\n", why.c_str());
        return false;
    }
    return true;
}

int FindUser(const std::vector<UserFileLine>& lines, const std::string& name) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].name.empty() && EqualNoCase(lines[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

std::string JoinLines(const std::vector<UserFileLine>& lines) {
    std::string text;
    for (const UserFileLine& line : lines) text += line.raw;
    return text;
}

}  // namespace

int CmdUserList(const std::vector<std::string>& args) {
    if (!UserFilesInUse() || args.size() > 1) return args.size() > 1 ? 2 : 1;
    std::vector<std::string> domains;
    if (args.size() == 1) {
        if (!IsKnownDomain(args[0]) && !IsReadableFile(UserFilePath(args[0]).c_str())) {
            fprintf(stderr, "veve4d-admin: no domain %s: it is not in DomainNamesAreLocal and has no user file %s\n",
                    args[0].c_str(), UserFilePath(args[0]).c_str());
            return 1;
        }
        domains.push_back(args[0]);
    } else {
        domains = UserFileDomains();
    }
    int nResult = 0;
    for (const std::string& domain : domains) {
        std::string path = UserFilePath(domain);
        std::string text;
        bool bExists = false;
        if (path.empty() || !ReadWhole(path, &text, &bExists)) {
            nResult = 1;
            continue;
        }
        std::vector<UserFileLine> lines = ParseUserFile(text);
        for (size_t i = 0; i < lines.size(); ++i) {
            const UserFileLine& line = lines[i];
            if (!line.bBase64) {
                fprintf(stderr, "veve4d-admin: %s line %zu is not Base64 text; the server reads no user from it\n",
                        path.c_str(), i + 1);
                nResult = 1;
                continue;
            }
            if (line.name.empty()) continue;
            std::vector<std::string> fields = RecordFields(line.record);
            printf("%s@%s%s%s\n", line.name.c_str(), domain.c_str(), fields[4].empty() ? "" : "\thome ",
                   fields[4].c_str());
        }
    }
    return nResult;
}

int CmdUserAdd(const std::vector<std::string>& args) {
    Options options;
    AdminUser user;
    if (!ParseOptions(args, &options, 1, true)) return 2;
    if (!UserFilesInUse() || !ParseAdminUser(options.words[0].c_str(), &user)) return 1;
    if (!IsKnownDomain(user.domain) && !options.bForce) {
        fprintf(stderr,
                "veve4d-admin: %s is not a local domain (DomainNamesAreLocal in %s): add it there, or give --force "
                "for a domain served only by LOGIN with its name\n",
                user.domain.c_str(), RegistryFilePath());
        return 1;
    }
    std::string clash = MailDirectoryClash(user);
    if (!clash.empty()) {
        fprintf(stderr,
                "veve4d-admin: %s@%s would share the mail directory %s with %s and read its mail: give domain %s a "
                "folder of its own under [HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Folder]\n",
                user.name.c_str(), user.domain.c_str(), MailDirectoryOf(user).c_str(), clash.c_str(),
                user.domain.c_str());
        return 1;
    }
    std::string password;
    if (!ReadNewPassword(&password)) return 1;
    {
        UserFileEdit edit(user);
        if (!edit.bOpen) return 1;
        std::vector<UserFileLine> lines = ParseUserFile(edit.text);
        if (FindUser(lines, user.name) >= 0) {
            fprintf(stderr, "veve4d-admin: %s already has a record in %s\n", user.name.c_str(), edit.path.c_str());
            return 1;
        }
        std::string line = EncodeUserLine({user.name, password, "", "", options.home});
        if (line.empty()) {
            fprintf(stderr, "veve4d-admin: the record is longer than the server reads\n");
            return 1;
        }
        // A last line without its line feed is not read by the server; it must not swallow ours.
        std::string text = edit.text;
        if (!text.empty() && text.back() != '\n') text += '\n';
        if (!Replace(edit.path, text + line)) return 1;
        printf("%s@%s added to %s\n", user.name.c_str(), user.domain.c_str(), edit.path.c_str());
    }
    return WritePasswordFile(user, password, options.bScrambled) ? 0 : 1;
}

int CmdUserRemove(const std::vector<std::string>& args) {
    Options options;
    AdminUser user;
    if (!ParseOptions(args, &options, 1, false)) return 2;
    if (!UserFilesInUse() || !ParseAdminUser(options.words[0].c_str(), &user)) return 1;
    UserFileEdit edit(user);
    if (!edit.bOpen) return 1;
    std::vector<UserFileLine> lines = ParseUserFile(edit.text);
    size_t nBefore = lines.size();
    std::erase_if(lines,
                  [&](const UserFileLine& line) { return !line.name.empty() && EqualNoCase(line.name, user.name); });
    if (lines.size() == nBefore) {
        fprintf(stderr, "veve4d-admin: %s has no record in %s\n", user.name.c_str(), edit.path.c_str());
        return 1;
    }
    if (!Replace(edit.path, JoinLines(lines))) return 1;
    printf("%s@%s removed from %s; the mail directory is left as it is\n", user.name.c_str(), user.domain.c_str(),
           edit.path.c_str());
    return 0;
}

int CmdUserPassword(const std::vector<std::string>& args) {
    Options options;
    AdminUser user;
    if (!ParseOptions(args, &options, 1, false)) return 2;
    if (!ParseAdminUser(options.words[0].c_str(), &user)) return 1;
    // A password file for an account that does not exist would wait for whoever gets that name.
    if (Settings.UserManager != 0 && !UserExists(user)) return 1;
    std::string password;
    if (!ReadNewPassword(&password)) return 1;
    // With operating-system accounts LOGIN asks PAM; only AUTHENTICATE's file is ours.
    if (Settings.UserManager == 0) {
        UserFileEdit edit(user);
        if (!edit.bOpen) return 1;
        std::vector<UserFileLine> lines = ParseUserFile(edit.text);
        int nIndex = FindUser(lines, user.name);
        if (nIndex < 0) {
            fprintf(stderr, "veve4d-admin: %s has no record in %s\n", user.name.c_str(), edit.path.c_str());
            return 1;
        }
        std::vector<std::string> fields = RecordFields(lines[static_cast<size_t>(nIndex)].record);
        fields[1] = password;
        lines[static_cast<size_t>(nIndex)].raw = EncodeUserLine(fields);
        if (lines[static_cast<size_t>(nIndex)].raw.empty()) {
            fprintf(stderr, "veve4d-admin: the record is longer than the server reads\n");
            return 1;
        }
        if (!Replace(edit.path, JoinLines(lines))) return 1;
        printf("password of %s@%s set in %s\n", user.name.c_str(), user.domain.c_str(), edit.path.c_str());
    }
    return WritePasswordFile(user, password, options.bScrambled) ? 0 : 1;
}
