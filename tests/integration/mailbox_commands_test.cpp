// Sessions of one user in one mailbox at once through the real server: no message lost or doubled, no UID twice.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "auth/base64.h"
#include "test_server.h"

namespace {

using Files = std::map<unsigned, std::vector<std::string>>;  // the texts of a mailbox's message files by UID

std::string Last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }
std::string Text(unsigned uid) { return "message " + std::to_string(uid) + "\r\n"; }

class ConcurrentSessions : public ::testing::Test {
protected:
    void SetUp() override {
        server.AddUser("ann", "pw");
        for (const char* box : {"inbox", "Source", "Shared"}) std::filesystem::create_directories(mailDir + box);
        ASSERT_TRUE(server.Start(TestServer::UserFileRegistry()))
            << server.Output();
    }
    // Runs the body in n sessions at once, each logged in with the mailbox selected.
    void InSessions(int n, const std::string& mailbox, const std::function<void(ImapClient&, int)>& body) {
        std::vector<std::jthread> threads;  // joined as they go
        for (int i = 0; i < n; i++) {
            threads.emplace_back([&, i] {
                ImapClient c;
                ASSERT_TRUE(c.Connect(server.port) && !c.ReadLine().empty());
                ASSERT_EQ(Last(c.Command("l", "LOGIN ann pw")), "l OK LOGIN completed\r\n");
                ASSERT_EQ(Last(c.Command("s", "SELECT " + mailbox)), "s OK [READ-WRITE] SELECT completed\r\n");
                body(c, i);
            });
        }
    }
    void Put(const std::string& mailbox, unsigned uid, const char* flags) {
        char name[32];
        snprintf(name, sizeof(name), "/%010u-%s.MSG", uid, flags);
        WriteFile(mailDir + mailbox + name, Text(uid));
    }
    Files Messages(const std::string& mailbox) {
        Files found;
        for (auto& entry : std::filesystem::directory_iterator(mailDir + mailbox)) {
            std::string name = entry.path().filename();
            if (name.size() == 21 && name.ends_with(".MSG")) found[std::stoul(name)].push_back(ReadFile(entry.path()));
        }
        return found;
    }

    TestServer server;
    std::string mailDir = server.dir + "/users/ann/";
};

TEST_F(ConcurrentSessions, FlagAndExpunge) {
    constexpr unsigned kMessages = 60;
    std::string doomed;  // every third UID
    Files kept;
    for (unsigned uid = 1; uid <= kMessages; uid++) {
        Put("inbox", uid, "100000");
        if (uid % 3 == 0) doomed += (doomed.empty() ? "" : ",") + std::to_string(uid);
        else kept[uid] = {Text(uid)};
    }
    const std::string mark = "UID STORE " + doomed + " +FLAGS.SILENT (\\Deleted)";
    InSessions(4, "INBOX", [&](ImapClient& c, int id) {
        for (int round = id; round < id + 12; round++) {  // out of step, so FLAGS and -FLAGS meet
            const char* change = round % 2 ? "STORE 1:* -FLAGS (\\Seen)" : "STORE 1:* FLAGS (\\Flagged)";
            for (std::string line : {mark.c_str(), "STORE 1:* +FLAGS (\\Seen)", change, "EXPUNGE", "SEARCH UNSEEN"}) {
                EXPECT_EQ(Last(c.Command("t", line)).substr(0, 5), "t OK ") << line;
            }
        }
    });
    // A replacing FLAGS may have taken Deleted back from some; mark them once more and expunge.
    InSessions(1, "INBOX", [&](ImapClient& c, int) {
        EXPECT_EQ(Last(c.Command("f", mark)), "f OK STORE completed\r\n");
        EXPECT_EQ(Last(c.Command("f", "EXPUNGE")), "f OK EXPUNGE completed\r\n");
    });
    EXPECT_EQ(Messages("inbox"), kept);
}

TEST_F(ConcurrentSessions, AppendAndCopy) {
    constexpr int kSessions = 4, kAppends = 8, kSources = 5, kCopyRounds = 2;
    auto body = [](int s, int i) { return "session " + std::to_string(s) + " p" + std::to_string(i); };
    std::multiset<std::string> expected, found;
    for (int s = 0; s < kSessions; s++) {
        for (int i = 0; i < kAppends; i++) expected.insert(body(s, i) + "\r\n");
        for (int i = 0; i < kCopyRounds * kSources; i++) expected.insert(Text(i % kSources + 1));
    }
    for (int i = 1; i <= kSources; i++) Put("Source", i, "000010");
    std::atomic<int> nAppending{kSessions};
    InSessions(kSessions + 1, "Source", [&](ImapClient& c, int s) {
        if (s == kSessions) {  // renames flags under the appends, which must not touch a message half stored
            EXPECT_EQ(Last(c.Command("f", "SELECT Shared")), "f OK [READ-WRITE] SELECT completed\r\n");
            for (int i = 0; nAppending > 0; i++) {
                c.Command("f", i % 2 ? "STORE 1:* -FLAGS (\\Seen)" : "STORE 1:* +FLAGS (\\Seen)");
            }
            return;
        }
        for (int i = 0; i < kAppends; i++) {
            // As a client does it: the command line, the continuation, then the literal.
            std::string tag = "p" + std::to_string(i), text = body(s, i);
            c.Send(tag + " APPEND Shared (\\Seen) {" + std::to_string(text.size()) + "}\r\n");
            EXPECT_EQ(c.ReadLine(), "+ Ready for literal data\r\n");
            c.Send(text + "\r\n");
            EXPECT_EQ(Last(c.ReadUntilTagged(tag)), tag + " OK APPEND completed\r\n");
            if (i % (kAppends / kCopyRounds) != 0) continue;
            EXPECT_EQ(Last(c.Command("c", "COPY 1:* Shared")), "c OK COPY completed\r\n");
        }
        --nAppending;
    });
    Files shared = Messages("Shared");
    for (const auto& [uid, texts] : shared) {
        EXPECT_EQ(texts.size(), 1u) << "UID given twice: " << uid;
        found.insert(texts.begin(), texts.end());
    }
    ASSERT_EQ(found, expected);
    EXPECT_EQ(ReadFile(mailDir + "Shared/uid"), std::to_string(shared.rbegin()->first + 1));
}

}  // namespace
