// From a client's mailbox name to a directory below the user's mail directory, refusing every
// name that would lead anywhere else.
#include <cstring>
#include <initializer_list>

#include "platform/text.h"
#include "store/store.h"

namespace {
// Windows reserves these names in every directory, with or without an extension; a store
// shared with Windows programs must not hold them.
bool IsDeviceName(const char* pComponent, size_t nLength) {
    const char* pDot = static_cast<const char*>(std::memchr(pComponent, '.', nLength));
    size_t nBase = pDot ? static_cast<size_t>(pDot - pComponent) : nLength;
    static const char* const DeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* pszDevice : DeviceNames) {
        if (EqualNoCase({pComponent, nBase}, pszDevice)) return true;
    }
    if (nBase == 4 && (EqualNoCase({pComponent, 3}, "COM") || EqualNoCase({pComponent, 3}, "LPT")) &&
        pComponent[3] >= '1' && pComponent[3] <= '9') {
        return true;
    }
    return false;
}

}  // namespace

bool IsInboxName(const char* pszName) { return EqualNoCase(pszName, "inbox"); }

bool ResolveMailboxPath(const char* pszMailDir, const char* pszName, size_t nNameLength, char* pszPath, size_t nSize) {
    if (pszMailDir[0] == '\0' || nNameLength == 0 || nNameLength >= MAX_PATH) return false;
    if (std::memchr(pszName, '\0', nNameLength) != nullptr) return false;

    char szRelative[MAX_PATH];
    for (size_t i = 0; i < nNameLength; ++i) szRelative[i] = pszName[i] == '\\' ? '/' : pszName[i];
    szRelative[nNameLength] = '\0';
    if (szRelative[0] == '/') return false;

    size_t nStart = 0;
    for (size_t i = 0; i <= nNameLength; ++i) {
        if (i < nNameLength && szRelative[i] != '/') continue;
        const char* pComponent = szRelative + nStart;
        size_t nLength = i - nStart;
        if (nLength == 0) return false;
        if ((nLength == 1 && pComponent[0] == '.') || (nLength == 2 && pComponent[0] == '.' && pComponent[1] == '.')) {
            return false;
        }
        // Windows forbids these in names; here "*" and "?" would also make a listing of the
        // mailbox a wild-card search.
        for (char c : {':', '*', '?'}) {
            if (std::memchr(pComponent, c, nLength) != nullptr) return false;
        }
        if (IsDeviceName(pComponent, nLength)) return false;
        // The top-level inbox is the directory "inbox", however the client spells it.
        if (nStart == 0 && EqualNoCase({pComponent, nLength}, "inbox")) std::memcpy(szRelative, "inbox", 5);
        nStart = i + 1;
    }
    return MatchPathCase(pszMailDir, szRelative, pszPath, nSize);
}

bool ResolveMailboxPath(const char* pszMailDir, const char* pszName, char* pszPath, size_t nSize) {
    return ResolveMailboxPath(pszMailDir, pszName, std::strlen(pszName), pszPath, nSize);
}
