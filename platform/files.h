#pragma once

// Files and folders as the programs need them, with paths as UTF-8 text on every platform (the
// wide names Windows wants are made here and nowhere else).

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The folder that holds the running program: where comm.set, the COMn links and the MQTT plugin
// live beside it. Empty when the system will not say.
std::string programDirectory();

// `name` inside `dir`, with the platform's separator ('/' on Linux).
std::string joinPath(const std::string& dir, const std::string& name);

// At most `limit` bytes from the start of the file; nothing when it cannot be opened.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

#ifdef _WIN32
std::wstring wide(const std::string& text);
std::string narrow(const std::wstring& text);
#endif

} // namespace platform
