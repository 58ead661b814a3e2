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

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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
}

TEST_F(AdminTool, ConfigCheckNamesEveryProblem) {
    // The running server holds its port; its spool exists.
    WriteFile(UserFile(), B64("ann\tpw\t\t\t") + "\n" + B64("cut"));
    AdminRun bad = Admin({"config", "check"});
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_TRUE(Has(bad.out, "---- regestry ----\n")) << bad.out;
    EXPECT_TRUE(Has(bad.out, "port " + std::to_string(server.port) + " is already in use")) << bad.out;
    EXPECT_TRUE(Has(bad.out, "test.local.idx line 2 has no line feed")) << bad.out;
    EXPECT_TRUE(Has(bad.out, "2 problems found")) << bad.out;

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
