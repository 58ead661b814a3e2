// Removal of the messages flagged Deleted, shared by EXPUNGE and CLOSE.
#pragma once

#include "imap/session.h"

// Deletes the message files of szMailbox whose Deleted flag is set and marks them gone in the
// session's view, where the next announcement finds them. Without bAnnounce (CLOSE) messages
// the client was never told of are removed as well.
void ExpungeMailbox(Session* pSession, int bAnnounce);
