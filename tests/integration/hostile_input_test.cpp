// What a hostile client sends, over a real connection to the real binary: bytes that C strings
// would cut (NUL), lines that would break the logs, literals too big to wait for, passwords
// spread over packets. None of it runs as a command, reaches a log in clear, or holds the server.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sasl.h"
#include "test_server.h"

namespace {

using Registry = TestServer;
using namespace std::string_literals;

std::string LogRegistry() {
    return TestServer::UserFileRegistry(Registry::ServiceKey("\"AcceptlogEnabled\"=dword:00000001\n") +
                                        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
                                        "\"Imap4LogEnabled\"=dword:00000001\n");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The message files of a mailbox directory, contents in name order.
std::vector<std::string> Messages(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".MSG") names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> contents;
    for (const std::string& name : names) contents.push_back(ReadFile(name));
    return contents;
}

// The last line of an answer, "" when none came.
std::string Last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

int CountEntries(const std::string& dir, const std::string& prefix) {
    int n = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) n++;
    }
    return n;
}

// The most bytes in a row of the secret found in the text (6 at least, else 0).
size_t SecretBytesIn(const std::string& text, const std::string& secret) {
    for (size_t n = secret.size(); n >= 6; n--) {
        for (size_t at = 0; at + n <= secret.size(); at++) {
            if (text.find(secret.substr(at, n)) != std::string::npos) return n;
        }
    }
    return 0;
}

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override {
        mailDir = server.AddUser("ann", "Sesame-1");
        WriteFile(mailDir + "apop.dat", "Sesame-2\n");
        ASSERT_TRUE(server.Start(LogRegistry())) << server.Output();
        ASSERT_EQ(mkdir((server.dir + "/spool/receiveimap4").c_str(), 0755), 0);
    }
    // Everything the server wrote that a log reader sees: its output and every file below its
    // directory but the accounts and password files it was given.
    std::string Written() {
        std::string all = server.Output();
        for (auto& entry : std::filesystem::recursive_directory_iterator(server.dir)) {
            std::string path = entry.path().string();
            if (!entry.is_regular_file() || path.find("/accounts/") != std::string::npos ||
                entry.path().filename() == "apop.dat") {
                continue;
            }
            all += ReadFile(path);
        }
        return all;
    }
    std::string AccessLog() { return ReadFilesIn(server.dir + "/spool/imap4log"); }
    std::string ProtocolLog() { return ReadFilesIn(server.dir + "/spool/receiveimap4"); }

    TestServer server;
    std::string mailDir;
};

// Two APPENDs in one write, non-synchronising literals, the first holding a NUL and the second a
// body of command lines: both messages are stored as sent and none of their lines runs. A NUL in
// a command line is refused, and the session keeps its step.
TEST_F(HostileInput, NulBytesAreDataNotTheEndOfInput) {
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "Sesame-1"));
    const std::string first = "Subject: one\r\n\r\nbefore\0after\r\n"s;
    std::string second = "Subject: two\r\n\r\n";
    for (int i = 0; i < 3000; i++) {
        char line[64];
        snprintf(line, sizeof line, "Zinj CREATE injected%04d\r\n", i);
        second += line;
    }
    client.Send("a1 APPEND inbox {" + std::to_string(first.size()) + "+}\r\n" + first + "\r\n" + "a2 APPEND inbox {" +
                std::to_string(second.size()) + "+}\r\n" + second + "\r\na3 NOOP\r\n");
    std::vector<std::string> answers = client.ReadUntilTagged("a3");
    int injected = CountEntries(mailDir, "injected");
    RecordProperty("injected_commands", injected);
    EXPECT_EQ(injected, 0);
    ASSERT_EQ(answers.size(), 3u) << ::testing::PrintToString(answers).substr(0, 2000);
    EXPECT_TRUE(answers[0].rfind("a1 OK [APPENDUID ", 0) == 0) << answers[0];
    EXPECT_TRUE(answers[1].rfind("a2 OK [APPENDUID ", 0) == 0) << answers[1];
    EXPECT_EQ(answers[2], "a3 OK NOOP completed\r\n");
    EXPECT_EQ(Messages(mailDir + "inbox"), (std::vector<std::string>{first, second}));

    // One APPEND alone, waiting for the continuation.
    const std::string third = "before\0after\r\n"s;
    client.Send("b1 APPEND inbox {" + std::to_string(third.size()) + "}\r\n");
    EXPECT_EQ(client.ReadLine(), "+ Ready for literal data\r\n");
    client.Send(third + "\r\n");
    EXPECT_TRUE(client.ReadLine().rfind("b1 OK [APPENDUID ", 0) == 0);
    EXPECT_EQ(Last(Messages(mailDir + "inbox")), third);

    // A NUL in a line, or in a literal that is no message, makes the command BAD; the next
    // command is read where it starts.
    client.Send("c1 CREATE box\0x\r\nc2 CREATE {5+}\r\nb\0ox2\r\nc3 NOOP\r\n"s);
    answers = client.ReadUntilTagged("c3");
    EXPECT_EQ(answers, (std::vector<std::string>{"c1 BAD NUL in command\r\n", "c2 BAD NUL in command\r\n",
                                                  "c3 OK NOOP completed\r\n"}));
    EXPECT_EQ(CountEntries(mailDir, "box"), 0);
}

// A tag with a control character in it is never repeated; a section number beyond 32 bits is no
// section.
TEST_F(HostileInput, ControlCharactersAndNumbersThatDoNotFit) {
    ImapClient client;
    ASSERT_TRUE(client.LoggedIn(server.port, "ann", "Sesame-1"));
    client.Send("a\rb NOOP\r\nc\x01 NOOP\r\nd NOOP x\x1b[2J\r\ne NOOP\r\n");
    std::vector<std::string> answers = client.ReadUntilTagged("e");
    EXPECT_EQ(answers, (std::vector<std::string>{"* BAD Control character in command\r\n",
                                                  "* BAD Control character in command\r\n",
                                                  "d BAD Control character in command\r\n", "e OK NOOP completed\r\n"}));
    client.Send("f APPEND inbox {19+}\r\nSubject: x\r\n\r\nbody\r\n\r\n");
    EXPECT_TRUE(client.ReadLine().rfind("f OK", 0) == 0);
    EXPECT_EQ(Last(client.Command("g", "SELECT inbox")).substr(0, 5), "g OK ");
    EXPECT_EQ(Last(client.Command("h", "FETCH 1 BODY[4294967295.4294967296]")), "h BAD FETCH illegal argument\r\n");
    EXPECT_EQ(Last(client.Command("i", "FETCH 1 BODY[1.99999999999999999999]")), "i BAD FETCH illegal argument\r\n");
    auto fetched = client.Command("j", "FETCH 1 BODY[4294967295]");
    EXPECT_EQ(Last(fetched), "j OK FETCH completed\r\n");
}

// Before login no literal bigger than a login could need is taken: one the client waits to send is
// refused, one already on its way ends the connection unread.
TEST_F(HostileInput, PreLoginLiteralsAreSmall) {
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    client.Send("a LOGIN {5000}\r\n");
    EXPECT_EQ(client.ReadLine(), "a BAD Literal too long\r\n");
    EXPECT_EQ(Last(client.Command("b", "NOOP")), "b OK NOOP completed\r\n");
    client.Send("c LOGIN ann {4294967295+}\r\n" + std::string(100, 'x'));
    EXPECT_EQ(client.ReadLine(), "c BAD Literal too long\r\n");
    EXPECT_EQ(client.ReadLine(), "* BYE Literal too long\r\n");
    EXPECT_TRUE(client.ClosedByPeer());

    // A line without an end before login is not waited for beyond what a command can hold.
    ImapClient endless;
    ASSERT_TRUE(endless.Greeted(server.port));
    endless.Send(std::string(65538, 'a'));
    EXPECT_EQ(endless.ReadLine(), "* BAD Command line too long\r\n");
    EXPECT_EQ(endless.ReadLine(), "* BYE Command line too long\r\n");
    EXPECT_TRUE(endless.ClosedByPeer());

    // Small literals still log in, and after login a large one is read.
    ImapClient small;
    ASSERT_TRUE(small.Greeted(server.port));
    EXPECT_EQ(Last(small.Command("d", "LOGIN {3+}\r\nann {8+}\r\nSesame-1")), "d OK LOGIN completed\r\n");
    EXPECT_EQ(Last(small.Command("e", "CREATE {6000+}\r\n" + std::string(6000, 'm'))).substr(0, 2), "e ");
    EXPECT_EQ(Last(small.Command("f", "NOOP")), "f OK NOOP completed\r\n");
}

// A literal holding a log line of its own stays inside its command's line, in both logs.
TEST_F(HostileInput, LogLinesCannotBeForged) {
    const std::string forged = "\r\n[07/Dec/2026:20:01:00] admin from 203.0.113.77 LOGIN admin **** failed";
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    EXPECT_EQ(Last(client.Command("a", "NOOP {" + std::to_string(forged.size()) + "+}\r\n" + forged)),
              "a OK NOOP completed\r\n");
    EXPECT_EQ(Last(client.Command("b", "NOOP \x7f\xff\xfe")), "b BAD Control character in command\r\n");
    client.Command("z", "LOGOUT");
    client.ClosedByPeer();

    std::vector<std::string> access = Lines(AccessLog());
    const std::regex accessLine(R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d\] - from 127\.0\.0\.1 (NOOP|LOGOUT) .*)");
    RecordProperty("access_log_lines", static_cast<int>(access.size()));
    EXPECT_EQ(access.size(), 2u) << AccessLog();
    for (const std::string& line : access) EXPECT_TRUE(std::regex_match(line, accessLine)) << line;
    EXPECT_NE(AccessLog().find("\\r\\n[07/Dec/2026:20:01:00] admin"), std::string::npos) << AccessLog();

    const std::regex protocolLine(R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d\], [0-9a-f]{8,}, [ -~]*)");
    for (const std::string& line : Lines(ProtocolLog())) EXPECT_TRUE(std::regex_match(line, protocolLine)) << line;
    EXPECT_EQ(ProtocolLog().find("\n[07/Dec/2026:20:01:00]"), std::string::npos) << ProtocolLog();
    EXPECT_EQ(server.Output().find("\n[07/Dec/2026:20:01:00]"), std::string::npos) << server.Output();
}

// However a password arrives (split over packets, batched with the command that asks for it,
// behind a TAB, holding CR LF) no file the server writes and none of its output holds it.
TEST_F(HostileInput, PasswordsAreMaskedByWhatIsBeingReadNotByHowItLooks) {
    struct Case {
        const char* pszName;
        std::string secret;
        std::function<void(ImapClient&)> talk;
    };
    const std::string plainA = B64("\0ann\0Secret-A1"s);
    const std::vector<Case> cases = {
        {"PLAIN answer in the command's packet", plainA,
         [&](ImapClient& c) {
             c.Send("a AUTHENTICATE PLAIN\r\n" + plainA + "\r\n");
             EXPECT_EQ(Last(c.ReadUntilTagged("a")), "a NO AUTHENTICATE fails\r\n");
         }},
        {"both LOGIN answers at once", B64("Secret-B2"),
         [](ImapClient& c) {
             c.Send("a AUTHENTICATE LOGIN\r\n" + B64("ann") + "\r\n" + B64("Secret-B2") + "\r\n");
             EXPECT_EQ(Last(c.ReadUntilTagged("a")), "a NO AUTHENTICATE fails\r\n");
         }},
        {"password literal split over packets", "Secret-C3-long-enough",
         [](ImapClient& c) {
             c.Send("a LOGIN ann {21+}\r\nSecret-C3");
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             c.Send("-long-enough\r\n");
             EXPECT_EQ(Last(c.ReadUntilTagged("a")), "a NO LOGIN fails\r\n");
         }},
        {"password literal holding CR LF", "Secret-D4\r\nmore-D4",
         [](ImapClient& c) {
             c.Send("a LOGIN ann {18}\r\n");
             EXPECT_EQ(c.ReadLine(), "+ Ready for literal data\r\n");
             c.Send("Secret-D4\r\nmore-D4\r\n");
             EXPECT_EQ(Last(c.ReadUntilTagged("a")), "a NO LOGIN fails\r\n");
         }},
        {"TAB before the password", "Secret-E5",
         [](ImapClient& c) { EXPECT_EQ(c.Command("a", "LOGIN ann\tSecret-E5").size(), 1u); }},
    };
    for (const Case& c : cases) {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port));
        c.talk(client);
        EXPECT_EQ(Last(client.Command("z", "LOGOUT")), "z OK LOGOUT completed\r\n") << c.pszName;
    }
    ASSERT_NE(AccessLog().find("LOGIN ann ****"), std::string::npos) << AccessLog();
    std::string written = Written();
    for (const Case& c : cases) {
        size_t found = SecretBytesIn(written, c.secret);
        RecordProperty(std::string("password_bytes: ") + c.pszName, static_cast<int>(found));
        EXPECT_EQ(found, 0u) << c.pszName << "\n" << written;
    }
}

// Random bytes, NUL, CR and LF among them, through the real input path: before and after login,
// in any split. The server answers a normal session afterwards and never stops.
TEST_F(HostileInput, RandomBytesLeaveTheServerServing) {
    std::mt19937 random(20261207);
    const std::string alphabet = "\0\r\n {}+*()\"\\[]<>.:0123456789aAbBLOGINAPPENDNOOPFETCHinbox"s;
    auto chunk = [&](size_t n) {
        std::string text;
        for (size_t i = 0; i < n; i++) {
            unsigned pick = random() % 8;
            text += pick == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
        }
        return text;
    };
    for (int round = 0; round < 60; round++) {
        ImapClient client;
        bool bLogin = round % 2 == 1;
        ASSERT_TRUE(bLogin ? client.LoggedIn(server.port, "ann", "Sesame-1") : client.Greeted(server.port));
        for (int piece = 0; piece < 8; piece++) {
            client.Send(chunk(1 + random() % 300));
            if (random() % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        client.Close();
    }
    ASSERT_TRUE(server.Running());
    ImapClient last;
    ASSERT_TRUE(last.LoggedIn(server.port, "ann", "Sesame-1"));
    EXPECT_EQ(Last(last.Command("n", "NOOP")), "n OK NOOP completed\r\n");
}

}  // namespace
