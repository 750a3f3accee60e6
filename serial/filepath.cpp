#include "serial/filepath.h"

#include "platform/files.h"

namespace fs = std::filesystem;

namespace serial::filepath {

namespace {

// Without a separator at the end, except for the root itself.
std::string withoutTrailingSeparator(std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
    return path;
}

} // namespace

fs::path toNative(const std::string& path) {
    return fs::path(std::u8string(path.begin(), path.end()));
}

std::string fromNative(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string join(const std::string& dir, const std::string& name) {
    if (toNative(name).is_absolute())
        return name;
    std::string base = dir.empty() ? std::string(".") : dir;
    if (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base.back() != '/')
        base += '/';
    return base + name;
}

std::string fileName(const std::string& path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string absolute(const std::string& path) {
    std::error_code error;
    const fs::path whole = fs::absolute(toNative(path), error);
    if (error)
        return path;
    return withoutTrailingSeparator(fromNative(whole.lexically_normal()));
}

std::string canonical(const std::string& path) {
    std::error_code error;
    const fs::path real = fs::canonical(toNative(path), error);
    return error ? std::string() : fromNative(real);
}

bool exists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::status(toNative(path), error));
}

bool occupied(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(toNative(path), error));
}

bool isLink(const std::string& path) {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(toNative(path), error));
}

std::string linkTarget(const std::string& path) {
    std::error_code error;
    const fs::path link = toNative(path);
    const fs::path target = fs::read_symlink(link, error);
    if (error || target.empty())
        return {};
    // A relative target is relative to the directory that holds the link.
    const fs::path whole =
        target.is_absolute() ? target : toNative(absolute(path)).parent_path() / target;
    return withoutTrailingSeparator(fromNative(whole.lexically_normal()));
}

bool makeLink(const std::string& target, const std::string& link) {
    std::error_code error;
    fs::create_symlink(toNative(target), toNative(link), error);
    return !error;
}

bool remove(const std::string& path) {
    std::error_code error;
    return fs::remove(toNative(path), error);
}

bool rename(const std::string& from, const std::string& to) {
    std::error_code error;
    fs::rename(toNative(from), toNative(to), error);
    return !error;
}

std::optional<std::string> read(const std::string& path) {
    // A sysfs attribute or a small settings file: far below this.
    constexpr std::size_t kLimit = 64 * 1024;
    return platform::readFile(path, kLimit);
}

std::string nativeSeparators(std::string path) {
#ifdef _WIN32
    for (char& c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

} // namespace serial::filepath
