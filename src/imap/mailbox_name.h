// Mailbox names as clients write them.
#pragma once

#include <cstddef>

// Quote removal: a text that begins with a double quote starts after it and ends at the next
// one (or at its end); anything else is taken whole. The result is cut to nSize.
void RemoveQuotes(const char* pszText, char* pszName, size_t nSize);
