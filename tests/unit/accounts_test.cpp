// Operating-system accounts through PAM and the password database. The real modules would need
// real accounts, so the checks run in a child copy of this test binary with pam_wrapper (and
// its pam_matrix module) and nss_wrapper preloaded, each reading files made here.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/accounts.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const kLibraryDirs[] = {
    "/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib/i386-linux-gnu",
    "/usr/lib64", "/usr/lib", "/usr/local/lib",
};

// The directory that holds both wrappers and the pam_matrix module, or "".
std::string FindWrapperDir() {
    for (const char* pszDir : kLibraryDirs) {
        fs::path dir(pszDir);
        if (fs::exists(dir / "libpam_wrapper.so") && fs::exists(dir / "libnss_wrapper.so") &&
            fs::exists(dir / "pam_wrapper" / "pam_matrix.so")) {
            return pszDir;
        }
    }
    return "";
}

void WriteFile(const fs::path& path, const std::string& strText) {
    std::ofstream out(path, std::ios::binary);
    out << strText;
}

TEST(SystemAccounts, PamAndPasswordDatabase) {
    std::string strLibDir = FindWrapperDir();
    if (strLibDir.empty()) {
        GTEST_SKIP() << "pam_wrapper/nss_wrapper not installed (Debian: libpam-wrapper libnss-wrapper)";
    }
    char szTemplate[] = "/tmp/veve4d-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(szTemplate), nullptr);
    fs::path dir(szTemplate);
    fs::create_directory(dir / "services");
    std::string strMatrix = strLibDir + "/pam_wrapper/pam_matrix.so passdb=" + (dir / "passdb").string();
    WriteFile(dir / "services" / "veve4d",
              "auth required " + strMatrix + "\naccount required " + strMatrix + "\n");
    // carl's entry lets him in only through another service: the account step must refuse him.
    WriteFile(dir / "passdb", "ann:s3cret word:veve4d\ncarl:carlpw:sshd\n");
    WriteFile(dir / "passwd",
              "ann:x:7001:7001:Ann:/home/ann-veve4d:/bin/false\n"
              "nohome:x:7002:7001:No Home::/bin/false\n");
    WriteFile(dir / "group", "mail-users:x:7001:\n");

    std::vector<std::string> env;
    for (char** pp = environ; *pp != nullptr; ++pp) {
        if (strncmp(*pp, "LD_PRELOAD=", 11) != 0 && strncmp(*pp, "GTEST_", 6) != 0) env.emplace_back(*pp);
    }
    env.push_back("LD_PRELOAD=" + strLibDir + "/libpam_wrapper.so:" + strLibDir + "/libnss_wrapper.so");
    env.push_back("PAM_WRAPPER=1");
    env.push_back("PAM_WRAPPER_SERVICE_DIR=" + (dir / "services").string());
    env.push_back("NSS_WRAPPER_PASSWD=" + (dir / "passwd").string());
    env.push_back("NSS_WRAPPER_GROUP=" + (dir / "group").string());
    env.push_back("VEVE4D_ACCOUNTS_CHILD=1");
#if defined(__SANITIZE_ADDRESS__)
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    // The sanitizer runtime refuses RTLD_DEEPBIND; pam_wrapper 1.1.4 reads the switch under
    // uid_wrapper's name.
    env.push_back("PAM_WRAPPER_DISABLE_DEEPBIND=1");
    env.push_back("UID_WRAPPER_DISABLE_DEEPBIND=1");
#endif
    std::vector<char*> envp;
    for (std::string& str : env) envp.push_back(str.data());
    envp.push_back(nullptr);
    std::string strSelf = fs::read_symlink("/proc/self/exe").string();
    std::string strFilter = "--gtest_filter=SystemAccountsChild.*";
    std::string strDisabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {strSelf.data(), strFilter.data(), strDisabled.data(), nullptr};

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    fs::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(nStatus)) << "child ended by signal " << WTERMSIG(nStatus);
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "the wrapped checks failed: see the child's output above";
}

// Run only by the test above, in the wrapped child.
class SystemAccountsChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (getenv("VEVE4D_ACCOUNTS_CHILD") == nullptr) FAIL() << "runs only under SystemAccounts.PamAndPasswordDatabase";
    }
};

TEST_F(SystemAccountsChild, DISABLED_PasswordAndAccountChecks) {
    EXPECT_EQ(LogonSystemUser("ann", "s3cret word"), 0);
    EXPECT_NE(LogonSystemUser("ann", "s3cret Word"), 0);
    EXPECT_NE(LogonSystemUser("ann", "s3cret"), 0);
    EXPECT_NE(LogonSystemUser("ann", ""), 0);
    EXPECT_NE(LogonSystemUser("nobody-here", "s3cret word"), 0);
    EXPECT_NE(LogonSystemUser("carl", "carlpw"), 0);
}

TEST_F(SystemAccountsChild, DISABLED_HomeDirectories) {
    char szHome[256];
    EXPECT_EQ(GetSystemUserHome("ann", szHome, sizeof szHome), 0u);
    EXPECT_STREQ(szHome, "/home/ann-veve4d");
    char szShort[6];
    EXPECT_EQ(GetSystemUserHome("ann", szShort, sizeof szShort), 0u);
    EXPECT_STREQ(szShort, "/home");
    EXPECT_EQ(GetSystemUserHome("nohome", szHome, sizeof szHome), 0u);
    EXPECT_STREQ(szHome, "");
    snprintf(szHome, sizeof szHome, "stale");
    EXPECT_EQ(GetSystemUserHome("nobody-here", szHome, sizeof szHome), 2221u);
    EXPECT_STREQ(szHome, "");
}

}  // namespace
