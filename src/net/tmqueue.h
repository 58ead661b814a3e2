// Session timer queue: the admitted sessions, counted against AcceptLimit.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/session.h"

extern std::atomic<int32_t> bTMQWait;

void InitTMQueue();
uint32_t ViewTMQueue(int bLock);
void AddTMQueue(Session* pSession, int bNoLock);
// Takes the session's entry out of the queue when the session ends.
void RemoveTMQueue(Session* pSession);
