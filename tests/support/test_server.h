// Starts the real veve4d binary for a test, on its own port, directory, registry file and pipe
// name, and talks to it over loopback.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct ssl_ctx_st;
struct ssl_st;

// What every connection is greeted with, once ReadLine has taken out the capability list.
inline const char* const kGreeting = "* OK Velmora IMAP4rev1 Server (0.07) Ready. \r\n";
// The line without a "[CAPABILITY ...]" code after its "OK" (greeting, LOGIN, AUTHENTICATE):
// what a session is offered is checked where it matters, not in every test that logs in.
std::string WithoutCapabilityCode(const std::string& line);

// A fresh directory under /tmp, removed with its content when the object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// The files of a directory (dot files left out) one after the other, with their permission bits.
std::string ReadFilesIn(const std::string& dir, std::vector<unsigned>* modes = nullptr);
// A self-signed certificate for "localhost" in dir/cert<name>.pem with its key in dir/key<name>.pem.
bool MakeCertificate(const std::string& dir, const std::string& name = "");
// A loopback port that nothing listens on at the moment of asking.
int FreePort();
bool Ipv6LoopbackAvailable();
inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// Everything a shell command prints, standard error included; "" when it could not start.
std::string RunShell(const std::string& command);

struct TestServer {
    int port = 0;
    std::string dir;        // scratch directory for this server (registry, spool, output)
    std::string pipeName;   // VEVE4D_PIPE_NAME given to it
    std::string registryPath;
    std::string outputPath;
    pid_t pid = -1;
    int openFileLimit = 0;  // RLIMIT_NOFILE of the server process; 0: inherited

    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Writes the registry (header line added; "@PORT@" and "@DIR@" replaced in the body), starts
    // the binary with the arguments, and for "-debug" waits until it accepts connections.
    bool Start(const std::string& registryBody, std::vector<std::string> args = {"-debug"},
               std::vector<std::string> extraEnv = {});
    // Same port, directory and pipe name, fresh process (the registry file is left as it is).
    bool Launch(std::vector<std::string> args, std::vector<std::string> extraEnv, bool bWaitReady);
    std::string Output() const;
    bool WaitForOutput(const std::string& text, int timeoutMs = 10000) const;
    int Signal(int sig) const;
    // Exit status (WEXITSTATUS), -1 on time-out (the process is then killed), -2 if signalled.
    int WaitExit(int timeoutMs = 10000);
    bool Running();
    void Kill();
    // Registry body common to most tests: loopback listener on @PORT@, spool under @DIR@.
    static std::string BasicRegistry(const std::string& extra = "");
    // BasicRegistry in user-file mode: accounts of domain test.local (127.0.0.1) under @DIR@/accounts,
    // mail directories @DIR@/users/NAME.
    static std::string UserFileRegistry(const std::string& extra = "");
    // The service's own key with the values.
    static std::string ServiceKey(const std::string& values);
    // Adds a user to test.local's user file and makes the user's mail directory; returns it.
    std::string AddUser(const std::string& name, const std::string& password);

private:
    TempDir tempDir_;
    int exitStatus_ = -1;
};

struct ImapClient {
    int fd = -1;
    std::string pending;
    // ReadLine leaves "[CAPABILITY ...]" codes in place (see WithoutCapabilityCode).
    bool keepCapabilityCodes = false;

    ImapClient() = default;
    ~ImapClient();
    ImapClient(const ImapClient&) = delete;
    ImapClient& operator=(const ImapClient&) = delete;

    // From the source address when one is given (another loopback address is another client).
    bool Connect(int port, const char* address = "127.0.0.1", const char* source = nullptr);
    // Connects and reads the line that comes first: true when it is the greeting.
    bool Greeted(int port, const char* address = "127.0.0.1", const char* source = nullptr);
    // Greeted, then LOGIN: true when the login was accepted.
    bool LoggedIn(int port, const std::string& user, const std::string& password);
    // Bytes that arrive until the server closes or nothing more comes within the time.
    size_t Drain(int timeoutMs = 10000);
    void Send(const std::string& text);
    // One line with its CR LF; "" when the connection ended or nothing came in time.
    std::string ReadLine(int timeoutMs = 10000);
    // Sends "tag command\r\n" and reads up to and including the tagged line.
    std::vector<std::string> Command(const std::string& tag, const std::string& command, int timeoutMs = 10000);
    // Reads lines until one starts with "tag ".
    std::vector<std::string> ReadUntilTagged(const std::string& tag, int timeoutMs = 10000);
    // True when the server closed the connection (read returns end of stream).
    bool ClosedByPeer(int timeoutMs = 10000);
    void Close();
    // Handshake trusting only caFile and checking the name localhost; the calls above then go
    // through TLS.
    bool StartTls(const std::string& caFile);
    std::string TlsVersion() const;

    ssl_ctx_st* ctx = nullptr;
    ssl_st* ssl = nullptr;
};
