#include "serial/comlink.h"

#include "platform/text.h"
#include "serial/comport.h"
#include "serial/filepath.h"
#include "serial/settingsfolder.h"

#include <algorithm>
#include <utility>

namespace serial {

namespace {

LinkResult refused(LinkResult&& result, LinkResult::Outcome outcome, std::string message) {
    result.outcome = outcome;
    result.message = std::move(message);
    return std::move(result);
}

#ifdef _WIN32

// Windows keeps the names COM1 … COM255 for its own ports in every directory: no entry beside
// the program can be one, and comPortDevice never looks for one.
LinkResult placeLink(LinkResult result, bool /*force*/) {
    return refused(std::move(result), LinkResult::Outcome::Failed,
                   text::format("cannot create %1: on Windows COMn always opens the system's "
                                "own port",
                                {filepath::nativeSeparators(result.entry)}));
}

#else

// Points result.entry at result.target: made when the entry is free, replaced in one step when
// `force` allows, so that COMn never goes missing in between.
LinkResult placeLink(LinkResult result, bool force) {
    const bool taken = filepath::occupied(result.entry);
    if (taken && !force)
        return refused(std::move(result), LinkResult::Outcome::EntryExists,
                       text::format("%1 already exists; --force replaces it",
                                    {filepath::nativeSeparators(result.entry)}));
    if (!taken) {
        // The user's folder is made with its first entry.
        const std::string folder =
            filepath::fromNative(filepath::toNative(result.entry).parent_path());
        if (!makeFolder(folder) || !filepath::makeLink(result.target, result.entry))
            return refused(std::move(result), LinkResult::Outcome::Failed,
                           text::format("cannot create %1", {result.entry}));
        result.outcome = LinkResult::Outcome::Done;
        return result;
    }

    const std::string fresh = result.entry + ".new";
    filepath::remove(fresh);
    if (!filepath::makeLink(result.target, fresh))
        return refused(std::move(result), LinkResult::Outcome::Failed,
                       text::format("cannot create %1", {fresh}));
    if (!filepath::rename(fresh, result.entry)) {
        filepath::remove(fresh);
        return refused(std::move(result), LinkResult::Outcome::Failed,
                       text::format("cannot replace %1", {result.entry}));
    }
    result.outcome = LinkResult::Outcome::Done;
    return result;
}

#endif

// Where COMn is made: beside the program, or in the user's folder when the program's cannot be
// written (serial/settingsfolder.h).
std::string entryToMake(const std::string& programDir, int port) {
    return comPortEntryIn(settingsFolder(programDir).writeFolder(), port);
}

} // namespace

std::optional<int> parseComPortName(std::string_view written) {
    std::string_view name = text::trimmed(written);
    if (text::startsWithNoCase(name, "COM"))
        name.remove_prefix(3);
    if (name.empty() || name.size() > 3 || !std::all_of(name.begin(), name.end(), text::isDigit))
        return std::nullopt;
    const std::optional<long long> port = text::wholeNumber(name, 1, 255);
    if (!port)
        return std::nullopt;
    return static_cast<int>(*port);
}

LinkResult linkComPort(const std::string& programDir, int port, const std::string& device,
                       bool force, const std::vector<SerialDevice>& devices,
                       const DeviceTree& tree) {
    LinkResult result;
    result.entry = entryToMake(programDir, port);

    // A bare name such as "ttyUSB0" is a device in the device directory.
    const std::string path =
        device.find('/') != std::string::npos ? device : filepath::join(tree.devDir, device);
    const DeviceLookup found = lookUpDevice(filepath::absolute(path), devices, tree);
    switch (found.state) {
    case DeviceState::Present:
        break;
    case DeviceState::Missing:
    case DeviceState::Absent:
        return refused(std::move(result), LinkResult::Outcome::NoSuchDevice,
                       text::format("no such device: %1", {device}));
    case DeviceState::NoUart:
        return refused(std::move(result), LinkResult::Outcome::NotSerial,
                       text::format("%1 is a serial port with no UART behind it", {found.path}));
    case DeviceState::NotSerial:
        return refused(std::move(result), LinkResult::Outcome::NotSerial,
                       text::format("%1 is not a serial device", {found.path}));
    }
    result.device = found.device;
    result.target = found.device.byId.empty() ? found.path : found.device.byId;

    return placeLink(std::move(result), force);
}

LinkResult linkComPortTo(const std::string& programDir, int port, const std::string& target,
                         bool force) {
    LinkResult result;
    result.entry = entryToMake(programDir, port);
    result.target = target;
    return placeLink(std::move(result), force);
}

LinkResult removeComPortLink(const std::string& programDir, int port) {
    LinkResult result;
    result.entry = comPortEntry(programDir, port);
#ifdef _WIN32
    // Never a link there on Windows (see placeLink); asking about the name would find the port.
    return refused(std::move(result), LinkResult::Outcome::NoEntry,
                   text::format("there is no %1", {result.entry}));
#else
    if (!filepath::occupied(result.entry))
        return refused(std::move(result), LinkResult::Outcome::NoEntry,
                       text::format("there is no %1", {result.entry}));
    if (!filepath::isLink(result.entry))
        return refused(std::move(result), LinkResult::Outcome::NotALink,
                       text::format("%1 is not a link; it is left as it is", {result.entry}));
    result.target = filepath::linkTarget(result.entry);
    if (!filepath::remove(result.entry))
        return refused(std::move(result), LinkResult::Outcome::Failed,
                       text::format("cannot remove %1", {result.entry}));
    result.outcome = LinkResult::Outcome::Done;
    return result;
#endif
}

} // namespace serial
