// The only ways handlers talk to the client: a session's lines in, its answers out.
#pragma once

#include <cstddef>

#include "imap/output.h"
#include "imap/session.h"

int RecvLine(Session* pSession, int bTrace);
// The builder's entry for the line now in szResponse (the tagged line, or a line of a writer
// that still formats there): appended behind everything queued, and sent with it when bFlush is
// set and no command is running. bTrace 0: content that the trace leaves out.
int SendResponse(Session* pSession, int bFlush, int bTrace);
// Sends whatever is held (OutputFlush).
int FlushSend(Session* pSession, int bTrace);

// The session's own receive, with SocketRecv's result: through TLS once it is negotiated, on the
// socket before. Its send is the output builder's (imap/output.h).
int SessionRecv(Session* pSession, char* pBuffer, size_t nLength);
// Whether input already came in that a wait on the socket would miss (held by TLS or by the
// decompressor).
bool SessionInputPending(const Session* pSession);
// Turns on COMPRESS=DEFLATE both ways, once the tagged OK has left in clear. Whatever was
// received behind the command is taken as compressed input. False when zlib could not start.
bool StartSessionCompression(Session* pSession);
// Negotiates TLS on the connection. Whatever was received in clear and not yet dispatched is
// dropped first: a command injected behind STARTTLS must not run as if it came encrypted.
// False when the handshake failed; the session must then end.
bool StartSessionTls(Session* pSession);

// Formats the receive ("read()") or send ("send()") error text for a Winsock error code.
constexpr size_t SOCKET_ERROR_TEXT_SIZE = 128;
void FormatSocketError(char* pBuffer, size_t nSize, bool bSend, int nCode);
