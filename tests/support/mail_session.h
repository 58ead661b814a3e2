// A logged-in session on a mail directory under /tmp, its socket one end of a pair: a test sends
// what a client sends and compares the exact bytes the client gets.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "imap/dispatch.h"
#include "platform/fs.h"
#include "test_server.h"

using NameList = std::vector<std::string>;
using Pair = std::pair<const char*, const char*>;

// Message file names written short: "7-000010" is "0000000007-000010.MSG" (flag digits: Recent Answered
// Flagged Deleted Seen Draft), a leading "." and a trailing "/" kept; other words are names as they are.
inline NameList Names(const std::string& words) {
    NameList names;
    std::istringstream in(words);
    for (std::string w; in >> w; names.push_back(w)) {
        size_t at = w[0] == '.', digits = std::min(w.find_first_not_of("0123456789", at), w.size()) - at;
        if (digits == 0 || w.find('.', at) != std::string::npos) continue;
        w.insert(w.size() - (w.back() == '/'), ".MSG").insert(at, 10 - digits, '0');
    }
    std::sort(names.begin(), names.end());
    return names;
}

class MailSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path.empty());
        for (const std::string& dir : {mailDir + "inbox", outside}) std::filesystem::create_directories(dir);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session->sockClient = fds[0];
        peer = fds[1];
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
    // What the client got so far.
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
    // Files below the mail directory with their text, their mailboxes made as needed.
    void Write(std::initializer_list<Pair> files) const {
        for (const auto& [name, text] : files) {
            std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
            WriteFile(Path(name), text);
        }
    }
    // Message files (see Names) in the selected mailbox; a name ending in "/" becomes a directory.
    void Put(const std::string& words) const {
        for (const std::string& name : Names(words)) {
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
    NameList List(const std::string& path = "") const {
        NameList names;
        for (auto& entry : std::filesystem::directory_iterator(path.empty() ? box : path)) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir tmp;
    std::string mailDir = tmp.path + "/mail/";    // ends in "/"
    std::string outside = tmp.path + "/outside";  // a sibling of the mail directory that no command may touch
    std::string box;                              // the selected mailbox
    std::unique_ptr<Session> session = std::make_unique<Session>();
    int peer = -1;
    int result = 1;  // what the dispatcher returned for the last block: 0 ends the connection
};

// The same with the inbox selected.
struct InboxSession : MailSession {
    void SetUp() override { MailSession::SetUp(); Select("inbox"); }
};
