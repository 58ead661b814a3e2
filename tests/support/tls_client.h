// Client side of TLS for the tests: a certificate made with the openssl command, and OpenSSL
// over the socket of a connected ImapClient (at once for the TLS port, after STARTTLS otherwise).
#pragma once

#include <openssl/ssl.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

#include "test_server.h"

// A self-signed certificate for "localhost" in dir/cert.pem with its key in dir/key.pem.
inline bool MakeCertificate(const std::string& dir, const std::string& name = "") {
    std::string strCommand = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                             "-subj /CN=localhost -addext subjectAltName=DNS:localhost -days 2 -keyout '" +
                             dir + "/key" + name + ".pem' -out '" + dir + "/cert" + name + ".pem' >/dev/null 2>&1";
    return std::system(strCommand.c_str()) == 0;
}

class TlsClient {
public:
    TlsClient() = default;
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;
    ~TlsClient() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }

    // Handshake over the client's socket, trusting only caFile and checking the name localhost.
    bool Start(ImapClient& client, const std::string& caFile, int timeoutMs = 10000) {
        signal(SIGPIPE, SIG_IGN);
        fd_ = client.fd;
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        ctx_ = SSL_CTX_new(TLS_client_method());
        if (ctx_ == nullptr || SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1) {
            return false;
        }
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        SSL_set_tlsext_host_name(ssl_, "localhost");
        SSL_set1_host(ssl_, "localhost");
        return SSL_connect(ssl_) == 1;
    }
    std::string Version() const { return ssl_ != nullptr ? SSL_get_version(ssl_) : ""; }

    void Send(const std::string& text) {
        if (!text.empty()) {
            SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
        }
    }
    // One line with its CR LF; "" when the connection ended or nothing came in time.
    std::string ReadLine() {
        for (;;) {
            size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending_.substr(0, lf + 1);
                pending_.erase(0, lf + 1);
                return line;
            }
            char buf[4096];
            int n = SSL_read(ssl_, buf, sizeof(buf));
            if (n <= 0) {
                return "";
            }
            pending_.append(buf, static_cast<size_t>(n));
        }
    }
    std::vector<std::string> Command(const std::string& tag, const std::string& command) {
        Send(tag + " " + command + "\r\n");
        std::vector<std::string> lines;
        for (;;) {
            std::string line = ReadLine();
            if (line.empty()) {
                return lines;
            }
            lines.push_back(line);
            if (line.rfind(tag + " ", 0) == 0) {
                return lines;
            }
        }
    }

private:
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string pending_;
};
