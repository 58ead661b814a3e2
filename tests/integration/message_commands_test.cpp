// STORE, SEARCH, EXPUNGE and CLOSE over a real connection, and several sessions of one user
// flagging and expunging one mailbox at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "auth/base64.h"
#include "test_server.h"

namespace {

using Lines = std::vector<std::string>;

std::string UserLine(const std::string& record) {
    char encoded[2048];
    Base64Encode(record.data(), record.size(), encoded, sizeof(encoded));
    return std::string(encoded) + "\n";
}

std::string MessageName(unsigned uid, const char* flags) {
    char name[32];
    snprintf(name, sizeof(name), "%010u-%s.MSG", uid, flags);
    return name;
}

class MessageCommands : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((server.dir + "/accounts").c_str(), 0755);
        mkdir((server.dir + "/users").c_str(), 0755);
        mkdir((server.dir + "/users/ann").c_str(), 0755);
        inbox = server.dir + "/users/ann/inbox";
        mkdir(inbox.c_str(), 0755);
        WriteFile(server.dir + "/accounts/test.local.idx",
                  UserLine("ann\tSecret\t\t\t" + server.dir + "/users/ann"));
    }
    void Start() {
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(
            "\"UserManager\"=dword:00000000\n"
            "\"Membership\"=\"@DIR@/accounts/\"\n"
            "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n"
            "\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n"
            "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
            "\"test.local\"=\"127.0.0.1\"\n")))
            << server.Output();
    }
    void Put(unsigned uid, const char* flags) {
        WriteFile(inbox + "/" + MessageName(uid, flags), "Subject: " + std::to_string(uid) + "\r\n\r\nbody\r\n");
    }
    // Connects, logs in and selects the inbox.
    void Open(ImapClient& c) {
        ASSERT_TRUE(c.Connect(server.port));
        ASSERT_EQ(c.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
        ASSERT_EQ(Last(c.Command("l", "LOGIN ann Secret")), "l OK LOGIN completed\r\n");
        ASSERT_EQ(Last(c.Command("s", "SELECT INBOX")), "s OK [READ-WRITE] SELECT completed\r\n");
    }
    static std::string Last(const Lines& lines) { return lines.empty() ? "" : lines.back(); }
    std::vector<std::string> MessageFiles() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(inbox.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".MSG") == 0) names.push_back(name);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TestServer server;
    ImapClient client;
    std::string inbox;
};

TEST_F(MessageCommands, FlagSearchExpungeAndClose) {
    for (unsigned uid = 1; uid <= 5; uid++) Put(uid * 10, "000000");
    Start();
    Open(client);

    EXPECT_EQ(client.Command("a1", "STORE 2:3 +FLAGS (\\Deleted)"),
              (Lines{"* 2 FETCH (FLAGS (\\Deleted))\r\n", "* 3 FETCH (FLAGS (\\Deleted))\r\n",
                     "a1 OK STORE completed\r\n"}));
    EXPECT_EQ(client.Command("a2", "UID STORE 50 FLAGS.SILENT (\\Seen \\Flagged)"), Lines{"a2 OK STORE completed\r\n"});
    EXPECT_EQ(client.Command("a3", "UID STORE 40 +FLAGS \\Answered"),
              (Lines{"* 4 FETCH (FLAGS (\\Answered))\r\n", "a3 OK STORE completed\r\n"}));
    EXPECT_EQ(client.Command("a4", "SEARCH DELETED"), (Lines{"* SEARCH 2 3\r\n", "a4 OK SEARCH completed\r\n"}));
    EXPECT_EQ(client.Command("a5", "UID SEARCH NOT DELETED UNSEEN"),
              (Lines{"* SEARCH 10 40\r\n", "a5 OK SEARCH completed\r\n"}));
    EXPECT_EQ(client.Command("a6", "STORE 1"), Lines{"a6 BAD STORE illegal argument\r\n"});
    EXPECT_EQ(client.Command("a7", "EXPUNGE"),
              (Lines{"* 2 EXPUNGE\r\n", "* 2 EXPUNGE\r\n", "a7 OK EXPUNGE completed\r\n"}));
    EXPECT_EQ(MessageFiles(), (std::vector<std::string>{MessageName(10, "000000"), MessageName(40, "010000"),
                                                        MessageName(50, "001010")}));
    EXPECT_EQ(client.Command("a8", "SEARCH ALL"), (Lines{"* SEARCH 1 2 3\r\n", "a8 OK SEARCH completed\r\n"}));

    EXPECT_EQ(client.Command("a9", "STORE 1 +FLAGS.SILENT (\\Deleted)"), Lines{"a9 OK STORE completed\r\n"});
    EXPECT_EQ(client.Command("b1", "CLOSE"), Lines{"b1 OK CLOSE completed\r\n"});
    EXPECT_EQ(client.Command("b2", "EXPUNGE"), Lines{"b2 NO Command unrecognized: EXPUNGE\r\n"});
    EXPECT_EQ(client.Command("b3", "SEARCH ALL"), Lines{"b3 NO Command unrecognized: SEARCH\r\n"});
    EXPECT_EQ(MessageFiles(), (std::vector<std::string>{MessageName(40, "010000"), MessageName(50, "001010")}));
}

TEST_F(MessageCommands, LongSearchLineArrivesWhole) {
    std::string expected = "* SEARCH";
    for (unsigned uid = 1; uid <= 2500; uid++) {
        Put(uid, uid % 5 == 0 ? "000010" : "000000");
        if (uid % 5 != 0) expected += " " + std::to_string(uid);
    }
    expected += "\r\n";
    Start();
    Open(client);
    ASSERT_GT(expected.size(), 8193u);
    EXPECT_EQ(client.Command("a1", "UID SEARCH UNSEEN"), (Lines{expected, "a1 OK SEARCH completed\r\n"}));
    EXPECT_EQ(client.Command("a2", "SEARCH UNSEEN"), (Lines{expected, "a2 OK SEARCH completed\r\n"}));
}

// Several sessions of one user flag, unflag and expunge the same messages at once. Whatever
// the interleaving, every message that is not to go stays exactly once, and in the end every
// message marked for removal is gone.
TEST_F(MessageCommands, ConcurrentSessionsLoseAndDoubleNothing) {
    constexpr unsigned kMessages = 60;
    constexpr int kSessions = 4;
    constexpr int kRounds = 12;
    std::string doomed;  // every third UID
    for (unsigned uid = 1; uid <= kMessages; uid++) {
        Put(uid, "100000");
        if (uid % 3 == 0) doomed += (doomed.empty() ? "" : ",") + std::to_string(uid);
    }
    Start();

    std::atomic<int> failures{0};
    auto worker = [&](int id) {
        ImapClient c;
        Open(c);
        auto ok = [&](const std::string& tag, const std::string& command) {
            Lines lines = c.Command(tag, command);
            if (Last(lines).rfind(tag + " OK ", 0) != 0) failures++;
        };
        for (int round = 0; round < kRounds; round++) {
            std::string tag = "w" + std::to_string(id) + "r" + std::to_string(round);
            ok(tag + "a", "UID STORE " + doomed + " +FLAGS.SILENT (\\Deleted)");
            ok(tag + "b", "STORE 1:* +FLAGS (\\Seen)");
            ok(tag + "c", (round % 2 == 0 ? "STORE 1:* FLAGS (\\Flagged)" : "STORE 1:* -FLAGS (\\Seen)"));
            ok(tag + "d", "EXPUNGE");
            ok(tag + "e", "SEARCH UNSEEN");
        }
        ok("z", "LOGOUT");
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; i++) threads.emplace_back(worker, i);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);

    // A replacing FLAGS may have taken Deleted back from some; mark them once more and expunge.
    Open(client);
    EXPECT_EQ(Last(client.Command("f1", "UID STORE " + doomed + " +FLAGS.SILENT (\\Deleted)")),
              "f1 OK STORE completed\r\n");
    EXPECT_EQ(Last(client.Command("f2", "EXPUNGE")), "f2 OK EXPUNGE completed\r\n");

    std::map<unsigned, int> filesPerUid;
    for (const std::string& name : MessageFiles()) filesPerUid[static_cast<unsigned>(std::stoul(name.substr(0, 10)))]++;
    for (unsigned uid = 1; uid <= kMessages; uid++) {
        SCOPED_TRACE(uid);
        EXPECT_EQ(filesPerUid[uid], uid % 3 == 0 ? 0 : 1);
    }
    EXPECT_EQ(MessageFiles().size(), kMessages - kMessages / 3);
    Lines all = client.Command("f3", "SEARCH ALL");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(std::count(all[0].begin(), all[0].end(), ' '), static_cast<long>(1 + kMessages - kMessages / 3));
}

}  // namespace
