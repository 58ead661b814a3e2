// Round-trip time of commands over loopback against a running server:
//   roundtrip_bench PORT [USER PASSWORD]
// NOOP (one line), CAPABILITY (two sends) and, with a login, SELECT INBOX (eight sends).
// A response that waited on a delayed acknowledgement would show up as ~40 ms here.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int fd = -1;
std::string pending;

std::string ReadLine() {
    for (;;) {
        size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return line;
        }
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            fprintf(stderr, "connection ended\n");
            exit(1);
        }
        pending.append(buf, static_cast<size_t>(n));
    }
}

void Command(const std::string& tag, const std::string& command) {
    std::string line = tag + " " + command + "\r\n";
    send(fd, line.data(), line.size(), 0);
    while (ReadLine().rfind(tag + " ", 0) != 0) {
    }
}

void Measure(const char* name, const std::string& command, int count) {
    Command("w", command);  // warm-up
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; i++) {
        Command("t" + std::to_string(i), command);
    }
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    printf("%-22s %6d round trips, %8.1f us each\n", name, count, us / count);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: roundtrip_bench PORT [USER PASSWORD]\n");
        return 2;
    }
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        perror("connect");
        return 1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ReadLine();
    Measure("NOOP", "NOOP", 2000);
    Measure("CAPABILITY (2 sends)", "CAPABILITY", 2000);
    if (argc >= 4) {
        Command("l", std::string("LOGIN ") + argv[2] + " " + argv[3]);
        Measure("SELECT INBOX (8 sends)", "SELECT INBOX", 500);
        Measure("EXAMINE INBOX (7 sends)", "EXAMINE INBOX", 500);
    }
    Command("z", "LOGOUT");
    return 0;
}
