// File-system stand-in for the Windows calls the store is written against.
#pragma once

#include "platform/types.h"

// File attribute bits, with Windows' values.
constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// One directory entry, as FindFirstFile/FindNextFile return it.
struct FindData {
    uint32_t dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    uint64_t nFileSize;
    char cFileName[MAX_PATH];
};

// Creates one directory level; false when it exists or cannot be made.
bool CreateDirectoryLevel(const char* pszPath);
