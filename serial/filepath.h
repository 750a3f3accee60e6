#pragma once

// Paths as the serial code's interfaces carry them (UTF-8 in std::string) and as the file system
// takes them (std::filesystem::path), with the few questions the serial code asks about an entry.
// None of them throws: a path that cannot be read answers as if nothing were there.

#include <filesystem>
#include <optional>
#include <string>

namespace serial::filepath {

std::filesystem::path toNative(const std::string& path);
std::string fromNative(const std::filesystem::path& path);

// `name` inside `dir`: "dir/name". An absolute name stands as it is; an empty dir is the current
// one (".").
std::string join(const std::string& dir, const std::string& name);

// The last part of a path: "ttyUSB0" of "/dev/ttyUSB0".
std::string fileName(const std::string& path);

// Absolute, with "." and ".." and doubled separators taken out; links are left as they are.
std::string absolute(const std::string& path);

// The path with every link followed; empty when it leads nowhere.
std::string canonical(const std::string& path);

// Whether the path leads to something, following links.
bool exists(const std::string& path);
// Whether anything occupies the path itself, even a link whose target has gone.
bool occupied(const std::string& path);
bool isLink(const std::string& path);

// Where a link points, made absolute against the link's own directory and with "." and ".."
// taken out; empty when the path is not a link.
std::string linkTarget(const std::string& path);

// Makes `link` a symbolic link holding `target` as it is written.
bool makeLink(const std::string& target, const std::string& link);
// Removes a file or a link (not what it points to).
bool remove(const std::string& path);
// Puts `from` in the place of `to` in one step, replacing what was there.
bool rename(const std::string& from, const std::string& to);

// The whole content of a small file (a sysfs attribute); nothing when it cannot be read.
std::optional<std::string> read(const std::string& path);

// A path as the system's own programs write it: with backslashes on Windows, as it is elsewhere.
std::string nativeSeparators(std::string path);

} // namespace serial::filepath
