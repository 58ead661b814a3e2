// Session timer queue: the admitted sessions, counted against AcceptLimit.
#pragma once

#include <cstdint>

#include "net/session.h"

void InitTMQueue();
// The admitted sessions, plus one for the queue's head (the count AcceptLimit is compared with).
uint32_t ViewTMQueue();
// Counts and joins in one step, so that two sessions starting together cannot both take the last
// place. ulLimit 0: no limit. False: the count was over the limit and the session did not join.
bool AdmitTMQueue(Session* pSession, uint32_t ulLimit);
// Takes the session's entry out of the queue when the session ends.
void RemoveTMQueue(Session* pSession);
