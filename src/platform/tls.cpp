#include "platform/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/format.h"
#include "platform/socket.h"
#include "platform/time.h"

// The OpenSSL context behind a lock, so that a reload can swap it while connections start:
// SSL_new takes its own reference, so a swapped-out context lives on with its connections.
struct TlsContext {
    std::mutex lock;
    SSL_CTX* pCtx;
};

// ECDHE (and DHE) key exchange only, AEAD ciphers only: the suites without forward secrecy
// (static RSA) and the CBC ones are left out.
const char* const TLS_DEFAULT_CIPHER_LIST =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";

struct TlsConnection {
    SSL* pSsl;
    SOCKET sock;
    // After a fatal error OpenSSL must not be asked for the closing alert.
    bool bBroken;
    // While a large send is encrypted its records gather here and leave in few large sends: one
    // send per 16 KB record costs a system call and a small segment each.
    bool bGather;
    bool bGatherFailed;
    std::string gathered;
};

namespace {

// Records gathered this far leave at once, whatever follows.
constexpr size_t GATHER_MAX = 256 * 1024;

// The socket BIO of OpenSSL writes with write(), which raises SIGPIPE on a vanished peer and
// reports errno codes. Going through SocketSend/SocketRecv keeps MSG_NOSIGNAL, the EINTR retry,
// the send time-out and the Winsock error codes of the plain path.
TlsConnection* ConnectionOf(BIO* pBio) { return static_cast<TlsConnection*>(BIO_get_data(pBio)); }

SOCKET SocketOf(BIO* pBio) { return ConnectionOf(pBio)->sock; }

// Sends what was gathered; false when the send failed (the records are then lost with the link).
bool SendGathered(TlsConnection* pConnection) {
    if (pConnection->gathered.empty()) return !pConnection->bGatherFailed;
    bool bSent = SocketSend(pConnection->sock, pConnection->gathered.data(), pConnection->gathered.size()) != SOCKET_ERROR;
    pConnection->gathered.clear();
    if (!bSent) pConnection->bGatherFailed = true;
    return !pConnection->bGatherFailed;
}

int BioWrite(BIO* pBio, const char* pData, int nLength) {
    BIO_clear_retry_flags(pBio);
    if (nLength <= 0) {
        return 0;
    }
    TlsConnection* pConnection = ConnectionOf(pBio);
    if (pConnection->bGather) {
        if (pConnection->bGatherFailed) return -1;
        pConnection->gathered.append(pData, static_cast<size_t>(nLength));
        if (pConnection->gathered.size() >= GATHER_MAX && !SendGathered(pConnection)) return -1;
        return nLength;
    }
    int nSent = SocketSend(pConnection->sock, pData, static_cast<size_t>(nLength));
    return nSent == SOCKET_ERROR ? -1 : nLength;
}

int BioRead(BIO* pBio, char* pData, int nLength) {
    BIO_clear_retry_flags(pBio);
    if (nLength <= 0) {
        return 0;
    }
    int nReceived = SocketRecv(SocketOf(pBio), pData, static_cast<size_t>(nLength));
    // A receive time-out is not the end of the link: the session may still say goodbye.
    if (nReceived == SOCKET_ERROR && LastSocketError() == WSAEWOULDBLOCK) {
        BIO_set_retry_read(pBio);
    }
    return nReceived == SOCKET_ERROR ? -1 : nReceived;
}

int BioPuts(BIO* pBio, const char* pszText) {
    size_t nLength = strlen(pszText);
    return BioWrite(pBio, pszText, nLength > INT_MAX ? INT_MAX : static_cast<int>(nLength));
}

long BioCtrl(BIO* pBio, int nCommand, long /*lArg*/, void* /*pArg*/) {
    if (nCommand != BIO_CTRL_FLUSH) return 0;
    // Outside a large send writes go straight to the socket; inside one, what is gathered leaves.
    return SendGathered(ConnectionOf(pBio)) ? 1 : 0;
}

int BioCreate(BIO* pBio) {
    BIO_set_init(pBio, 1);
    return 1;
}

// Made once and never changed afterwards; OpenSSL only reads it.
const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* pMethod = [] {
        BIO_METHOD* p = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "veve4d socket");
        if (p != nullptr) {
            BIO_meth_set_write(p, BioWrite);
            BIO_meth_set_read(p, BioRead);
            BIO_meth_set_puts(p, BioPuts);
            BIO_meth_set_ctrl(p, BioCtrl);
            BIO_meth_set_create(p, BioCreate);
        }
        return p;
    }();
    return pMethod;
}

// The most specific reason OpenSSL queued, then an empty queue for the next caller on this thread.
void TakeOpenSslError(const char* pszWhat, char* pszError, size_t nErrorSize) {
    unsigned long ulCode = ERR_peek_last_error();
    char szReason[256] = "unknown error";
    if (ulCode != 0) {
        const char* pszReason = ERR_reason_error_string(ulCode);
        static_cast<void>(
            FormatText(szReason, sizeof(szReason), "%s", pszReason != nullptr ? pszReason : "unknown error"));
    }
    static_cast<void>(FormatText(pszError, nErrorSize, "%s: %s", pszWhat, szReason));
    ERR_clear_error();
}

// fopen first, so that a missing or unreadable file is told as such and not as a PEM error.
bool CheckReadable(const char* pszWhat, const char* pszFile, char* pszError, size_t nErrorSize) {
    if (pszFile == nullptr || pszFile[0] == '\0') {
        static_cast<void>(FormatText(pszError, nErrorSize, "%s: no file named", pszWhat));
        return false;
    }
    FILE* pFile = fopen(pszFile, "r");
    if (pFile == nullptr) {
        static_cast<void>(FormatText(pszError, nErrorSize, "%s %s: %s", pszWhat, pszFile, strerror(errno)));
        return false;
    }
    fclose(pFile);
    return true;
}

// A client that never completes its handshake must not hold its thread for good. Whatever receive
// time-out the session had set is put back afterwards.
class HandshakeTimeout {
public:
    HandshakeTimeout(SOCKET sock, unsigned int nMilliseconds) : sock_(sock) {
        socklen_t nLength = sizeof(old_);
        bSaved_ = getsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &old_, &nLength) == 0;
        long long llOldMs = static_cast<long long>(old_.tv_sec) * 1000 + old_.tv_usec / 1000;
        if (bSaved_ && (llOldMs == 0 || llOldMs > nMilliseconds)) {
            timeval tv{};
            tv.tv_sec = nMilliseconds / 1000;
            tv.tv_usec = static_cast<suseconds_t>((nMilliseconds % 1000) * 1000);
            setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        }
    }
    ~HandshakeTimeout() {
        if (bSaved_) {
            setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &old_, sizeof(old_));
        }
    }
    HandshakeTimeout(const HandshakeTimeout&) = delete;
    HandshakeTimeout& operator=(const HandshakeTimeout&) = delete;

private:
    SOCKET sock_;
    timeval old_{};
    bool bSaved_ = false;
};

// A client that has sent a whole handshake message is getting somewhere, unlike one that
// trickles its bytes: tell the caller as soon as one has been read, before it is worked on.
void NoteHandshakeMessage(int nWritten, int /*nVersion*/, int nContentType, const void* /*pBuffer*/,
                          size_t /*nLength*/, SSL* /*pSsl*/, void* pArgument) {
    if (nWritten == 0 && nContentType == SSL3_RT_HANDSHAKE) {
        static_cast<std::atomic<uint64_t>*>(pArgument)->store(MonotonicMilliseconds());
    }
}

}  // namespace

namespace {

bool ParseMinVersion(const char* pszVersion, int* pnVersion) {
    if (pszVersion == nullptr || pszVersion[0] == '\0' || strcmp(pszVersion, "1.2") == 0) {
        *pnVersion = TLS1_2_VERSION;
        return true;
    }
    if (strcmp(pszVersion, "1.3") == 0) {
        *pnVersion = TLS1_3_VERSION;
        return true;
    }
    return false;
}

const char* CipherListOf(const TlsOptions* pOptions) {
    return pOptions != nullptr && pOptions->pszCipherList != nullptr && pOptions->pszCipherList[0] != '\0'
               ? pOptions->pszCipherList
               : TLS_DEFAULT_CIPHER_LIST;
}

// Protocol settings of a new context; false with the reason when an option is unusable.
bool ApplyOptions(SSL_CTX* pCtx, const TlsOptions* pOptions, char* pszError, size_t nErrorSize) {
    int nMinVersion = TLS1_2_VERSION;
    if (!ParseMinVersion(pOptions != nullptr ? pOptions->pszMinVersion : nullptr, &nMinVersion)) {
        static_cast<void>(FormatText(pszError, nErrorSize, "TlsMinVersion \"%s\": not 1.2 or 1.3",
                                     pOptions->pszMinVersion));
        return false;
    }
    if (SSL_CTX_set_min_proto_version(pCtx, nMinVersion) != 1) {
        TakeOpenSslError("TLS minimum version", pszError, nErrorSize);
        return false;
    }
    const char* pszCiphers = CipherListOf(pOptions);
    if (SSL_CTX_set_cipher_list(pCtx, pszCiphers) != 1) {
        ERR_clear_error();
        static_cast<void>(
            FormatText(pszError, nErrorSize, "TlsCipherList \"%s\": no cipher OpenSSL knows", pszCiphers));
        return false;
    }
    // DHE suites need parameters; OpenSSL picks them to match the key's strength.
    SSL_CTX_set_dh_auto(pCtx, 1);
    // A client that drops the connection without the closing alert is a peer close, not an error;
    // renegotiation asked by a client only costs the server work.
    SSL_CTX_set_options(pCtx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    static const unsigned char kSessionContext[] = "veve4d";
    if (SSL_CTX_set_session_id_context(pCtx, kSessionContext, sizeof(kSessionContext) - 1) != 1) {
        TakeOpenSslError("TLS context", pszError, nErrorSize);
        return false;
    }
    return true;
}

SSL_CTX* NewServerCtx(const char* pszChainFile, const char* pszKeyFile, const TlsOptions* pOptions, char* pszError,
                      size_t nErrorSize) {
    if (!CheckReadable("certificate chain", pszChainFile, pszError, nErrorSize) ||
        !CheckReadable("certificate key", pszKeyFile, pszError, nErrorSize)) {
        return nullptr;
    }
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (pCtx == nullptr) {
        TakeOpenSslError("TLS context", pszError, nErrorSize);
        return nullptr;
    }
    if (!ApplyOptions(pCtx, pOptions, pszError, nErrorSize)) {
        SSL_CTX_free(pCtx);
        return nullptr;
    }
    if (SSL_CTX_use_certificate_chain_file(pCtx, pszChainFile) != 1) {
        char szWhat[300];
        static_cast<void>(FormatText(szWhat, sizeof(szWhat), "certificate chain %s", pszChainFile));
        TakeOpenSslError(szWhat, pszError, nErrorSize);
        SSL_CTX_free(pCtx);
        return nullptr;
    }
    // The key is read on its own first, so that a key that does not load and a key of another
    // certificate are told apart.
    BIO* pKeyBio = BIO_new_file(pszKeyFile, "r");
    EVP_PKEY* pKey = pKeyBio != nullptr ? PEM_read_bio_PrivateKey(pKeyBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(pKeyBio);
    if (pKey == nullptr) {
        char szWhat[300];
        static_cast<void>(FormatText(szWhat, sizeof(szWhat), "certificate key %s", pszKeyFile));
        TakeOpenSslError(szWhat, pszError, nErrorSize);
        SSL_CTX_free(pCtx);
        return nullptr;
    }
    bool bMatch = SSL_CTX_use_PrivateKey(pCtx, pKey) == 1 && SSL_CTX_check_private_key(pCtx) == 1;
    EVP_PKEY_free(pKey);
    if (!bMatch) {
        ERR_clear_error();
        static_cast<void>(FormatText(pszError, nErrorSize, "certificate key %s does not match certificate %s",
                                     pszKeyFile, pszChainFile));
        SSL_CTX_free(pCtx);
        return nullptr;
    }
    pszError[0] = '\0';
    return pCtx;
}

}  // namespace

bool TlsCheckOptions(const TlsOptions* pOptions, char* pszError, size_t nErrorSize) {
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (pCtx == nullptr) {
        TakeOpenSslError("TLS context", pszError, nErrorSize);
        return false;
    }
    bool bOk = ApplyOptions(pCtx, pOptions, pszError, nErrorSize);
    SSL_CTX_free(pCtx);
    if (bOk) pszError[0] = '\0';
    return bOk;
}

TlsContext* TlsCreateServerContext(const char* pszChainFile, const char* pszKeyFile, char* pszError,
                                   size_t nErrorSize, const TlsOptions* pOptions) {
    SSL_CTX* pCtx = NewServerCtx(pszChainFile, pszKeyFile, pOptions, pszError, nErrorSize);
    if (pCtx == nullptr) {
        return nullptr;
    }
    TlsContext* pContext = new (std::nothrow) TlsContext();
    if (pContext == nullptr) {
        SSL_CTX_free(pCtx);
        static_cast<void>(FormatText(pszError, nErrorSize, "TLS context: out of memory"));
        return nullptr;
    }
    pContext->pCtx = pCtx;
    return pContext;
}

bool TlsReloadServerContext(TlsContext* pContext, const char* pszChainFile, const char* pszKeyFile,
                            const TlsOptions* pOptions, char* pszError, size_t nErrorSize) {
    if (pContext == nullptr) {
        static_cast<void>(FormatText(pszError, nErrorSize, "TLS is off"));
        return false;
    }
    SSL_CTX* pCtx = NewServerCtx(pszChainFile, pszKeyFile, pOptions, pszError, nErrorSize);
    if (pCtx == nullptr) {
        return false;
    }
    SSL_CTX* pOld;
    {
        std::lock_guard<std::mutex> guard(pContext->lock);
        pOld = pContext->pCtx;
        pContext->pCtx = pCtx;
    }
    SSL_CTX_free(pOld);
    return true;
}

void TlsFreeContext(TlsContext* pContext) {
    if (pContext != nullptr) {
        SSL_CTX_free(pContext->pCtx);
        delete pContext;
    }
}

bool TlsCheckKeyPair(const char* pszChainFile, const char* pszKeyFile, char* pszError, size_t nErrorSize) {
    TlsContext* pContext = TlsCreateServerContext(pszChainFile, pszKeyFile, pszError, nErrorSize);
    TlsFreeContext(pContext);
    return pContext != nullptr;
}

TlsConnection* TlsAccept(TlsContext* pContext, SOCKET sock, unsigned int nTimeoutMs, char* pszError,
                         size_t nErrorSize, std::atomic<uint64_t>* pullProgressMs) {
    const BIO_METHOD* pMethod = SocketMethod();
    // The connection is made first: the BIO writes through it from the handshake on.
    TlsConnection* pConnection = new (std::nothrow) TlsConnection{nullptr, sock, false, false, false, {}};
    if (pConnection == nullptr) {
        static_cast<void>(FormatText(pszError, nErrorSize, "TLS set-up: out of memory"));
        return nullptr;
    }
    SSL* pSsl = nullptr;
    if (pMethod != nullptr) {
        std::lock_guard<std::mutex> guard(pContext->lock);
        pSsl = SSL_new(pContext->pCtx);
    }
    BIO* pBio = pSsl != nullptr ? BIO_new(pMethod) : nullptr;
    if (pBio == nullptr) {
        SSL_free(pSsl);
        delete pConnection;
        TakeOpenSslError("TLS set-up", pszError, nErrorSize);
        return nullptr;
    }
    pConnection->pSsl = pSsl;
    BIO_set_data(pBio, pConnection);
    SSL_set_bio(pSsl, pBio, pBio);
    if (pullProgressMs != nullptr) {
        SSL_set_msg_callback_arg(pSsl, pullProgressMs);
        SSL_set_msg_callback(pSsl, NoteHandshakeMessage);
    }
    int nResult;
    {
        HandshakeTimeout timeout(sock, nTimeoutMs);
        nResult = SSL_accept(pSsl);
    }
    SSL_set_msg_callback(pSsl, nullptr);
    if (nResult != 1) {
        if (ERR_peek_last_error() != 0) {
            TakeOpenSslError("TLS handshake", pszError, nErrorSize);
        } else {
            static_cast<void>(FormatText(pszError, nErrorSize, "TLS handshake: connection closed (socket error %d)",
                                         LastSocketError()));
        }
        SSL_free(pSsl);
        delete pConnection;
        return nullptr;
    }
    pszError[0] = '\0';
    return pConnection;
}

int TlsRecv(TlsConnection* pConnection, char* pBuffer, size_t nLength) {
    int nAsk = nLength > INT_MAX ? INT_MAX : static_cast<int>(nLength);
    int nResult = SSL_read(pConnection->pSsl, pBuffer, nAsk);
    if (nResult > 0) {
        return nResult;
    }
    int nError = SSL_get_error(pConnection->pSsl, nResult);
    ERR_clear_error();
    if (nError == SSL_ERROR_ZERO_RETURN) {
        return 0;
    }
    pConnection->bBroken = nError != SSL_ERROR_WANT_READ;
    return SOCKET_ERROR;
}

int TlsSend(TlsConnection* pConnection, const char* pBuffer, size_t nLength) {
    // A large buffer is many records: they are gathered and sent together.
    pConnection->bGather = nLength > 32 * 1024;
    if (pConnection->bGather) pConnection->gathered.reserve(GATHER_MAX + 32 * 1024);
    size_t nSent = 0;
    while (nSent < nLength) {
        size_t nLeft = nLength - nSent;
        int nResult = SSL_write(pConnection->pSsl, pBuffer + nSent, nLeft > INT_MAX ? INT_MAX : static_cast<int>(nLeft));
        if (nResult <= 0) {
            ERR_clear_error();
            pConnection->bBroken = true;
            break;
        }
        nSent += static_cast<size_t>(nResult);
    }
    bool bFlushed = SendGathered(pConnection);
    pConnection->bGather = false;
    // The gathered bytes are released: an idle session holds no send buffer.
    std::string().swap(pConnection->gathered);
    if (nSent < nLength || !bFlushed) {
        pConnection->bBroken = true;
        return SOCKET_ERROR;
    }
    return static_cast<int>(nLength > INT_MAX ? INT_MAX : nLength);
}

bool TlsPending(const TlsConnection* pConnection) {
    return SSL_pending(pConnection->pSsl) > 0;
}

void TlsClose(TlsConnection* pConnection) {
    if (pConnection == nullptr) {
        return;
    }
    if (!pConnection->bBroken && (SSL_get_shutdown(pConnection->pSsl) & SSL_SENT_SHUTDOWN) == 0) {
        SSL_shutdown(pConnection->pSsl);
    }
    ERR_clear_error();
    SSL_free(pConnection->pSsl);
    delete pConnection;
}
