// Memory taken from the kernel by whole pages: a page costs nothing until it is written, and
// can be handed back while its owner waits.
#pragma once

#include <cstddef>

// Zero-filled pages of their own for nBytes; null when there is no room.
void* AllocatePages(size_t nBytes);
void FreePages(void* p, size_t nBytes);
// Gives back the whole pages inside the range: they read as zeros afterwards, and cost nothing
// until written again.
void ReleasePages(void* p, size_t nBytes);
// Gives back the calling thread's stack pages below the caller's frame, which deeper calls
// touched before (a large command) and a waiting thread does not need.
void ReleaseUnusedStack();
