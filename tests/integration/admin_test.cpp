// veve4d-admin on a temporary tree: what it writes is what the running server reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "auth/password.h"
#include "store/store.h"
#include "sasl.h"
#include "test_server.h"

namespace {

struct AdminRun {
    int status = -1;
    std::string out;  // standard output and error together
};

// Runs the admin tool on the registry with the text as its standard input. A file size limit
// makes every write beyond it fail, as a full disk does.
AdminRun RunAdmin(const std::string& registry, const std::vector<std::string>& args, const std::string& input = "",
                  rlim_t fileSizeLimit = RLIM_INFINITY) {
    TempDir io;
    std::string inPath = io.path + "/in", outPath = io.path + "/out";
    WriteFile(inPath, input);
    pid_t pid = fork();
    if (pid == 0) {
        int fdIn = open(inPath.c_str(), O_RDONLY), fdOut = open(outPath.c_str(), O_WRONLY | O_CREAT, 0600);
        dup2(fdIn, 0), dup2(fdOut, 1), dup2(fdOut, 2);
        rlimit limit{fileSizeLimit, fileSizeLimit};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<char*> argv{const_cast<char*>(VEVE4D_ADMIN_BINARY)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        setenv("VEVE4D_REGISTRY", registry.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    AdminRun run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(outPath);
    return run;
}

std::vector<std::string> Login(ImapClient& client, const std::string& user, const std::string& password) {
    return client.Command("a", "LOGIN " + user + " " + password);
}

class AdminTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start(TestServer::UserFileRegistry())) << server.Output();
        std::filesystem::create_directories(server.dir + "/accounts");
    }
    AdminRun Admin(const std::vector<std::string>& args, const std::string& input = "",
                   rlim_t limit = RLIM_INFINITY) {
        return RunAdmin(server.registryPath, args, input, limit);
    }
    std::string UserFile() const { return server.dir + "/accounts/test.local.idx"; }
    TestServer server;
};

TEST_F(AdminTool, UsersAddedChangedAndRemovedAreWhatTheServerLogsIn) {
    // Lines the tool does not own stay byte for byte: a foreign record, and a last line that the
    // server skips because its line feed is missing (it gets one, so a new record stays apart).
    std::string foreign = B64("old\tsecret\tx\ty\t" + server.dir + "/users/old") + "\n";
    WriteFile(UserFile(), foreign + "not base64 at all!\n" + B64("half"));
    ASSERT_EQ(Admin({"user", "add", "ann"}, "pw-one\n").status, 0);
    AdminRun bob = Admin({"user", "add", "bob@test.local", "--scrambled"}, "pw-two\n");
    ASSERT_EQ(bob.status, 0) << bob.out;
    EXPECT_EQ(Admin({"user", "add", "ANN"}, "other\n").status, 1);
    EXPECT_EQ(ReadFile(UserFile()).rfind(foreign + "not base64 at all!\n" + B64("half") + "\n", 0), 0u);

    AdminRun list = Admin({"user", "list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(Has(list.out, "old@test.local\thome ") && Has(list.out, "ann@test.local\n") &&
                Has(list.out, "bob@test.local\n")) << list.out;

    // The password file: plain for ann, scrambled for bob, and both read back by the server.
    EXPECT_EQ(ReadFile(server.dir + "/users/ann/apop.dat"), "pw-one\n");
    std::string entry = ReadFile(server.dir + "/users/bob/apop.dat");
    ASSERT_EQ(entry.size(), 2 + 2 * 6 + 1u);
    EXPECT_EQ(static_cast<unsigned char>(entry[0]), 0xFF);
    char szPlain[64];
    DescrambleText(entry.c_str(), entry.size() - 1, szPlain, sizeof szPlain);
    EXPECT_STREQ(szPlain, "pw-two");

    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    EXPECT_EQ(Login(client, "ann", "pw-one").back(), "a OK LOGIN completed\r\n");
    ImapClient cram;
    ASSERT_TRUE(cram.Greeted(server.port));
    cram.Send("c AUTHENTICATE CRAM-MD5\r\n");
    std::string challenge = Unb64(cram.ReadLine().substr(2));
    cram.Send(B64(CramAnswer("bob", challenge, "pw-two")) + "\r\n");
    EXPECT_EQ(cram.ReadUntilTagged("c").back().rfind("c OK", 0), 0u);

    ASSERT_EQ(Admin({"user", "password", "Ann"}, "pw-new\n").status, 0);
    EXPECT_EQ(ReadFile(server.dir + "/users/ann/apop.dat"), "pw-new\n");
    ASSERT_EQ(Admin({"user", "remove", "bob"}).status, 0);
    EXPECT_EQ(Admin({"user", "remove", "bob"}).status, 1);
    EXPECT_EQ(ReadFile(UserFile()).rfind(foreign, 0), 0u);
    for (auto [user, password, ok] : {std::tuple{"ann", "pw-one", false}, {"ann", "pw-new", true},
                                      {"bob", "pw-two", false}, {"old", "secret", true}}) {
        ImapClient again;
        ASSERT_TRUE(again.Greeted(server.port));
        EXPECT_EQ(Login(again, user, password).back(), ok ? "a OK LOGIN completed\r\n" : "a NO LOGIN fails\r\n")
            << user << " " << password;
    }
}

TEST_F(AdminTool, RefusesWhatTheServerWouldRefuseAndLeavesTheFileAsItWas) {
    WriteFile(UserFile(), B64("keep\tit") + "\n");
    struct Case {
        const char* user;
        const char* password;
    } cases[] = {{"../evil", "pw\n"}, {"a/b", "pw\n"}, {"con", "pw\n"}, {"a b", "pw\n"}, {"x\"y", "pw\n"},
                 {"name@", "pw\n"},   {"a@b/c", "pw\n"}, {"tab", "p\tw\n"}, {"empty", "\n"}, {"none", ""}};
    for (const Case& c : cases) {
        AdminRun run = Admin({"user", "add", c.user}, c.password);
        EXPECT_EQ(run.status, 1) << c.user << ": " << run.out;
        EXPECT_TRUE(Has(run.out, "refused") || Has(run.out, "no password")) << c.user << ": " << run.out;
    }
    EXPECT_EQ(ReadFile(UserFile()), B64("keep\tit") + "\n");
    EXPECT_EQ(Admin({"user", "frobnicate"}).status, 2);
}

TEST_F(AdminTool, AWriteThatFailsHalfwayLeavesTheOldUserFileWhole) {
    std::string old;
    for (int i = 0; i < 40; ++i) old += B64("user" + std::to_string(i) + "\tpassword-" + std::to_string(i)) + "\n";
    WriteFile(UserFile(), old);
    // Room for half of the new file only: the write fails in the middle.
    AdminRun run = Admin({"user", "remove", "user39"}, "", old.size() / 2);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "the file is unchanged")) << run.out;
    EXPECT_EQ(ReadFile(UserFile()), old);
    size_t nEntries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(server.dir + "/accounts")) ++nEntries;
    EXPECT_EQ(nEntries, 1u) << "a temporary file was left behind";
    EXPECT_EQ(Admin({"user", "remove", "user39"}).status, 0);
    EXPECT_EQ(ReadFile(UserFile()), old.substr(0, old.rfind(B64("user39"))));
}

TEST_F(AdminTool, MailboxesShowCountsNextUidAndValidity) {
    std::string inbox = server.dir + "/users/ann/inbox";
    std::filesystem::create_directories(inbox);
    std::filesystem::create_directories(server.dir + "/users/ann/Work/2024");
    WriteFile(inbox + "/0000000004-100000.MSG", "a");
    WriteFile(inbox + "/0000000007-000010.MSG", "b");
    WriteFile(inbox + "/uid", "12");
    WriteFile(server.dir + "/users/ann/waiting.MSG", "delivered");
    ASSERT_EQ(Admin({"user", "add", "ann"}, "pw\n").status, 0);
    AdminRun run = Admin({"user", "mailboxes", "ann"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "delivered, not yet imported: 1\n")) << run.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("\ninbox +2 +1 +1 +12 +([0-9]+)\n"))) << run.out;
    uint32_t ulValidity = 0;
    ASSERT_TRUE(GetUidValidity(inbox.c_str(), &ulValidity));
    EXPECT_EQ(m[1], std::to_string(ulValidity));
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nWork +0 +0 +0 +1 +[0-9]+\nWork/2024 +0"))) << run.out;
    EXPECT_EQ(Admin({"user", "mailboxes", "nobody"}).status, 1);
    // Once a login has taken it in, the delivered file (kept for POP3) no longer waits.
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    ASSERT_EQ(Login(client, "ann", "pw").back(), "a OK LOGIN completed\r\n");
    ASSERT_TRUE(std::filesystem::exists(server.dir + "/users/ann/waiting.MSG"));
    AdminRun after = Admin({"user", "mailboxes", "ann"});
    EXPECT_TRUE(Has(after.out, "delivered, not yet imported: 0\n")) << after.out;
    EXPECT_TRUE(std::regex_search(after.out, std::regex("\ninbox +3 "))) << after.out;
}

TEST_F(AdminTool, ConfigCheckNamesEveryProblem) {
    // The running server holds its port; its spool exists.
    WriteFile(UserFile(), B64("ann\tpw\t\t\t") + "\n" + B64("cut"));
    AdminRun bad = Admin({"config", "check"});
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_TRUE(Has(bad.out, "---- regestry ----\n")) << bad.out;
    // The running server is named as such, and everything else is still checked.
    EXPECT_TRUE(Has(bad.out, "note: * port " + std::to_string(server.port) + " is in use by a running IMAP server"))
        << bad.out;
    EXPECT_TRUE(Has(bad.out, "test.local.idx line 2 has no line feed")) << bad.out;
    EXPECT_TRUE(Has(bad.out, "\n1 problem found")) << bad.out;

    // Another configuration of the same tree: nothing listens, no spool, a protocol log without
    // its directory, a local domain without a user file, a TLS key of another certificate.
    ASSERT_TRUE(MakeCertificate(server.dir) && MakeCertificate(server.dir, "2"));
    std::string other = server.dir + "/other.reg";
    auto otherRegistry = [&](const std::string& key) {
        WriteFile(other, "Windows Registry Editor Version 5.00\n\n"
                     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"
                     "\"TlsCertificateFile\"=\"" + server.dir + "/cert.pem\"\n"
                     "\"TlsKeyFile\"=\"" + server.dir + "/" + key + "\"\n"
                     "\"AcceptlogEnabled\"=dword:00000001\n\"ListenMode\"=dword:00000001\n"
                     "\"ListenIP\"=str(7):\"127.0.0.1 " + std::to_string(FreePort()) + "\\0\"\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n\"UserManager\"=dword:00000000\n"
                     "\"Membership\"=\"" + server.dir + "/accounts/\"\n\"MailInBoxDir\"=\"" + server.dir + "/users\"\n"
                     "\"MailSpoolDir\"=\"" + server.dir + "/nospool\"\n"
                     "\"DomainNamesAreLocal\"=str(7):\"test.local\\0other.local\\0\"\n");
    };
    otherRegistry("key2.pem");
    AdminRun missing = RunAdmin(other, {"config", "check"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Has(missing.out, "MailSpoolDir " + server.dir + "/nospool/ does not exist")) << missing.out;
    EXPECT_TRUE(Has(missing.out, "other.local.idx of domain other.local is missing")) << missing.out;
    EXPECT_TRUE(Has(missing.out, "problem: TLS certificate " + server.dir + "/cert.pem and key")) << missing.out;
    EXPECT_FALSE(Has(missing.out, "in use")) << missing.out;
    otherRegistry("key.pem");
    std::filesystem::create_directories(server.dir + "/nospool/receiveimap4");
    WriteFile(server.dir + "/accounts/other.local.idx", "");
    WriteFile(UserFile(), B64("ann\tpw") + "\n");
    AdminRun good = RunAdmin(other, {"config", "check"});
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_TRUE(Has(good.out, "\n0 problems found\n")) << good.out;
}

// Each mistake in an otherwise clean registry is one problem, named with the file and its line.
TEST_F(AdminTool, ConfigCheckNamesEachRegistryMistakeWithItsLine) {
    WriteFile(UserFile(), B64("ann\tpw") + "\n");
    ASSERT_TRUE(MakeCertificate(server.dir));
    const std::string service = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n";
    const std::string ims = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n";
    const std::string port = std::to_string(FreePort());
    const std::string other = std::to_string(FreePort());
    auto Hex8 = [](const std::string& decimal) {
        char hex[16];
        snprintf(hex, sizeof hex, "%08x", std::stoi(decimal));
        return std::string(hex);
    };
    const std::string clean =
        "Windows Registry Editor Version 5.00\n\n" + service + "\"ListenMode\"=dword:00000001\n" +
        "\"ListenIP\"=str(7):\"127.0.0.1 " + port + "\\0\"\n" + ims + "\"UserManager\"=dword:00000000\n" +
        "\"Membership\"=\"" + server.dir + "/accounts/\"\n\"MailInBoxDir\"=\"" + server.dir + "/users/%USERNAME%\"\n" +
        "\"MailSpoolDir\"=\"" + server.dir + "/spool\"\n\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n";
    std::string path = server.dir + "/table.reg";
    WriteFile(path, clean);
    AdminRun baseline = RunAdmin(path, {"config", "check"});
    ASSERT_EQ(baseline.status, 0) << baseline.out;
    // The clean file has 11 lines: each mistake is line 12, or line 13 after its key.
    const std::string tls = "\"TlsCertificateFile\"=\"" + server.dir + "/cert.pem\"\n\"TlsKeyFile\"=\"" + server.dir +
                            "/key.pem\"\n";
    struct Mistake {
        std::string text;
        std::string expected;
        bool bAlone = true;  // the only problem: false where the mistake has consequences of its own
    };
    const Mistake mistakes[] = {
        {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n\"PortNo\"=dword:zzzz\n",
         "line 13: the server cannot read this line and skips it: \"PortNo\"=dword:zzzz"},
        // Read as the number 48: operating-system accounts, with what they need besides.
        {"\"UserManager\"=\"0\"\n", "line 12: \"UserManager\" must be a number (dword:)", false},
        {"\"UserManger\"=dword:00000000\n", "line 12: the server reads no value \"UserManger\" in [HKEY_LOCAL_MACHINE"
                                           "\\SOFTWARE\\EMWAC\\IMS] (did you mean \"UserManager\"?)"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMSS]\n\"UserManager\"=dword:00000000\n",
         "line 12: the server reads no key [HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMSS]"},
        {"[HKEY_CURRENT_USER\\SOFTWARE\\EMWAC\\IMS]\n", "line 12: [HKEY_CURRENT_USER\\SOFTWARE\\EMWAC\\IMS] is not below"},
        {"\"AddressFamily\"=dword:00000009\n", "line 12: \"AddressFamily\" is 9; it must be 0 to 2"},
        {service + "\"ListenIP\"=str(7):\"999.1.1.1 143\\0\"\n",
         "line 13: ListenIP entry \"999.1.1.1 143\": \"999.1.1.1\" is not a numeric IPv4 or IPv6 address"},
        {service + "\"ListenIP\"=str(7):\"127.0.0.1 99999\\0\"\n", "line 13: ListenIP entry \"127.0.0.1 99999\""},
        {service + tls + "\"TlsPortNo\"=dword:" + Hex8(port) + "\n",
         "line 15: TlsPortNo " + port + " is also the port of ListenIP entry \"127.0.0.1 " + port + "\""},
        {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n\"PortNo\"=dword:" +
             Hex8(other) + "\n" + service + "\"ListenMode\"=dword:00000000\n" + tls + "\"TlsPortNo\"=dword:" + Hex8(other) + "\n",
         "line 18: TlsPortNo " + other + " is also PortNo"},
        {service + "\"MailFsync\"=\"sometimes\"\n", "line 13: \"MailFsync\" is \"sometimes\"; it must be"},
        {service + "\"DeleteFullMailbox\"=\"keep\"\n", "line 13: \"DeleteFullMailbox\" is \"keep\"; it must be"},
        {service + "\"Timeout\"=hex:2c,01\n", "line 13: \"Timeout\" must be a number"},
        {service + "\"ProxyTrusted\"=str(7):\"127.0.0.1\\0::1, 10.0.0.0/33\\0\"\n",
         "line 13: ProxyTrusted entry \"10.0.0.0/33\" is not an IP address or an address/prefix range"},
        {service + "\"ProxyRequired\"=dword:00000002\n", "line 13: \"ProxyRequired\" is 2; it must be 0 to 1"},
    };
    for (const Mistake& mistake : mistakes) {
        WriteFile(path, clean + mistake.text);
        AdminRun run = RunAdmin(path, {"config", "check"});
        EXPECT_EQ(run.status, 1) << mistake.text << run.out;
        EXPECT_TRUE(Has(run.out, "problem: " + path + " " + mistake.expected)) << mistake.text << run.out;
        if (mistake.bAlone) {
            EXPECT_TRUE(Has(run.out, "\n1 problem found\n")) << mistake.text << run.out;
        }
    }
    // Values read outside the settings record (the TLS context's) are values the server knows.
    WriteFile(path, clean + service + "\"TlsMinVersion\"=\"1.3\"\n\"TlsCipherList\"=\"ECDHE+AESGCM\"\n");
    AdminRun tlsValues = RunAdmin(path, {"config", "check"});
    EXPECT_EQ(tlsValues.status, 0) << tlsValues.out;

    // A user file the server's user cannot read, and two users sharing one mail directory.
    WriteFile(server.dir + "/accounts/other.local.idx", B64("ann\tpw") + "\n");
    WriteFile(path, clean + "\"DomainNamesAreLocal\"=str(7):\"test.local\\0other.local\\0\"\n");
    AdminRun shared = RunAdmin(path, {"config", "check"});
    EXPECT_EQ(shared.status, 1) << shared.out;
    EXPECT_TRUE(Has(shared.out, "other.local.idx line 1: ann@other.local and ann@test.local share the mail "
                                "directory " + server.dir + "/users/ann/")) << shared.out;
    WriteFile(path, clean + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Folder]\n"
                            "@=\"test.local\"\n\"other.local\"=\"other.local\"\n\"test.local\"=\"test.local\"\n" + ims +
                            "\"DomainNamesAreLocal\"=str(7):\"test.local\\0other.local\\0\"\n");
    AdminRun apart = RunAdmin(path, {"config", "check"});
    EXPECT_EQ(apart.status, 0) << apart.out;
    // Logins without a domain take the default value's folder: another than the first domain's
    // would hide that domain's mail from them.
    WriteFile(path, clean + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Folder]\n\"test.local\"=\"test.local\"\n");
    AdminRun noDefault = RunAdmin(path, {"config", "check"});
    EXPECT_EQ(noDefault.status, 1) << noDefault.out;
    EXPECT_TRUE(Has(noDefault.out, "problem: " + path + " line 13: logins without a domain take the folder \"\" of the "
                                   "default value @, the first domain test.local has \"test.local\"")) << noDefault.out;
    if (getuid() == 0) {
        ASSERT_EQ(chown((server.dir + "/spool").c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(UserFile().c_str(), 0600), 0);
        WriteFile(path, clean);
        AdminRun unreadable = RunAdmin(path, {"config", "check"});
        EXPECT_EQ(unreadable.status, 1) << unreadable.out;
        EXPECT_TRUE(Has(unreadable.out, "problem: user file " + UserFile() + " cannot be read by nobody"))
            << unreadable.out;
    }
}

// Names the tool cannot serve are errors: help and version are not.
TEST_F(AdminTool, UnknownDomainsUsersAndCollidingAccountsAreRefused) {
    AdminRun help = Admin({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "usage: veve4d-admin user list")) << help.out;
    AdminRun version = Admin({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("veve4d-admin [0-9.]+\n"))) << version.out;
    EXPECT_EQ(Admin({"user", "frobnicate"}).status, 2);

    ASSERT_EQ(Admin({"user", "add", "ann"}, "pw\n").status, 0);
    AdminRun foreign = Admin({"user", "add", "bob@example.org"}, "pw\n");
    EXPECT_EQ(foreign.status, 1);
    EXPECT_TRUE(Has(foreign.out, "example.org is not a local domain")) << foreign.out;
    EXPECT_FALSE(std::filesystem::exists(server.dir + "/accounts/example.org.idx"));
    // Forced, it would still share ann's directory: refused, naming the clash.
    AdminRun clash = Admin({"user", "add", "ann@example.org", "--force"}, "pw\n");
    EXPECT_EQ(clash.status, 1);
    EXPECT_TRUE(Has(clash.out, "would share the mail directory " + server.dir + "/users/ann/ with ann@test.local"))
        << clash.out;
    EXPECT_EQ(Admin({"user", "add", "bob@example.org", "--force"}, "pw\n").status, 0);

    AdminRun noDomain = Admin({"user", "list", "nosuchdomain"});
    EXPECT_EQ(noDomain.status, 1);
    EXPECT_TRUE(Has(noDomain.out, "no domain nosuchdomain")) << noDomain.out;
    EXPECT_EQ(Admin({"user", "list", "example.org"}).out, "bob@example.org\n");
    AdminRun otherAnn = Admin({"user", "mailboxes", "ann@example.org"});
    EXPECT_EQ(otherAnn.status, 1);
    EXPECT_TRUE(Has(otherAnn.out, "ann@example.org has no record")) << otherAnn.out;
    EXPECT_FALSE(Has(otherAnn.out, "mail directory")) << otherAnn.out;

    // A line that is no Base64 is named as such, not listed as a garbage user.
    WriteFile(UserFile(), ReadFile(UserFile()) + "not-base64!\n");
    AdminRun list = Admin({"user", "list", "test.local"});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(Has(list.out, "test.local.idx line 2 is not Base64 text")) << list.out;
    EXPECT_TRUE(Has(list.out, "ann@test.local")) << list.out;
}

// With operating-system accounts each session reads its mail as its user: the check names a spool
// the users cannot pass, and the tool makes a password file only for a real account, in
// directories that account owns.
TEST_F(AdminTool, OperatingSystemAccountsGetDirectoriesTheirSessionsCanReach) {
    if (getuid() != 0) GTEST_SKIP() << "needs root";
    std::string spool = server.dir + "/osspool";
    std::filesystem::create_directories(spool + "/users");
    ASSERT_EQ(chmod(server.dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(spool.c_str(), 0750), 0);
    std::string path = server.dir + "/os.reg";
    WriteFile(path, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
                    "\"UserManager\"=dword:00000001\n\"MailSpoolDir\"=\"" + spool + "\"\n"
                    "\"MailInBoxDir\"=\"" + spool + "/users/%USERNAME%\"\n");
    AdminRun closed = RunAdmin(path, {"config", "check"});
    EXPECT_EQ(closed.status, 1) << closed.out;
    EXPECT_TRUE(Has(closed.out, "line 6: with operating-system accounts each session reads its mail as its user, "
                                "who cannot pass " + spool + " (mode 0750, owner root): run chmod o+x " + spool))
        << closed.out;
    ASSERT_EQ(chmod(spool.c_str(), 0711), 0);
    AdminRun open = RunAdmin(path, {"config", "check"});
    EXPECT_FALSE(Has(open.out, "cannot pass")) << open.out;

    AdminRun ghost = RunAdmin(path, {"user", "password", "no-such-account-here"}, "pw\n");
    EXPECT_EQ(ghost.status, 1);
    EXPECT_TRUE(Has(ghost.out, "no operating-system account no-such-account-here")) << ghost.out;
    EXPECT_FALSE(std::filesystem::exists(spool + "/users/no-such-account-here"));
    AdminRun nobody = RunAdmin(path, {"user", "password", "nobody"}, "pw\n");
    ASSERT_EQ(nobody.status, 0) << nobody.out;
    for (const std::string& made : {spool + "/users/nobody", spool + "/users/nobody/apop.dat"}) {
        struct stat st {};
        ASSERT_EQ(stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_uid, 65534u) << made;
    }
}

TEST_F(AdminTool, FilesWrittenAsRootBelongToWhoeverOwnsTheirDirectory) {
    if (getuid() != 0) GTEST_SKIP() << "needs root";
    // The server's own user (here nobody) owns the account folder and the mail directories.
    const uid_t uid = 65534;
    const gid_t gid = 65534;
    std::string users = server.dir + "/users";
    std::filesystem::create_directories(users);
    ASSERT_EQ(chown((server.dir + "/accounts").c_str(), uid, gid), 0);
    ASSERT_EQ(chown(users.c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(server.dir.c_str(), 0755), 0);
    ASSERT_EQ(Admin({"user", "add", "ann"}, "pw\n").status, 0);
    for (const std::string& path : {UserFile(), users + "/ann", users + "/ann/apop.dat"}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_uid, uid) << path;
        EXPECT_EQ(st.st_gid, gid) << path;
    }
    struct stat st {};
    ASSERT_EQ(stat(UserFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A TLS key that only root may read is a problem for a server that runs as the spool's owner.
    ASSERT_TRUE(MakeCertificate(server.dir));
    ASSERT_EQ(chmod((server.dir + "/key.pem").c_str(), 0600), 0);
    std::string tls = server.dir + "/tls.reg";
    auto check = [&] {
        WriteFile(tls, ReadFile(server.registryPath) +
                           "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"
                           "\"TlsCertificateFile\"=\"" + server.dir + "/cert.pem\"\n"
                           "\"TlsKeyFile\"=\"" + server.dir + "/key.pem\"\n\"TlsPortNo\"=dword:00000000\n");
        return RunAdmin(tls, {"config", "check"}).out;
    };
    EXPECT_FALSE(Has(check(), "problem: TLS certificate")) << check();
    ASSERT_EQ(chown((server.dir + "/spool").c_str(), uid, gid), 0);
    EXPECT_TRUE(Has(check(), "problem: TLS certificate")) << check();
}

}  // namespace
