// What the fuzz targets share: a quiet console, a private scratch directory and a session whose
// answers go to a socket that a helper thread keeps draining.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Session;

// Sends the console trace (standard output) to /dev/null: the server prints every line it
// handles, which would drown the fuzzer's own report.
void QuietConsole();
// A directory of this process under the system's temporary folder, made on first use; ends in "/".
const std::string& ScratchDirectory();
// Writes the bytes to a file (replacing it); false when it cannot.
bool WriteWholeFile(const std::string& path, const uint8_t* pData, size_t nSize);
// A zeroed session whose socket is one end of a pair; everything sent to it is read and dropped.
Session* DrainedSession();
