// A datagram socket standing in for /dev/log: the server sends its system-log lines here when
// started with Env() (VEVE4D_SYSLOG_SOCKET).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

struct SyslogSocket {
    std::string path;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<std::string> received;

    explicit SyslogSocket(const std::string& dir) : path(dir + "/syslog.sock") {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~SyslogSocket() {
        close(fd);
        unlink(path.c_str());
    }

    std::string Env() const { return "VEVE4D_SYSLOG_SOCKET=" + path; }

    // Collects datagrams until one contains the text (true), or none comes within the time.
    bool WaitFor(const std::string& text, int timeoutMs = 10000) {
        for (const std::string& line : received)
            if (line.find(text) != std::string::npos) return true;
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            char buf[4096];
            if (poll(&pfd, 1, timeoutMs) <= 0) return false;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            received.emplace_back(buf, static_cast<size_t>(n));
            if (received.back().find(text) != std::string::npos) return true;
        }
    }

    // The datagrams received so far that contain the text.
    std::vector<std::string> With(const std::string& text) const {
        std::vector<std::string> lines;
        for (const std::string& line : received)
            if (line.find(text) != std::string::npos) lines.push_back(line);
        return lines;
    }
};
