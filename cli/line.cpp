#include "cli/line.h"

#include "platform/files.h"
#include "platform/text.h"
#include "serial/comlink.h"
#include "serial/commset.h"
#include "serial/comport.h"
#include "serial/settingsfolder.h"

namespace cli {

namespace {

constexpr int kDefaultBaud = 9600;
constexpr int kHighestPort = 255; // the window's serial component takes ports 1-255
constexpr std::size_t kSettingsReadLimit = 4096;

// comm.set where the window reads it: beside the program, or in the user's folder when the
// program's cannot be written (serial/settingsfolder.h).
std::string settingsPath(const std::string& programDir) {
    return platform::joinPath(serial::settingsReadFolder(programDir, "comm.set"), "comm.set");
}

// What comm.set holds, if it can be read at all.
std::optional<commset::Stored> storedSettings(const std::string& programDir) {
    const std::optional<std::string> content =
        platform::readFile(settingsPath(programDir), kSettingsReadLimit);
    if (!content)
        return std::nullopt;
    return commset::parse(*content);
}

std::string notAStandardRate(const std::string& baudOption) {
    return text::format("--baud %1 is not a standard rate: one of %2",
                        {baudOption, baudListText()});
}

} // namespace

LineChoice chooseLine(const std::string& portOption, const std::string& baudOption,
                      const std::string& programDir) {
    LineChoice choice;
    Line line;

    // A network endpoint: comm.set holds the window's serial port, nothing about a gateway.
    std::string endpointError;
    if (std::optional<Line> network = client::parseNetworkEndpoint(portOption, endpointError)) {
        if (!baudOption.empty()) {
            const auto baud = parseBaud(baudOption);
            if (!baud)
                return {std::nullopt, notAStandardRate(baudOption)};
            network->baud = *baud;
        } else {
            network->baud = kDefaultBaud;
        }
        choice.line = *network;
        return choice;
    }
    if (!endpointError.empty())
        return {std::nullopt, endpointError};

    const bool needStored = portOption.empty() || baudOption.empty();
    // Nothing saved reads as port 0 and rate 0, neither of which is taken.
    const commset::Stored stored =
        needStored ? storedSettings(programDir).value_or(commset::Stored{}) : commset::Stored{};

    if (!portOption.empty()) {
        line.port = portOption;
        // COMn as the window knows it; anything else is a device path.
        if (text::startsWithNoCase(portOption, "COM")) {
            const auto n = serial::parseComPortName(portOption);
            if (!n)
                return {std::nullopt, text::format("--port %1 is not a port: COM1 to COM%2, or a "
                                                   "device path such as /dev/ttyUSB0",
                                                   {portOption, kHighestPort})};
            line.device = serial::comPortDevice(programDir, *n);
        } else {
            line.device = portOption;
        }
    } else if (stored.port >= 1 && stored.port <= kHighestPort) {
        line.port = "COM" + std::to_string(stored.port);
        line.device = serial::comPortDevice(programDir, stored.port);
    } else {
        return {std::nullopt, text::format("no port given and no port saved in %1: give --port, "
                                           "e.g. --port /dev/ttyUSB0 or --port COM1",
                                           {settingsPath(programDir)})};
    }

    if (!baudOption.empty()) {
        const auto baud = parseBaud(baudOption);
        if (!baud)
            return {std::nullopt, notAStandardRate(baudOption)};
        line.baud = *baud;
    } else if (stored.rate != 0) {
        const auto baud = parseBaud(std::to_string(stored.rate));
        if (!baud)
            return {std::nullopt, text::format("comm.set holds the rate %1, which is not a "
                                               "standard rate: give --baud",
                                               {stored.rate})};
        line.baud = *baud;
    } else {
        line.baud = kDefaultBaud;
    }
    choice.line = line;
    return choice;
}

} // namespace cli
