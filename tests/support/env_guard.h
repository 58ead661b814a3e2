// Sets (or, given nullptr, clears) one environment variable for a scope and puts the old value back.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

struct EnvGuard {
    EnvGuard(const char* pszName, const char* pszValue) : name(pszName) {
        if (const char* pszOld = getenv(pszName)) saved = pszOld;
        if (pszValue != nullptr) {
            setenv(pszName, pszValue, 1);
        } else {
            unsetenv(pszName);
        }
    }
    ~EnvGuard() {
        if (saved) {
            setenv(name.c_str(), saved->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    std::string name;
    std::optional<std::string> saved;
};
