// Calls that a network or cluster file system may fail for a moment, tried again (fs.h, Failures).
#pragma once

#include <functional>

// Runs fnCall, a system call that returns -1 and sets errno on failure, up to a few times while
// it fails transiently (ESTALE, EAGAIN, EBUSY, ETIMEDOUT, EINTR), asking the test hook before each
// attempt. Its last result, with errno set; a failure is recorded for LastFileFailure.
int RetryFileCall(const char* pszCall, const char* pszPath, const std::function<int()>& fnCall);
// Records errno as the thread's last failure (for calls not made through RetryFileCall).
void NoteFileFailure(int nError);
