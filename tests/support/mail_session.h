// A logged-in session on a mail directory under /tmp, its socket one end of a pair: a test sends
// what a client sends and compares the exact bytes the client gets.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "imap/dispatch.h"
#include "platform/fs.h"
#include "test_server.h"

using NameList = std::vector<std::string>;

class MailSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path.empty());
        mailDir = tmp.path + "/mail/";
        outside = tmp.path + "/outside";
        std::filesystem::create_directories(mailDir + "inbox");
        std::filesystem::create_directories(outside);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session->sockClient = fds[0];
        peer = fds[1];
        snprintf(session->szMailDir, sizeof(session->szMailDir), "%s", mailDir.c_str());
        Select("");
        session->State = Imap4Authorization;
    }
    void TearDown() override {
        close(session->sockClient);
        close(peer);
    }

    // Runs one received block through the dispatcher and returns what the client got.
    std::string Dispatch(const std::string& block) {
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", block.c_str());
        result = DispatchCommand(session.get());
        return Received();
    }
    // What the client got so far.
    std::string Received() {
        std::string out;
        char buf[65536];
        pollfd pfd{peer, POLLIN, 0};
        for (ssize_t n = 0; poll(&pfd, 1, 0) > 0 && (n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    std::string Run(const std::string& line) { return Dispatch(line + "\r\n"); }
    // Text the client sends that the server has not received yet.
    void ClientSends(const std::string& text) {
        ASSERT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void Select(const std::string& name) {
        session->State = Veve4Delected;
        box = Path(name);
        snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", box.c_str());
    }
    std::string Path(const std::string& name) const { return mailDir + name; }
    void MakeMailbox(const std::string& name, bool bHidden = false) const {
        std::filesystem::create_directories(Path(name));
        EXPECT_TRUE(!bHidden || SetHiddenAttribute(Path(name).c_str(), true)) << name;
    }
    // Message files in the selected mailbox; a name ending in "/" becomes a directory.
    void Put(const NameList& names) const {
        for (const std::string& name : names) {
            if (name.back() == '/') std::filesystem::create_directory(box + "/" + name);
            else WriteFile(box + "/" + name, "Subject: " + name + "\r\n\r\nbody\r\n");
        }
    }
    bool Hidden(const std::string& path) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(path.c_str(), &data)) << path;
        return (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    }
    // The names in a directory (the selected mailbox when none is given), sorted.
    NameList List(std::string path = "") const {
        NameList names;
        for (auto& entry : std::filesystem::directory_iterator(path.empty() ? box : path)) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir tmp;
    int result = 1;       // what the dispatcher returned for the last block: 0 ends the connection
    std::string mailDir;  // ends in "/"
    std::string outside;  // a sibling of the mail directory that no command may touch
    std::string box;      // the selected mailbox
    std::unique_ptr<Session> session = std::make_unique<Session>();
    int peer = -1;
};
