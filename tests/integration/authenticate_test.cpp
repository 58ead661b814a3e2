// AUTHENTICATE over a real connection: a server in user-file mode, password files in the
// users' mail directories, the client answering each "+" prompt.
#include <gtest/gtest.h>

#include <dirent.h>
#include <regex>
#include <string>
#include <sys/stat.h>

#include "auth/base64.h"
#include "auth/md5.h"
#include "test_server.h"

namespace {

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

std::string UserFileRegistry() {
    return TestServer::BasicRegistry(
        "\"UserManager\"=dword:00000000\n"
        "\"Membership\"=\"@DIR@/accounts/\"\n"
        "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n"
        "\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n"
        "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n"
        "\"test.local\"=\"127.0.0.1\"\n"
        "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
        "\"Imap4LogEnabled\"=dword:00000001\n");
}

class AuthenticateServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((server.dir + "/accounts").c_str(), 0755);
        mkdir((server.dir + "/users").c_str(), 0755);
        mkdir((server.dir + "/users/ann").c_str(), 0755);
        std::string record = "ann\tLogin Word\t\t\t" + server.dir + "/users/ann";
        WriteFile(server.dir + "/accounts/test.local.idx", B64(record) + "\n");
        // AUTHENTICATE checks the POP3 password, which differs from the user-file one.
        WriteFile(server.dir + "/users/ann/apop.dat", "pop secret\n");
        WriteFile(server.dir + "/users/ann/d1.MSG", "From: a@example.org\r\nSubject: one\r\n\r\nbody\r\n");
        ASSERT_TRUE(server.Start(UserFileRegistry())) << server.Output();
        ASSERT_TRUE(client.Connect(server.port));
        ASSERT_EQ(client.ReadLine(), "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n");
    }
    std::string Prompt() {
        std::string line = client.ReadLine();
        EXPECT_EQ(line.substr(0, 2), "+ ") << line;
        return line.size() >= 4 ? Unb64(line.substr(2, line.size() - 4)) : "";
    }
    std::string AccessLog() {
        std::string dir = server.dir + "/spool/imap4log";
        std::string all;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] != '.') all += ReadFile(dir + "/" + e->d_name);
            }
            closedir(d);
        }
        return all;
    }
    static std::string Last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

    TestServer server;
    ImapClient client;
};

TEST_F(AuthenticateServerTest, CramMd5LogsInAndImportsTheInbox) {
    auto caps = client.Command("a0", "CAPABILITY");
    ASSERT_EQ(caps.size(), 2u);
    EXPECT_NE(caps[0].find(" AUTH=CRAM-MD5 AUTH=LOGIN\r\n"), std::string::npos);

    client.Send("a1 AUTHENTICATE CRAM-MD5\r\n");
    std::string challenge = Prompt();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(challenge, m, std::regex(R"(<(\d+)\.(\d+)@localhost>)"))) << challenge;
    EXPECT_EQ(std::stol(m[1]), static_cast<long>(server.pid));
    client.Send(B64("ann " + Digest(challenge, "pop secret")) + "\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 OK AUTHENTICATE completed\r\n");

    auto lines = client.Command("a2", "SELECT INBOX");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "* 1 EXISTS\r\n");
    EXPECT_EQ(Last(lines), "a2 OK [READ-WRITE] SELECT completed\r\n");
    EXPECT_EQ(Last(client.Command("a3", "AUTHENTICATE CRAM-MD5")), "a3 NO already logged in\r\n");
    std::string log = AccessLog();
    EXPECT_NE(log.find(" ann from 127.0.0.1 AUTHENTICATE CRAM-MD5 Success\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ann from 127.0.0.1 AUTHENTICATE CRAM-MD5 failed\n"), std::string::npos) << log;
}

TEST_F(AuthenticateServerTest, CramMd5Refusals) {
    mkdir((server.dir + "/victim").c_str(), 0755);
    WriteFile(server.dir + "/victim/apop.dat", "stolen\n");
    struct Case {
        const char* user;
        const char* password;
        bool upper;
    };
    const Case cases[] = {
        {"ann", "pop secret", true},    // upper-case hex digits
        {"ann", "Login Word", false},   // the user-file password is not the POP3 one
        {"../victim", "stolen", false},
        {"ann/../../victim", "stolen", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        std::string tag = "c" + std::to_string(n++);
        client.Send(tag + " AUTHENTICATE CRAM-MD5\r\n");
        std::string digest = Digest(Prompt(), c.password);
        if (c.upper) {
            for (char& ch : digest) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        }
        client.Send(B64(std::string(c.user) + " " + digest) + "\r\n");
        EXPECT_EQ(client.ReadLine(), tag + " NO AUTHENTICATE fails\r\n");
    }
    EXPECT_EQ(Last(client.Command("s1", "SELECT INBOX")), "s1 NO Command unrecognized: SELECT\r\n");
}

TEST_F(AuthenticateServerTest, LoginMechanism) {
    client.Send("a1 AUTHENTICATE LOGIN\r\n");
    EXPECT_EQ(client.ReadLine(), "+ TE9HSU4=\r\n");
    client.Send(B64("ann") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "+ UEFTU1dPUkQ=\r\n");
    client.Send(B64("Pop Secret") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "a1 NO AUTHENTICATE fails\r\n");

    client.Send("a2 AUTHENTICATE LOGIN\r\n");
    Prompt();
    client.Send(B64("ann") + "\r\n");
    Prompt();
    client.Send(B64("pop secret") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "a2 OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(Last(client.Command("a3", "NAMESPACE")), "a3 OK NAMESPACE completed\r\n");
}

TEST_F(AuthenticateServerTest, LoginLineSentInsteadOfTheFirstAnswer) {
    client.Send("a1 AUTHENTICATE LOGIN\r\n");
    Prompt();
    // The client gave up on the mechanism: its LOGIN runs against the user file.
    client.Send("b1 LOGIN ann \"Login Word\"\r\n");
    EXPECT_EQ(client.ReadLine(), "b1 OK LOGIN completed\r\n");
    EXPECT_EQ(Last(client.Command("b2", "NAMESPACE")), "b2 OK NAMESPACE completed\r\n");
    EXPECT_NE(AccessLog().find(" ann@test.local from 127.0.0.1 LOGIN ann **** Success\n"), std::string::npos);
}

TEST_F(AuthenticateServerTest, OverlongAnswerIsRefusedAndTheSessionGoesOn) {
    client.Send("a1 AUTHENTICATE CRAM-MD5\r\n");
    Prompt();
    client.Send(std::string(4095, 'Q'));
    EXPECT_EQ(client.ReadLine(), "a1 BAD AUTHENTICATE challenge/responce err\r\n");
    EXPECT_EQ(Last(client.Command("a2", "NOOP")), "a2 OK NOOP completed\r\n");
}

}  // namespace
