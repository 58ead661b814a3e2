// AUTHENTICATE with the SASL mechanisms LOGIN and CRAM-MD5, checked against the password file
// the user shares with the POP3 server.
#pragma once

#include "net/session.h"

// Runs the whole continuation exchange itself; leaves the tagged line in szResponse and
// always returns 1.
int CmdAuthenticate(Session* pSession);
