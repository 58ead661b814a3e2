// The TLS handshake on its own: a client that never says hello is given up on.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/tls.h"
#include "test_server.h"

namespace {

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
