// A logged-in session on a mail directory under /tmp, its socket one end of a pair, so that a
// test sends what a client sends and compares the bytes a client would get.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "imap/dispatch.h"
#include "net/session.h"
#include "platform/fs.h"

class MailDirSession : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/veve4d-mbox-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root = szTemplate;
        mailDir = root + "/mail/";
        outside = root + "/outside";
        std::filesystem::create_directories(mailDir + "inbox");
        std::filesystem::create_directories(outside);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session = std::make_unique<Session>();
        session->sockClient = fds[0];
        peer = fds[1];
        session->State = Imap4Authorization;
        snprintf(session->szMailDir, sizeof(session->szMailDir), "%s", mailDir.c_str());
        snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", mailDir.c_str());
    }
    void TearDown() override {
        close(session->sockClient);
        if (peer >= 0) {
            close(peer);
        }
        std::filesystem::remove_all(root);
    }

    // Runs one received block through the dispatcher and returns what the client got.
    std::string Dispatch(const std::string& block) {
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", block.c_str());
        DispatchCommand(session.get());
        return Received();
    }
    // Text the client sends that the server has not received yet.
    void ClientSends(const std::string& text) {
        ASSERT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::string Received() {
        std::string out;
        char buf[16384];
        pollfd pfd{peer, POLLIN, 0};
        while (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) {
            ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    void Select(const std::string& name) {
        session->State = Veve4Delected;
        snprintf(session->szMailbox, sizeof(session->szMailbox), "%s%s", mailDir.c_str(), name.c_str());
    }
    std::string Path(const std::string& name) const { return mailDir + name; }
    void MakeMailbox(const std::string& name, bool bHidden = false) const {
        std::filesystem::create_directories(Path(name));
        if (bHidden) {
            EXPECT_TRUE(SetHiddenAttribute(Path(name).c_str(), true));
        }
    }
    void Write(const std::string& path, const std::string& text) const {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string Read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool Exists(const std::string& path) const { return std::filesystem::exists(path); }
    bool Hidden(const std::string& path) const {
        FindData data{};
        EXPECT_TRUE(FindEntry(path.c_str(), &data)) << path;
        return (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    }
    // The names in a directory, sorted.
    std::vector<std::string> Names(const std::string& path) const {
        std::vector<std::string> names;
        if (std::filesystem::is_directory(path)) {
            for (auto& entry : std::filesystem::directory_iterator(path)) {
                names.push_back(entry.path().filename());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string root;
    std::string mailDir;
    std::string outside;  // a sibling of the mail directory that no command may touch
    std::unique_ptr<Session> session;
    int peer = -1;
};
