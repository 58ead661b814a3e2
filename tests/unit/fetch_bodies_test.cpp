// Message bodies as a TLS client receives them: large answers leave the file in blocks and their
// records in gathered sends, so sizes around the record, block and buffer edges, with and without
// NULs, must arrive byte for byte as they do in clear text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "fetch_support.h"
#include "platform/tls.h"

namespace {

// A message of exactly nSize bytes: a header, then lines of a pattern that shifts with every
// line, so that a block sent twice or left out shows; bNul puts NULs into the body.
std::string MessageOfSize(size_t nSize, bool bNul) {
    std::string message = "From: a@example.org\r\nSubject: size " + std::to_string(nSize) + "\r\n\r\n";
    for (size_t nLine = 0; message.size() < nSize; nLine++) {
        std::string line = std::to_string(nLine) + ":";
        for (size_t i = 0; i < 70; i++) line += static_cast<char>('a' + (nLine + i) % 26);
        if (bNul && nLine % 97 == 5) line[3] = '\0';
        message += line + "\r\n";
    }
    message.resize(nSize);
    return message;
}

std::string Blanked(std::string text) {
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    return text;
}

// A session whose client speaks TLS: everything it is sent is decrypted by a client thread.
struct TlsFetch : FetchFixture {
    TempDir keys;
    TlsContext* pContext = nullptr;

    TlsFetch() {
        char szError[512];
        if (MakeCertificate(keys.path)) {
            pContext = TlsCreateServerContext((keys.path + "/cert.pem").c_str(), (keys.path + "/key.pem").c_str(),
                                              szError, sizeof(szError));
        }
    }
    ~TlsFetch() { TlsFreeContext(pContext); }

    // "a1 FETCH <args>" under TLS: what the client decrypted, up to the server's closing alert.
    std::string FetchTls(const std::string& args) {
        int fds[2];
        if (pContext == nullptr || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "<no set-up>";
        std::string received;
        std::thread client([&received, fd = fds[1]] {
            SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
            SSL* pSsl = SSL_new(pCtx);
            SSL_set_fd(pSsl, fd);
            if (SSL_connect(pSsl) == 1) {
                char buffer[16384];
                for (int n; (n = SSL_read(pSsl, buffer, sizeof(buffer))) > 0;) received.append(buffer, static_cast<size_t>(n));
            }
            SSL_free(pSsl);
            SSL_CTX_free(pCtx);
        });
        char szError[512];
        session->sockClient = fds[0];
        session->pTls = TlsAccept(pContext, fds[0], 5000, szError, sizeof(szError));
        if (session->pTls != nullptr) {
            std::string line = "a1 FETCH " + args + "\r\n";
            snprintf(session->szRecv, sizeof(session->szRecv), "%s", line.c_str());
            DispatchCommand(session.get());
            if (OutputHeld(session.get())) OutputFlush(session.get());
            TlsClose(session->pTls);
            session->pTls = nullptr;
        }
        shutdown(fds[0], SHUT_WR);
        client.join();
        close(fds[0]);
        close(fds[1]);
        return received;
    }
};

// Sizes on either side of a TLS record (16 KiB), of the answer buffer (64 KiB, which is also where
// content stops passing through it), of a read block and of a gathered send (256 KiB), and a few
// far past them; each with and without NULs, in clear text and under TLS, asked twice (the second
// time from what the index kept of the first).
TEST(FetchBodies, ArriveWholeAtEveryEdgeInClearTextAndUnderTls) {
    const size_t kSizes[] = {100,    16383,      16384,  16385,  65535,           65536,
                             65537,  131072 + 7, 262143, 262144, 262145,          262144 * 3 + 16,
                             1 << 20, 3 * 1024 * 1024 + 12345};
    Settings.IndexCacheLimit = 64;
    TlsFetch f;
    ASSERT_NE(f.pContext, nullptr);
    std::vector<std::string> messages;
    for (size_t nSize : kSizes) {
        for (bool bNul : {false, true}) {
            messages.push_back(MessageOfSize(nSize, bNul));
            f.Add(static_cast<unsigned>(messages.size()), "000000", messages.back());
        }
    }
    for (size_t i = 0; i < messages.size(); i++) {
        const std::string& message = messages[i];
        bool bNul = message.find('\0') != std::string::npos;
        unsigned ulUid = static_cast<unsigned>(i + 1);
        std::string args = std::to_string(ulUid) + " (BODY.PEEK[] BINARY.PEEK[])";
        std::string expected = Answer(Literal("BODY[]", Blanked(message)) + " " + (bNul ? "BINARY[] ~{" : "BINARY[] {") +
                                          std::to_string(message.size()) + "}\r\n" + message,
                                      ulUid);
        for (bool bTls : {false, true}) {
            for (int nTime = 0; nTime < 2; nTime++) {
                std::string got = bTls ? f.FetchTls(args) : f.Fetch(args);
                std::string what = std::to_string(message.size()) + (bNul ? " with NULs" : "") + (bTls ? " TLS" : " clear") +
                                   " time " + std::to_string(nTime);
                ASSERT_EQ(got.size(), expected.size()) << what;
                EXPECT_TRUE(got == expected) << what;
            }
        }
    }
    Settings.IndexCacheLimit = 0;
}

// Another file renamed over a message's name (same size, same time) with NULs where the first
// had none: what the index kept of the first file's bytes must not send the second's NULs as they
// are, in BODY[] or a large part of it; and the other way round, BINARY[] stops being a literal8.
TEST(FetchBodies, WhatIsKeptOfAFileIsNotBelievedForItsReplacement) {
    Settings.IndexCacheLimit = 64;
    FetchFixture f;
    const std::string clean = MessageOfSize(300000, false);
    const std::string path = f.dir.path + "/" + f.Add(1, "000000", clean);
    auto replace = [&](const std::string& content) {
        WriteFile(f.dir.path + "/.other", content);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (f.dir.path + "/.other").c_str(), times, 0), 0);
        ASSERT_EQ(rename((f.dir.path + "/.other").c_str(), path.c_str()), 0);
    };
    const std::string items = "1 (BODY.PEEK[] BODY.PEEK[]<1000.200000> BINARY.PEEK[])";
    auto expected = [](const std::string& message, const char* pszBinary) {
        return Answer(Literal("BODY[]", Blanked(message)) + " " + Literal("BODY[]<1000>", Blanked(message.substr(1000, 200000))) +
                      " BINARY[] " + pszBinary + std::to_string(message.size()) + "}\r\n" + message);
    };
    EXPECT_TRUE(f.Fetch(items) == expected(clean, "{"));
    EXPECT_TRUE(f.Fetch(items) == expected(clean, "{"));
    const std::string withNul = MessageOfSize(300000, true);
    replace(withNul);
    EXPECT_TRUE(f.Fetch(items) == expected(withNul, "~{")) << "NULs of the new file sent as they are";
    replace(clean);
    EXPECT_TRUE(f.Fetch(items) == expected(clean, "{"));
    EXPECT_TRUE(f.Fetch(items) == expected(clean, "{"));
    Settings.IndexCacheLimit = 0;
}

}  // namespace
