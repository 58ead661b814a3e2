// Command handlers. Each takes the Session, leaves its tagged line in szResponse and returns
// nonzero to keep the connection, 0 to end it.
#pragma once

#include "imap/session.h"

int CmdCapability(Session* pSession);
int CmdNoop(Session* pSession);
int CmdLogout(Session* pSession);
int CmdStartTls(Session* pSession);
int CmdLogin(Session* pSession);
// Runs the whole continuation exchange itself; leaves the tagged line in szResponse and
// always returns 1.
int CmdAuthenticate(Session* pSession);
int CmdNamespace(Session* pSession);
int CmdCheck(Session* pSession);
int CmdUid(Session* pSession);
int CmdSelect(Session* pSession);
int CmdExamine(Session* pSession);
int CmdStatus(Session* pSession);
int CmdStore(Session* pSession);
int CmdExpunge(Session* pSession);
int CmdClose(Session* pSession);
int CmdSearch(Session* pSession);
// FETCH and UID FETCH (the UID prefix reaches the same handler with bUid set).
int CmdFetch(Session* pSession);
int CmdCreate(Session* pSession);
int CmdDelete(Session* pSession);
int CmdRename(Session* pSession);
int CmdSubscribe(Session* pSession);
int CmdUnsubscribe(Session* pSession);
int CmdList(Session* pSession);
int CmdLsub(Session* pSession);
int CmdAppend(Session* pSession);
int CmdCopy(Session* pSession);
int CmdMove(Session* pSession);
int CmdIdle(Session* pSession);
// ENABLE: turns on the extensions it knows of the ones named.
int CmdEnable(Session* pSession);
