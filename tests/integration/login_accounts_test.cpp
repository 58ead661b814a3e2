// Every login mechanism against one account check, on the real server: operating-system accounts
// faked for it with pam_wrapper (pam_matrix) and nss_wrapper (passwd, group and shadow files made
// here), user files, and the password file CRAM-MD5 reads; and curl logging in with each mechanism.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sasl.h"
#include "test_server.h"

namespace {

// "OK" or "NO" (or what else came) for one login on a connection of its own.
using Mechanism = std::string (*)(ImapClient&, const std::string&, const std::string&);

std::string Verdict(const std::string& strLine) { return strLine.size() > 4 ? strLine.substr(2, 2) : "lost"; }

std::string ByLogin(ImapClient& c, const std::string& strUser, const std::string& strPassword) {
    return Verdict(c.Command("a", "LOGIN \"" + strUser + "\" \"" + strPassword + "\"").back());
}

std::string ByAuthLogin(ImapClient& c, const std::string& strUser, const std::string& strPassword) {
    c.Send("a AUTHENTICATE LOGIN\r\n");
    if (c.ReadLine().rfind("+ ", 0) != 0) return "no prompt";
    c.Send(B64(strUser) + "\r\n");
    if (c.ReadLine().rfind("+ ", 0) != 0) return "no prompt";
    c.Send(B64(strPassword) + "\r\n");
    return Verdict(c.ReadLine());
}

std::string ByPlain(ImapClient& c, const std::string& strUser, const std::string& strPassword) {
    return Verdict(c.Command("a", "AUTHENTICATE PLAIN " + B64(std::string(1, '\0') + strUser + '\0' + strPassword)).back());
}

// The secret here is the password file's, not the account's.
std::string ByCramMd5(ImapClient& c, const std::string& strUser, const std::string& strSecret) {
    c.Send("a AUTHENTICATE CRAM-MD5\r\n");
    std::string strPrompt = c.ReadLine();
    if (strPrompt.rfind("+ ", 0) != 0) return "no prompt";
    std::string strChallenge = Unb64(strPrompt.substr(2, strPrompt.size() - 4));
    c.Send(B64(CramAnswer(strUser, strChallenge, strSecret)) + "\r\n");
    return Verdict(c.ReadLine());
}

const std::map<std::string, Mechanism> kMechanisms = {
    {"LOGIN", ByLogin}, {"AUTHENTICATE LOGIN", ByAuthLogin}, {"AUTHENTICATE PLAIN", ByPlain}, {"CRAM-MD5", ByCramMd5}};

std::string TryLogin(const TestServer& server, Mechanism mechanism, const std::string& strUser,
                     const std::string& strSecret) {
    ImapClient client;
    if (!client.Greeted(server.port)) return "no greeting";
    return mechanism(client, strUser, strSecret);
}

std::string WrapperLibraryDir() {
    for (std::string str : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/usr/lib"}) {
        if (FileExists(str + "/pam_wrapper/pam_matrix.so") && FileExists(str + "/libnss_wrapper.so") &&
            FileExists(str + "/libpam_wrapper.so")) {
            return str;
        }
    }
    return "";
}

struct FakeAccount {
    const char* pszName;
    unsigned uid;
    const char* pszShadowTail;  // shadow fields after the hash: "!" before it marks a lock
    bool bLocked;
    const char* pszPamService;  // the service pam_matrix lets the account use
};

// With operating-system accounts every mechanism admits only an account that exists, is neither
// locked nor expired, and that PAM account management accepts; CRAM-MD5 reads the password file
// only as the user, and only the user's own regular file.
TEST(AccountCheck, EveryMechanismChecksTheSystemAccountAndCramMd5ReadsOnlyTheUsersFile) {
    std::string strLib = WrapperLibraryDir();
    if (strLib.empty()) GTEST_SKIP() << "pam_wrapper/nss_wrapper not installed (Debian: libpam-wrapper libnss-wrapper)";
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the mail belongs to the fake accounts' uids";
    TestServer server;
    const std::string strDir = server.dir;
    // barred may log in only through another service; ghost is in no password database.
    const FakeAccount accounts[] = {
        {"ann", 7101, "19000:0:99999:7:::", false, "veve4d"},  {"locked", 7102, "19000:0:99999:7:::", true, "veve4d"},
        {"expired", 7103, "19000:0:99999:7::0:", false, "veve4d"}, {"barred", 7104, "19000:0:99999:7:::", false, "sshd"},
        {"bob", 7105, "19000:0:99999:7:::", false, "veve4d"},  {"linker", 7106, "19000:0:99999:7:::", false, "veve4d"},
        {"peeker", 7107, "19000:0:99999:7:::", false, "veve4d"}, {"holder", 7108, "19000:0:99999:7:::", false, "veve4d"},
    };
    std::string strPasswd = "root:x:0:0:root:/root:/bin/sh\n", strShadow, strPassdb;
    std::filesystem::create_directories(strDir + "/users");
    ASSERT_EQ(chmod(strDir.c_str(), 0711), 0);
    ASSERT_EQ(chmod((strDir + "/users").c_str(), 0711), 0);
    auto MakeMailDir = [&](const std::string& strName, unsigned uid) {
        std::string strMail = strDir + "/users/" + strName;
        std::filesystem::create_directories(strMail);
        EXPECT_EQ(chown(strMail.c_str(), uid, 7100), 0);
        WriteFile(strMail + "/apop.dat", strName + "-cram\n");
        EXPECT_EQ(chown((strMail + "/apop.dat").c_str(), uid, 7100), 0);
        EXPECT_EQ(chmod((strMail + "/apop.dat").c_str(), 0600), 0);
        return strMail;
    };
    for (const FakeAccount& a : accounts) {
        std::string strName = a.pszName;
        strPasswd += strName + ":x:" + std::to_string(a.uid) + ":7100::" + strDir + "/users/" + strName + ":/bin/false\n";
        strShadow += strName + ":" + (a.bLocked ? "!" : "") + "$6$salt$hash:" + a.pszShadowTail + "\n";
        strPassdb += strName + ":" + strName + "-pw:" + a.pszPamService + "\n";
        MakeMailDir(strName, a.uid);
    }
    strPassdb += "ghost:ghost-pw:veve4d\n";
    MakeMailDir("ghost", 7199);
    // Root's own secret and bob's password file, offered as linker's, peeker's and holder's.
    WriteFile(strDir + "/root-only", "root-secret\n");
    ASSERT_EQ(chmod((strDir + "/root-only").c_str(), 0600), 0);
    std::filesystem::remove(strDir + "/users/linker/apop.dat");
    std::filesystem::create_symlink(strDir + "/root-only", strDir + "/users/linker/apop.dat");
    std::filesystem::remove(strDir + "/users/peeker/apop.dat");
    std::filesystem::create_symlink(strDir + "/users/bob/apop.dat", strDir + "/users/peeker/apop.dat");
    std::filesystem::remove(strDir + "/users/holder/apop.dat");
    ASSERT_EQ(link((strDir + "/users/bob/apop.dat").c_str(), (strDir + "/users/holder/apop.dat").c_str()), 0);
    // Readable by all, so that only its owner tells it is not holder's.
    ASSERT_EQ(chmod((strDir + "/users/bob/apop.dat").c_str(), 0644), 0);

    std::string strWrap = strDir + "/wrap";
    std::filesystem::create_directories(strWrap + "/services");
    std::string strMatrix = strLib + "/pam_wrapper/pam_matrix.so passdb=" + strWrap + "/passdb";
    WriteFile(strWrap + "/services/veve4d", "auth required " + strMatrix + "\naccount required " + strMatrix + "\n");
    WriteFile(strWrap + "/passdb", strPassdb);
    WriteFile(strWrap + "/passwd", strPasswd);
    WriteFile(strWrap + "/shadow", strShadow);
    WriteFile(strWrap + "/group", "root:x:0:\nmail-users:x:7100:\n");
    std::vector<std::string> env = {
        "LD_PRELOAD=" + strLib + "/libpam_wrapper.so:" + strLib + "/libnss_wrapper.so", "PAM_WRAPPER=1",
        "PAM_WRAPPER_SERVICE_DIR=" + strWrap + "/services", "NSS_WRAPPER_PASSWD=" + strWrap + "/passwd",
        "NSS_WRAPPER_GROUP=" + strWrap + "/group", "NSS_WRAPPER_SHADOW=" + strWrap + "/shadow",
#if defined(__SANITIZE_ADDRESS__)
        "ASAN_OPTIONS=verify_asan_link_order=0", "PAM_WRAPPER_DISABLE_DEEPBIND=1", "UID_WRAPPER_DISABLE_DEEPBIND=1",
        "NSS_WRAPPER_DISABLE_DEEPBIND=1",
#endif
    };
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry("\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n"), {"-debug"}, env))
        << server.Output();

    for (const auto& [strMechanism, mechanism] : kMechanisms) {
        bool bCram = strMechanism == "CRAM-MD5";
        auto Secret = [&](const std::string& strUser) { return strUser + (bCram ? "-cram" : "-pw"); };
        EXPECT_EQ(TryLogin(server, mechanism, "ann", Secret("ann")), "OK") << strMechanism << "\n" << server.Output();
        for (const std::string strUser : {"locked", "expired", "barred", "ghost"}) {
            EXPECT_EQ(TryLogin(server, mechanism, strUser, Secret(strUser)), "NO") << strMechanism << " " << strUser;
        }
        // The password file's secret is no account password, nor the reverse.
        EXPECT_EQ(TryLogin(server, mechanism, "ann", bCram ? "ann-pw" : "ann-cram"), "NO") << strMechanism;
    }
    // Each of them would be the right answer if the server read through the link or the foreign file.
    EXPECT_EQ(TryLogin(server, ByCramMd5, "linker", "root-secret"), "NO");
    EXPECT_EQ(TryLogin(server, ByCramMd5, "peeker", "bob-cram"), "NO");
    EXPECT_EQ(TryLogin(server, ByCramMd5, "holder", "bob-cram"), "NO");
    EXPECT_EQ(TryLogin(server, ByCramMd5, "bob", "bob-cram"), "OK");
    std::string strOutput = server.Output();
    EXPECT_NE(strOutput.find("users/linker/apop.dat refused: a symbolic link"), std::string::npos) << strOutput;
    EXPECT_NE(strOutput.find("users/peeker/apop.dat refused: a symbolic link"), std::string::npos) << strOutput;
    EXPECT_NE(strOutput.find("users/holder/apop.dat refused: owned by uid 7105, not 7108"), std::string::npos)
        << strOutput;
    // A login refused after the password file was read as the user leaves the session as the server:
    // the next login on the same connection reads its own user's files.
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    EXPECT_EQ(ByCramMd5(client, "bob", "wrong"), "NO");
    EXPECT_EQ(ByCramMd5(client, "ann", "ann-cram"), "OK");
}

// In user-file mode an account the user file does not hold (removed, or never there) does not log
// in with any mechanism, even with a password file in its mail directory.
TEST(AccountCheck, UserFileAccountsOnly) {
    TestServer server;
    server.AddUser("ann", "ann-pw");
    WriteFile(server.dir + "/users/ann/apop.dat", "ann-cram\n");
    server.AddUser("gone", "gone-pw");
    WriteFile(server.dir + "/users/gone/apop.dat", "gone-cram\n");
    std::filesystem::create_directories(server.dir + "/users/never");
    WriteFile(server.dir + "/users/never/apop.dat", "never-cram\n");
    // gone is removed from the user file again: only ann's record is left.
    std::string strIndex = server.dir + "/accounts/test.local.idx";
    std::string strRecords = ReadFile(strIndex);
    WriteFile(strIndex, strRecords.substr(0, strRecords.find('\n') + 1));
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry()));
    for (const auto& [strMechanism, mechanism] : kMechanisms) {
        bool bCram = strMechanism == "CRAM-MD5";
        auto Secret = [&](const std::string& strUser) { return strUser + (bCram ? "-cram" : "-pw"); };
        EXPECT_EQ(TryLogin(server, mechanism, "ann", Secret("ann")), "OK") << strMechanism;
        EXPECT_EQ(TryLogin(server, mechanism, "gone", Secret("gone")), "NO") << strMechanism;
        EXPECT_EQ(TryLogin(server, mechanism, "never", Secret("never")), "NO") << strMechanism;
    }
}

// A client that sends its AUTHENTICATE answers without waiting for the prompts (with the command,
// or both LOGIN answers in one packet) is answered at once, and what follows runs afterwards.
TEST(AccountCheck, AnswersSentAheadOfThePromptsAreTaken) {
    TestServer server;
    server.AddUser("ann", "ann-pw");
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry()));
    const std::string strAnswers = B64("ann") + "\r\n" + B64("ann-pw") + "\r\n";
    const std::string strPlain = B64(std::string("\0ann\0ann-pw", 11)) + "\r\n";
    for (const auto& [strFirst, strAfterPrompt] :
         {std::pair<std::string, std::string>{"a AUTHENTICATE LOGIN\r\n" + strAnswers + "b NOOP\r\n", ""},
          {"a AUTHENTICATE LOGIN\r\n", strAnswers + "b NOOP\r\n"},
          {"a AUTHENTICATE PLAIN\r\n" + strPlain + "b NOOP\r\n", ""}}) {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port));
        client.Send(strFirst);
        if (!strAfterPrompt.empty()) {
            EXPECT_EQ(client.ReadLine(), "+ " + B64("LOGIN") + "\r\n");
            client.Send(strAfterPrompt);
        }
        auto lines = client.ReadUntilTagged("b", 5000);
        ASSERT_GE(lines.size(), 2u) << strFirst;
        EXPECT_EQ(lines[lines.size() - 2], "a OK AUTHENTICATE completed\r\n") << strFirst;
        EXPECT_EQ(lines.back(), "b OK NOOP completed\r\n") << strFirst;
    }
}

// curl logs in with each mechanism it offers (sending an initial response where the mechanism
// has one, as the server announces SASL-IR) and runs a command.
TEST(AccountCheck, CurlLogsInWithEveryMechanism) {
    if (system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl not installed";
    TestServer server;
    server.AddUser("ann", "ann pw");
    WriteFile(server.dir + "/users/ann/apop.dat", "ann pw\n");
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry()));
    for (const std::string strMechanism : {"LOGIN", "PLAIN", "CRAM-MD5"}) {
        for (const std::string strPassword : {"ann pw", "wrong"}) {
            std::string strCommand = "curl -sS --max-time 20 --login-options AUTH=" + strMechanism +
                                     " --user 'ann:" + strPassword + "' -X NOOP imap://127.0.0.1:" +
                                     std::to_string(server.port) + "/ >/dev/null 2>&1";
            int nStatus = system(strCommand.c_str());
            ASSERT_TRUE(WIFEXITED(nStatus));
            // 67: the login was denied.
            EXPECT_EQ(WEXITSTATUS(nStatus), strPassword == "wrong" ? 67 : 0) << strMechanism << "\n" << server.Output();
        }
    }
}

}  // namespace
