// One thread per connection and the only ways handlers talk to the client.
#pragma once

#include "net/session.h"

void ClientThread(Session* pSession);
int RecvLine(Session* pSession, int bTrace);
int SendResponse(Session* pSession, int bFlush, int bTrace);
int FlushSend(Session* pSession, int bTrace);

// Formats the receive ("read()") or send ("send()") error text for a Winsock error code.
void FormatSocketError(char* pBuffer, size_t nSize, bool bSend, int nCode);
