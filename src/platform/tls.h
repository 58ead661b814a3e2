// TLS over an accepted socket. OpenSSL stays behind this interface: the session above sees
// byte counts and failures shaped like SocketRecv and SocketSend, nothing else.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// The server's certificate chain and key, shared read-only by every connection.
struct TlsContext;
// One encrypted connection over a socket the caller still owns.
struct TlsConnection;

// What an administrator may change about the protocol. Null or empty texts keep the defaults:
// TLS 1.2 at least, and for TLS 1.2 only suites with forward secrecy and an AEAD cipher (TLS 1.3
// has no others). The server's order of preference wins over the client's.
struct TlsOptions {
    const char* pszCipherList;  // OpenSSL cipher list for TLS 1.2
    const char* pszMinVersion;  // "1.2" or "1.3"
};
extern const char* const TLS_DEFAULT_CIPHER_LIST;

// True when the options can be used; otherwise false with the reason.
bool TlsCheckOptions(const TlsOptions* pOptions, char* pszError, size_t nErrorSize);

// Loads a PEM certificate chain (server certificate first) and its PEM key. Null on failure,
// with a one-line reason in pszError.
TlsContext* TlsCreateServerContext(const char* pszChainFile, const char* pszKeyFile, char* pszError,
                                   size_t nErrorSize, const TlsOptions* pOptions = nullptr);
// Loads the files again (a renewed certificate) into the context: handshakes from then on use
// them, connections already made keep theirs. On failure the context keeps what it had and
// pszError says why.
bool TlsReloadServerContext(TlsContext* pContext, const char* pszChainFile, const char* pszKeyFile,
                            const TlsOptions* pOptions, char* pszError, size_t nErrorSize);
void TlsFreeContext(TlsContext* pContext);
// True when both files load and the key belongs to the chain's first certificate; otherwise
// false with the reason (for configuration checks that must not start a server).
bool TlsCheckKeyPair(const char* pszChainFile, const char* pszKeyFile, char* pszError, size_t nErrorSize);

// Runs the server side of the handshake on a connected, blocking socket, waiting at most
// nTimeoutMs for each of the client's messages. pullProgressMs (may be null) takes the
// monotonic time at which each whole handshake message of the client was read. Null on failure, with the reason in pszError.
TlsConnection* TlsAccept(TlsContext* pContext, SOCKET sock, unsigned int nTimeoutMs, char* pszError,
                         size_t nErrorSize, std::atomic<uint64_t>* pullProgressMs = nullptr);
// As SocketRecv: the byte count, 0 when the peer closed, SOCKET_ERROR on failure.
int TlsRecv(TlsConnection* pConnection, char* pBuffer, size_t nLength);
// As SocketSend: the whole buffer or SOCKET_ERROR.
int TlsSend(TlsConnection* pConnection, const char* pBuffer, size_t nLength);
// Decrypted bytes already held inside the connection, which a wait on the socket would miss.
bool TlsPending(const TlsConnection* pConnection);
// Sends the closing alert when the link still works and frees the connection; the socket
// stays open for its owner to close.
void TlsClose(TlsConnection* pConnection);
