#pragma once

// The page's files, built into the program from logger/http/page/ (see CMakeLists.txt there):
// the server reads no file from disk.

#include <cstddef>
#include <string_view>

namespace logger::http::page {

struct Asset {
    std::string_view path; // as requested: "/", "/app.js"
    std::string_view type; // its Content-Type
    std::string_view body;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;

} // namespace logger::http::page
