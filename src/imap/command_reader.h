// Assembling one command from the client's input: its line, and the literals and further lines
// that belong to it.
#pragma once

#include "imap/session.h"

enum CommandRead {
    COMMAND_READY,    // szRecv holds the command without its final line end
    COMMAND_REFUSED,  // too long (or a literal too big); its BAD answer is in szResponse
    COMMAND_LOST,     // the connection ended inside the command
    COMMAND_ABANDONED,  // refused and not read to its end: the answer and a BYE are in szResponse
};

// What a command does with a literal announced at the end of one of its lines. The reader knows
// no commands: whoever knows them (the dispatcher) says, for a command word in a state.
enum LiteralRule {
    LITERALS_READ,     // every literal is read into the command
    LITERALS_REFUSED,  // the command will only be refused: no literal is asked for
    LITERAL_MESSAGE,   // a literal after the first argument is the handler's (APPEND's message)
};
using LiteralRuleOf = LiteralRule (*)(const char* pszWord, int32_t lState);

// Takes the next command out of szQueue into szRecv, receiving more input while a literal or a
// long line needs it. A literal between lines is kept in its wire form ("{n}\r\n" and its
// bytes); a synchronising one is asked for with "+ Ready" first. Two literals are left to the
// handler, and the command then ends at their announcement: a message literal (LITERAL_MESSAGE),
// which goes to a file instead of memory, and a literal of a command that will only be refused,
// so that the client is never asked for data that is thrown away.
CommandRead ReadCommand(Session* pSession, LiteralRuleOf pfnRule);

// Whether szQueue holds the start of a command that can be taken now: a whole line, or a line
// too long to wait for in the receive buffer.
bool CommandWaiting(const Session* pSession);

// Puts bytes in front of (or behind) what szQueue holds; what does not fit is dropped from the end.
void QueueInFront(Session* pSession, const char* pText, size_t nText);
void QueueBehind(Session* pSession, const char* pText, size_t nText);
// Moves up to nWanted bytes from the front of szQueue into pBuffer; returns how many.
size_t TakeQueued(Session* pSession, char* pBuffer, size_t nWanted);

// Takes the next line (the answer to a prompt, DONE) out of szQueue into szRecv without its
// line end, receiving more input as needed; nReceived gets its length. Logged as "****" while
// bSecretInput is set. False when the connection ended, or when the line is no answer at all
// (too long, a NUL or another control character in it); szRecv is then empty. An answer too
// long to hold before login is not read on: bEndAfterCommand is set.
bool ReadAnswerLine(Session* pSession);
