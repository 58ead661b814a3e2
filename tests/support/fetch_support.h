// A selected session on a mailbox directory of its own. FETCH runs through the dispatcher and a
// reader thread takes everything a client would receive, however large.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>

#include "dir_listing.h"
#include "store/mod_state.h"
#include "imap/dispatch.h"
#include "imap/fetch/items.h"
#include "imap/session_io.h"
#include "test_server.h"

// The untagged answer for one message, and the completion.
inline std::string Answer(const std::string& items, unsigned ulSequence = 1) {
    return "* " + std::to_string(ulSequence) + " FETCH (" + items + ")\r\na1 OK FETCH completed\r\n";
}
inline std::string Literal(const std::string& label, const std::string& bytes) {
    return label + " {" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

struct FetchFixture {
    TempDir dir;
    std::unique_ptr<Session> session = std::make_unique<Session>();

    FetchFixture() {
        session->State = Imap4Selected;
        session->lLoginNo = 7;
        snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", dir.path.c_str());
    }
    // Writes "%010u-<flags>.MSG"; with a key, scrambled (0xFF, the key, hex pairs of byte ^ key).
    std::string Add(unsigned uid, const std::string& flags, const std::string& content, int key = -1) {
        char name[64];
        snprintf(name, sizeof(name), "%010u-%s.MSG", uid, flags.c_str());
        std::string stored = key < 0 ? content : std::string{'\xFF', static_cast<char>(key)};
        for (size_t i = 0; key >= 0 && i < content.size(); i++) {
            char hex[3];
            snprintf(hex, sizeof(hex), "%02X", static_cast<unsigned char>(static_cast<unsigned char>(content[i]) ^ key));
            stored += hex;
        }
        WriteFile(dir.path + "/" + name, stored);
        return name;
    }
    // The mailbox's files, without the keyword state the store keeps beside them.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names = SortedNames(dir.path);
        std::erase_if(names, [](const std::string& name) { return name == MOD_STATE_NAME || name == MOD_LOCK_NAME; });
        return names;
    }
    // Everything sent while the body runs; with bGone the client has closed its end first.
    std::string Capture(const std::function<void()>& body, bool bGone = false) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "<socketpair failed>";
        std::string received;
        std::thread reader;
        if (bGone) close(fds[1]);
        else reader = std::thread([&received, fd = fds[1]] {
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) received.append(buffer, static_cast<size_t>(n));
        });
        session->sockClient = fds[0];
        body();
        if (OutputHeld(session.get())) OutputFlush(session.get());
        shutdown(fds[0], SHUT_WR);
        if (reader.joinable()) reader.join(), close(fds[1]);
        close(fds[0]);
        return received;
    }
    // "a1 FETCH <args>"; args beginning with "UID " make it a UID FETCH.
    std::string Fetch(const std::string& args, bool bGone = false) {
        std::string line = (args.starts_with("UID ") ? "a1 UID FETCH " + args.substr(4) : "a1 FETCH " + args) + "\r\n";
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", line.c_str());
        return Capture([this] { DispatchCommand(session.get()); }, bGone);
    }
};

// Each pair: the items asked for a message alone in its mailbox, and what is answered between
// "(" and ")".
using Cases = std::vector<std::pair<std::string, std::string>>;
inline void ExpectAnswers(const std::string& message, const Cases& cases) {
    FetchFixture f;
    f.Add(1, "000000", message);
    for (const auto& [items, answer] : cases) EXPECT_EQ(f.Fetch("1 " + items), Answer(answer)) << items;
}
