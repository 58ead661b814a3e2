// Sessions of one user in one mailbox at once through the real server: no message lost or doubled, no UID twice;
// the UIDs that UIDPLUS reports against the files they name.
#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "auth/base64.h"
#include "test_server.h"

namespace {

using Files = std::map<unsigned, std::vector<std::string>>;  // the texts of a mailbox's message files by UID

std::string Last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }
std::string Text(unsigned uid) { return "message " + std::to_string(uid) + "\r\n"; }

// The UID of an APPENDUID answer to the tag; 0 for any other answer. Read without std::regex,
// whose construction races on the locale's lazily filled tables when sessions' threads meet.
unsigned AppendedUid(const std::string& answer, const std::string& tag) {
    const std::string head = tag + " OK [APPENDUID ", tail = "] APPEND completed\r\n";
    if (!answer.starts_with(head) || !answer.ends_with(tail) || answer.size() < head.size() + tail.size()) return 0;
    const char* end = answer.data() + answer.size() - tail.size();
    unsigned validity = 0, uid = 0;
    auto [afterValidity, ec] = std::from_chars(answer.data() + head.size(), end, validity);
    if (ec != std::errc() || afterValidity == end || *afterValidity != ' ') return 0;
    auto [afterUid, ec2] = std::from_chars(afterValidity + 1, end, uid);
    return ec2 == std::errc() && afterUid == end ? uid : 0;
}

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
                ASSERT_TRUE(c.LoggedIn(server.port, "ann", "pw"));
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

    // A session logged in with the mailbox selected; the SELECT answer's UIDVALIDITY.
    std::string Open(ImapClient& c, const std::string& mailbox) {
        EXPECT_TRUE(c.LoggedIn(server.port, "ann", "pw"));
        std::string all;
        for (const std::string& line : c.Command("s", "SELECT " + mailbox)) all += line;
        std::smatch m;
        EXPECT_TRUE(std::regex_search(all, m, std::regex("UIDVALIDITY (\\d+)"))) << all;
        return m.empty() ? "" : m[1].str();
    }
    std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            lines.push_back(text.substr(at, end + 1 - at));
        }
        return lines;
    }

    TestServer server;
    std::string mailDir = server.dir + "/users/ann/";
};

TEST_F(ConcurrentSessions, UidplusCodesNameTheFilesAndMoveRenamesThem) {
    for (unsigned uid = 1; uid <= 6; uid++) Put("Source", uid, "000000");
    ImapClient a, b;
    Open(a, "Source");
    std::string v = Open(b, "Shared");
    a.Send("p APPEND Shared {8}\r\n");
    EXPECT_EQ(a.ReadLine(), "+ Ready for literal data\r\n");
    a.Send("appended\r\n");
    EXPECT_EQ(Last(a.ReadUntilTagged("p")), "p OK [APPENDUID " + v + " 1] APPEND completed\r\n");
    // The codes pair each source UID with its copy's, in the order the set names them.
    EXPECT_EQ(Last(a.Command("c", "COPY 3,1:2 Shared")), "c OK [COPYUID " + v + " 3,1:2 2,3:4] COPY completed\r\n");
    // Another session expunges UID 1 before this one has been told: MOVE passes over it.
    EXPECT_EQ(Last(b.Command("b", "SELECT Source")), "b OK [READ-WRITE] SELECT completed\r\n");
    EXPECT_EQ(Last(b.Command("b", "STORE 1 +FLAGS.SILENT (\\Deleted)")), "b OK STORE completed\r\n");
    EXPECT_EQ(Last(b.Command("b", "EXPUNGE")), "b OK EXPUNGE completed\r\n");
    EXPECT_EQ(a.Command("m", "MOVE 1,5:6 Shared"),
              Lines("* OK [COPYUID " + v + " 5:6 5:6] Moved\r\n* 6 EXPUNGE\r\n* 5 EXPUNGE\r\n* 1 EXPUNGE\r\n"
                    "m OK MOVE completed\r\n"));
    // UID EXPUNGE removes only the named one of two messages flagged \Deleted.
    EXPECT_EQ(Last(a.Command("x", "STORE 1:2 +FLAGS.SILENT (\\Deleted)")), "x OK STORE completed\r\n");
    EXPECT_EQ(a.Command("x", "UID EXPUNGE 3"), Lines("* 2 EXPUNGE\r\nx OK EXPUNGE completed\r\n"));
    EXPECT_EQ(a.Command("u", "UID MOVE 4 Shared"),
              Lines("* OK [COPYUID " + v + " 4 7] Moved\r\n* 2 EXPUNGE\r\nu OK MOVE completed\r\n"));
    EXPECT_EQ(Last(a.Command("u", "UID MOVE 9 Shared")), "u OK MOVE completed\r\n");
    EXPECT_EQ(Last(a.Command("u", "MOVE 1 Nowhere")), "u NO [TRYCREATE] MOVE fails\r\n");
    EXPECT_EQ(Messages("Source"), (Files{{2, {Text(2)}}}));
    EXPECT_EQ(Messages("Shared"), (Files{{1, {"appended\r\n"}}, {2, {Text(3)}}, {3, {Text(1)}}, {4, {Text(2)}},
                                        {5, {Text(5)}}, {6, {Text(6)}}, {7, {Text(4)}}}));
    // Moved messages are new in their mailbox and keep their flags.
    EXPECT_TRUE(FileExists(mailDir + "Shared/0000000007-100000.MSG"));
    EXPECT_TRUE(FileExists(mailDir + "Source/0000000002-000100.MSG"));
}

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
    std::mutex appendedLock;
    Files appended;
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
            // The UID the answer names is the file the text went to.
            std::string answer = Last(c.ReadUntilTagged(tag));
            unsigned uid = AppendedUid(answer, tag);
            EXPECT_NE(uid, 0u) << answer;
            if (uid != 0) {
                std::lock_guard lock(appendedLock);
                appended[uid].push_back(text + "\r\n");
            }
            if (i % (kAppends / kCopyRounds) != 0) continue;
            EXPECT_EQ(Last(c.Command("c", "COPY 1:* Shared")).substr(0, 14), "c OK [COPYUID ");
        }
        --nAppending;
    });
    Files shared = Messages("Shared");
    for (const auto& [uid, texts] : shared) {
        EXPECT_EQ(texts.size(), 1u) << "UID given twice: " << uid;
        found.insert(texts.begin(), texts.end());
    }
    ASSERT_EQ(found, expected);
    for (const auto& [uid, texts] : appended) EXPECT_EQ(shared[uid], texts) << uid;
    EXPECT_EQ(ReadFile(mailDir + "Shared/uid"), std::to_string(shared.rbegin()->first + 1));
}

}  // namespace

namespace {

// Two servers on one mail directory, one following it by events and one by polling: each tells
// its clients of every change the other's clients make.
TEST(TwoServers, EachTellsItsClientsWhatTheOtherChanged) {
    TestServer a, b;
    std::string mailDir = a.AddUser("ann", "pw");
    std::filesystem::create_directories(mailDir + "inbox");
    for (int uid = 1; uid <= 3; uid++) {
        WriteFile(mailDir + "inbox/000000000" + std::to_string(uid) + "-000000.MSG", Text(static_cast<unsigned>(uid)));
    }
    WriteFile(mailDir + "inbox/uid", "4");
    ASSERT_TRUE(a.Start(TestServer::UserFileRegistry())) << a.Output();
    std::filesystem::create_directories(b.dir + "/accounts");
    std::filesystem::copy_file(a.dir + "/accounts/test.local.idx", b.dir + "/accounts/test.local.idx");
    std::string registry = TestServer::UserFileRegistry();
    registry.insert(registry.find('\n') + 1, "\"MailboxWatch\"=\"poll\"\n");
    registry.replace(registry.find("@DIR@/users"), 5, a.dir);
    ASSERT_TRUE(b.Start(registry)) << b.Output();

    ImapClient ca, cb;
    for (auto [client, port] : {std::pair{&ca, a.port}, std::pair{&cb, b.port}}) {
        ASSERT_TRUE(client->Connect(port));
        client->ReadLine();
        ASSERT_EQ(Last(client->Command("l", "LOGIN ann pw")), "l OK LOGIN completed\r\n");
        ASSERT_EQ(Last(client->Command("s", "SELECT INBOX")), "s OK [READ-WRITE] SELECT completed\r\n");
    }
    cb.Command("1", "STORE 1 +FLAGS.SILENT (\\Flagged)");
    cb.Send("2 APPEND INBOX {9+}\r\nmessage 4\r\n");
    cb.ReadUntilTagged("2");
    cb.Command("3", "STORE 2 +FLAGS.SILENT (\\Deleted)");
    cb.Command("4", "EXPUNGE");
    EXPECT_EQ(ca.Command("1", "NOOP"),
              (std::vector<std::string>{"* 2 EXPUNGE\r\n", "* 3 EXISTS\r\n", "* 0 RECENT\r\n",
                                        "* 1 FETCH (FLAGS (\\Flagged))\r\n", "1 OK NOOP completed\r\n"}));
    ca.Command("2", "STORE 2 +FLAGS.SILENT (\\Seen)");
    ca.Command("3", "UID STORE 4 +FLAGS.SILENT (\\Answered)");
    EXPECT_EQ(cb.Command("5", "NOOP"),
              (std::vector<std::string>{"* 2 FETCH (FLAGS (\\Seen))\r\n", "* 3 FETCH (FLAGS (\\Recent \\Answered))\r\n",
                                        "5 OK NOOP completed\r\n"}));
}

}  // namespace
