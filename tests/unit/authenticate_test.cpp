// AUTHENTICATE driven through the dispatcher on one end of a socket pair, with the test as the
// client on the other end answering each "+" prompt as a SASL client would.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "config/settings.h"
#include "imap/dispatch.h"
#include "platform/registry.h"
#include "sasl.h"
#include "test_server.h"

namespace {

const char kPassword[] = "tanstaaftanstaaf";

// The answer line to a prompt, made from the prompt's decoded text; "" makes the client go away.
using Answer = std::function<std::string(const std::string&)>;

Answer Lines(std::vector<std::string> answers) {
    auto pNext = std::make_shared<size_t>(0);
    return [answers, pNext](const std::string&) { return *pNext < answers.size() ? answers[(*pNext)++] : ""; };
}

// bUpper writes the digest in upper-case hex; strTail follows it inside the Base64.
Answer Cram(const std::string& strUser, const std::string& strPassword, bool bUpper = false, std::string strTail = "") {
    return [=](const std::string& strChallenge) {
        std::string str = CramAnswer(strUser, strChallenge, strPassword);
        for (size_t i = str.size() - 32; bUpper && i < str.size(); ++i) str[i] = static_cast<char>(toupper(str[i]));
        return B64(str + strTail) + "\r\n";
    };
}

class AuthenticateTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strRegistry =
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
            "\"Imap4LogEnabled\"=dword:00000001\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
            "\"MailSpoolDir\"=\"" + dir.path + "\"\n\"UserManager\"=dword:00000000\n\"Membership\"=\"" + dir.path +
            "/\"\n\"MailInBoxDir\"=\"" + dir.path + "/%USERNAME%\"\n\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n";
        LoadRegistryText(strRegistry.data(), strRegistry.size(), "authenticate-test.reg");
        ReadSettings();
        CreateSpoolDirectories();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session->sockClient = fds[0];
        peer = fds[1];
        snprintf(session->szPeerAddr, sizeof session->szPeerAddr, "127.0.0.9");
        snprintf(session->szHostName, sizeof session->szHostName, "postoffice.reston.mci.net");
        AddMailUser("tim", kPassword);
    }
    void TearDown() override {
        close(session->sockClient);
        close(peer);
        LoadRegistryText("", 0, "empty");
        Settings = saved;
    }
    // A mail directory holding the password file the POP3 server shares.
    void AddMailUser(const std::string& strName, const std::string& strPasswordFile) {
        std::filesystem::create_directories(dir.path + "/" + strName);
        WriteFile(dir.path + "/" + strName + "/apop.dat", strPasswordFile);
    }
    // One line with its CR LF; "" when nothing more comes.
    std::string ReadLine() {
        size_t nLf;
        while ((nLf = strPending.find('\n')) == std::string::npos) {
            char buf[8192];
            pollfd pfd{peer, POLLIN, 0};
            ssize_t n = poll(&pfd, 1, 10000) > 0 ? recv(peer, buf, sizeof buf, 0) : 0;
            if (n <= 0) return "";
            strPending.append(buf, static_cast<size_t>(n));
        }
        std::string strLine = strPending.substr(0, nLf + 1);
        strPending.erase(0, nLf + 1);
        return strLine;
    }
    // Dispatches the request on a thread of its own, as the client thread would, answers its
    // prompts (kept decoded in strPrompts, one a line) and returns the tagged line.
    std::string Run(const std::string& strRequest, const Answer& answer = nullptr) {
        snprintf(session->szRecv, sizeof session->szRecv, "%s", strRequest.c_str());
        std::thread server([this] { nResult = DispatchCommand(session.get()); });
        strPrompts.clear();
        std::string strLine;
        while ((strLine = ReadLine()).compare(0, 2, "+ ") == 0 && answer) {
            strPrompts += Unb64(strLine.substr(2)) + (strLine.compare(strLine.size() - 2, 2, "\r\n") ? "!\n" : "\n");
            std::string strAnswer = answer(Unb64(strLine.substr(2)));
            if (strAnswer.empty()) shutdown(peer, SHUT_WR);
            send(peer, strAnswer.data(), strAnswer.size(), MSG_NOSIGNAL);
        }
        if (strLine.empty() || strLine[0] == '+') shutdown(peer, SHUT_RDWR);  // never leave the server waiting
        server.join();
        return strLine;
    }
    std::string AccessLog() {
        std::string strAll;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path + "/imap4log")) {
            strAll += ReadFile(entry.path());
        }
        return strAll;
    }

    TempDir dir;
    SettingsRecord saved = Settings;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    int peer = -1, nResult = -1;
    std::string strPending, strPrompts;
};

TEST_F(AuthenticateTest, LoginMechanismLogsIn) {
    // The first prompt echoes what fits of the arguments as written; the tag comes back whole.
    std::string strTag(1500, 'T'), strArgs = "login" + std::string(2000, 'z');
    EXPECT_EQ(Run(strTag + " authenticate " + strArgs + "\r\n", Lines({B64("tim") + "\r\n", B64(kPassword) + "\r\n"})),
              strTag + " OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(strPrompts, strArgs.substr(0, 255) + "\nPASSWORD\n");
    EXPECT_EQ(nResult, 1);
    EXPECT_EQ(session->State, Imap4Authorization);
    EXPECT_EQ(std::string(session->szMailDir), dir.path + "/tim/");
    EXPECT_STREQ(session->szMailbox, session->szMailDir);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path + "/tim/inbox"));
    EXPECT_GT(session->lLoginNo, 0);
    // The access log keeps the start of the arguments only.
    std::string strLogged = " tim from 127.0.0.9 authenticate " + strArgs.substr(0, 31) + " Success\n";
    EXPECT_NE(AccessLog().find(strLogged), std::string::npos) << AccessLog();
    int32_t lLoginNo = session->lLoginNo;
    EXPECT_EQ(Run("a2 AUTHENTICATE LOGIN\r\n", Lines({})), "a2 NO already logged in\r\n");
    EXPECT_EQ(session->lLoginNo, lLoginNo);
}

TEST_F(AuthenticateTest, LoginMechanismRefusals) {
    AddMailUser("empty", "");
    AddMailUser("victim", "stolen\n");
    const std::string cases[][2] = {
        {B64("tim"), B64("TANSTAAFTANSTAAF")}, {B64("tim"), B64(std::string(kPassword) + "x")}, {B64("tim"), ""},
        {B64("tim"), B64(std::string(kPassword) + '\0')},  // a NUL must not end the comparison
        {B64("nobody"), B64("x")}, {B64("empty"), ""},       // an empty password file proves nothing
        {B64("tim/../victim"), B64("stolen")}, {B64(std::string("tim\0/../victim", 14)), B64("stolen")},
        {B64(std::string("tim\0x", 5)), B64(kPassword)},  // a name is all of its bytes
        {B64("tim\r\nforged"), B64(kPassword)},
        {B64(std::string(300, 't')), B64(kPassword)},  // longer than szUser holds
        {"*", "*"},  // no cancellation
        {std::string(4092, 'd'), std::string(4092, '/')},
    };
    for (const auto& c : cases) {
        Answer answer = Lines({c[0] + "\r\n", c[1] + "\r\n"});
        EXPECT_EQ(Run("r1 AUTHENTICATE LOGIN\r\n", answer), "r1 NO AUTHENTICATE fails\r\n");
        EXPECT_EQ(strPrompts, "LOGIN\nPASSWORD\n");
        EXPECT_EQ(session->State, Imap4NonAuthenticated) << c[0];
        session->State = Imap4NonAuthenticated;  // a wrong success must not stall the cases after it
    }
    std::string strLog = AccessLog();
    EXPECT_EQ(strLog.find("forged"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE LOGIN failed\n"), std::string::npos) << strLog;
    EXPECT_EQ(Run("r2 AUTHENTICATE LOGIN\r\n", Lines({})), "r2 BAD AUTHENTICATE illegal argument\r\n");
}

// A client that does not speak the mechanism sends a command line instead, which runs as LOGIN.
TEST_F(AuthenticateTest, CommandLineInsteadOfTheFirstAnswerRunsLogin) {
    WriteFile(dir.path + "/test.local.idx", B64("tim\tplain pw\t\t\t" + dir.path + "/tim") + "\n");
    EXPECT_EQ(Run("a1 AUTHENTICATE LOGIN\r\n", Lines({"b8 NOOP\r\n"})), "b8 BAD NOOP illegal argument\r\n");
    EXPECT_EQ(Run("a1 AUTHENTICATE LOGIN\r\n", Lines({"b7 LOGIN tim \"plain pw\"\r\n"})), "b7 OK LOGIN completed\r\n");
}

TEST_F(AuthenticateTest, CramMd5Answers) {
    AddMailUser("tim smith jr", "pw\n");
    AddMailUser("ann", "\xff\x01" "7176\n");  // "pw", scrambled
    AddMailUser("empty", "");
    AddMailUser("off", "pw\n");
    WriteFile(dir.path + "/off/$offimap4", "");
    AddMailUser("victim", "stolen\n");
    const std::string strNo = "c1 NO AUTHENTICATE fails\r\n", strBad = "c1 BAD AUTHENTICATE challenge/responce err\r\n";
    const struct {
        Answer answer;
        std::string strExpected;
        const char* pszUser = nullptr;  // who is logged in afterwards
    } cases[] = {
        {Cram("tim", kPassword), "c1 OK AUTHENTICATE completed\r\n", "tim"},
        {Cram("tim smith jr", "pw"), "c1 OK AUTHENTICATE completed\r\n", "tim smith jr"},
        {Cram("ann", "pw"), "c1 OK AUTHENTICATE completed\r\n", "ann"},
        {Cram("tim", kPassword, true), strNo}, {Cram("tim", "wrong"), strNo}, {Cram("nobody", ""), strNo},
        {Cram("empty", ""), strNo}, {Cram("off", "pw"), strNo}, {Cram("tim/../victim", "stolen"), strNo},
        {Cram("tim@../victim", "stolen"), strNo}, {Cram(std::string("tim\0/../victim", 14), "stolen"), strNo},
        {Cram(std::string("tim\0x", 5), kPassword), strNo},  // a NUL before the blank hides nothing
        {Cram("tim", kPassword, false, std::string(1, '\0') + "junk"), strNo},
        {Cram(std::string(3035, 'u'), kPassword), strNo},  // the longest answer that fits
        {Lines({"*\r\n"}), strBad},  // no cancellation: it decodes to nothing, which has no blank
        {Lines({"dGlt\r\n"}), strBad}, {Lines({"\r\n"}), strBad},
        {Lines({std::string(4095, 'A')}), strBad},  // no room left for the line feed
        {Lines({}), strBad},
    };
    const std::regex form(R"(<(\d+)\.(\d+)@postoffice\.reston\.mci\.net>\n)");
    std::smatch m;
    uint32_t ulFirst = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(Run("c1 AUTHENTICATE CRAM-MD5\r\n", c.answer), c.strExpected) << &c - cases;
        EXPECT_EQ(nResult, 1);  // the session goes on
        EXPECT_EQ(session->State, c.pszUser ? Imap4Authorization : Imap4NonAuthenticated);
        EXPECT_STREQ(session->szUser, c.pszUser ? c.pszUser : session->szUser);
        ASSERT_TRUE(std::regex_match(strPrompts, m, form)) << strPrompts;
        EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(getpid()));
        // Whole milliseconds of 100-ns units: the middle number moves in steps of 10000, even across its wrap.
        if (ulFirst == 0) ulFirst = static_cast<uint32_t>(std::stoul(m[2]));
        EXPECT_EQ(static_cast<uint32_t>(static_cast<uint32_t>(std::stoul(m[2])) - ulFirst) % 10000, 0u);
        session->State = Imap4NonAuthenticated;
    }
    EXPECT_NE(AccessLog().find(" tim from 127.0.0.9 AUTHENTICATE CRAM-MD5 Success\n"), std::string::npos);
}

TEST_F(AuthenticateTest, MechanismChoice) {
    const char* const cases[][2] = {
        {"a1 AUTHENTICATE PLAIN\r\n", "a1 NO AUTHENTICATE PLAIN isn't supported\r\n"},
        {"a2 AUTHENTICATE CRAM-SHA1 x\r\n", "a2 NO AUTHENTICATE CRAM-SHA1 x isn't supported\r\n"},
        {"a3 AUTHENTICATE LOG\r\n", "a3 NO AUTHENTICATE LOG isn't supported\r\n"},
        {"a4 AUTHENTICATE\r\n", "a4 BAD AUTHENTICATE illegal argument\r\n"},
        {"a5 authenticate\r\n", "a5 BAD authenticate illegal argument\r\n"},
        {"a6 AUTHENTICATE a\rb\r\n", "a6 NO AUTHENTICATE a isn't supported\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c[0]), c[1]);
        EXPECT_EQ(nResult, 1);
    }
    std::string strLog = AccessLog();
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE PLAIN failed\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE - failed\n"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find('\r'), std::string::npos) << strLog;  // a lone CR must not break a log line
}

// Lines that came with the request, and behind the last answer, are commands for afterwards.
TEST_F(AuthenticateTest, PipelinedTextIsDispatchedAfterTheExchange) {
    Answer cram = Cram("tim", kPassword);
    auto answer = [&](const std::string& strChallenge) { return cram(strChallenge) + "c3 NOOP\r\nc4 CHECK\r\n"; };
    EXPECT_EQ(Run("c1 AUTHENTICATE CRAM-MD5\r\nc2 NOOP\r\n", answer), "c1 OK AUTHENTICATE completed\r\n");
    EXPECT_EQ(ReadLine(), "c2 OK NOOP completed\r\n");
    EXPECT_EQ(ReadLine(), "c3 OK NOOP completed\r\n");
    EXPECT_EQ(ReadLine(), "c4 NO Command unrecognized: CHECK\r\n");
    EXPECT_STREQ(session->szQueue, "");
}

}  // namespace
