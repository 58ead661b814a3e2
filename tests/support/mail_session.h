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
#include <regex>
#include <set>
#include <sstream>

#include "imap/dispatch.h"
#include "platform/fs.h"
#include "store/mod_state.h"
#include "test_server.h"

using Pair = std::pair<const char*, const char*>;

// Message file names written short, as Put takes them and Tree gives them: "7-000010" stands for
// "0000000007-000010.MSG" (flag digits: Recent Answered Flagged Deleted Seen Draft).
inline const std::regex kShort("(^|/|\\.)0*(\\d+(-\\d{6})?)\\.MSG(\\*?)$");

// One more logged-in session on the same mail directory as the fixture's own.
struct OtherSession {
    std::unique_ptr<Session> session = std::make_unique<Session>();
    int peer = -1;
    // With SOCK_SEQPACKET each write of the server is one read of the client.
    explicit OtherSession(const std::string& mailDir, int nType = SOCK_STREAM) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, nType, 0, fds), 0);
        session->sockClient = fds[0], peer = fds[1];
        snprintf(session->szMailDir, sizeof(session->szMailDir), "%s", mailDir.c_str());
        session->State = Imap4Authorization;
    }
    ~OtherSession() { close(session->sockClient), close(peer); }
    std::string Run(const std::string& line) {
        snprintf(session->szRecv, sizeof(session->szRecv), "%s\r\n", line.c_str());
        DispatchCommand(session.get());
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    void Talk(std::initializer_list<std::pair<std::string, std::string>> conversation) {
        for (const auto& [request, answer] : conversation) EXPECT_EQ(Run(request), answer) << request;
    }
    // What arrives until it ends with the text, or nothing more comes for two seconds.
    std::string Await(const std::string& end) {
        std::string out;
        char buf[4096];
        struct pollfd fd = {peer, POLLIN, 0};
        while (!out.ends_with(end) && poll(&fd, 1, 2000) > 0) {
            ssize_t n = read(peer, buf, sizeof(buf));
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
};

class MailSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path.empty());
        for (const std::string& dir : {mailDir + "inbox", outside}) std::filesystem::create_directories(dir);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session->sockClient = fds[0], peer = fds[1];
        snprintf(session->szMailDir, sizeof(session->szMailDir), "%s", mailDir.c_str());
        Select("");
        session->State = Imap4Authorization;
    }
    void TearDown() override { close(session->sockClient); close(peer); }

    // Runs one received block through the dispatcher and returns what the client got.
    std::string Dispatch(const std::string& block) {
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", block.c_str());
        result = DispatchCommand(session.get());
        return Received();
    }
    std::string Received() {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    std::string Run(const std::string& line) { return Dispatch(line + "\r\n"); }
    // Each request in turn, with the exact answer it must get.
    void Talk(std::initializer_list<Pair> conversation) {
        for (const auto& [request, answer] : conversation) EXPECT_EQ(Run(request), answer) << request;
    }
    // Text the client sends that the server has not received yet.
    void ClientSends(const std::string& text) { ASSERT_EQ(write(peer, text.data(), text.size()), ssize_t(text.size())); }

    void Select(const std::string& name) {
        session->State = Imap4Selected;
        snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", (box = Path(name)).c_str());
    }
    std::string Path(const std::string& name) const { return mailDir + name; }
    void MakeMailbox(const std::string& name, bool bHidden = false) const {
        std::filesystem::create_directories(Path(name));
        EXPECT_TRUE(!bHidden || SetHiddenAttribute(Path(name).c_str(), true)) << name;
    }
    // Files below the mail directory with their text, their mailboxes made as needed.
    void Write(std::initializer_list<Pair> files) const {
        for (const auto& [name, text] : files) {
            std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
            WriteFile(Path(name), text);
        }
    }
    // Message files in the selected mailbox, written short; a trailing "/" makes a directory.
    void Put(const std::string& words) const {
        std::istringstream in(words);
        for (std::string w; in >> w;) {
            size_t at = w[0] == '.', digits = std::min(w.find_first_not_of("0123456789", at), w.size()) - at;
            if (digits > 0 && w.find('.', at) == std::string::npos) {
                w.insert(w.size() - (w.back() == '/'), ".MSG").insert(at, 10 - digits, '0');
            }
            if (w.back() == '/') std::filesystem::create_directory(box + "/" + w);
            else WriteFile(box + "/" + w, "Subject: " + w + "\r\n\r\nbody\r\n");
        }
    }
    // All below a directory (by default the mail directory), sorted, messages short, "*" after hidden ones.
    std::string Tree(const std::string& top = "") const {
        std::filesystem::path root = top.empty() ? mailDir : top;
        std::set<std::string> names;
        for (auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            // The keyword state a mailbox keeps beside its messages is the store's own business.
            std::string leaf = entry.path().filename().string();
            if (leaf == MOD_STATE_NAME || leaf == MOD_LOCK_NAME) continue;
            FindData data{};
            EXPECT_TRUE(FindEntry(entry.path().c_str(), &data)) << entry.path();
            std::string mark = data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN ? "*" : "";
            names.insert(entry.path().lexically_relative(root).string() + mark);
        }
        std::string all;
        for (const std::string& n : names) all += (all.empty() ? "" : " ") + std::regex_replace(n, kShort, "$1$2$4");
        return all;
    }

    TempDir tmp;
    std::string mailDir = tmp.path + "/mail/";    // ends in "/"
    std::string outside = tmp.path + "/outside";  // a sibling of the mail directory that no command may touch
    std::string box;                              // the selected mailbox
    std::unique_ptr<Session> session = std::make_unique<Session>();
    int peer = -1;
    int result = 1;  // what the dispatcher returned for the last block: 0 ends the connection
};

struct InboxSession : MailSession {
    void SetUp() override { MailSession::SetUp(); Select("inbox"); }
};
