// The load balancers whose PROXY protocol headers are believed (ProxyTrusted): single addresses
// and CIDR ranges, IPv4 and IPv6, in the entries of a registry string list. An entry may hold
// several of them apart by blanks or commas, so that one text value serves as well.
#pragma once

#include <cstddef>

// Whether every address or range of the list is well written; false with the first one that
// is not in pszBad.
bool CheckProxyTrusted(const char* pszList, size_t nListSize, char* pszBad, size_t nBadSize);
// Whether the address (numeric text, as accepted connections are named) lies in one of the
// list's addresses or ranges. An IPv4 peer written as an IPv4-mapped IPv6 address matches an
// IPv4 range.
bool IsProxyTrusted(const char* pszList, size_t nListSize, const char* pszAddress);
// The same against Settings.ProxyTrusted.
bool IsTrustedBalancer(const char* pszAddress);
