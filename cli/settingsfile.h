#pragma once

// A settings file, what 'qf7320 get --json' prints for one sensor, as apply, diff and
// commission --apply read it: the parameters it gives, each checked against the range the
// window's hint gives, and their write to one station with verification.

#include "cli/parameters.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cli {

// One parameter a settings file gives, as the register holds it.
struct Setting {
    const Parameter* parameter;
    std::uint16_t value;
};

// Why a settings file cannot be used; each command words it its own way.
struct SettingsFileProblem {
    enum class Kind {
        Unreadable,     // it cannot be read
        TooLarge,       // larger than any object get --json prints
        SeveralObjects, // an object a line, as get --json prints for several stations
        NotJson,
        NotObject,    // JSON, but no object
        UnknownField, // a field that is neither a parameter nor one get --json adds
        NotNumber,    // a parameter that is no number
        OutsideRange, // a parameter outside its hint's range
        TooWide,      // a parameter that, encoded, does not fit in a register
        NoParameter,  // none of the parameters
    };
    Kind kind = Kind::Unreadable;
    std::string field;                    // UnknownField: its name, as valid UTF-8
    const Parameter* parameter = nullptr; // NotNumber, OutsideRange, TooWide
    std::string shown;                    // NotNumber, OutsideRange, TooWide: the value as JSON
    std::size_t objects = 0;              // SeveralObjects: how many
};

// More than any object get --json prints.
inline constexpr std::size_t kLargestSettingsFile = 64 * 1024;

// The parameters the file at `path` gives, in register order; nothing once `problem` says why.
// The fields get --json adds (time, port, station, status...) are passed over.
std::optional<std::vector<Setting>> readSettingsFile(const std::string& path,
                                                     SettingsFileProblem& problem);

// What became of settings written to one station that held `held` (registers 3-7, as read).
struct SettingsWritten {
    std::vector<std::string> written; // the names written and verified, in order
    // The write that failed or did not verify, and its parameter; none when all went well.
    std::optional<ParameterWrite> failure;
    const Parameter* failed = nullptr;
    std::vector<std::string> notWritten; // after the failed one, the names that differed
    bool ok() const { return !failure; }
};

// Writes each setting that differs from what the station holds and reads it back, stopping at
// the first that fails or does not verify. `step` is told of each setting dealt with before a
// stop, with the write when there was one (none: it held the value already).
using SettingStep =
    std::function<void(const Setting& setting, std::uint16_t old, const ParameterWrite* write)>;
SettingsWritten writeSettings(Engine& engine, int station, std::span<const Setting> settings,
                              const std::vector<std::uint16_t>& held, const SettingStep& step = {});

} // namespace cli
