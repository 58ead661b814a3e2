// A client that reads a FETCH answer as fast as the loopback gives it, so that the server's send
// is what is measured and not the client's parsing:
//   body_client tls|clear USER PASSWORD MAILBOX "FETCH 1 (BODY.PEEK[])" REPEATS PORT [PORT...]
// With several ports (servers) the fetches take turns, one by one, the first server changing each
// round, so that each sees the same moments of a loaded machine. Prints one line per fetch:
// port, milliseconds, bytes of the answer (literal content included). A literal's bytes are read
// into one large scratch buffer and never looked at.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Connection {
    int port = 0;
    int fd = -1;
    SSL* ssl = nullptr;
    std::string pending;
};
Connection* now = nullptr;  // the connection the calls below talk on
std::vector<char> scratch(8 << 20);

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "body_client: %s\n", what);
    exit(1);
}

size_t Receive(char* buf, size_t size) {
    if (now->ssl != nullptr) {
        int n = SSL_read(now->ssl, buf, size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size));
        if (n <= 0) Fail("TLS connection ended");
        return static_cast<size_t>(n);
    }
    ssize_t n = recv(now->fd, buf, size, 0);
    if (n <= 0) Fail("connection ended");
    return static_cast<size_t>(n);
}

void SendAll(const std::string& text) {
    if (now->ssl != nullptr) {
        if (SSL_write(now->ssl, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size())) Fail("TLS write");
        return;
    }
    if (send(now->fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) Fail("send");
}

std::string ReadLine() {
    std::string& pending = now->pending;
    for (;;) {
        size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return line;
        }
        size_t n = Receive(scratch.data(), 65536);
        pending.append(scratch.data(), n);
    }
}

// Skips a literal's bytes: first what the line buffer already holds, then straight from the socket.
void SkipLiteral(size_t count) {
    std::string& pending = now->pending;
    size_t take = count < pending.size() ? count : pending.size();
    pending.erase(0, take);
    count -= take;
    while (count > 0) count -= Receive(scratch.data(), count < scratch.size() ? count : scratch.size());
}

// Runs one command to its tagged answer; the bytes the server sent.
size_t Command(const std::string& tag, const std::string& command) {
    SendAll(tag + " " + command + "\r\n");
    size_t total = 0;
    for (;;) {
        std::string line = ReadLine();
        total += line.size();
        if (line.rfind(tag + " ", 0) == 0) {
            if (line.compare(tag.size() + 1, 2, "OK") != 0) Fail(line.c_str());
            return total;
        }
        size_t open = line.rfind('{');
        if (line.size() >= 4 && line.compare(line.size() - 3, 3, "}\r\n") == 0 && open != std::string::npos) {
            size_t count = strtoull(line.c_str() + open + 1, nullptr, 10);
            SkipLiteral(count);
            total += count;
        }
    }
}

void Open(Connection* c, bool tls, const char* user, const char* password, const char* mailbox) {
    now = c;
    c->fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(c->port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c->fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) Fail("connect");
    int on = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (tls) {
        static SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        c->ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
        if (c->ssl == nullptr || SSL_set_fd(c->ssl, c->fd) != 1 || SSL_connect(c->ssl) != 1) Fail("TLS handshake");
    }
    ReadLine();
    Command("l", std::string("LOGIN ") + user + " " + password);
    Command("s", std::string("SELECT ") + mailbox);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) {
        fprintf(stderr, "usage: body_client tls|clear USER PASSWORD MAILBOX COMMAND REPEATS PORT [PORT...]\n");
        return 2;
    }
    std::vector<Connection> connections(static_cast<size_t>(argc - 7));
    for (size_t i = 0; i < connections.size(); i++) {
        connections[i].port = atoi(argv[7 + i]);
        Open(&connections[i], strcmp(argv[1], "tls") == 0, argv[2], argv[3], argv[4]);
        Command("w", argv[5]);  // the file in the page cache, the connection's window open
    }
    int repeats = atoi(argv[6]);
    for (int i = 0; i < repeats; i++) {
        for (size_t k = 0; k < connections.size(); k++) {
            now = &connections[(k + static_cast<size_t>(i)) % connections.size()];
            auto start = std::chrono::steady_clock::now();
            size_t bytes = Command("f" + std::to_string(i), argv[5]);
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            printf("%d %.3f %zu\n", now->port, ms, bytes);
        }
    }
    for (Connection& c : connections) {
        now = &c;
        Command("o", "LOGOUT");
    }
    return 0;
}
