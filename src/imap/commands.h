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
// Stops the updates of searches kept up to date (RETURN (UPDATE)).
int CmdCancelUpdate(Session* pSession);
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
int CmdId(Session* pSession);
int CmdUnselect(Session* pSession);
// Answers OK in clear and turns compression on; returns 0 when it could not.
int CmdCompress(Session* pSession);
// SORT and THREAD, and their UID forms (bUid set).
int CmdSort(Session* pSession);
int CmdThread(Session* pSession);
// ENABLE: turns on the extensions it knows of the ones named.
int CmdEnable(Session* pSession);
