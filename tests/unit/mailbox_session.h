// A selected session on a mailbox directory made for one test: the session's socket is one end
// of a pair, so the exact bytes a client would get can be read from the other end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "imap/dispatch.h"
#include "net/session.h"
#include "test_server.h"

class MailboxSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session = std::make_unique<Session>();
        session->sockClient = fds[0];
        peer = fds[1];
        session->State = Veve4Delected;
        snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", dir.path.c_str());
    }
    void TearDown() override {
        close(session->sockClient);
        close(peer);
    }
    // Writes message files with the given names.
    void Put(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            WriteFile(dir.path + "/" + name, "Subject: " + name + "\r\n\r\nbody\r\n");
        }
    }
    // The entries of the mailbox directory, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.path.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // Runs one request line through the dispatcher and returns everything the client got.
    std::string Run(const char* line) {
        snprintf(session->szRecv, sizeof(session->szRecv), "%s\r\n", line);
        DispatchCommand(session.get());
        return Received();
    }
    std::string Received() {
        std::string out;
        char buf[65536];
        pollfd pfd{peer, POLLIN, 0};
        while (poll(&pfd, 1, 0) > 0) {
            ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    TempDir dir;
    std::unique_ptr<Session> session;
    int peer = -1;
};
