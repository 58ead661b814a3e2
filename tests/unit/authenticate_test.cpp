// AUTHENTICATE driven through the dispatcher on one end of a socket pair, with the test as the
// client on the other end answering each "+" prompt as a SASL client would.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>
#include <tuple>

#include "config/settings.h"
#include "mail_session.h"
#include "platform/registry.h"
#include "sasl.h"

namespace {

const char kPassword[] = "tanstaaftanstaaf";
const std::string kLogin = "+ TE9HSU4=\r\n", kPasswordPrompt = "+ UEFTU1dPUkQ=\r\n";  // "LOGIN", "PASSWORD"

// The answer line to a prompt, made from the prompt's decoded text; "" makes the client go away.
using Answer = std::function<std::string(const std::string&)>;

// The capabilities a login tells are checked by the integration tests; here only the outcome.
std::string WithoutCapabilities(const std::string& strText) {
    return std::regex_replace(strText, std::regex(" OK \\[CAPABILITY [^\\]]*\\] "), " OK ");
}

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
        // The user file holds each of them (its password "u-" and the name) but ghost, who has only
        // a mail directory; plaintext mechanisms check the user file, CRAM-MD5 the password file.
        std::string strUsers;
        for (const auto& [strName, strFile] : std::map<std::string, std::string>{{"tim", kPassword}, {"empty", ""},
                 {"tim smith jr", "pw\n"}, {"ann", "\xff\x01" "7176\n"}, {"off", "pw\n"}, {"victim", "stolen\n"},
                 {"ghost", "boo\n"}}) {
            std::filesystem::create_directories(tmp.path + "/" + strName);
            WriteFile(tmp.path + "/" + strName + "/apop.dat", strFile);
            if (strName != "ghost") strUsers += B64(strName + "\tu-" + strName) + "\n";
        }
        WriteFile(tmp.path + "/test.local.idx", strUsers);
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
        return WithoutCapabilities(strAll + strGot + Received()) + "[" + strWho + (result == 1 ? "]" : " ended]");
    }
    // The same for a client that sends its answers ahead: strAfterPrompt right after the first
    // prompt, nothing else; all the client got.
    std::string Ahead(const std::string& strRequest, const std::string& strAfterPrompt = "") {
        snprintf(session->szRecv, sizeof session->szRecv, "%s", strRequest.c_str());
        std::thread server([this] { result = DispatchCommand(session.get()); });
        std::string strAll;
        if (!strAfterPrompt.empty()) {
            pollfd pfd{peer, POLLIN, 0};
            poll(&pfd, 1, 10000);
            strAll = Received();
            send(peer, strAfterPrompt.data(), strAfterPrompt.size(), MSG_NOSIGNAL);
        }
        server.join();
        strAll = WithoutCapabilities(strAll + Received());
        return strAll + "[" + (session->State == Imap4Authorization ? session->szUser : "-") + "]";
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
    Answer answer = Lines({B64("tim") + "\r\n", B64("u-tim") + "\r\n"});
    EXPECT_EQ(Exchange(strTag + " authenticate " + strArgs + "\r\n", answer), "+ " + B64(strArgs.substr(0, 255)) +
              "\r\n" + kPasswordPrompt + strTag + " OK AUTHENTICATE completed\r\n[tim@]");
    EXPECT_EQ(std::string(session->szMailDir) + " " + session->szMailbox, tmp.path + "/tim/ " + tmp.path + "/tim/");
    EXPECT_TRUE(std::filesystem::is_directory(tmp.path + "/tim/inbox"));
    EXPECT_GT(session->lLoginNo, 0);
    // The access log keeps the start of the arguments only.
    std::string strLogged = " tim@ from 127.0.0.9 authenticate " + strArgs.substr(0, 31) + " Success\n";
    EXPECT_NE(AccessLog().find(strLogged), std::string::npos) << AccessLog();
    int32_t lLoginNo = session->lLoginNo;
    EXPECT_EQ(Exchange("a2 AUTHENTICATE LOGIN\r\n"), "a2 NO already logged in\r\n[tim@]");
    EXPECT_EQ(session->lLoginNo, lLoginNo);
}

TEST_F(AuthenticateTest, LoginMechanismRefusals) {
    const std::string cases[][2] = {
        {B64("tim"), B64("U-TIM")}, {B64("tim"), B64("u-timx")}, {B64("tim"), ""},
        {B64("tim"), B64(std::string("u-tim") + '\0')},  // a NUL must not end the comparison
        {B64("tim"), B64(kPassword)},  // the password file is CRAM-MD5's
        {B64("ghost"), B64("boo")},    // a password file is no account
        {B64("nobody"), B64("x")}, {B64("off"), B64("u-off")},
        {B64("tim/../victim"), B64("u-victim")}, {B64(std::string("tim\0/../victim", 14)), B64("u-victim")},
        {B64(std::string("tim\0x", 5)), B64("u-tim")},  // a name is all of its bytes
        {B64("tim\r\nforged"), B64("u-tim")},
        {B64(std::string(300, 't')), B64("u-tim")},  // longer than szUser holds
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
    // A user-file record without a password lets nobody in.
    WriteFile(tmp.path + "/test.local.idx", B64("tim\t\t\t\t" + tmp.path + "/tim") + "\n");
    session->State = Imap4NonAuthenticated;
    EXPECT_EQ(Exchange("a1 AUTHENTICATE LOGIN\r\n", Lines({"b6 LOGIN tim \"\"\r\n"})),
              kLogin + "b6 NO LOGIN fails\r\n[-]");
}

TEST_F(AuthenticateTest, CramMd5Answers) {
    const std::string strNo = "c1 NO AUTHENTICATE fails\r\n[-]",
                      strBad = "c1 BAD AUTHENTICATE challenge/responce err\r\n[-]";
    const std::pair<Answer, std::string> cases[] = {
        {Cram("tim", kPassword), "c1 OK AUTHENTICATE completed\r\n[tim@]"},
        {Cram("tim smith jr", "pw"), "c1 OK AUTHENTICATE completed\r\n[tim smith jr@]"},
        {Cram("ann", "pw"), "c1 OK AUTHENTICATE completed\r\n[ann@]"},
        {Cram("ghost", "boo"), strNo},  // a password file is no account
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
    EXPECT_NE(AccessLog().find(" tim@ from 127.0.0.9 AUTHENTICATE CRAM-MD5 Success\n"), std::string::npos);
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

// A client may send its answers without waiting for the prompts (in the command's packet, or
// both LOGIN answers at once): they are taken from what was received, never waited for, and the
// lines behind the last answer are commands for afterwards.
TEST_F(AuthenticateTest, AnswersSentAheadAreTakenAndWhatFollowsIsDispatched) {
    const std::string strAnswers = B64("tim") + "\r\n" + B64("u-tim") + "\r\n";
    const std::string strOk = "c1 OK AUTHENTICATE completed\r\nc2 OK NOOP completed\r\n[tim@]";
    EXPECT_EQ(Ahead("c1 AUTHENTICATE LOGIN\r\n" + strAnswers + "c2 NOOP\r\n"), kLogin + kPasswordPrompt + strOk);
    session->State = Imap4NonAuthenticated;
    EXPECT_EQ(Ahead("c1 AUTHENTICATE LOGIN\r\n", strAnswers + "c2 NOOP\r\n"), kLogin + kPasswordPrompt + strOk);
    session->State = Imap4NonAuthenticated;
    EXPECT_EQ(Ahead("c1 AUTHENTICATE PLAIN\r\n" + B64(std::string("\0tim\0u-tim", 10)) + "\r\nc2 NOOP\r\n"),
              "+ \r\n" + strOk);
    session->State = Imap4NonAuthenticated;
    auto answer = [cram = Cram("tim", kPassword)](const std::string& s) { return cram(s) + "c3 NOOP\r\nc4 CHECK\r\n"; };
    std::string strGot = Exchange("c1 AUTHENTICATE CRAM-MD5\r\n", answer);
    EXPECT_EQ(strGot, "+ " + B64(strChallenge) + "\r\nc1 OK AUTHENTICATE completed\r\n"
                      "c3 OK NOOP completed\r\nc4 NO Command unrecognized: CHECK\r\n[tim@]");
    EXPECT_STREQ(session->szQueue, "");
}

// An initial response with the command (SASL-IR): LOGIN's is the user name, PLAIN's the whole
// message, "=" an empty one; CRAM-MD5, where the server speaks first, has none.
TEST_F(AuthenticateTest, InitialResponses) {
    const std::string ok = "c OK AUTHENTICATE completed\r\n[tim@]", no = "c NO AUTHENTICATE fails\r\n[-]";
    const std::tuple<std::string, std::vector<std::string>, std::string> cases[] = {
        {"LOGIN " + B64("tim"), {B64("u-tim")}, kPasswordPrompt + ok},
        {"login  " + B64("tim"), {B64("u-tim")}, kPasswordPrompt + ok},
        {"LOGIN " + B64("tim"), {B64("wrong")}, kPasswordPrompt + no},
        {"LOGIN =", {B64("u-tim")}, kPasswordPrompt + no},
        {"LOGIN " + B64("tim"), {"="}, kPasswordPrompt + no},
        {"PLAIN " + B64(std::string("\0tim\0u-tim", 10)), {}, ok},
        {"CRAM-MD5 " + B64("tim 0123"), {}, "c BAD AUTHENTICATE CRAM-MD5 takes no initial response\r\n[-]"},
        {"CRAM-MD5 =", {}, "c BAD AUTHENTICATE CRAM-MD5 takes no initial response\r\n[-]"},
    };
    for (const auto& [strArgs, answers, strExpected] : cases) {
        std::vector<std::string> lines;
        for (const std::string& str : answers) lines.push_back(str + "\r\n");
        EXPECT_EQ(Exchange("c AUTHENTICATE " + strArgs + "\r\n", Lines(lines)), strExpected) << strArgs;
        session->State = Imap4NonAuthenticated;
    }
}

// The password file is read only as the user's own regular file, never through a link: a user
// who points it at a file the server can read must not learn that file's first line.
TEST_F(AuthenticateTest, CramMd5ReadsOnlyTheUsersOwnPasswordFile) {
    auto Refused = [this](const std::string& strSecret) {
        std::string strGot = Exchange("c1 AUTHENTICATE CRAM-MD5\r\n", Cram("tim", strSecret));
        return strGot == "+ " + B64(strChallenge) + "\r\nc1 NO AUTHENTICATE fails\r\n[-]";
    };
    WriteFile(tmp.path + "/secret", "stolen\n");
    chmod((tmp.path + "/secret").c_str(), 0600);
    std::filesystem::remove(tmp.path + "/tim/apop.dat");
    std::filesystem::create_symlink(tmp.path + "/secret", tmp.path + "/tim/apop.dat");
    EXPECT_TRUE(Refused("stolen"));
    std::filesystem::remove(tmp.path + "/tim/apop.dat");
    std::filesystem::create_directory(tmp.path + "/tim/apop.dat");
    EXPECT_TRUE(Refused(""));
    // Not owned by the identity that reads it: only root can make such a file here.
    if (geteuid() == 0) {
        std::filesystem::remove(tmp.path + "/tim/apop.dat");
        WriteFile(tmp.path + "/tim/apop.dat", std::string(kPassword) + "\n");
        ASSERT_EQ(chown((tmp.path + "/tim/apop.dat").c_str(), 4321, 4321), 0);
        EXPECT_TRUE(Refused(kPassword));
        ASSERT_EQ(chown((tmp.path + "/tim/apop.dat").c_str(), 0, 0), 0);
        EXPECT_FALSE(Refused(kPassword));  // the same file, the reader's own
    }
}

}  // namespace
