// The STATUS answer, shared by STATUS and by LIST's RETURN (STATUS (...)).
#pragma once

#include <cstddef>

#include "imap/session.h"

enum StatusItem { STATUS_MESSAGES, STATUS_RECENT, STATUS_UIDNEXT, STATUS_UIDVALIDITY, STATUS_UNSEEN, STATUS_SIZE,
                  STATUS_HIGHESTMODSEQ, STATUS_DELETED, STATUS_ITEMS };

struct StatusRequest {
    StatusItem aItems[STATUS_ITEMS * 2];
    size_t nItems = 0;
};

// Reads the items between STATUS's parentheses, in the order asked; false for an empty list or
// an unknown item. IMAP4rev2 (bImap4Rev2) knows DELETED and no longer RECENT.
bool ReadStatusItems(const char* pszList, StatusRequest* pRequest, bool bImap4Rev2 = false);

// Writes "* STATUS name (...)" for the mailbox at pszPath, pszName as the client wrote it; false,
// with nothing written, when no mailbox (directory) is there. Asking for HIGHESTMODSEQ turns
// CONDSTORE on.
bool OutputStatusLine(Session* pSession, const char* pszName, const char* pszPath, const StatusRequest& request);
