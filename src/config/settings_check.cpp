// The settings a start cannot do without, checked before the server opens anything: a value that
// cannot work stops the start with its name and file, rather than leaving a server that listens
// somewhere else, or not at all, and says it runs.
#include "config/settings_check.h"

#include <cstdlib>
#include <cstring>

#include "config/proxy_trust.h"
#include "config/settings.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/socket.h"

namespace {

bool IsPort(long lPort) {
    return lPort >= 1 && lPort <= 65535;
}

// "address" or "address port", the port in decimal; the address is IPv4 when the entry holds a
// "." and IPv6 otherwise, as the listener reads it.
bool ParseListenEntry(const char* pszEntry, int nDefaultPort, int* pnPort) {
    char szAddress[256];
    if (!FormatText(szAddress, sizeof szAddress, "%s", pszEntry)) return false;
    *pnPort = nDefaultPort;
    char* pBlank = strchr(szAddress, ' ');
    if (pBlank != nullptr) {
        *pBlank = '\0';
        const char* pszPort = pBlank + 1;
        if (*pszPort < '0' || *pszPort > '9' || strlen(pszPort) > 5) return false;
        char* pEnd = nullptr;
        long lPort = strtol(pszPort, &pEnd, 10);
        if (*pEnd != '\0' || !IsPort(lPort)) return false;
        *pnPort = static_cast<int>(lPort);
    }
    if (strchr(szAddress, '.') != nullptr) return IsDottedDecimal(szAddress);
    return strchr(szAddress, ':') != nullptr && IsIpv6Text(szAddress);
}

}  // namespace

bool CheckServerSettings(char* pszError, size_t nErrorSize) {
    const char* pszFile = RegistryFilePath();
    if (!IsPort(Settings.PortNo)) {
        static_cast<void>(
            FormatText(pszError, nErrorSize, "PortNo %d in %s: not a TCP port (1-65535)", Settings.PortNo, pszFile));
        return false;
    }
    if (Settings.AddressFamily < 0 || Settings.AddressFamily > 2) {
        static_cast<void>(FormatText(pszError, nErrorSize, "AddressFamily %d in %s: not 0 (IPv4), 1 (IPv6) or 2 (both)",
                                     Settings.AddressFamily, pszFile));
        return false;
    }
    // A balancer entry that does not parse would leave its clients refused, or believed from
    // where they must not be.
    char szBad[64];
    if (!CheckProxyTrusted(Settings.ProxyTrusted, sizeof(Settings.ProxyTrusted), szBad, sizeof(szBad))) {
        static_cast<void>(FormatText(pszError, nErrorSize,
                                     "ProxyTrusted \"%s\" in %s: not an IP address or an address/prefix range", szBad,
                                     pszFile));
        return false;
    }
    bool bCertificate = Settings.TlsCertificateFile[0] != '\0';
    bool bKey = Settings.TlsKeyFile[0] != '\0';
    if (bCertificate != bKey) {
        static_cast<void>(FormatText(pszError, nErrorSize, "%s in %s names no file: TLS needs both TlsCertificateFile and TlsKeyFile",
                                     bCertificate ? "TlsKeyFile" : "TlsCertificateFile", pszFile));
        return false;
    }
    bool bTlsPort = bCertificate && Settings.TlsPortNo != 0;
    if (bTlsPort && !IsPort(Settings.TlsPortNo)) {
        static_cast<void>(FormatText(pszError, nErrorSize, "TlsPortNo %d in %s: not a TCP port (1-65535, 0 for none)",
                                     Settings.TlsPortNo, pszFile));
        return false;
    }
    if (Settings.ListenMode == 0) {
        if (bTlsPort && Settings.TlsPortNo == Settings.PortNo) {
            static_cast<void>(FormatText(pszError, nErrorSize, "TlsPortNo %d in %s: the same port as PortNo",
                                         Settings.TlsPortNo, pszFile));
            return false;
        }
        return true;
    }
    for (const char* pEntry = Settings.ListenIP; *pEntry != '\0'; pEntry += strlen(pEntry) + 1) {
        int nPort = 0;
        if (!ParseListenEntry(pEntry, Settings.PortNo, &nPort)) {
            static_cast<void>(FormatText(pszError, nErrorSize,
                                         "ListenIP \"%s\" in %s: not an IP address, optionally followed by one blank and a port",
                                         pEntry, pszFile));
            return false;
        }
        if (bTlsPort && nPort == Settings.TlsPortNo) {
            static_cast<void>(FormatText(pszError, nErrorSize, "ListenIP \"%s\" in %s: the same port as TlsPortNo %d",
                                         pEntry, pszFile, Settings.TlsPortNo));
            return false;
        }
    }
    return true;
}

void ReadTlsProtocolSettings(TlsProtocolSettings* pSettings) {
    RegReadString(KEY_SERVICE, "TlsCipherList", "", pSettings->szCipherList, sizeof pSettings->szCipherList);
    RegReadString(KEY_SERVICE, "TlsMinVersion", "", pSettings->szMinVersion, sizeof pSettings->szMinVersion);
}
