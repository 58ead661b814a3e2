// AUTHENTICATE and LOGIN over a real connection: the failed-login delay, passwords kept out of
// every log, debug mode's password check, mail written as the system account's user.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sasl.h"
#include "test_server.h"

namespace {

using Registry = TestServer;

// Milliseconds from sending the request to its tagged answer.
long long TimedCommand(ImapClient& client, const std::string& tag, const std::string& command,
                       std::string* pLast = nullptr) {
    auto start = std::chrono::steady_clock::now();
    auto lines = client.Command(tag, command);
    if (pLast != nullptr) *pLast = lines.empty() ? "" : lines.back();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A failed LOGIN or AUTHENTICATE waits, longer with each failure from the client's address, even
// over a new connection; after LoginFailureLimit failures the connection ends.
TEST(Credentials, FailedLoginsWaitLongerAndEndTheConnection) {
    TestServer server;
    server.AddUser("ann", "pw");
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry(
        Registry::ServiceKey("\"LoginFailureDelay\"=dword:00000064\n\"LoginFailureLimit\"=dword:00000003\n"))));
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    std::string last;
    EXPECT_GE(TimedCommand(client, "a1", "LOGIN ann wrong", &last), 100);
    EXPECT_EQ(last, "a1 NO LOGIN fails\r\n");
    EXPECT_GE(TimedCommand(client, "a2", "AUTHENTICATE PLAIN " + B64(std::string("\0ann\0pW", 7)), &last), 200);
    EXPECT_EQ(last, "a2 NO AUTHENTICATE fails\r\n");
    // A malformed exchange is no guess at a password: neither delayed much nor counted.
    EXPECT_EQ(client.Command("a3", "LOGIN ann").back(), "a3 BAD LOGIN illegal argument\r\n");
    EXPECT_GE(TimedCommand(client, "a4", "LOGIN ann nope", &last), 400);
    EXPECT_EQ(last, "a4 NO LOGIN fails\r\n");
    EXPECT_EQ(client.ReadLine(), "* BYE Too many failed logins\r\n");
    EXPECT_TRUE(client.ClosedByPeer());

    ImapClient again;
    ASSERT_TRUE(again.Greeted(server.port));
    EXPECT_GE(TimedCommand(again, "b1", "LOGIN ann wrong"), 800);
    EXPECT_EQ(again.Command("b2", "LOGIN ann pw").back(), "b2 OK LOGIN completed\r\n");
}

// Every way a password can travel: LOGIN alone and behind other requests, LOGIN with literals,
// AUTHENTICATE PLAIN with and without an initial response and LOGIN, CRAM-MD5 against the
// password file. None of it reaches the console, the access log or the protocol log, and the
// logs are readable by the server's user alone.
TEST(Credentials, NoPasswordInAnyLogAndLogsArePrivate) {
    TestServer server;
    server.AddUser("ann", "Sesame-1");
    WriteFile(server.dir + "/users/ann/apop.dat", "Sesame-2\n");
    ASSERT_TRUE(server.Start(TestServer::UserFileRegistry(
        Registry::ServiceKey("\"AcceptlogEnabled\"=dword:00000001\n") +
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
        "\"Imap4LogEnabled\"=dword:00000001\n")));
    ASSERT_EQ(mkdir((server.dir + "/spool/receiveimap4").c_str(), 0755), 0);
    const std::string plain = B64(std::string("\0ann\0Sesame-1", 13));
    auto session = [&](const std::function<void(ImapClient&)>& talk) {
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port));
        talk(client);
        client.Command("z", "LOGOUT");
    };
    session([](ImapClient& c) { EXPECT_EQ(c.Command("a", "LOGIN ann Sesame-1").back(), "a OK LOGIN completed\r\n"); });
    session([](ImapClient& c) { EXPECT_EQ(c.Command("a", "LOGIN \"ann\" \"Sesame-9 x\"").back(), "a NO LOGIN fails\r\n"); });
    session([](ImapClient& c) {
        c.Send("a NOOP\r\nb LOGIN ann Sesame-1\r\nc NOOP\r\n");
        EXPECT_EQ(c.ReadUntilTagged("c").back(), "c OK NOOP completed\r\n");
    });
    session([](ImapClient& c) {
        // Literals, where the server takes them; otherwise the password is never sent.
        c.Send("a LOGIN {3}\r\n");
        if (c.ReadLine().rfind("+", 0) != 0) return;
        c.Send("ann {8}\r\n");
        if (c.ReadLine().rfind("+", 0) != 0) return;
        c.Send("Sesame-1\r\n");
        EXPECT_EQ(c.ReadUntilTagged("a").back(), "a OK LOGIN completed\r\n");
    });
    session([&](ImapClient& c) {
        EXPECT_EQ(c.Command("a", "AUTHENTICATE PLAIN " + plain).back(), "a OK AUTHENTICATE completed\r\n");
    });
    session([&](ImapClient& c) {
        c.Send("a AUTHENTICATE PLAIN\r\n");
        EXPECT_EQ(c.ReadLine(), "+ \r\n");
        c.Send(plain + "\r\n");
        EXPECT_EQ(c.ReadLine(), "a OK AUTHENTICATE completed\r\n");
    });
    session([](ImapClient& c) {
        c.Send("a AUTHENTICATE LOGIN\r\n");
        c.ReadLine();
        c.Send(B64("ann") + "\r\n");
        c.ReadLine();
        c.Send(B64("Sesame-1") + "\r\n");
        EXPECT_EQ(c.ReadLine(), "a OK AUTHENTICATE completed\r\n");
    });
    session([](ImapClient& c) {
        c.Send("a AUTHENTICATE CRAM-MD5\r\n");
        std::string challenge = Unb64(c.ReadLine().substr(2));
        c.Send(B64(CramAnswer("ann", challenge.substr(0, challenge.find('\r')), "Sesame-2")) + "\r\n");
        EXPECT_EQ(c.ReadLine(), "a OK AUTHENTICATE completed\r\n");
    });

    std::vector<unsigned> modes;
    std::string logs = ReadFilesIn(server.dir + "/spool/imap4log", &modes) +
                       ReadFilesIn(server.dir + "/spool/receiveimap4", &modes);
    EXPECT_EQ(modes, (std::vector<unsigned>{0600, 0600}));
    EXPECT_NE(logs.find("LOGIN ann"), std::string::npos) << logs;
    for (const std::string& where : {logs, server.Output()}) {
        for (const std::string& secret :
             {std::string("Sesame"), plain, B64("Sesame-1"), B64("Sesame-2"), B64(std::string("\0ann\0Ses", 9))}) {
            EXPECT_EQ(where.find(secret), std::string::npos) << secret << " in\n" << where;
        }
    }
}

// With operating-system accounts, debug mode checks passwords as the service does; only an
// explicit registry value makes it take any, and then the start and each login say so.
TEST(Credentials, DebugModeTakesAnyPasswordOnlyWhenAskedAndSaysSo) {
    for (bool bAny : {false, true}) {
        SCOPED_TRACE(bAny);
        TestServer server;
        ASSERT_TRUE(server.Start(TestServer::BasicRegistry(bAny ? Registry::ServiceKey("\"DebugAcceptAnyPassword\"=dword:00000001\n") : "")));
        ImapClient client;
        ASSERT_TRUE(client.Greeted(server.port));
        client.Command("a", "LOGIN veve4d-nobody guess");
        EXPECT_EQ(server.Output().find("DEBUG: password of veve4d-nobody not checked") != std::string::npos, bAny);
        // The console warns at the start, and only when it is true.
        const std::string warning = bAny ? "WARNING: debug mode: every operating-system password is accepted.\n" : "";
        EXPECT_EQ(server.Output().rfind("Debugging Velmora IMAP4rev1 Server.\n" + warning + "---- regestry ----\n", 0), 0u)
            << server.Output();
    }
}

// With operating-system accounts the session reads and writes the user's mail as the user, while
// the server's own logs stay the server's.
TEST(Credentials, SystemAccountMailIsWrittenAsTheUser) {
    passwd* pw = getpwnam("nobody");
    if (geteuid() != 0 || pw == nullptr) {
        GTEST_SKIP() << "needs root and the account nobody";
    }
    TestServer server;
    std::string mail = server.dir + "/users/nobody";
    std::filesystem::create_directories(mail);
    ASSERT_EQ(chown(mail.c_str(), pw->pw_uid, pw->pw_gid), 0);
    ASSERT_EQ(chmod(server.dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod((server.dir + "/users").c_str(), 0711), 0);
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry(
        "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n" + Registry::ServiceKey("\"DebugAcceptAnyPassword\"=dword:00000001\n") +
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
        "\"Imap4LogEnabled\"=dword:00000001\n")));
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    ASSERT_EQ(client.Command("a", "LOGIN nobody any").back(), "a OK LOGIN completed\r\n") << server.Output();
    client.Send("b APPEND inbox {14}\r\n");
    ASSERT_EQ(client.ReadLine().substr(0, 2), "+ ");
    client.Send("Subject: x\r\n\r\n\r\n");
    auto appended = client.ReadUntilTagged("b");
    ASSERT_FALSE(appended.empty());
    EXPECT_EQ(appended.back().rfind("b OK", 0), 0u) << appended.back();
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(mail)) {
        struct stat st {};
        ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, pw->pw_uid) << entry.path();
        files++;
    }
    EXPECT_GE(files, 2u);  // the inbox and the message
    EXPECT_NE(ReadFilesIn(server.dir + "/spool/imap4log").find("nobody from 127.0.0.1 APPEND"), std::string::npos);
}

}  // namespace
