// A datagram socket in the abstract namespace standing in for systemd's notification socket.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

struct NotifySocket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string name = "@veve4d-notify-" + std::to_string(getpid()) + "-" + std::to_string(fd);  // unique while open

    NotifySocket() {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + name.size());
    }
    ~NotifySocket() { close(fd); }

    // The next notification; "" when none came within the time.
    std::string Next(int timeoutMs = 10000) {
        pollfd pfd{fd, POLLIN, 0};
        char buf[512];
        ssize_t n = poll(&pfd, 1, timeoutMs) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};
