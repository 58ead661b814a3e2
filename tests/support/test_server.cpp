#include "test_server.h"

#include "auth/base64.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/veve4d-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    path = p != nullptr ? p : "";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string ReadFilesIn(const std::string& dir, std::vector<unsigned>* modes) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().filename().string()[0] == '.') continue;
        if (modes != nullptr) modes->push_back(static_cast<unsigned>(entry.status().permissions()));
        all += ReadFile(entry.path());
    }
    return all;
}

bool MakeCertificate(const std::string& dir, const std::string& name) {
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                          "-subj /CN=localhost -addext subjectAltName=DNS:localhost -days 2 -keyout '" +
                          dir + "/key" + name + ".pem' -out '" + dir + "/cert" + name + ".pem' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

namespace {

// Binds a loopback socket of the family to port 0; the port the kernel chose, 0 on failure.
int BindLoopback(int family) {
    sockaddr_in6 six{};
    sockaddr_in four{};
    six.sin6_family = AF_INET6;
    six.sin6_addr = in6addr_loopback;
    four.sin_family = AF_INET;
    four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* addr = family == AF_INET6 ? reinterpret_cast<sockaddr*>(&six) : reinterpret_cast<sockaddr*>(&four);
    socklen_t len = family == AF_INET6 ? sizeof(six) : sizeof(four);
    int fd = socket(family, SOCK_STREAM, 0);
    bool bound = fd >= 0 && bind(fd, addr, len) == 0 && getsockname(fd, addr, &len) == 0;
    if (fd >= 0) close(fd);
    return bound ? ntohs(family == AF_INET6 ? six.sin6_port : four.sin_port) : 0;
}

// Polls the condition every 20 ms until it holds or the time is up; whether it held.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (long long deadline = NowMs() + timeoutMs;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (condition()) return true;
        if (NowMs() >= deadline) return false;
    }
}

}  // namespace

int FreePort() {
    return BindLoopback(AF_INET);
}

bool Ipv6LoopbackAvailable() {
    return BindLoopback(AF_INET6) != 0;
}

TestServer::TestServer() {
    dir = tempDir_.path;
    registryPath = dir + "/registry.reg";
    outputPath = dir + "/output.txt";
    static int counter = 0;
    pipeName = "veve4d-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" +
               std::to_string(NowMs());
}

TestServer::~TestServer() {
    Kill();
}

void TestServer::Kill() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

std::string TestServer::BasicRegistry(const std::string& extra) {
    // Failed logins are answered at once here; the tests of the delay set their own.
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"
           "\"LoginFailureDelay\"=dword:00000000\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
           "\"PortNo\"=dword:@PORTHEX@\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]\n"
           "\"MailSpoolDir\"=\"@DIR@/spool\"\n"
           "\"HostName\"=\"localhost\"\n" +
           extra;
}

std::string TestServer::UserFileRegistry(const std::string& extra) {
    return BasicRegistry("\"UserManager\"=dword:00000000\n\"Membership\"=\"@DIR@/accounts/\"\n"
                         "\"MailInBoxDir\"=\"@DIR@/users/%USERNAME%\"\n\"DomainNamesAreLocal\"=str(7):\"test.local\\0\"\n"
                         "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]\n\"test.local\"=\"127.0.0.1\"\n" +
                         extra);
}

std::string TestServer::ServiceKey(const std::string& values) {
    return "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n" + values;
}

std::string TestServer::AddUser(const std::string& name, const std::string& password) {
    std::string mailDir = dir + "/users/" + name;
    std::filesystem::create_directories(mailDir);
    std::filesystem::create_directories(dir + "/accounts");
    std::string record = name + "\t" + password + "\t\t\t" + mailDir;
    char encoded[2048];
    Base64Encode(record.data(), record.size(), encoded, sizeof(encoded));
    std::ofstream(dir + "/accounts/test.local.idx", std::ios::app) << encoded << "\n";
    return mailDir + "/";
}

bool TestServer::Start(const std::string& registryBody, std::vector<std::string> args,
                       std::vector<std::string> extraEnv) {
    bool bDebug = !args.empty() && args[0] == "-debug";
    for (int attempt = 0; attempt < 5; attempt++) {
        port = FreePort();
        char hex[16];
        snprintf(hex, sizeof(hex), "%08x", port);
        std::string body = ReplaceAll(ReplaceAll(ReplaceAll(registryBody, "@PORTHEX@", hex), "@PORT@",
                                                 std::to_string(port)),
                                      "@DIR@", ReplaceAll(dir, "\\", "\\\\"));  // registry strings hold "\" as "\\"
        WriteFile(registryPath, "Windows Registry Editor Version 5.00\n\n" + body);
        if (Launch(args, extraEnv, bDebug)) return true;
        // Another process may have taken the port between the probe and the bind: try another.
        Kill();
    }
    return false;
}

bool TestServer::Launch(std::vector<std::string> args, std::vector<std::string> extraEnv, bool bWaitReady) {
    std::vector<std::string> env{"VEVE4D_REGISTRY=" + registryPath, "VEVE4D_PIPE_NAME=" + pipeName};
    // A variable the test names replaces the inherited one: getenv takes the first of two.
    auto Named = [&extraEnv](const std::string& var) {
        std::string name = var.substr(0, var.find('=') + 1);
        for (const std::string& e : extraEnv) {
            if (e.rfind(name, 0) == 0) return true;
        }
        return false;
    };
    for (char** e = environ; *e != nullptr; e++) {
        std::string var = *e;
        if (var.rfind("VEVE4D_", 0) != 0 && var.rfind("NOTIFY_SOCKET=", 0) != 0 && !Named(var)) env.push_back(var);
    }
    // Tests keep their logins out of the machine's log: unless a test listens, the server's
    // system-log lines go to a socket that does not exist.
    bool bSyslog = false;
    for (const std::string& e : extraEnv) bSyslog = bSyslog || e.rfind("VEVE4D_SYSLOG_SOCKET=", 0) == 0;
    if (!bSyslog) env.push_back("VEVE4D_SYSLOG_SOCKET=" + dir + "/no-syslog.sock");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    args.insert(args.begin(), VEVE4D_BINARY);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    pid = fork();
    if (pid == 0) {
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (openFileLimit > 0) {
            rlimit limit{static_cast<rlim_t>(openFileLimit), static_cast<rlim_t>(openFileLimit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0 || !bWaitReady) return pid > 0;
    // Ready once the accept loop waits; the pipe wait before it takes about a second.
    return WaitUntil([this] { return !Running() || Output().find("wait select()") != std::string::npos; }, 15000) &&
           Running();
}

std::string TestServer::Output() const {
    return ReadFile(outputPath);
}

bool TestServer::WaitForOutput(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

int TestServer::Signal(int sig) const {
    return pid > 0 ? kill(pid, sig) : -1;
}

bool TestServer::Running() {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        pid = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        return false;
    }
    return true;
}

int TestServer::WaitExit(int timeoutMs) {
    if (WaitUntil([this] { return !Running(); }, timeoutMs)) return exitStatus_;
    Kill();
    return -1;
}

ImapClient::~ImapClient() {
    Close();
}

void ImapClient::Close() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ssl = nullptr;
    ctx = nullptr;
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool ImapClient::Connect(int port, const char* address, const char* source) {
    Close();
    pending.clear();
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(address, std::to_string(port).c_str(), &hints, &res) != 0) return false;
    fd = socket(res->ai_family, SOCK_STREAM, 0);
    bool ok = fd >= 0;
    if (ok && source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ok = inet_pton(AF_INET, source, &from.sin_addr) == 1 &&
             bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) == 0;
    }
    ok = ok && connect(fd, res->ai_addr, res->ai_addrlen) == 0;
    freeaddrinfo(res);
    if (!ok) Close();
    return ok;
}

bool ImapClient::Greeted(int port, const char* address, const char* source) {
    return Connect(port, address, source) && ReadLine() == kGreeting;
}

bool ImapClient::LoggedIn(int port, const std::string& user, const std::string& password) {
    std::vector<std::string> lines;
    if (Greeted(port)) lines = Command("login", "LOGIN " + user + " " + password);
    return !lines.empty() && lines.back() == "login OK LOGIN completed\r\n";
}

void ImapClient::Send(const std::string& text) {
    size_t sent = 0;
    while (fd >= 0 && sent < text.size()) {
        ssize_t n = ssl != nullptr ? SSL_write(ssl, text.data() + sent, static_cast<int>(text.size() - sent))
                                   : send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

namespace {

// Appends what arrives within the time to buf: 1 when something came, 0 at the end of the
// stream, -1 when the time ran out. TLS may hold decrypted bytes the socket no longer shows.
int ReadMore(int fd, SSL* ssl, std::string& buf, long long deadline) {
    long long left = deadline - NowMs();
    pollfd pfd{fd, POLLIN, 0};
    if (fd < 0 || left <= 0 || ((ssl == nullptr || SSL_pending(ssl) == 0) && poll(&pfd, 1, static_cast<int>(left)) <= 0)) {
        return -1;
    }
    char chunk[65536];
    ssize_t n = ssl != nullptr ? SSL_read(ssl, chunk, sizeof(chunk)) : recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) return 0;
    buf.append(chunk, static_cast<size_t>(n));
    return 1;
}

}  // namespace

std::string WithoutCapabilityCode(const std::string& line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos || line.compare(blank, 16, " OK [CAPABILITY ") != 0) return line;
    size_t close = line.find("] ", blank);
    if (close == std::string::npos) return line;
    return line.substr(0, blank + 4) + line.substr(close + 2);
}

std::string ImapClient::ReadLine(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return keepCapabilityCodes ? line : WithoutCapabilityCode(line);
        }
        if (ReadMore(fd, ssl, pending, deadline) <= 0) return "";
    }
}

std::vector<std::string> ImapClient::ReadUntilTagged(const std::string& tag, int timeoutMs) {
    std::vector<std::string> lines;
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        std::string line = ReadLine(static_cast<int>(deadline - NowMs()));
        if (line.empty()) return lines;
        lines.push_back(line);
        if (line.rfind(tag + " ", 0) == 0) return lines;
    }
}

std::vector<std::string> ImapClient::Command(const std::string& tag, const std::string& command, int timeoutMs) {
    Send(tag + " " + command + "\r\n");
    return ReadUntilTagged(tag, timeoutMs);
}

size_t ImapClient::Drain(int timeoutMs) {
    size_t total = pending.size();
    pending.clear();
    long long deadline = NowMs() + timeoutMs;
    while (ReadMore(fd, ssl, pending, deadline) > 0) {
        total += pending.size();
        pending.clear();
    }
    return total;
}

bool ImapClient::ClosedByPeer(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    int r;
    while ((r = ReadMore(fd, ssl, pending, deadline)) > 0) {
    }
    return r == 0;
}

bool ImapClient::StartTls(const std::string& caFile) {
    signal(SIGPIPE, SIG_IGN);
    timeval tv{10, 0};  // a handshake or record that never completes fails the read instead of hanging
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr || SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) return false;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    return SSL_connect(ssl) == 1;
}

std::string ImapClient::TlsVersion() const {
    return ssl != nullptr ? SSL_get_version(ssl) : "";
}

std::string RunShell(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("{ " + command + "; } 2>&1").c_str(), "r"), pclose);
    std::string out;
    char buf[4096];
    size_t n;
    while (pipe && (n = fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
    return out;
}
