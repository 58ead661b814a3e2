// Windows-shaped base types the server's records are written in. Kept free of any
// Linux header so that every subsystem may include it.
#pragma once

#include <cstddef>
#include <cstdint>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// 100-nanosecond units since 1 January 1601, UTC.
using FILETIME = uint64_t;
constexpr uint64_t FILETIME_UNITS_PER_SECOND = 10000000ULL;
// 1 January 1970, UTC, where Unix times count from.
constexpr FILETIME FILETIME_UNIX_EPOCH = 11644473600ULL * FILETIME_UNITS_PER_SECOND;

// Windows' MAX_PATH; every path field of the server's records is this wide.
constexpr size_t MAX_PATH = 260;

// Socket addresses sized as Winsock sizes them (16 bytes IPv4, 28 bytes IPv6); their layout is
// the kernel's and only the platform layer reads inside them.
struct alignas(8) SockAddr4 {
    unsigned char bytes[16];
};
struct alignas(8) SockAddr6 {
    unsigned char bytes[28];
};
