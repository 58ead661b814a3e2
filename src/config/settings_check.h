// Settings a start cannot go on without, and the TLS protocol settings, read apart from the
// settings record.
#pragma once

#include <cstddef>

// Checked before anything is opened: port numbers, address family, each ListenIP entry, a TLS
// port that clashes with an IMAP port, each ProxyTrusted address or range, and both TLS files named or neither. False with one line
// naming the value and the registry file.
bool CheckServerSettings(char* pszError, size_t nErrorSize);

// The TLS protocol values of the registry: an OpenSSL cipher list for TLS 1.2 and the oldest
// protocol accepted, "1.2" or "1.3"; empty texts leave the defaults.
struct TlsProtocolSettings {
    char szCipherList[512];
    char szMinVersion[8];
};
void ReadTlsProtocolSettings(TlsProtocolSettings* pSettings);
