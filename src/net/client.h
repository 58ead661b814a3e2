// One thread per connection: admission, the greeting, then the session's commands until it ends.
#pragma once

#include "imap/session.h"

void ClientThread(Session* pSession);
