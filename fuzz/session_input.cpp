// The session's whole input path: bytes as a client sends them (NUL, CR and LF anywhere, literals
// announced or not), received, cut into commands and answered, before login and after.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "fuzz_support.h"
#include "imap/dispatch.h"
#include "imap/session.h"
#include "imap/session_io.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // More than the pair's buffers hold would block the write below.
    if (nSize == 0 || nSize > 65536) return -1;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    // The first byte chooses the state: a session that has logged in takes every command.
    auto pSession = std::make_unique<Session>();
    pSession->sockClient = fds[0];
    if (pData[0] & 1) {
        pSession->State = Imap4Authorization;
        snprintf(pSession->szMailDir, sizeof pSession->szMailDir, "%s", ScratchDirectory().c_str());
        snprintf(pSession->szMailbox, sizeof pSession->szMailbox, "%s", ScratchDirectory().c_str());
    }
    if (write(fds[1], pData + 1, nSize - 1) != static_cast<ssize_t>(nSize - 1)) abort();
    shutdown(fds[1], SHUT_WR);
    std::thread drain([fd = fds[1]] {
        char buf[65536];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    });
    while (RecvLine(pSession.get(), 1) != 0) {
        if (pSession->nReceived >= RECV_SIZE) abort();
        if (DispatchCommand(pSession.get()) == 0 || pSession->bSendFailed) break;
        // What waits for the next command is counted and stays inside its buffer.
        if (pSession->nQueued >= QUEUE_SIZE || pSession->szQueue[pSession->nQueued] != '\0') abort();
    }
    shutdown(fds[0], SHUT_RDWR);
    close(fds[0]);
    drain.join();
    close(fds[1]);
    return 0;
}
