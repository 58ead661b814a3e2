// Several sessions of one user working in one mailbox at the same time through the real server:
// whatever the interleaving, no message is lost or doubled and no UID is handed out twice.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "auth/base64.h"
#include "test_server.h"

namespace {

using Lines = std::vector<std::string>;

std::string Last(const Lines& lines) { return lines.empty() ? "" : lines.back(); }

class ConcurrentSessions : public ::testing::Test {
protected:
    void SetUp() override {
        mailDir = server.dir + "/users/ann/";
        std::filesystem::create_directories(server.dir + "/accounts");
        std::filesystem::create_directories(mailDir + "inbox");
        std::string record = "ann\tpw\t\t\t" + server.dir + "/users/ann";
        char encoded[2048];
        Base64Encode(record.data(), record.size(), encoded, sizeof(encoded));
        WriteFile(server.dir + "/accounts/test.local.idx", std::string(encoded) + "\n");
    }
    void Start() {
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(
            "\"UserManager\"=dword:00000000\n\"Membership\"=\"@DIR@/accounts/\"\n"
            "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n"
            "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n\"test.local\"=\"127.0.0.1\"\n")))
            << server.Output();
    }
    // Connects, logs in and selects; false on any failure (threads cannot ASSERT).
    bool Open(ImapClient& c, const std::string& mailbox) {
        return c.Connect(server.port) && !c.ReadLine().empty() &&
               Last(c.Command("l", "LOGIN ann pw")) == "l OK LOGIN completed\r\n" &&
               Last(c.Command("s", "SELECT " + mailbox)) == "s OK [READ-WRITE] SELECT completed\r\n";
    }
    // Message files of a mailbox by UID, each with its content.
    std::map<unsigned, Lines> Messages(const std::string& mailbox) {
        std::map<unsigned, Lines> found;
        for (auto& entry : std::filesystem::directory_iterator(mailDir + mailbox)) {
            std::string name = entry.path().filename();
            if (name.size() == 21 && name.ends_with(".MSG")) found[std::stoul(name)].push_back(ReadFile(entry.path()));
        }
        return found;
    }
    void Put(const std::string& mailbox, unsigned uid, const char* flags) {
        char name[32];
        snprintf(name, sizeof(name), "%010u-%s.MSG", uid, flags);
        WriteFile(mailDir + mailbox + "/" + name, "message " + std::to_string(uid) + "\r\n");
    }

    TestServer server;
    std::string mailDir;
};

TEST_F(ConcurrentSessions, FlagAndExpunge) {
    constexpr unsigned kMessages = 60;
    std::string doomed;  // every third UID
    for (unsigned uid = 1; uid <= kMessages; uid++) {
        Put("inbox", uid, "100000");
        if (uid % 3 == 0) doomed += (doomed.empty() ? "" : ",") + std::to_string(uid);
    }
    Start();
    std::atomic<int> failures{0};
    auto worker = [&](int id) {
        ImapClient c;
        if (!Open(c, "INBOX")) {
            failures++;
            return;
        }
        for (int round = 0; round < 12; round++) {
            std::string tag = "w" + std::to_string(id) + "r" + std::to_string(round);
            const std::string commands[] = {"UID STORE " + doomed + " +FLAGS.SILENT (\\Deleted)", "STORE 1:* +FLAGS (\\Seen)",
                                            round % 2 ? "STORE 1:* -FLAGS (\\Seen)" : "STORE 1:* FLAGS (\\Flagged)",
                                            "EXPUNGE", "SEARCH UNSEEN"};
            for (const std::string& command : commands) {
                if (Last(c.Command(tag, command)).rfind(tag + " OK ", 0) != 0) failures++;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) threads.emplace_back(worker, i);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);

    // A replacing FLAGS may have taken Deleted back from some; mark them once more and expunge.
    ImapClient c;
    ASSERT_TRUE(Open(c, "INBOX"));
    EXPECT_EQ(Last(c.Command("f1", "UID STORE " + doomed + " +FLAGS.SILENT (\\Deleted)")), "f1 OK STORE completed\r\n");
    EXPECT_EQ(Last(c.Command("f2", "EXPUNGE")), "f2 OK EXPUNGE completed\r\n");
    std::map<unsigned, Lines> left = Messages("inbox");
    for (unsigned uid = 1; uid <= kMessages; uid++) {
        EXPECT_EQ(left[uid].size(), uid % 3 == 0 ? 0u : 1u) << uid;
    }
    Lines all = c.Command("f3", "SEARCH ALL");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(std::count(all[0].begin(), all[0].end(), ' '), static_cast<long>(1 + kMessages - kMessages / 3));
}

TEST_F(ConcurrentSessions, AppendAndCopy) {
    constexpr int kSessions = 4, kAppends = 8, kSources = 5, kCopyRounds = 2;
    std::filesystem::create_directories(mailDir + "Source");
    std::filesystem::create_directories(mailDir + "Shared");
    for (int i = 1; i <= kSources; i++) Put("Source", i, "000010");
    Start();
    std::vector<std::string> failures(kSessions);
    std::vector<std::thread> threads;
    for (int s = 0; s < kSessions; s++) {
        threads.emplace_back([&, s] {
            ImapClient c;
            if (!Open(c, "Source")) {
                failures[s] = "login or select";
                return;
            }
            for (int i = 0; i < kAppends; i++) {
                // As a client does it: the command line, the continuation, then the literal.
                std::string tag = "p" + std::to_string(i), body = "session " + std::to_string(s) + " message " + tag;
                c.Send(tag + " APPEND Shared (\\Seen) {" + std::to_string(body.size()) + "}\r\n");
                if (c.ReadLine() != "+ Ready for literal data\r\n") failures[s] += " continuation " + tag;
                c.Send(body + "\r\n");
                if (Last(c.ReadUntilTagged(tag)) != tag + " OK APPEND completed\r\n") failures[s] += " " + tag;
                if (i % (kAppends / kCopyRounds) == 0 &&
                    Last(c.Command("c", "COPY 1:* Shared")) != "c OK COPY completed\r\n") {
                    failures[s] += " copy" + std::to_string(i);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int s = 0; s < kSessions; s++) EXPECT_EQ(failures[s], "") << "session " << s;

    std::map<unsigned, Lines> shared = Messages("Shared");
    std::map<std::string, int> contents;
    for (const auto& [uid, files] : shared) {
        EXPECT_EQ(files.size(), 1u) << "UID given twice: " << uid;
        for (const std::string& text : files) contents[text]++;
    }
    EXPECT_EQ(shared.size(), static_cast<size_t>(kSessions * (kAppends + kCopyRounds * kSources)));
    for (int s = 0; s < kSessions; s++) {
        for (int i = 0; i < kAppends; i++) {
            EXPECT_EQ(contents["session " + std::to_string(s) + " message p" + std::to_string(i) + "\r\n"], 1);
        }
    }
    for (int i = 1; i <= kSources; i++) {
        EXPECT_EQ(contents["message " + std::to_string(i) + "\r\n"], kSessions * kCopyRounds);
    }
    EXPECT_EQ(ReadFile(mailDir + "Shared/uid"), std::to_string(shared.rbegin()->first + 1));
}

}  // namespace
