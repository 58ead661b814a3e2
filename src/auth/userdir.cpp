#include "auth/userdir.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "auth/base64.h"
#include "config/settings.h"
#include "platform/accounts.h"
#include "platform/file_identity.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/types.h"

namespace {

constexpr const char* KEY_DOMAIN_IMAP4IP = "SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP";
constexpr const char* KEY_DOMAIN_FOLDER = "SOFTWARE\\Velmora\\IMS\\Domain\\Folder";
constexpr size_t USER_LINE_SIZE = 1024;
constexpr size_t FIELD_SIZE = 256;

// Windows opens a device, not a file, for these names whatever extension follows them.
bool IsDeviceName(const char* pPart, size_t nLength) {
    static const char* const pszDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
    size_t nBase = 0;
    while (nBase < nLength && pPart[nBase] != '.') ++nBase;
    for (const char* pszDevice : pszDevices) {
        if (EqualNoCase({pPart, nBase}, pszDevice)) return true;
    }
    return nBase == 4 && (EqualNoCase({pPart, 3}, "com") || EqualNoCase({pPart, 3}, "lpt")) &&
           pPart[3] >= '0' && pPart[3] <= '9';
}

// One component of a path made from client text: a plain name that stays where it is put.
bool IsSafePathPart(const char* pPart, size_t nLength) {
    if (nLength == 1 && pPart[0] == '.') return false;
    for (size_t i = 0; i < nLength; ++i) {
        unsigned char c = static_cast<unsigned char>(pPart[i]);
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':') return false;
        if (c == '.' && i + 1 < nLength && pPart[i + 1] == '.') return false;
    }
    return !IsDeviceName(pPart, nLength);
}

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

const char* AccountFolder() {
    return Settings.Membership[0] != '\0' ? Settings.Membership : Settings.ProgramPath;
}

// Copies the tab-separated field that starts at p into pszField (cut to its size, or left empty
// when bWholeOnly) and returns where the next field starts, or nullptr after the last one.
const char* TakeField(const char* p, char* pszField, bool bWholeOnly) {
    const char* pEnd = strchr(p, '\t');
    size_t nLength = pEnd != nullptr ? static_cast<size_t>(pEnd - p) : strlen(p);
    if (!FormatText(pszField, FIELD_SIZE, "%.*s", static_cast<int>(nLength), p) && bWholeOnly) pszField[0] = '\0';
    return pEnd != nullptr ? pEnd + 1 : nullptr;
}

// One user file as last read: the first record of each name, found by the name folded to lower
// case (names are compared ignoring case). Never changed once made, so that sessions may go on
// reading it while a newer one replaces it.
struct UserFileContent {
    FileIdentity identity;
    // False when a change made just before or while it was read might not show in its identity.
    bool bTrusted = false;
    std::vector<std::string> records;
    std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> byName;
};

// Folds a name as EqualNoCase compares it; false when it is longer than any record's name.
bool FoldName(const char* pszName, char* pszFolded, size_t nSize, size_t* pnLength) {
    size_t nLength = strlen(pszName);
    if (nLength >= nSize) return false;
    for (size_t i = 0; i < nLength; ++i) {
        pszFolded[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(pszName[i])));
    }
    *pnLength = nLength;
    return true;
}

// Reads every record of an open user file, each line as the file has always been read.
void ReadUserRecords(FILE* pFile, UserFileContent* pContent) {
    char szLine[USER_LINE_SIZE];
    char szRecord[USER_LINE_SIZE];
    char szFolded[USER_LINE_SIZE];
    bool bInLongLine = false;
    while (fgets(szLine, sizeof szLine, pFile) != nullptr) {
        bool bContinuation = bInLongLine;
        bool bLineFeed = strchr(szLine, '\n') != nullptr;
        if (!bLineFeed) {
            // A last line without its line feed may still be being written.
            int c = getc(pFile);
            if (c == EOF) break;
            ungetc(c, pFile);
        }
        bInLongLine = !bLineFeed;
        // The tail of an overlong line is not a record of its own, and a record text that the
        // length limit cut is not a record at all.
        size_t nText = strcspn(szLine, " \n");
        if (bContinuation || szLine[nText] == '\0') continue;
        szLine[nText] = '\0';
        Base64Decode(szLine, nText, szRecord, sizeof szRecord);
        // An empty line decodes to a record without a name; no login may find it.
        size_t nName = strcspn(szRecord, "\t");
        if (nName == 0) continue;
        for (size_t i = 0; i < nName; ++i) {
            szFolded[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(szRecord[i])));
        }
        // The first record of a name is the one a login finds.
        if (pContent->byName.try_emplace(std::string(szFolded, nName), pContent->records.size()).second) {
            pContent->records.emplace_back(szRecord);
        }
    }
}

// Reads the user file at the path; null when there is none or it cannot be read.
std::shared_ptr<const UserFileContent> LoadUserFile(const char* pszPath, const FileIdentity& identity) {
    auto pContent = std::make_shared<UserFileContent>();
    pContent->identity = identity;
    pContent->bTrusted = LaterChangesShow(identity);
    UniqueFile file(fopen(pszPath, "r"));
    if (file.get() == nullptr) return nullptr;
    ReadUserRecords(file.get(), pContent.get());
    // Changed while it was read: what was read is this login's answer, but not the next one's.
    FileIdentity after{};
    if (!ReadFileIdentity(pszPath, &after) || !(after == identity)) pContent->bTrusted = false;
    return pContent;
}

// Every login looks its user up, several times: each user file is read once and kept while its
// identity stays the same, so that a login costs a stat, not a read of the whole file with a
// Base64 decoding of each of its lines.
class UserFileCache {
public:
    std::shared_ptr<const UserFileContent> Get(const char* pszPath) {
        FileIdentity identity{};
        if (!ReadFileIdentity(pszPath, &identity)) {
            // A file removed takes its users with it; what was kept of it goes too.
            std::lock_guard<std::mutex> guard(lock);
            auto it = files.find(std::string_view(pszPath));
            if (it != files.end()) files.erase(it);
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            auto it = files.find(std::string_view(pszPath));
            if (it != files.end() && it->second->bTrusted && it->second->identity == identity) return it->second;
        }
        // Read without the lock: logins to other files, or to this one as kept, go on meanwhile.
        std::shared_ptr<const UserFileContent> pContent = LoadUserFile(pszPath, identity);
        if (pContent == nullptr) return nullptr;
        std::lock_guard<std::mutex> guard(lock);
        auto it = files.find(std::string_view(pszPath));
        if (it != files.end()) {
            it->second = pContent;
        } else {
            files.emplace(pszPath, pContent);
        }
        return pContent;
    }

private:
    std::mutex lock;
    std::unordered_map<std::string, std::shared_ptr<const UserFileContent>, NameHash, std::equal_to<>> files;
};

UserFileCache& UserFiles() {
    // Never destroyed: a session thread may still log in while the process ends.
    static UserFileCache* pCache = new UserFileCache();
    return *pCache;
}

// Searches one domain's user file. True when the user's record was found.
bool SearchUserFile(const char* pszDomain, const char* pszUser, UserRecord* pRecord) {
    if (!IsSafePathPart(pszDomain, strlen(pszDomain))) return false;
    char szPath[MAX_PATH];
    if (!FormatText(szPath, sizeof szPath, "%s%s.idx", AccountFolder(), pszDomain)) return false;
    std::shared_ptr<const UserFileContent> pContent;
    try {
        pContent = UserFiles().Get(szPath);
    } catch (const std::bad_alloc&) {
        printf("no memory to read the user file %s\n", szPath);
        return false;
    }
    if (pContent == nullptr) return false;
    char szFolded[USER_LINE_SIZE];
    size_t nFolded = 0;
    if (!FoldName(pszUser, szFolded, sizeof szFolded, &nFolded)) return false;
    auto found = pContent->byName.find(std::string_view(szFolded, nFolded));
    if (found == pContent->byName.end()) return false;
    char* pFields[] = {pRecord->name, pRecord->password, pRecord->field3, pRecord->field4, pRecord->home};
    const char* p = pContent->records[found->second].c_str();
    for (char* pszField : pFields) {
        if (p == nullptr) break;
        // A cut home would name some other directory.
        p = TakeField(p, pszField, pszField == pRecord->home);
    }
    return true;
}

// Appends text to the result; false once it no longer fits.
bool Append(char* pszOut, size_t nSize, size_t* pnUsed, const char* pText, size_t nLength) {
    if (*pnUsed + nLength >= nSize) return false;
    memcpy(pszOut + *pnUsed, pText, nLength);
    *pnUsed += nLength;
    pszOut[*pnUsed] = '\0';
    return true;
}

}  // namespace

bool IsSafeUserName(const char* pszUser, size_t nLength) {
    if (pszUser == nullptr || memchr(pszUser, '\0', nLength) != nullptr) return false;
    size_t nName = DomainSeparator(pszUser, nLength);
    if (nName == 0 || !IsSafePathPart(pszUser, nName)) return false;
    if (nName == nLength) return true;
    size_t nDomain = nLength - nName - 1;
    return nDomain == 0 || IsSafePathPart(pszUser + nName + 1, nDomain);
}

size_t DomainSeparator(const char* pszUser, size_t nLength) {
    const void* pAt = memchr(pszUser, '@', nLength);
    if (pAt == nullptr) pAt = memchr(pszUser, '%', nLength);
    return pAt != nullptr ? static_cast<size_t>(static_cast<const char*>(pAt) - pszUser) : nLength;
}

bool IsSafeUserName(const char* pszUser) {
    return pszUser != nullptr && IsSafeUserName(pszUser, strlen(pszUser));
}

void FindDomainByAddress(const char* pszLocalAddr, char* pszDomain, size_t nSize) {
    if (nSize > 0) pszDomain[0] = '\0';
    for (uint32_t dwIndex = 0;; ++dwIndex) {
        char szName[256];
        char szData[257];
        uint32_t dwType = 0;
        uint32_t cbData = 256;
        long lResult = RegEnumValue(KEY_DOMAIN_IMAP4IP, dwIndex, szName, sizeof szName, &dwType, szData, &cbData);
        if (lResult == ERROR_MORE_DATA) continue;
        if (lResult != ERROR_SUCCESS) return;
        szData[cbData < 256 ? cbData : 256] = '\0';
        if (strcmp(szData, pszLocalAddr) == 0) {
            // A cut name would be another domain's.
            if (!FormatText(pszDomain, nSize, "%s", szName) && nSize > 0) pszDomain[0] = '\0';
            return;
        }
    }
}

unsigned long FindUserRecord(const char* pszDomain, const char* pszUser, UserRecord* pRecord) {
    memset(pRecord, 0, sizeof *pRecord);
    if (pszDomain != nullptr && pszDomain[0] != '\0') {
        return SearchUserFile(pszDomain, pszUser, pRecord) ? 0 : NERR_UserNotFound;
    }
    for (const char* p = Settings.DomainNamesAreLocal;
         p < Settings.DomainNamesAreLocal + sizeof Settings.DomainNamesAreLocal && *p != '\0'; p += strlen(p) + 1) {
        if (SearchUserFile(p, pszUser, pRecord)) return 0;
    }
    return NERR_UserNotFound;
}

unsigned long GetHomeDirectory(const char* pszUser, const char* pszDomain, char* pszHome, size_t nSize) {
    if (nSize > 0) pszHome[0] = '\0';
    if (Settings.UserManager != 0) return GetSystemUserHome(pszUser, pszHome, nSize);
    UserRecord record;
    unsigned long ulStatus = FindUserRecord(pszDomain, pszUser, &record);
    if (ulStatus == 0 && !FormatText(pszHome, nSize, "%s", record.home) && nSize > 0) pszHome[0] = '\0';
    return ulStatus;
}

void ResolveMailDirectory(const char* pszUser, const char* pszLocalAddr, char* pszMailDir, size_t nSize) {
    if (nSize == 0) return;
    pszMailDir[0] = '\0';
    if (!IsSafeUserName(pszUser)) return;

    // A name without a domain is in the domain of the address the client came in on.
    char szName[MAX_PATH + 258];
    char szDomain[MAX_PATH + 258];
    size_t nLength = strlen(pszUser);
    size_t nName = DomainSeparator(pszUser, nLength);
    if (!FormatText(szName, sizeof szName, "%.*s", static_cast<int>(nName), pszUser)) return;
    if (nName < nLength) {
        if (!FormatText(szDomain, sizeof szDomain, "%s", pszUser + nName + 1)) return;
    } else {
        FindDomainByAddress(pszLocalAddr, szDomain, sizeof szDomain);
    }
    const char* pszName = szName;
    const char* pszDomain = szDomain;

    char szFolder[256];
    RegReadString(KEY_DOMAIN_FOLDER, pszDomain, "", szFolder, sizeof szFolder);

    char szHome[256] = "";
    const char* pszRest = Settings.MailInBoxDir;
    if (StartsWithNoCase(pszRest, "%home%")) {
        // Without a home directory the template would put this user's mail in a directory
        // at the root that every such user shares; such a user has no mail directory.
        if (GetHomeDirectory(pszName, pszDomain, szHome, sizeof szHome) != 0 || szHome[0] == '\0') return;
        pszRest += 6;
    }
    const char* pPlaceholder = strstr(pszRest, "%USERNAME%");
    if (pPlaceholder == nullptr) pPlaceholder = strstr(pszRest, "%username%");

    size_t nUsed = 0;
    bool bFits = Append(pszMailDir, nSize, &nUsed, szHome, strlen(szHome));
    if (pPlaceholder != nullptr) {
        bFits = bFits && Append(pszMailDir, nSize, &nUsed, pszRest, static_cast<size_t>(pPlaceholder - pszRest));
        if (szFolder[0] != '\0') {
            bFits = bFits && Append(pszMailDir, nSize, &nUsed, szFolder, strlen(szFolder)) &&
                    Append(pszMailDir, nSize, &nUsed, "/", 1);
        }
        bFits = bFits && Append(pszMailDir, nSize, &nUsed, pszName, strlen(pszName));
        pszRest = pPlaceholder + strlen("%USERNAME%");
    }
    bFits = bFits && Append(pszMailDir, nSize, &nUsed, pszRest, strlen(pszRest));
    // Configured values may still be written with Windows separators.
    for (size_t i = 0; i < nUsed; ++i) {
        if (pszMailDir[i] == '\\') pszMailDir[i] = '/';
    }
    if (nUsed > 0 && pszMailDir[nUsed - 1] != '/') bFits = bFits && Append(pszMailDir, nSize, &nUsed, "/", 1);
    // A directory cut short would name some other directory.
    if (!bFits) {
        pszMailDir[0] = '\0';
        return;
    }
    // Windows names "ANN" and "ann" one directory; so must we, or a user who types their name in
    // another case gets a second, empty mail directory beside the real one.
    MatchExistingCase(pszMailDir, nSize);
}

int FindUserFileAccount(char* pszUser, size_t nUserSize, const char* pszLocalAddr, UserRecord* pRecord) {
    char szName[260];
    char szDomain[256] = "";
    size_t nLength = strlen(pszUser);
    size_t nName = DomainSeparator(pszUser, nLength);
    // A name or domain too long to look up whole is no user's.
    if (!FormatText(szName, sizeof szName, "%.*s", static_cast<int>(nName), pszUser)) return -1;
    if (nName < nLength) {
        if (!FormatText(szDomain, sizeof szDomain, "%s", pszUser + nName + 1)) return -1;
    } else {
        FindDomainByAddress(pszLocalAddr, szDomain, sizeof(szDomain));
    }
    if (FindUserRecord(szDomain, szName, pRecord) != 0) {
        return -1;
    }
    // From here on the session carries the user with the domain it was looked up under.
    if (!FormatText(pszUser, nUserSize, "%s@%s", szName, szDomain)) return -1;
    return 0;
}

int CheckUserFilePassword(char* pszUser, size_t nUserSize, const char* pszPassword, const char* pszLocalAddr) {
    UserRecord record{};
    if (FindUserFileAccount(pszUser, nUserSize, pszLocalAddr, &record) != 0) {
        return -1;
    }
    // An empty password field proves nothing: anyone who knows the name would get in.
    return record.password[0] != '\0' && strcmp(pszPassword, record.password) == 0 ? 0 : -1;
}

int ImapAccessOff(const char* pszUser, const char* pszLocalAddr) {
    char szMailDir[MAX_PATH];
    ResolveMailDirectory(pszUser, pszLocalAddr, szMailDir, sizeof(szMailDir));
    return ImapAccessOffAt(szMailDir);
}

int ImapAccessOffAt(const char* pszMailDir) {
    char szPath[MAX_PATH + 32];
    if (!FormatText(szPath, sizeof(szPath), "%s%s", pszMailDir, "$offimap4")) return 0;
    if (FILE* fp = std::fopen(szPath, "r")) {
        std::fclose(fp);
        return 1;
    }
    return 0;
}
