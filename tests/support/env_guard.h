// Sets (or, given nullptr, clears) one environment variable for a scope and puts the old value back.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

struct EnvGuard {
    EnvGuard(const char* pszName, const char* pszValue) : name(pszName) {
        if (const char* pszOld = getenv(pszName)) saved = pszOld;
        Set(pszValue);
    }
    ~EnvGuard() { Set(saved ? saved->c_str() : nullptr); }
    EnvGuard(const EnvGuard&) = delete;
    void Set(const char* pszValue) { pszValue ? setenv(name.c_str(), pszValue, 1) : unsetenv(name.c_str()); }

    std::string name;
    std::optional<std::string> saved;
};
