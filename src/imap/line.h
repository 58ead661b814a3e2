// Cutting a request line into tag, command word and arguments.
#pragma once

#include "imap/session.h"

// Sets pTag, pCommand and pArgs into szRecv.
void SplitRequestLine(Session* pSession);
// Cuts pWord at its first blank; everything that follows becomes *ppArgs.
void SplitWordAndArgs(char* pWord, char** ppArgs);
// Leading CR/LF are passed over, then the text ends at the next CR or LF; a text made only
// of CR and LF stays as it is.
void EndAtFirstCrOrLf(char* pszText);
// Ends the text at its first CR LF pair, else at its first CR or LF.
void EndAtCrLfPair(char* pszText);
