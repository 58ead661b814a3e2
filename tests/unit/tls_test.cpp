// The certificate check a configuration check relies on: which pairs load and what is said.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/tls.h"
#include "test_server.h"

namespace {

TEST(TlsKeyPair, MatchingPairOnlyLoads) {
    TempDir dir;
    ASSERT_TRUE(MakeCertificate(dir.path, "1"));
    ASSERT_TRUE(MakeCertificate(dir.path, "2"));
    WriteFile(dir.path + "/garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    struct Case {
        std::string strChain, strKey;
        bool bLoads;
        std::string strReason;
    };
    const Case cases[] = {
        {"cert1.pem", "key1.pem", true, ""},
        {"cert1.pem", "key2.pem", false, "does not match certificate"},
        {"cert1.pem", "nokey.pem", false, "certificate key " + dir.path + "/nokey.pem: No such file or directory"},
        {"garbage.pem", "key1.pem", false, "certificate chain " + dir.path + "/garbage.pem: "},
        {"key1.pem", "key1.pem", false, "certificate chain " + dir.path + "/key1.pem: "},
        {"", "key1.pem", false, "certificate chain: no file named"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strChain + " " + c.strKey);
        std::string strChain = c.strChain.empty() ? "" : dir.path + "/" + c.strChain;
        char szError[512] = "untouched";
        EXPECT_EQ(TlsCheckKeyPair(strChain.c_str(), (dir.path + "/" + c.strKey).c_str(), szError, sizeof(szError)),
                  c.bLoads);
        if (c.bLoads) {
            EXPECT_STREQ(szError, "");
        } else {
            EXPECT_NE(std::string(szError).find(c.strReason), std::string::npos) << szError;
        }
    }
}

// A client that connects and never says hello is given up on, and the receive time-out the
// session had before the handshake is back afterwards.
TEST(TlsHandshake, SilentClientTimesOutAndTimeoutIsRestored) {
    TempDir dir;
    ASSERT_TRUE(MakeCertificate(dir.path));
    char szError[512];
    TlsContext* pContext = TlsCreateServerContext((dir.path + "/cert.pem").c_str(), (dir.path + "/key.pem").c_str(),
                                                  szError, sizeof(szError));
    ASSERT_NE(pContext, nullptr) << szError;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    timeval before{5, 0};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &before, sizeof(before));
    EXPECT_EQ(TlsAccept(pContext, fds[0], 200, szError, sizeof(szError)), nullptr);
    EXPECT_NE(std::string(szError).find("TLS handshake"), std::string::npos) << szError;
    timeval after{};
    socklen_t nLength = sizeof(after);
    getsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &after, &nLength);
    EXPECT_EQ(after.tv_sec, 5);
    close(fds[0]);
    close(fds[1]);
    TlsFreeContext(pContext);
}

}  // namespace
