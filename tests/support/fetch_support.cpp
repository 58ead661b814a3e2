#include "fetch_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "imap/fetch/fetch.h"
#include "net/client.h"

namespace {

void SetCommand(Session* pSession, const std::string& line, bool bUid) {
    // The dispatcher leaves tag, command word and arguments as strings inside szRecv.
    memset(pSession->szRecv, 0, sizeof(pSession->szRecv));
    snprintf(pSession->szRecv, sizeof(pSession->szRecv), "a1");
    char* pCommand = pSession->szRecv + 3;
    snprintf(pCommand, 8, "FETCH");
    char* pArgs = pCommand + 6;
    snprintf(pArgs, sizeof(pSession->szRecv) - 10, "%s", line.c_str());
    pSession->pTag = pSession->szRecv;
    pSession->pCommand = pCommand;
    pSession->pArgs = pArgs;
    pSession->bUid = bUid ? 1 : 0;
}

}  // namespace

bool SetFileTimes(const std::string& path, long long accessTime, long long writeTime) {
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(accessTime);
    times[1].tv_sec = static_cast<time_t>(writeTime);
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string Scramble(const std::string& content, unsigned char key) {
    std::string out;
    out.push_back(static_cast<char>(0xFF));
    out.push_back(static_cast<char>(key));
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : content) {
        unsigned char b = static_cast<unsigned char>(c ^ key);
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

FetchFixture::FetchFixture() : session(new Session()) {
    memset(session.get(), 0, sizeof(Session));
    session->State = Veve4Delected;
    session->lLoginNo = 7;
    snprintf(session->szMailbox, sizeof(session->szMailbox), "%s", dir.path.c_str());
}

std::string FetchFixture::AddMessage(unsigned uid, const std::string& flags, const std::string& content) {
    char name[64];
    snprintf(name, sizeof(name), "%010u-%s.MSG", uid, flags.c_str());
    WriteFile(dir.path + "/" + name, content);
    return name;
}

std::string FetchFixture::AddScrambledMessage(unsigned uid, const std::string& flags, const std::string& content,
                                              unsigned char key) {
    return AddMessage(uid, flags, Scramble(content, key));
}

std::vector<std::string> FetchFixture::Entries() const {
    std::vector<std::string> names;
    if (DIR* pDir = opendir(dir.path.c_str())) {
        while (struct dirent* pEntry = readdir(pDir)) {
            std::string name = pEntry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(pDir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FetchFixture::Capture(const std::function<void()>& body) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return "<socketpair failed>";
    }
    std::string received;
    std::thread reader([&received, fd = fds[1]] {
        char buffer[4096];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    session->sockClient = fds[0];
    session->szSendBuf[0] = '\0';
    body();
    if (session->szSendBuf[0] != '\0') {
        FlushSend(session.get(), 0);
    }
    shutdown(fds[0], SHUT_WR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
    session->sockClient = 0;
    return received;
}

std::string FetchFixture::Fetch(const std::string& args, bool bUid) {
    return Capture([&] {
        SetCommand(session.get(), args, bUid);
        CmdFetch(session.get());
        SendResponse(session.get(), 1, 1);
    });
}

int FetchFixture::FetchToClosedPeer(const std::string& args) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return -1;
    }
    close(fds[1]);
    session->sockClient = fds[0];
    session->szSendBuf[0] = '\0';
    SetCommand(session.get(), args, false);
    int nResult = CmdFetch(session.get());
    close(fds[0]);
    session->sockClient = 0;
    session->szSendBuf[0] = '\0';
    return nResult;
}

void FetchFixture::SelectMessage(const std::string& name) {
    memset(&session->FindData, 0, sizeof(session->FindData));
    snprintf(session->FindData.cFileName, sizeof(session->FindData.cFileName), "%s", name.c_str());
    session->bDecoded = 0;
}
