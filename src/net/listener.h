// Listening sockets, the accept loop and the stop request.
#pragma once

#include <atomic>

#include "platform/socket.h"
#include "platform/types.h"

extern std::atomic<int32_t> bStop;

struct TlsContext;
class LoginFailures;

// pTlsContext (may be null) is the server's certificate: with it, every IMAP socket gets a twin on
// the implicit-TLS port and sessions may offer STARTTLS. pLoginFailures (may be null) counts
// failed logins per client address for every session.
int RunListener(TlsContext* pTlsContext = nullptr, LoginFailures* pLoginFailures = nullptr);
// Opens, binds and listens on every socket the settings ask for, so that a start can fail before
// it says it runs. False with one line saying what could not be opened, which setting asked for
// it and in which file; pszOpened gets the addresses opened. The next AcceptLoop serves them.
bool OpenListeners(bool bTlsPort, char* pszError, size_t nErrorSize, char* pszOpened, size_t nOpenedSize);
// The start-up probe of the socket and completion-port layers; false when it failed.
bool ProbeSystem();
int AcceptLoop(TlsContext* pTlsContext = nullptr, LoginFailures* pLoginFailures = nullptr);
int FindHostDomain();
// Applies AcceptLimit and AddressLimit to the session under its client's address, and on the
// clear-text port sends the greeting at once. Done at accept, before the connection has a thread
// or any TLS work was done for it, so that a flood costs an accept and a close each; for a
// trusted balancer's connection, by its thread once the PROXY header named the client. A refused
// client is told so in one send that cannot block; on the implicit-TLS port, where a clear-text
// line means nothing to it, it is only closed. False when the session is refused.
struct Session;
bool AdmitSession(Session* pSession);
// The greeting, with the capabilities this session is offered now, into szResponse.
void FormatGreeting(Session* pSession);
// Sets the stop flag and wakes the accept loop with a connection of its own.
void RequestStop();
int ResolveConnectTarget(SocketAddress* pAddress, const char* pszHost, int nPortNo);

// ListenIP helpers shared with the settings dump: entry kinds and the n-th entry of a kind.
bool IsIpv4ListenEntry(const char* pszEntry);
bool IsIpv6ListenEntry(const char* pszEntry);
