// The PROXY protocol at the start of a connection: a trusted balancer's header read before the
// greeting and the TLS handshake, and a header from anyone else refused.
#pragma once

#include "imap/session.h"

// How long a trusted balancer has for its whole header, from the thread's start.
constexpr unsigned int PROXY_HEADER_TIME_MS = 3000;
// Connections of trusted balancers waiting for their header at once; more are closed at accept,
// so that a flood of slow ones holds a bounded number of threads, each for a bounded time.
constexpr int MAX_PROXY_HEADER_WAITS = 256;

// A place among the connections waiting for their header; false (nothing taken) when all are
// taken. Each true return is followed by one EndProxyHeaderWait.
bool TakeProxyHeaderWait();
void EndProxyHeaderWait();

// Reads the header of a trusted balancer's connection, taking its bytes and nothing behind them.
// On success szPeerAddr names the client (szBalancerAddr the balancer), or stays the balancer's
// for its own connections (LOCAL, UNKNOWN, or no header where ProxyRequired allows none). False,
// after a log line, when the connection must close: a malformed, cut or late header, a family
// the server does not listen on, or no header where one is required.
bool ReceiveProxyHeader(Session* pSession);

// Whether the bytes a peer that is not a trusted balancer sent first are a PROXY header; if so
// the refusal is logged and the connection must close.
bool RefuseUntrustedHeader(Session* pSession, const char* pBytes, size_t nSize);
// The same for the implicit-TLS port, before the handshake: waits (within the handshake's time)
// for the client's first bytes and looks at them without taking them.
bool UntrustedHeaderBeforeTls(Session* pSession);
