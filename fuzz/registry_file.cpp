// The registry file reader (regedit's export format) and the settings read from what it loaded:
// every value read, enumerated and copied with buffers too small and large enough.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "fuzz_support.h"
#include "platform/registry.h"

namespace {

const char* const kKeys[] = {KEY_SERVICE, KEY_SERVICE_PARAMETERS, KEY_VEVE4D_PARAMETERS, KEY_COMPANION_PARAMETERS,
                             KEY_EMWAC_IMS};

// Settings strings end inside their arrays whatever the registry held.
template <size_t N>
void CheckEnded(const char (&text)[N]) {
    if (memchr(text, '\0', N) == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::string path = ScratchDirectory() + "registry.reg";
    if (!WriteWholeFile(path, pData, nSize)) abort();
    LoadRegistryFile(path.c_str());

    for (const char* pszKey : kKeys) {
        (void)RegKeyExists(pszKey);
        char szName[64];
        unsigned char small[4];
        for (uint32_t i = 0; i < 64; i++) {
            uint32_t dwType = 0;
            uint32_t cbData = 0;
            long lResult = RegEnumValue(pszKey, i, szName, sizeof szName, &dwType, nullptr, &cbData);
            if (lResult == ERROR_NO_MORE_ITEMS || lResult == ERROR_FILE_NOT_FOUND) break;
            if (lResult != ERROR_SUCCESS) continue;
            std::string data(cbData, '\0');
            uint32_t cbSmall = sizeof small;
            (void)RegEnumValue(pszKey, i, szName, sizeof szName, &dwType, small, &cbSmall);
            uint32_t cbWhole = cbData;
            if (RegEnumValue(pszKey, i, szName, sizeof szName, &dwType, data.data(), &cbWhole) != ERROR_SUCCESS ||
                cbWhole != cbData) {
                abort();
            }
            uint32_t cbQuery = cbData;
            if (RegQueryValue(pszKey, szName, &dwType, data.data(), &cbQuery) != ERROR_SUCCESS) abort();
        }
    }

    ReadSettings();
    CheckEnded(Settings.PasswordFile);
    CheckEnded(Settings.MailExtension);
    CheckEnded(Settings.ListenIP);
    CheckEnded(Settings.Membership);
    CheckEnded(Settings.HostName);
    CheckEnded(Settings.DomainNamesAreLocal);
    CheckEnded(Settings.MailInBoxDir);
    CheckEnded(Settings.MailGroup);
    CheckEnded(Settings.ProgramPath);
    CheckEnded(Settings.MailQueueDir);
    CheckEnded(Settings.MailSpoolDir);
    CheckEnded(Settings.TlsCertificateFile);
    CheckEnded(Settings.TlsKeyFile);
    return 0;
}
