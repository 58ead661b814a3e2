// Session timer queue: the admitted sessions, counted against AcceptLimit.
#pragma once

#include <cstdint>

#include "imap/session.h"

void InitTMQueue();
// The admitted sessions, plus one for the queue's head (the count AcceptLimit is compared with).
uint32_t ViewTMQueue();
enum Admission {
    ADMITTED = 0,
    REFUSED_LIMIT,    // AcceptLimit sessions are queued, none of them an idle one before login
    REFUSED_ADDRESS,  // AddressLimit sessions from the peer's address, none idle before login
};

// Counts and joins in one step, so that two sessions starting together cannot both take the last
// place. When a limit is reached, the session that has waited longest before login without a
// word (from the same address, for AddressLimit) is told to leave instead: idle connections
// must not keep working clients out. ulLimit and ulAddressLimit 0: no limit.
Admission AdmitTMQueue(Session* pSession, uint32_t ulLimit, uint32_t ulAddressLimit);
// Takes the session's entry out of the queue when the session ends.
void RemoveTMQueue(Session* pSession);
// Closes (with a BYE where one can still be read) every queued session that has not logged in
// by its deadline or finished its TLS handshake by its own; returns how many.
uint32_t CutLateSessions(uint64_t ullNowMs);
// Starts, once per process, the thread that applies CutLateSessions several times a second.
void StartDeadlineWatch();
