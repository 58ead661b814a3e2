// AUTHENTICATE driven through the dispatcher on one end of a socket pair, with the test as the
// client on the other end answering each "+" prompt as a SASL client would.
#include <poll.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "config/settings.h"
#include "mail_session.h"
#include "platform/registry.h"
#include "sasl.h"

namespace {

const char kPassword[] = "tanstaaftanstaaf";
const std::string kLogin = "+ TE9HSU4=\r\n", kPasswordPrompt = "+ UEFTU1dPUkQ=\r\n";  // "LOGIN", "PASSWORD"

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

class AuthenticateTest : public MailSession {
protected:
    void SetUp() override {
        MailSession::SetUp();
        std::string strRegistry = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
            "\"Imap4LogEnabled\"=dword:00000001\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n\"MailSpoolDir\"=\"" +
            tmp.path + "\"\n\"UserManager\"=dword:00000000\n\"Membership\"=\"" + tmp.path + "/\"\n\"MailInBoxDir\"=\"" +
            tmp.path + "/%USERNAME%\"\n\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n";
        LoadRegistryText(strRegistry.data(), strRegistry.size(), "authenticate-test.reg");
        ReadSettings();
        Settings.LoginFailureLimit = 1000;  // these exchanges fail on purpose, many times over
        CreateSpoolDirectories();
        session->State = Imap4NonAuthenticated;
        snprintf(session->szPeerAddr, sizeof session->szPeerAddr, "127.0.0.9");
        snprintf(session->szHostName, sizeof session->szHostName, "postoffice.reston.mci.net");
        // Mail directories holding the password file the POP3 server shares; ann's is "pw", scrambled.
        for (const auto& [strName, strFile] : std::map<std::string, std::string>{{"tim", kPassword}, {"empty", ""},
                 {"tim smith jr", "pw\n"}, {"ann", "\xff\x01" "7176\n"}, {"off", "pw\n"}, {"victim", "stolen\n"}}) {
            std::filesystem::create_directories(tmp.path + "/" + strName);
            WriteFile(tmp.path + "/" + strName + "/apop.dat", strFile);
        }
        WriteFile(tmp.path + "/off/$offimap4", "");
    }
    void TearDown() override {
        MailSession::TearDown();
        LoadRegistryText("", 0, "empty");
        Settings = saved;
    }
    // Dispatches the request on a thread of its own, as the client thread would, answers its prompts (the last
    // one kept decoded) and returns all the client got, then in brackets who is logged in ("-": nobody).
    std::string Exchange(const std::string& strRequest, const Answer& answer = Lines({})) {
        snprintf(session->szRecv, sizeof session->szRecv, "%s", strRequest.c_str());
        std::thread server([this] { result = DispatchCommand(session.get()); });
        std::string strAll, strGot;
        for (pollfd pfd{peer, POLLIN, 0}; poll(&pfd, 1, 10000) > 0 && (strGot = Received()).compare(0, 2, "+ ") == 0;) {
            strAll += strGot;
            std::string strAnswer = answer(strChallenge = Unb64(strGot.substr(2)));
            if (strAnswer.empty()) shutdown(peer, SHUT_WR);  // the client goes away
            send(peer, strAnswer.data(), strAnswer.size(), MSG_NOSIGNAL);
        }
        server.join();
        bool bIn = session->State == Imap4Authorization;
        std::string strWho = bIn ? session->szUser : session->State == Imap4NonAuthenticated ? "-" : "?";
        return strAll + strGot + Received() + "[" + strWho + (result == 1 ? "]" : " ended]");
    }
    std::string AccessLog() const {
        std::string strAll;
        for (auto& e : std::filesystem::directory_iterator(tmp.path + "/imap4log")) strAll += ReadFile(e.path());
        return strAll;
    }

    SettingsRecord saved = Settings;
    std::string strChallenge;
};

TEST_F(AuthenticateTest, LoginMechanismLogsIn) {
    // The first prompt echoes what fits of the arguments as written; the tag comes back whole.
    std::string strTag(1500, 'T'), strArgs = "login" + std::string(2000, 'z');
    Answer answer = Lines({B64("tim") + "\r\n", B64(kPassword) + "\r\n"});
    EXPECT_EQ(Exchange(strTag + " authenticate " + strArgs + "\r\n", answer), "+ " + B64(strArgs.substr(0, 255)) +
              "\r\n" + kPasswordPrompt + strTag + " OK AUTHENTICATE completed\r\n[tim]");
    EXPECT_EQ(std::string(session->szMailDir) + " " + session->szMailbox, tmp.path + "/tim/ " + tmp.path + "/tim/");
    EXPECT_TRUE(std::filesystem::is_directory(tmp.path + "/tim/inbox"));
    EXPECT_GT(session->lLoginNo, 0);
    // The access log keeps the start of the arguments only.
    std::string strLogged = " tim from 127.0.0.9 authenticate " + strArgs.substr(0, 31) + " Success\n";
    EXPECT_NE(AccessLog().find(strLogged), std::string::npos) << AccessLog();
    int32_t lLoginNo = session->lLoginNo;
    EXPECT_EQ(Exchange("a2 AUTHENTICATE LOGIN\r\n"), "a2 NO already logged in\r\n[tim]");
    EXPECT_EQ(session->lLoginNo, lLoginNo);
}

TEST_F(AuthenticateTest, LoginMechanismRefusals) {
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
        EXPECT_EQ(Exchange("r1 AUTHENTICATE LOGIN\r\n", Lines({c[0] + "\r\n", c[1] + "\r\n"})),
                  kLogin + kPasswordPrompt + "r1 NO AUTHENTICATE fails\r\n[-]") << c[0];
        session->State = Imap4NonAuthenticated;  // a wrong success must not stall the cases after it
    }
    std::string strLog = AccessLog();
    EXPECT_EQ(strLog.find("forged"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE LOGIN failed\n"), std::string::npos) << strLog;
    EXPECT_EQ(Exchange("r2 AUTHENTICATE LOGIN\r\n"), kLogin + "r2 BAD AUTHENTICATE illegal argument\r\n[-]");
}

// A client that does not speak the mechanism sends a command line instead, which runs as LOGIN.
TEST_F(AuthenticateTest, CommandLineInsteadOfTheFirstAnswerRunsLogin) {
    WriteFile(tmp.path + "/test.local.idx", B64("tim\tplain pw\t\t\t" + tmp.path + "/tim") + "\n");
    EXPECT_EQ(Exchange("a1 AUTHENTICATE LOGIN\r\n", Lines({"b8 NOOP\r\n"})),
              kLogin + "b8 BAD NOOP illegal argument\r\n[-]");
    EXPECT_EQ(Exchange("a1 AUTHENTICATE LOGIN\r\n", Lines({"b7 LOGIN tim \"plain pw\"\r\n"})),
              kLogin + "b7 OK LOGIN completed\r\n[tim@]");
}

TEST_F(AuthenticateTest, CramMd5Answers) {
    const std::string strNo = "c1 NO AUTHENTICATE fails\r\n[-]",
                      strBad = "c1 BAD AUTHENTICATE challenge/responce err\r\n[-]";
    const std::pair<Answer, std::string> cases[] = {
        {Cram("tim", kPassword), "c1 OK AUTHENTICATE completed\r\n[tim]"},
        {Cram("tim smith jr", "pw"), "c1 OK AUTHENTICATE completed\r\n[tim smith jr]"},
        {Cram("ann", "pw"), "c1 OK AUTHENTICATE completed\r\n[ann]"},
        {Cram("tim", kPassword, true), strNo}, {Cram("tim", "wrong"), strNo}, {Cram("nobody", ""), strNo},
        {Cram("empty", ""), strNo}, {Cram("off", "pw"), strNo}, {Cram("tim/../victim", "stolen"), strNo},
        {Cram("tim@../victim", "stolen"), strNo}, {Cram(std::string("tim\0/../victim", 14), "stolen"), strNo},
        {Cram(std::string("tim\0x", 5), kPassword), strNo},  // a NUL before the blank hides nothing
        {Cram("tim", kPassword, false, std::string(1, '\0') + "junk"), strNo},
        {Cram(std::string(3035, 'u'), kPassword), strNo},  // the longest answer that fits
        {Lines({"*\r\n"}), strBad},  // no cancellation: it decodes to nothing, which has no blank
        {Lines({"dGlt\r\n"}), strBad}, {Lines({"\r\n"}), strBad},
        // No room left for the line feed: before login such a line is not read on.
        {Lines({std::string(RECV_SIZE - 1, 'A')}), "c1 BAD AUTHENTICATE challenge/responce err\r\n* BYE Line too long\r\n[- ended]"},
        {Lines({}), strBad},
    };
    // Whole milliseconds of 100-ns units: the middle number moves in steps of 10000, even across its wrap.
    const std::regex form("<" + std::to_string(getpid()) + R"(\.(\d+)@postoffice\.reston\.mci\.net>)");
    std::smatch m;
    uint32_t ulFirst = 0;
    for (const auto& [answer, strExpected] : cases) {
        std::string strGot = Exchange("c1 AUTHENTICATE CRAM-MD5\r\n", answer);
        EXPECT_EQ(strGot, "+ " + B64(strChallenge) + "\r\n" + strExpected);
        ASSERT_TRUE(std::regex_match(strChallenge, m, form)) << strChallenge;
        ulFirst = ulFirst ? ulFirst : static_cast<uint32_t>(std::stoul(m[1]));
        EXPECT_EQ(static_cast<uint32_t>(static_cast<uint32_t>(std::stoul(m[1])) - ulFirst) % 10000, 0u);
        session->State = Imap4NonAuthenticated;
    }
    EXPECT_NE(AccessLog().find(" tim from 127.0.0.9 AUTHENTICATE CRAM-MD5 Success\n"), std::string::npos);
}

TEST_F(AuthenticateTest, MechanismChoice) {
    // What follows the mechanism may be a secret: it is neither echoed nor logged.
    for (const std::string str : {"PLAINTEXT", "CRAM-SHA1 c2VjcmV0", "LOG"}) {
        EXPECT_EQ(Exchange("a AUTHENTICATE " + str + "\r\n"),
                  "a NO AUTHENTICATE " + str.substr(0, str.find(' ')) + " isn't supported\r\n[-]");
    }
    EXPECT_EQ(Exchange("a4 AUTHENTICATE\r\n"), "a4 BAD AUTHENTICATE illegal argument\r\n[-]");
    EXPECT_EQ(Exchange("a5 authenticate\r\n"), "a5 BAD authenticate illegal argument\r\n[-]");
    // A bare CR is no part of any mechanism's name: the line is refused before it could be echoed.
    EXPECT_EQ(Exchange("a6 AUTHENTICATE a\rb\r\n"), "a6 BAD Control character in command\r\n[-]");
    std::string strLog = AccessLog();
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE PLAINTEXT failed\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE - failed\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" - from 127.0.0.9 AUTHENTICATE CRAM-SHA1 **** failed\n"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find("c2VjcmV0"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find('\r'), std::string::npos) << strLog;  // a lone CR must not break a log line
}

// PLAIN checks the user-file account as LOGIN does, not the password file.
TEST_F(AuthenticateTest, PlainWithAndWithoutInitialResponse) {
    WriteFile(tmp.path + "/test.local.idx", B64("ann\tplain pw\t\t\t" + tmp.path + "/ann") + "\n");
    const std::string good = B64(std::string("\0ann\0plain pw", 13)), ok = "a OK AUTHENTICATE completed\r\n[ann@]";
    const std::string no = "a NO AUTHENTICATE fails\r\n[-]", bad = "a BAD AUTHENTICATE illegal argument\r\n[-]";
    const std::pair<std::string, std::string> cases[] = {
        {"PLAIN " + good, ok}, {"PLAIN " + B64(std::string("ann\0ann\0plain pw", 16)), ok},
        {"PLAIN " + B64(std::string("bob\0ann\0plain pw", 16)), no}, {"PLAIN " + B64(std::string("\0ann\0plain pW", 13)), no},
        {"PLAIN " + B64(std::string("\0ann\0plain pw\0", 14)), no}, {"PLAIN " + B64(std::string("\0ann\0pw", 7)), no},
        {"PLAIN " + B64("annpw"), bad}, {"PLAIN =", bad},
    };
    for (const auto& [args, answer] : cases) {
        EXPECT_EQ(Exchange("a AUTHENTICATE " + args + "\r\n"), answer) << args;
        session->State = Imap4NonAuthenticated;
    }
    EXPECT_EQ(Exchange("a AUTHENTICATE PLAIN\r\n", Lines({"*\r\n"})), "+ \r\na BAD AUTHENTICATE cancelled\r\n[-]");
    EXPECT_EQ(Exchange("a AUTHENTICATE plain\r\n", Lines({good + "\r\n"})), "+ \r\n" + ok);
}

// Lines that came with the request, and behind the last answer, are commands for afterwards.
// Lines sent behind the AUTHENTICATE command answer its prompts, in order, without waiting for
// more input; what follows the last answer is dispatched after the exchange.
TEST_F(AuthenticateTest, PipelinedTextIsDispatchedAfterTheExchange) {
    auto answer = [cram = Cram("tim", kPassword)](const std::string& s) { return cram(s) + "c3 NOOP\r\nc4 CHECK\r\n"; };
    std::string strGot = Exchange("c1 AUTHENTICATE CRAM-MD5\r\n", answer);
    EXPECT_EQ(strGot, "+ " + B64(strChallenge) + "\r\nc1 OK AUTHENTICATE completed\r\n"
                      "c3 OK NOOP completed\r\nc4 NO Command unrecognized: CHECK\r\n[tim]");
    EXPECT_STREQ(session->szQueue, "");
    session->State = Imap4NonAuthenticated;
    // Everything at once: the exchange runs on what was received, without a read.
    std::string strBatch = "c5 AUTHENTICATE LOGIN\r\n" + B64("tim") + "\r\n" + B64(kPassword) + "\r\nc6 NOOP\r\n";
    snprintf(session->szRecv, sizeof session->szRecv, "%s", strBatch.c_str());
    EXPECT_EQ(DispatchCommand(session.get()), 1);
    EXPECT_EQ(Received(), kLogin + kPasswordPrompt + "c5 OK AUTHENTICATE completed\r\nc6 OK NOOP completed\r\n");
    EXPECT_EQ(session->State, Imap4Authorization);
}

}  // namespace
