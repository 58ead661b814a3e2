// A directory stream closed by its holder, on every way out of the function that opened it.
#pragma once

#include <dirent.h>

#include <memory>

struct DirCloser {
    void operator()(DIR* pDir) const { ::closedir(pDir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
