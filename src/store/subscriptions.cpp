#include "store/subscriptions.h"

#include <algorithm>
#include <cstdio>

#include "platform/format.h"
#include "platform/fs.h"
#include "store/store.h"

namespace {

constexpr const char* LOST_SUBSCRIPTIONS_FILE = ".subscriptions";

bool FilePath(const char* pszMailDir, char* pszPath, size_t nSize) {
    return FormatText(pszPath, nSize, "%s%s", pszMailDir, LOST_SUBSCRIPTIONS_FILE);
}

std::string Normalised(const char* pszName) {
    std::string name(pszName);
    std::replace(name.begin(), name.end(), '\\', '/');
    while (!name.empty() && name.front() == '/') name.erase(0, 1);
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

}  // namespace

void ReadLostSubscriptions(const char* pszMailDir, std::vector<std::string>* pNames) {
    pNames->clear();
    char szPath[MAX_PATH];
    if (!FilePath(pszMailDir, szPath, sizeof(szPath))) return;
    FILE* pFile = std::fopen(szPath, "rb");
    if (pFile == nullptr) return;
    std::string line;
    for (int c; (c = std::fgetc(pFile)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty()) pNames->push_back(line);
        line.clear();
    }
    if (!line.empty()) pNames->push_back(line);
    std::fclose(pFile);
}

bool NoteLostSubscription(const char* pszMailDir, const char* pszName, bool bSubscribed) {
    std::string name = Normalised(pszName);
    // A name on a line of its own: one with a line break cannot be kept.
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos) return false;
    std::vector<std::string> names;
    ReadLostSubscriptions(pszMailDir, &names);
    auto it = std::find(names.begin(), names.end(), name);
    if (bSubscribed == (it != names.end())) return true;
    if (bSubscribed) names.push_back(name);
    else names.erase(it);
    std::string text;
    for (const std::string& each : names) text += each + "\n";
    char szPath[MAX_PATH];
    return FilePath(pszMailDir, szPath, sizeof(szPath)) &&
           ReplaceFileContent(szPath, text.data(), text.size(), MailFileMode(), MailFsyncOn());
}

bool ClaimLostSubscription(const char* pszMailDir, const char* pszName) {
    std::vector<std::string> names;
    ReadLostSubscriptions(pszMailDir, &names);
    if (std::find(names.begin(), names.end(), Normalised(pszName)) == names.end()) return false;
    return NoteLostSubscription(pszMailDir, pszName, false);
}
