// Operating-system accounts through PAM and the password database, checked without real accounts in a child
// copy of this test binary with pam_wrapper (its pam_matrix module) and nss_wrapper reading files made here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/accounts.h"
#include "test_server.h"

namespace {

TEST(SystemAccounts, PamAndPasswordDatabase) {
    std::string strLib;
    for (std::string str : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/usr/lib"}) {
        if (FileExists(str + "/pam_wrapper/pam_matrix.so") && FileExists(str + "/libnss_wrapper.so")) strLib = str;
    }
    if (strLib.empty()) GTEST_SKIP() << "pam_wrapper/nss_wrapper not installed (Debian: libpam-wrapper libnss-wrapper)";
    TempDir dir;
    std::string strMatrix = strLib + "/pam_wrapper/pam_matrix.so passdb=" + dir.path + "/passdb";
    mkdir((dir.path + "/services").c_str(), 0700);
    // pam_exec hands the script the client address PAM was given, as the modules that log it see it.
    std::string strExec;
    for (std::string str : {strLib + "/security/pam_exec.so", std::string("/lib/x86_64-linux-gnu/security/pam_exec.so"),
                            std::string("/usr/lib64/security/pam_exec.so")}) {
        if (strExec.empty() && FileExists(str)) strExec = str;
    }
    WriteFile(dir.path + "/rhost.sh", "#!/bin/sh\necho \"[$PAM_RHOST]\" >> " + dir.path + "/rhost\n");
    chmod((dir.path + "/rhost.sh").c_str(), 0755);
    WriteFile(dir.path + "/services/veve4d", (strExec.empty() ? "" : "auth optional " + strExec + " " + dir.path + "/rhost.sh\n") +
                                                 "auth required " + strMatrix + "\naccount required " + strMatrix + "\n");
    // carl may log in only through another service: the account step must refuse him.
    // locked and gone pass PAM but not the shadow entry (usermod -L, chage -E 0); ghost is in no
    // password database.
    WriteFile(dir.path + "/passdb", "ann:s3cret word:veve4d\ncarl:carlpw:sshd\nlocked:lockedpw:veve4d\n"
                                    "gone:gonepw:veve4d\nghost:ghostpw:veve4d\n");
    WriteFile(dir.path + "/passwd", "ann:x:7001:7001:Ann:/home/ann-veve4d:/bin/false\n"
                                    "nohome:x:7002:7001:No Home::/bin/false\ncarl:x:7003:7001::/:/bin/false\n"
                                    "locked:x:7004:7001::/:/bin/false\ngone:x:7005:7001::/:/bin/false\n");
    WriteFile(dir.path + "/shadow", "ann:$6$s$h:19000:0:99999:7:::\nlocked:!$6$s$h:19000:0:99999:7:::\n"
                                    "gone:$6$s$h:19000:0:99999:7::0:\n");
    WriteFile(dir.path + "/group", "mail-users:x:7001:\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::pair<const char*, std::string> env[] = {
            {"LD_PRELOAD", strLib + "/libpam_wrapper.so:" + strLib + "/libnss_wrapper.so"}, {"PAM_WRAPPER", "1"},
            {"PAM_WRAPPER_SERVICE_DIR", dir.path + "/services"}, {"NSS_WRAPPER_PASSWD", dir.path + "/passwd"},
            {"NSS_WRAPPER_GROUP", dir.path + "/group"}, {"NSS_WRAPPER_SHADOW", dir.path + "/shadow"},
            {"VEVE4D_ACCOUNTS_CHILD", "1"}, {"VEVE4D_ACCOUNTS_RHOST", strExec.empty() ? "" : dir.path + "/rhost"},
#if defined(__SANITIZE_ADDRESS__)
            // The sanitizer refuses RTLD_DEEPBIND; pam_wrapper 1.1.4 reads the switch under uid_wrapper's name.
            {"ASAN_OPTIONS", "verify_asan_link_order=0"}, {"PAM_WRAPPER_DISABLE_DEEPBIND", "1"},
            {"UID_WRAPPER_DISABLE_DEEPBIND", "1"},
#endif
        };
        for (const auto& [pszName, strValue] : env) setenv(pszName, strValue.c_str(), 1);
        unsetenv("GTEST_OUTPUT");
        execl("/proc/self/exe", "unit_tests", "--gtest_filter=SystemAccountsChild.*", "--gtest_also_run_disabled_tests",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus)) << "child ended by signal " << WTERMSIG(nStatus);
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "the wrapped checks failed: see the child's output above";
}

// Run only by the test above, in the wrapped child.
TEST(SystemAccountsChild, DISABLED_PasswordsAccountsAndHomes) {
    ASSERT_NE(getenv("VEVE4D_ACCOUNTS_CHILD"), nullptr) << "runs only under SystemAccounts.PamAndPasswordDatabase";
    EXPECT_EQ(LogonSystemUser("ann", "s3cret word"), 0);
    // A session's thread names its client; fail2ban and pam_faillock read it from PAM's lines.
    SetLogonRemoteHost("192.0.2.9");
    EXPECT_EQ(LogonSystemUser("ann", "s3cret word"), 0);
    const char* pszRhost = getenv("VEVE4D_ACCOUNTS_RHOST");
    if (pszRhost != nullptr && *pszRhost != '\0') {
        EXPECT_EQ(ReadFile(pszRhost), "[]\n[192.0.2.9]\n");
    }
    SetLogonRemoteHost("");
    for (auto [pszUser, pszPassword] : {std::pair{"ann", "s3cret Word"}, {"ann", "s3cret"}, {"ann", ""},
                                        {"nobody-here", "s3cret word"}, {"carl", "carlpw"}, {"locked", "lockedpw"},
                                        {"gone", "gonepw"}, {"ghost", "ghostpw"}}) {
        EXPECT_NE(LogonSystemUser(pszUser, pszPassword), 0) << pszUser << " " << pszPassword;
    }
    // The same account check without a password, for logins that prove the user otherwise.
    EXPECT_EQ(CheckSystemAccount("ann"), 0);
    EXPECT_EQ(CheckSystemAccount("ghost"), 2221);
    for (const char* pszUser : {"carl", "locked", "gone", "nohome"}) EXPECT_NE(CheckSystemAccount(pszUser), 0) << pszUser;
    // "result:home" from a buffer of nSize bytes.
    auto Home = [](const char* pszUser, size_t nSize = 256) {
        char szHome[256] = "stale";
        unsigned long ul = GetSystemUserHome(pszUser, szHome, nSize);
        return std::to_string(ul) + ":" + szHome;
    };
    EXPECT_EQ(Home("ann") + " " + Home("ann", 6) + " " + Home("nohome") + " " + Home("nobody-here"),
              "0:/home/ann-veve4d 0: 0: 2221:");  // a cut home would name another directory
}

}  // namespace
