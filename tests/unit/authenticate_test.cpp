// AUTHENTICATE driven through the dispatcher on one end of a socket pair, with the test as the
// client on the other end answering each "+" prompt as a SASL client would.
#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "auth/base64.h"
#include "auth/md5.h"
#include "config/settings.h"
#include "imap/dispatch.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

const char kPassword[] = "tanstaaftanstaaf";

std::string B64(const std::string& text) {
    std::string out(text.size() * 2 + 8, '\0');
    int n = Base64Encode(text.data(), text.size(), out.data(), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string Unb64(const std::string& text) {
    std::string out(text.size() + 8, '\0');
    int n = Base64Decode(text.data(), text.size(), out.data(), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string Digest(const std::string& challenge, const std::string& password) {
    char hex[40];
    HmacMd5Hex(challenge.c_str(), password.c_str(), hex);
    return hex;
}

class AuthenticateTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/veve4d-auth-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        dir = szTemplate;
        fs::create_directories(dir / "accounts");
        fs::create_directories(dir / "spool");
        std::string reg =
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
            "\"Imap4LogEnabled\"=dword:00000001\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
            "\"MailSpoolDir\"=\"" + Escaped(dir / "spool") + "\"\n"
            "\"UserManager\"=dword:00000000\n"
            "\"Membership\"=\"" + Escaped(dir / "accounts") + "/\"\n"
            "\"MailInBoxDir\"=\"" + Escaped(dir / "users") + "/%USERNAME%\"\n"
            "\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
            "\"test.local\"=\"127.0.0.1\"\n";
        LoadRegistryText(reg.data(), reg.size(), "authenticate-test.reg");
        saved = Settings;
        ReadSettings();
        CreateSpoolDirectories();

        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session = std::make_unique<Session>();
        session->sockClient = fds[0];
        peer = fds[1];
        snprintf(session->szLocalAddr, sizeof(session->szLocalAddr), "127.0.0.1");
        snprintf(session->szPeerAddr, sizeof(session->szPeerAddr), "127.0.0.9");
        snprintf(session->szHostName, sizeof(session->szHostName), "postoffice.reston.mci.net");
        AddMailUser("tim", kPassword);
    }
    void TearDown() override {
        if (server.joinable()) {
            shutdown(peer, SHUT_RDWR);
            server.join();
        }
        close(session->sockClient);
        close(peer);
        LoadRegistryText("", 0, "empty");
        Settings = saved;
        fs::remove_all(dir);
    }
    static std::string Escaped(const fs::path& path) {
        std::string out;
        for (char c : path.string()) {
            out += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        return out;
    }
    // A mail directory holding the password file the POP3 server shares.
    void AddMailUser(const std::string& name, const std::string& passwordFile) {
        fs::create_directories(dir / "users" / name);
        WriteText(dir / "users" / name / "apop.dat", passwordFile);
    }
    static void WriteText(const fs::path& path, const std::string& text) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    // Dispatches the request line on a thread of its own, as the client thread would.
    void Request(const std::string& line) {
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", line.c_str());
        server = std::thread([this] { result = DispatchCommand(session.get()); });
    }
    void Send(const std::string& text) {
        ASSERT_EQ(send(peer, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // One line with its CR LF; "" when nothing more comes.
    std::string ReadLine() {
        for (;;) {
            size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending.substr(0, lf + 1);
                pending.erase(0, lf + 1);
                return line;
            }
            pollfd pfd{peer, POLLIN, 0};
            if (poll(&pfd, 1, 10000) <= 0) {
                return "";
            }
            char buf[8192];
            ssize_t n = recv(peer, buf, sizeof(buf), 0);
            if (n <= 0) {
                return "";
            }
            pending.append(buf, static_cast<size_t>(n));
        }
    }
    // The challenge text of a "+" prompt.
    std::string ReadPrompt() {
        std::string line = ReadLine();
        EXPECT_EQ(line.substr(0, 2), "+ ") << line;
        EXPECT_EQ(line.size() >= 4 ? line.substr(line.size() - 2) : "", "\r\n");
        return line.size() >= 4 ? Unb64(line.substr(2, line.size() - 4)) : "";
    }
    // Waits for the handler and returns the tagged line it left.
    std::string Finish() {
        server.join();
        return ReadLine();
    }
    std::string AccessLog() {
        std::string all;
        for (const auto& entry : fs::directory_iterator(dir / "spool" / "imap4log")) {
            FILE* f = fopen(entry.path().c_str(), "rb");
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof(buf), f)) > 0) all.append(buf, n);
            fclose(f);
        }
        return all;
    }
    // Runs a whole CRAM-MD5 exchange with the answer built from the challenge.
    std::string Cram(const std::string& tag, const std::string& user, const std::string& password,
                     bool upper = false) {
        Request(tag + " AUTHENTICATE CRAM-MD5\r\n");
        std::string digest = Digest(ReadPrompt(), password);
        if (upper) {
            for (char& c : digest) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        Send(B64(user + " " + digest) + "\r\n");
        return Finish();
    }
    std::string LoginMechanism(const std::string& tag, const std::string& user, const std::string& password) {
        Request(tag + " AUTHENTICATE LOGIN\r\n");
        EXPECT_EQ(ReadPrompt(), "LOGIN");
        Send(B64(user) + "\r\n");
        EXPECT_EQ(ReadPrompt(), "PASSWORD");
        Send(B64(password) + "\r\n");
        return Finish();
    }

    fs::path dir;
    SettingsRecord saved{};
    std::unique_ptr<Session> session;
    int peer = -1;
    std::thread server;
    int result = -1;
    std::string pending;
};

TEST_F(AuthenticateTest, LoginMechanismPromptsAndLogsIn) {
    Request("a1 authenticate login\r\n");
    // The first prompt is the argument text as the client wrote it.
    EXPECT_EQ(ReadLine(), "+ bG9naW4=\r\n");
    Send(B64("tim") + "\r\n");
    EXPECT_EQ(ReadLine(), "+ UEFTU1dPUkQ=\r\n");
    Send(B64(kPassword) + "\r\n");
    EXPECT_EQ(Finish(), "a1 OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(session->State, Imap4Authorization);
    EXPECT_EQ(std::string(session->szMailDir), (dir / "users" / "tim").string() + "/");
    EXPECT_STREQ(session->szMailbox, session->szMailDir);
    EXPECT_TRUE(fs::is_directory(dir / "users" / "tim" / "inbox"));
    EXPECT_GT(session->lLoginNo, 0);
    EXPECT_NE(AccessLog().find(" tim from 127.0.0.9 authenticate login Success\n"), std::string::npos) << AccessLog();

    // A second AUTHENTICATE is refused at once, without a prompt.
    int32_t lLoginNo = session->lLoginNo;
    Request("a2 AUTHENTICATE LOGIN\r\n");
    EXPECT_EQ(Finish(), "a2 NO already logged in\r\n");
    EXPECT_EQ(session->lLoginNo, lLoginNo);
}

TEST_F(AuthenticateTest, LoginMechanismRefusals) {
    AddMailUser("empty", "");
    fs::create_directories(dir / "victim");
    WriteText(dir / "victim" / "apop.dat", "stolen\n");
    struct Case {
        std::string user;
        std::string password;
    };
    const Case cases[] = {
        {"tim", "TANSTAAFTANSTAAF"},                          // case matters
        {"tim", std::string(kPassword) + std::string(1, '\0')},  // a NUL must not end the comparison
        {"tim", std::string(kPassword) + "x"},
        {"tim", ""},
        {"nobody", "x"},                                      // no mail directory, no password file
        {"empty", ""},                                        // an empty password file proves nothing
        {"../victim", "stolen"},                              // would read dir/victim/apop.dat
        {std::string("tim\0/../../victim", 17), "stolen"},
        {std::string("tim\0x", 5), kPassword},                // a name is all of its bytes
        {"tim\r\nforged", kPassword},
        {std::string(300, 't'), kPassword},                   // would be cut to another name
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        std::string tag = "r" + std::to_string(n++);
        EXPECT_EQ(LoginMechanism(tag, c.user, c.password), tag + " NO AUTHENTICATE fails\r\n");
        EXPECT_EQ(session->State, Imap4NonAuthenticated);
        EXPECT_EQ(result, 1);
        session->State = Imap4NonAuthenticated;  // a wrong success must not stall the cases after it
    }
    std::string log = AccessLog();
    EXPECT_EQ(log.find("forged"), std::string::npos) << log;
    EXPECT_NE(log.find(" - from 127.0.0.9 AUTHENTICATE LOGIN failed\n"), std::string::npos) << log;
}

TEST_F(AuthenticateTest, LoginLineInsteadOfFirstAnswerRunsLogin) {
    std::string record = "tim\tplain pw\t\t\t" + (dir / "users" / "tim").string();
    WriteText(dir / "accounts" / "test.local.idx", B64(record) + "\n");
    Request("a1 AUTHENTICATE LOGIN\r\n");
    ReadPrompt();
    Send("b7 LOGIN tim \"plain pw\"\r\n");
    // LOGIN answers with the tag of the line it was given.
    EXPECT_EQ(Finish(), "b7 OK LOGIN completed\r\n");
    EXPECT_EQ(session->State, Imap4Authorization);
    EXPECT_STREQ(session->szUser, "tim@test.local");
}

TEST_F(AuthenticateTest, LoginLineWithOtherCommandWordStillRunsLogin) {
    Request("a1 AUTHENTICATE LOGIN\r\n");
    ReadPrompt();
    Send("b8 NOOP\r\n");
    EXPECT_EQ(Finish(), "b8 BAD NOOP illegal argument\r\n");
    EXPECT_EQ(session->State, Imap4NonAuthenticated);
}

TEST_F(AuthenticateTest, CramMd5LogsIn) {
    const std::regex form(R"(<(\d+)\.(\d+)@postoffice\.reston\.mci\.net>)");
    std::smatch m;
    Request("c0 AUTHENTICATE CRAM-MD5\r\n");
    std::string first = ReadPrompt();
    ASSERT_TRUE(std::regex_match(first, m, form)) << first;
    uint32_t ulFirst = static_cast<uint32_t>(std::stoul(m[2]));
    Send(B64("tim 0") + "\r\n");
    EXPECT_EQ(Finish(), "c0 NO AUTHENTICATE fails\r\n");

    Request("c1 AUTHENTICATE CRAM-MD5\r\n");
    std::string challenge = ReadPrompt();
    ASSERT_TRUE(std::regex_match(challenge, m, form)) << challenge;
    EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(getpid()));
    // Whole milliseconds of 100-ns units: the middle number moves in steps of 10000, even
    // across its wrap at 2^32.
    EXPECT_EQ(static_cast<uint32_t>(static_cast<uint32_t>(std::stoul(m[2])) - ulFirst) % 10000, 0u);
    // The answer has the form of the RFC 2195 example: user, blank, 32 lower-case hex digits.
    std::string answer = "tim " + Digest(challenge, kPassword);
    Send(B64(answer) + "\r\n");
    EXPECT_EQ(Finish(), "c1 OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(session->State, Imap4Authorization);
    EXPECT_STREQ(session->szUser, "tim");
    EXPECT_STREQ(session->szChallenge, challenge.c_str());
    EXPECT_NE(AccessLog().find(" tim from 127.0.0.9 AUTHENTICATE CRAM-MD5 Success\n"), std::string::npos);
}

TEST_F(AuthenticateTest, CramMd5UserNameWithBlanks) {
    AddMailUser("tim smith jr", "pw\n");
    EXPECT_EQ(Cram("c1", "tim smith jr", "pw"), "c1 OK AUTHENTICATE completed\r\n");
    EXPECT_STREQ(session->szUser, "tim smith jr");
}

TEST_F(AuthenticateTest, CramMd5ScrambledPassword) {
    // 0xFF, key 0x01, then "pw" exclusive-or 0x01 in hex.
    AddMailUser("ann", "\xff\x01" "7176\n");
    EXPECT_EQ(Cram("c1", "ann", "pw"), "c1 OK AUTHENTICATE completed\r\n");
}

TEST_F(AuthenticateTest, CramMd5Refusals) {
    AddMailUser("empty", "");
    AddMailUser("off", "pw\n");
    WriteText(dir / "users" / "off" / "$offimap4", "");
    fs::create_directories(dir / "victim");
    WriteText(dir / "victim" / "apop.dat", "stolen\n");
    EXPECT_EQ(Cram("c1", "tim", kPassword, true), "c1 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c2", "tim", "wrong"), "c2 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c3", "nobody", ""), "c3 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c4", "empty", ""), "c4 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c5", "off", "pw"), "c5 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c6", "../victim", "stolen"), "c6 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c7", "../../victim", "stolen"), "c7 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c8", "tim@../../victim", "stolen"), "c8 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c9", std::string("tim\0/../../victim", 17), "stolen"), "c9 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(Cram("c10", std::string("tim\0x", 5), kPassword), "c10 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(session->State, Imap4NonAuthenticated);

    // A digest followed by a NUL and more bytes is not the digest.
    Request("d1 AUTHENTICATE CRAM-MD5\r\n");
    std::string answer = "tim " + Digest(ReadPrompt(), kPassword) + std::string(1, '\0') + "junk";
    Send(B64(answer) + "\r\n");
    EXPECT_EQ(Finish(), "d1 NO AUTHENTICATE fails\r\n");

    // A NUL before the blank does not hide the blank.
    Request("d2 AUTHENTICATE CRAM-MD5\r\n");
    answer = std::string("t\0im ", 5) + Digest(ReadPrompt(), kPassword);
    Send(B64(answer) + "\r\n");
    EXPECT_EQ(Finish(), "d2 NO AUTHENTICATE fails\r\n");
    EXPECT_EQ(session->State, Imap4NonAuthenticated);
}

TEST_F(AuthenticateTest, CramMd5AnswerWithoutBlank) {
    // "*" is no cancellation: it decodes to nothing, which holds no blank.
    for (const char* answer : {"*", "dGlt", ""}) {
        SCOPED_TRACE(answer);
        Request("c1 AUTHENTICATE CRAM-MD5\r\n");
        ReadPrompt();
        Send(std::string(answer) + "\r\n");
        EXPECT_EQ(Finish(), "c1 BAD AUTHENTICATE challenge/responce err\r\n");
    }
}

TEST_F(AuthenticateTest, StarAnswersAreNoCancellation) {
    Request("a1 AUTHENTICATE LOGIN\r\n");
    ReadPrompt();
    Send("*\r\n");
    EXPECT_EQ(ReadPrompt(), "PASSWORD");
    Send("*\r\n");
    EXPECT_EQ(Finish(), "a1 NO AUTHENTICATE fails\r\n");
}

TEST_F(AuthenticateTest, MechanismChoice) {
    struct Case {
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        {"a1 AUTHENTICATE PLAIN\r\n", "a1 NO AUTHENTICATE PLAIN isn't supported\r\n"},
        {"a2 AUTHENTICATE CRAM-SHA1 x\r\n", "a2 NO AUTHENTICATE CRAM-SHA1 x isn't supported\r\n"},
        {"a3 AUTHENTICATE LOG\r\n", "a3 NO AUTHENTICATE LOG isn't supported\r\n"},
        {"a4 AUTHENTICATE\r\n", "a4 BAD AUTHENTICATE illegal argument\r\n"},
        {"a5 authenticate\r\n", "a5 BAD authenticate illegal argument\r\n"},
        {"a6 AUTHENTICATE a\rb\r\n", "a6 NO AUTHENTICATE a isn't supported\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Request(c.line);
        EXPECT_EQ(Finish(), c.expected);
        EXPECT_EQ(result, 1);
    }
    std::string log = AccessLog();
    EXPECT_NE(log.find(" - from 127.0.0.9 AUTHENTICATE PLAIN failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" - from 127.0.0.9 AUTHENTICATE - failed\n"), std::string::npos) << log;
}

TEST_F(AuthenticateTest, MechanismNameIsMatchedByItsStart) {
    Request("a1 AUTHENTICATE loginx trailing words\r\n");
    EXPECT_EQ(ReadPrompt(), "loginx trailing words");
    Send(B64("tim") + "\r\n");
    ReadPrompt();
    Send(B64(kPassword) + "\r\n");
    EXPECT_EQ(Finish(), "a1 OK AUTHENTICATE completed\r\n");
}

TEST_F(AuthenticateTest, ClientGoneDuringExchange) {
    Request("a1 AUTHENTICATE LOGIN\r\n");
    ReadPrompt();
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(Finish(), "a1 BAD AUTHENTICATE illegal argument\r\n");
}

TEST_F(AuthenticateTest, ClientGoneDuringCramExchange) {
    Request("a1 AUTHENTICATE CRAM-MD5\r\n");
    ReadPrompt();
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(Finish(), "a1 BAD AUTHENTICATE challenge/responce err\r\n");
}

TEST_F(AuthenticateTest, OverlongAnswers) {
    // No LF within 4095 characters: the receive has no room left and fails.
    Request("a1 AUTHENTICATE CRAM-MD5\r\n");
    ReadPrompt();
    Send(std::string(4095, 'A'));
    EXPECT_EQ(Finish(), "a1 BAD AUTHENTICATE challenge/responce err\r\n");

    // The longest line that fits decodes into the work area without overrunning it.
    Request("a2 AUTHENTICATE CRAM-MD5\r\n");
    ReadPrompt();
    std::string longAnswer = B64(std::string(3000, 'u') + " " + std::string(60, 'f'));
    ASSERT_LT(longAnswer.size(), 4094u);
    Send(longAnswer + "\r\n");
    EXPECT_EQ(Finish(), "a2 NO AUTHENTICATE fails\r\n");
    EXPECT_STREQ(session->szUser, "");

    Request("a3 AUTHENTICATE LOGIN\r\n");
    ReadPrompt();
    Send(std::string(4092, 'd') + "\r\n");
    ReadPrompt();
    Send(std::string(4092, '/') + "\r\n");
    EXPECT_EQ(Finish(), "a3 NO AUTHENTICATE fails\r\n");
}

TEST_F(AuthenticateTest, LongTagAndArgumentsStayBounded) {
    // The tag comes back whole; the first prompt carries what fits of the argument text.
    std::string tag(1500, 'T');
    std::string args = "LOGIN " + std::string(2000, 'z');
    Request(tag + " AUTHENTICATE " + args + "\r\n");
    EXPECT_EQ(ReadPrompt(), args.substr(0, 255));
    Send(B64("tim") + "\r\n");
    ReadPrompt();
    Send(B64(kPassword) + "\r\n");
    EXPECT_EQ(Finish(), tag + " OK AUTHENTICATE completed\r\n");
    // The access log keeps only the start of the arguments.
    std::string logged = " AUTHENTICATE " + args.substr(0, 31) + " Success\n";
    EXPECT_NE(AccessLog().find(logged), std::string::npos) << AccessLog();
}

TEST_F(AuthenticateTest, TextBehindTheLastAnswerIsDispatchedAfterwards) {
    Request("c1 AUTHENTICATE CRAM-MD5\r\n");
    std::string answer = B64("tim " + Digest(ReadPrompt(), kPassword));
    Send(answer + "\r\nc2 NOOP\r\nc3 CHECK\r\n");
    EXPECT_EQ(Finish(), "c1 OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(ReadLine(), "c2 OK NOOP completed\r\n");
    EXPECT_EQ(ReadLine(), "c3 NO Command unrecognized: CHECK\r\n");
    EXPECT_STREQ(session->szQueue, "");
}

TEST_F(AuthenticateTest, QueuedCommandsWaitUntilTheExchangeEnds) {
    // Lines that came with the AUTHENTICATE request are not taken as answers.
    Request("c1 AUTHENTICATE CRAM-MD5\r\nc2 NOOP\r\n");
    std::string answer = B64("tim " + Digest(ReadPrompt(), kPassword));
    Send(answer + "\r\n");
    EXPECT_EQ(Finish(), "c1 OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(ReadLine(), "c2 OK NOOP completed\r\n");
}

}  // namespace
