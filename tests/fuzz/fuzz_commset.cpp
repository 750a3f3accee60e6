// The settings file's reader on arbitrary content: it must never fail on a damaged or foreign
// comm.set, and whatever it accepts must survive being written back and read again, because the
// window saves what it read.

#include "serial/commset.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what, std::string_view content) {
    std::fprintf(stderr, "fuzz_commset: %s for content of %zu bytes\n", what, content.size());
    std::abort();
}

bool same(const commset::Stored& a, const commset::Stored& b) {
    return a.port == b.port && a.rate == b.rate;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);

    if (const auto stored = commset::parse(content)) {
        const std::string line = commset::format(stored->port, stored->rate);
        if (line.size() < 5 || line.compare(line.size() - 2, 2, "\r\n") != 0)
            fail("a written line does not end in CR LF", content);
        const auto again = commset::parse(line);
        if (!again)
            fail("a written line is not read back", content);
        if (!same(*again, *stored))
            fail("a written line reads back other values", content);
    }

    // Any pair of 16-bit numbers, taken from the first four bytes, survives the round trip too.
    if (size >= 4) {
        const commset::Stored pair{
            static_cast<std::int16_t>(static_cast<std::uint16_t>(data[0] | data[1] << 8)),
            static_cast<std::int16_t>(static_cast<std::uint16_t>(data[2] | data[3] << 8))};
        const auto back = commset::parse(commset::format(pair.port, pair.rate));
        if (!back || !same(*back, pair))
            fail("a formatted pair does not read back", content);
    }
    return 0;
}
