// Removal of the messages flagged Deleted, shared by EXPUNGE and CLOSE.
#pragma once

#include "net/session.h"

// Deletes the message files of szMailbox whose Deleted flag is set. With bAnnounce, each
// removal is sent as "* n EXPUNGE" with the number the message has at that moment. Only
// messages that are really gone are announced and counted off lExists.
void ExpungeMailbox(Session* pSession, int bAnnounce);
