#include "serial/settingsfolder.h"

#include "serial/filepath.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include "platform/files.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#else
#include <unistd.h>
#endif

namespace serial {

namespace {

constexpr const char* kFolderName = "qf7320";

} // namespace

std::string SettingsFolder::readFolder(const std::string& name) const {
    if (programWritable || user.empty())
        return program;
    return filepath::occupied(filepath::join(user, name)) ? user : program;
}

std::string SettingsFolder::writeFolder() const {
    return programWritable || user.empty() ? program : user;
}

std::vector<std::string> SettingsFolder::searched() const {
    if (programWritable || user.empty())
        return {program};
    return {user, program};
}

SettingsFolder settingsFolder(const std::string& programDir) {
    SettingsFolder folder;
    folder.program = programDir;
    folder.programWritable = canCreateFileIn(programDir);
    if (!folder.programWritable)
        folder.user = userSettingsDir();
    return folder;
}

std::string settingsReadFolder(const std::string& programDir, const std::string& name) {
    const std::string user = userSettingsDir();
    if (user.empty() || !filepath::occupied(filepath::join(user, name)))
        return programDir;
    return settingsFolder(programDir).readFolder(name);
}

#ifdef _WIN32

std::string userSettingsDir() {
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (!appData || !*appData)
        return {};
    return platform::joinPath(platform::narrow(appData), kFolderName);
}

bool canCreateFileIn(const std::string& dir) {
    // A name of this process's own, tried afresh should another process hold it; the file goes
    // when its handle closes.
    static std::atomic<unsigned> counter{0};
    const std::string base = dir.empty() ? std::string(".") : dir;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name =
            ".qf7320-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
        const HANDLE probe = CreateFileW(
            platform::wide(platform::joinPath(base, name)).c_str(), GENERIC_WRITE, 0, nullptr,
            CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

#else

std::string userSettingsDir() {
    // XDG_CONFIG_HOME counts only as an absolute path; a relative one is ignored, as the other
    // programs of the desktop ignore it.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return filepath::join(config, kFolderName);
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return filepath::join(filepath::join(home, ".config"), kFolderName);
    return {};
}

bool canCreateFileIn(const std::string& dir) {
    std::string name = filepath::join(dir, ".qf7320-XXXXXX");
    const int probe = ::mkstemp(name.data());
    if (probe < 0)
        return false;
    ::close(probe);
    ::unlink(name.c_str());
    return true;
}

#endif

bool makeFolder(const std::string& dir) {
    std::error_code error;
    const std::filesystem::path path = filepath::toNative(dir);
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

} // namespace serial
