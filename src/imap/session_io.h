// The only ways handlers talk to the client: a session's lines in, its answers out.
#pragma once

#include <cstddef>

#include "imap/session.h"

int RecvLine(Session* pSession, int bTrace);
int SendResponse(Session* pSession, int bFlush, int bTrace);
int FlushSend(Session* pSession, int bTrace);

// The session's own receive and send, with SocketRecv's and SocketSend's results: through TLS
// once it is negotiated, on the socket before. Nothing above them knows which.
int SessionRecv(Session* pSession, char* pBuffer, size_t nLength);
int SessionSend(Session* pSession, const char* pBuffer, size_t nLength);
// Negotiates TLS on the connection. Whatever was received in clear and not yet dispatched is
// dropped first: a command injected behind STARTTLS must not run as if it came encrypted.
// False when the handshake failed; the session must then end.
bool StartSessionTls(Session* pSession);

// Formats the receive ("read()") or send ("send()") error text for a Winsock error code.
constexpr size_t SOCKET_ERROR_TEXT_SIZE = 128;
void FormatSocketError(char* pBuffer, size_t nSize, bool bSend, int nCode);
