// Read-only registry, kept in a text file in the format regedit exports. Loaded once at start;
// afterwards only read, so every thread may query it without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Value kinds, with Windows' numbers.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;

// Windows' result codes of the registry calls.
constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_MORE_DATA = 234;
constexpr long ERROR_NO_MORE_ITEMS = 259;

// The file named by VEVE4D_REGISTRY, else /etc/veve4d/registry.reg. A missing file is an
// empty registry.
const char* RegistryFilePath();
// Replaces the registry with the content of a file (missing file: empty registry).
void LoadRegistryFile(const char* pszPath);
// Replaces the registry with text in the same format (tests).
void LoadRegistryText(const char* pszText, size_t nLength, const char* pszOrigin);

bool RegKeyExists(const char* pszKey);
// Reads a value as RegQueryValueEx does: strings come with their terminating NUL (multi-strings
// with the empty string that ends them). On ERROR_MORE_DATA *pcbData holds the size needed.
// The unnamed default value has the name "".
long RegQueryValue(const char* pszKey, const char* pszValue, uint32_t* pType, void* pData, uint32_t* pcbData);
// Enumerates a key's values in file order, as RegEnumValue does.
long RegEnumValue(const char* pszKey, uint32_t dwIndex, char* pszName, uint32_t cchName, uint32_t* pType,
                  void* pData, uint32_t* pcbData);

// What one line of the loaded file gave, in file order: a key, a value (set or deleted), or a
// line the parser skipped. For a configuration check that names file lines.
enum RegLineKind { REG_LINE_KEY, REG_LINE_VALUE, REG_LINE_DELETE, REG_LINE_SKIPPED };
struct RegFileLine {
    size_t nLine;
    RegLineKind kind;
    std::string key;    // the key as written between the brackets ("-" of a deletion and hive included); a
                        // skipped line's text
    std::string value;  // a value's name ("" for the default value "@")
    uint32_t type;      // a value's kind
    bool bHklm;         // whether the key is one the registry keeps
};
const std::vector<RegFileLine>& RegFileLines();
