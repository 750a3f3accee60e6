#include "platform/files.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

std::wstring wide(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length);
    return result;
}

std::string narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length, nullptr, nullptr);
    return result;
}

std::string programDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return narrow(std::filesystem::path(buffer).parent_path().wstring());
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    const char last = dir.back();
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

namespace {

std::FILE* openForReading(const std::string& path) {
    return _wfopen(wide(path).c_str(), L"rb");
}

} // namespace

#else

std::string programDirectory() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return self.parent_path().string();
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

namespace {

std::FILE* openForReading(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

} // namespace

#endif

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    std::FILE* file = openForReading(path);
    if (!file)
        return std::nullopt;
    std::string content(limit, '\0');
    content.resize(std::fread(content.data(), 1, limit, file));
    std::fclose(file);
    return content;
}

} // namespace platform
