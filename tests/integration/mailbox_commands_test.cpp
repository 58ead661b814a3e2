// The mailbox commands against the real server: a client's folder work from CREATE to DELETE,
// APPEND's literal over TCP, and several sessions of one user filling one mailbox at once.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "auth/base64.h"
#include "test_server.h"

namespace {

std::string UserLine(const std::string& record) {
    char encoded[2048];
    Base64Encode(record.data(), record.size(), encoded, sizeof(encoded));
    return std::string(encoded) + "\n";
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

class MailboxCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((server.dir + "/accounts").c_str(), 0755);
        mkdir((server.dir + "/users").c_str(), 0755);
        mkdir((server.dir + "/users/ann").c_str(), 0755);
        mailDir = server.dir + "/users/ann/";
        WriteFile(server.dir + "/accounts/test.local.idx", UserLine("ann\tpw\t\t\t" + server.dir + "/users/ann"));
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(
            "\"UserManager\"=dword:00000000\n"
            "\"Membership\"=\"@DIR@/accounts/\"\n"
            "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n"
            "\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n"
            "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
            "\"test.local\"=\"127.0.0.1\"\n")))
            << server.Output();
    }
    void LogIn(ImapClient& c) {
        ASSERT_TRUE(c.Connect(server.port));
        ASSERT_FALSE(c.ReadLine().empty());
        ASSERT_EQ(Last(c.Command("l", "LOGIN ann pw")), "l OK LOGIN completed\r\n");
    }
    // APPEND as a client does it: the command line, the continuation, then the literal.
    std::vector<std::string> Append(ImapClient& c, const std::string& tag, const std::string& mailbox,
                                    const std::string& message) {
        c.Send(tag + " APPEND " + mailbox + " (\\Seen) {" + std::to_string(message.size()) + "}\r\n");
        std::string continuation = c.ReadLine();
        if (continuation != "+ Ready for literal data\r\n") return {continuation};
        c.Send(message + "\r\n");
        return c.ReadUntilTagged(tag);
    }
    TestServer server;
    std::string mailDir;
};

TEST_F(MailboxCommandsTest, AFolderFromCreateToDelete) {
    ImapClient c;
    LogIn(c);
    EXPECT_EQ(c.Command("a1", "CREATE \"Work\""), std::vector<std::string>{"a1 OK CREATE completed\r\n"});
    EXPECT_EQ(c.Command("a2", "LSUB \"\" *"),
              (std::vector<std::string>{"* LSUB () \"/\" inbox\r\n", "* LSUB (\\Noselect) \"/\" Work\r\n",
                                        "a2 OK LSUB completed\r\n"}));
    EXPECT_EQ(Last(c.Command("a3", "SUBSCRIBE Work")), "a3 OK SUBSCRIBE completed\r\n");

    const std::string message = "From: ann@test.local\r\nSubject: kept\r\n\r\nbody\r\n";
    EXPECT_EQ(Last(Append(c, "a4", "Work", message)), "a4 OK APPEND completed\r\n");
    EXPECT_EQ(Last(Append(c, "a5", "Nowhere", message)), "a5 NO [TRYCREATE] APPEND fails\r\n");
    EXPECT_EQ(ReadFile(mailDir + "Work/0000000001-100010.MSG"), message + "\r\n");

    ASSERT_EQ(Last(c.Command("a6", "SELECT Work")), "a6 OK [READ-WRITE] SELECT completed\r\n");
    EXPECT_EQ(c.Command("a7", "COPY 1 INBOX"), std::vector<std::string>{"a7 OK COPY completed\r\n"});
    EXPECT_EQ(c.Command("a8", "UID COPY 1 Nowhere"), std::vector<std::string>{"a8 NO [TRYCREATE] COPY fails\r\n"});
    EXPECT_EQ(Names(mailDir + "inbox"), (std::vector<std::string>{"0000000001-100010.MSG", "uid"}));

    EXPECT_EQ(c.Command("a9", "RENAME Work \"Done\""), std::vector<std::string>{"a9 OK RENAME successful\r\n"});
    EXPECT_EQ(c.Command("b1", "LIST \"\" %"),
              (std::vector<std::string>{"* LIST (\\Noselect) \"/\" Done\r\n", "* LIST () \"/\" inbox\r\n",
                                        "b1 OK LIST completed\r\n"}));
    EXPECT_EQ(c.Command("b2", "DELETE Done"), std::vector<std::string>{"b2 NO DELETE failed\r\n"});
    EXPECT_EQ(c.Command("b3", "DELETE INBOX"), std::vector<std::string>{"b3 NO DELETE failed\r\n"});
    EXPECT_EQ(Names(mailDir), (std::vector<std::string>{"Done", "imap.idx", "inbox"}));
}

TEST_F(MailboxCommandsTest, ALiteralInPiecesAndTheRequestBehindIt) {
    ImapClient c;
    LogIn(c);
    c.Send("a1 APPEND inbox {12}\r\nfirst ");
    c.Send("part\r\n");
    c.Send("\r\na2 NOOP\r\n");
    EXPECT_EQ(c.ReadUntilTagged("a2"),
              (std::vector<std::string>{"a1 OK APPEND completed\r\n", "a2 OK NOOP completed\r\n"}));
    EXPECT_EQ(ReadFile(mailDir + "inbox/0000000001-100000.MSG"), "first part\r\n\r\n");
    // A literal for a mailbox that does not exist is dropped, never run.
    c.Send("a3 APPEND Nowhere {11}\r\na9 LOGOUT\r\n\r\na4 NOOP\r\n");
    EXPECT_EQ(c.ReadUntilTagged("a4"),
              (std::vector<std::string>{"a3 NO [TRYCREATE] APPEND fails\r\n", "a4 OK NOOP completed\r\n"}));
}

// Several sessions of one user append to and copy into one mailbox at the same time: every
// message arrives once, under a UID of its own.
TEST_F(MailboxCommandsTest, ConcurrentAppendsAndCopiesKeepEveryMessageOnce) {
    constexpr int kSessions = 4;
    constexpr int kAppends = 8;
    constexpr int kSources = 5;
    mkdir((mailDir + "Source").c_str(), 0755);
    mkdir((mailDir + "Shared").c_str(), 0755);
    for (int i = 1; i <= kSources; i++) {
        char name[32];
        snprintf(name, sizeof(name), "%010d-000010.MSG", i);
        WriteFile(mailDir + "Source/" + name, "source " + std::to_string(i) + "\r\n");
    }

    std::vector<std::string> failures(kSessions);
    std::vector<std::thread> threads;
    for (int s = 0; s < kSessions; s++) {
        threads.emplace_back([&, s] {
            ImapClient c;
            if (!c.Connect(server.port) || c.ReadLine().empty() ||
                Last(c.Command("l", "LOGIN ann pw")) != "l OK LOGIN completed\r\n" ||
                Last(c.Command("s", "SELECT Source")) != "s OK [READ-WRITE] SELECT completed\r\n") {
                failures[s] = "login or select";
                return;
            }
            for (int i = 0; i < kAppends; i++) {
                std::string tag = "p" + std::to_string(i);
                std::string body = "session " + std::to_string(s) + " message " + std::to_string(i) + "\r\n";
                if (Last(Append(c, tag, "Shared", body)) != tag + " OK APPEND completed\r\n") failures[s] += " " + tag;
                if (i % 4 == 0 && Last(c.Command("c" + std::to_string(i), "COPY 1:* Shared")) !=
                                      "c" + std::to_string(i) + " OK COPY completed\r\n") {
                    failures[s] += " copy" + std::to_string(i);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int s = 0; s < kSessions; s++) EXPECT_EQ(failures[s], "") << "session " << s;

    std::set<unsigned> uids;
    std::map<std::string, int> contents;
    for (const std::string& name : Names(mailDir + "Shared")) {
        if (name == "uid") continue;
        ASSERT_EQ(name.size(), 21u) << name;
        EXPECT_TRUE(uids.insert(std::stoul(name.substr(0, 10))).second) << "UID given twice: " << name;
        contents[ReadFile(mailDir + "Shared/" + name)]++;
    }
    constexpr int kCopyRounds = (kAppends + 3) / 4;
    EXPECT_EQ(uids.size(), static_cast<size_t>(kSessions * (kAppends + kCopyRounds * kSources)));
    for (int s = 0; s < kSessions; s++) {
        for (int i = 0; i < kAppends; i++) {
            EXPECT_EQ(contents["session " + std::to_string(s) + " message " + std::to_string(i) + "\r\n\r\n"], 1);
        }
    }
    for (int i = 1; i <= kSources; i++) {
        EXPECT_EQ(contents["source " + std::to_string(i) + "\r\n"], kSessions * kCopyRounds);
    }
    EXPECT_EQ(ReadFile(mailDir + "Shared/uid"), std::to_string(*uids.rbegin() + 1));
}

}  // namespace
