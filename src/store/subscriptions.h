// Names subscribed that have no mailbox directory: a mailbox deleted while subscribed, or a name
// subscribed before it was made. A directory's hidden mark cannot hold these, so a hidden file in
// the mail directory lists them, one name a line.
#pragma once

#include <string>
#include <vector>

// The names, as the client wrote them ("/" between levels, no trailing separator).
void ReadLostSubscriptions(const char* pszMailDir, std::vector<std::string>* pNames);
// Adds the name (bSubscribed) or takes it out; false when the file could not be written.
bool NoteLostSubscription(const char* pszMailDir, const char* pszName, bool bSubscribed);
// For a mailbox made again: takes its name out of the list; true when it was there, so that the
// new mailbox is subscribed as its name was.
bool ClaimLostSubscription(const char* pszMailDir, const char* pszName);
