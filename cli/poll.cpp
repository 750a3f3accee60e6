// poll: the command's options checked and handed to the logger (logger/poll.h), which does the
// polling; its output goes through the command's Output.

#include "cli/measure.h"
#include "cli/verbs.h"

#include "logger/poll.h"
#include "logger/publish/loader.h"
#include "platform/text.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kLongestPeriodMs = 24LL * 3600 * 1000;
constexpr long long kMostSamples = 1000000000;
constexpr double kLongestDurationSeconds = 366.0 * 24 * 3600;
constexpr long long kMostBuffered = 100000000;

// A number as a person writes one: digits with an optional sign, point and exponent, blanks
// around it allowed; nothing for anything else.
std::optional<double> parseNumber(std::string_view written) {
    written = text::trimmed(written);
    if (written.starts_with('+') && !written.substr(1).starts_with('-'))
        written.remove_prefix(1);
    double value = 0;
    const char* const last = written.data() + written.size();
    const auto [end, error] = std::from_chars(written.data(), last, value);
    if (written.empty() || error != std::errc() || end != last)
        return std::nullopt;
    return value;
}

// The command's Output, and its words for a failed measurement, as the logger's.
class Adapter final : public logger::PollOutput {
public:
    explicit Adapter(Context& context) : context_(context) {}

    void data(const std::string& line) override { context_.out().data(line); }
    void object(const json::Value& object) override { context_.out().object(object); }
    void message(const std::string& text) override { context_.out().message(text); }
    std::string timeNow() const override { return isoTimeNow(); }
    json::Value record(int station, const std::string& time) const override {
        return context_.record(station, time);
    }
    std::string failureText(const Result& result, int station) const override {
        return context_.failureText(result, station, kReadOfRegister0);
    }

private:
    Context& context_;
};

// The first line of a file, without its line end; nothing when it cannot be read, and `error`
// says why.
std::optional<std::string> firstLine(const std::string& path, std::string& error) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error = "file to open is a directory";
        return std::nullopt;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string line;
    int c = 0;
    while ((c = std::fgetc(file)) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n')
            break;
    }
    const bool failed = std::ferror(file);
    const int cause = errno;
    std::fclose(file);
    if (failed) {
        error = std::strerror(cause);
        return std::nullopt;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// The publisher's settings from the --mqtt options; nothing once usage() has said what is wrong.
std::optional<logger::publish::Settings> mqttSettings(Context& context) {
    const auto value = [&](const char* name) { return context.value(name); };
    const auto given = [&](const char* name) { return context.isSet(name); };

    std::string error;
    const auto address = logger::publish::parseBrokerUrl(value("mqtt"), error);
    if (!address) {
        context.usage(error);
        return std::nullopt;
    }
    const auto buffer =
        context.wholeOption("mqtt-buffer", 1, kMostBuffered, 100000, "a count of samples");
    if (!buffer)
        return std::nullopt;
    if (!address->tls && (given("mqtt-ca") || given("mqtt-insecure"))) {
        context.usage("--mqtt-ca and --mqtt-insecure go with an mqtts:// address");
        return std::nullopt;
    }

    logger::publish::Settings settings;
    settings.tls = address->tls;
    settings.host = address->host;
    settings.port = address->port;
    settings.user = address->user;
    settings.prefix = address->prefix; // empty: the logger's default

    // The password never comes from an argument, which every user of the machine can read.
    if (given("mqtt-password-file")) {
        const std::string path = value("mqtt-password-file");
        const auto password = firstLine(path, error);
        if (!password) {
            context.usage(text::format("cannot read the password file %1: %2", {path, error}));
            return std::nullopt;
        }
        settings.password = *password;
    } else if (const char* password = std::getenv(logger::publish::kPasswordVariable)) {
        settings.password = password;
    }
    if (!settings.password.empty() && settings.user.empty()) {
        context.usage("a password needs a user: mqtt://USER@HOST...");
        return std::nullopt;
    }

    if (given("mqtt-ca")) {
        std::error_code failed;
        if (!std::filesystem::exists(value("mqtt-ca"), failed)) {
            context.usage(text::format("--mqtt-ca %1: no such file", {value("mqtt-ca")}));
            return std::nullopt;
        }
        settings.caFile = value("mqtt-ca");
    }
    settings.insecure = given("mqtt-insecure");
    settings.storeDir =
        given("mqtt-store") ? value("mqtt-store") : logger::publish::defaultStoreDir();
    settings.buffer = *buffer;
    settings.homeAssistant = given("ha");
    if (given("ha-prefix")) {
        if (!settings.homeAssistant) {
            context.usage("--ha-prefix goes with --ha");
            return std::nullopt;
        }
        settings.haPrefix = value("ha-prefix");
    }
    return settings;
}

// --http [ADDRESS:]PORT: the address (127.0.0.1 when none is given; an IPv6 one in brackets) and
// the port; nothing when it is not written that way.
std::optional<logger::http::ServerSettings> parseHttp(std::string_view written) {
    logger::http::ServerSettings settings;
    std::string_view port = written;
    if (written.starts_with('[')) {
        const auto end = written.find("]:");
        if (end == std::string_view::npos)
            return std::nullopt;
        settings.address = std::string(written.substr(1, end - 1));
        port = written.substr(end + 2);
    } else if (const auto colon = written.find(':'); colon != std::string_view::npos) {
        settings.address = std::string(written.substr(0, colon));
        port = written.substr(colon + 1);
    }
    if (settings.address.empty() || port.empty() || port.size() > 5)
        return std::nullopt;
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number > 65535)
        return std::nullopt;
    settings.port = static_cast<unsigned short>(number);
    return settings;
}

// The server's settings from --http and --http-token-file; nothing once usage() has said what
// is wrong.
std::optional<logger::http::ServerSettings> httpSettings(Context& context) {
    const std::string written = context.value("http");
    auto settings = parseHttp(written);
    if (!settings) {
        context.usage(text::format("--http %1 is not [ADDRESS:]PORT: a numeric address (an IPv6 "
                                   "one in brackets) and a port 0-65535",
                                   {written}));
        return std::nullopt;
    }
    // The token never comes from an argument, which every user of the machine can read.
    if (context.isSet("http-token-file")) {
        const std::string path = context.value("http-token-file");
        std::string error;
        const auto token = firstLine(path, error);
        if (!token) {
            context.usage(text::format("cannot read the token file %1: %2", {path, error}));
            return std::nullopt;
        }
        if (text::trimmed(*token).empty()) {
            context.usage(text::format("the token file %1 has no token on its first line", {path}));
            return std::nullopt;
        }
        settings->token = std::string(text::trimmed(*token));
    }
    return settings;
}

} // namespace

int pollCommand(Context& context) {
    const auto value = [&](const char* name) { return context.value(name); };
    const auto given = [&](const char* name) { return context.isSet(name); };
    if (const int status = context.noArguments())
        return status;

    logger::PollSettings settings;
    settings.line = context.common().line;
    settings.stations = context.common().stations;
    settings.json = context.out().json();
    const auto period =
        context.wholeOption("period", 0, kLongestPeriodMs, 1000, "a time in milliseconds");
    if (!period)
        return kExitUsage;
    settings.periodMs = *period;
    if (given("samples") && given("duration"))
        return context.usage("give --samples or --duration, not both");
    const auto samples = context.wholeOption("samples", 1, kMostSamples, 0, "a count of samples");
    if (!samples)
        return kExitUsage;
    settings.samples = *samples;
    if (given("duration")) {
        const std::optional<double> seconds = parseNumber(value("duration"));
        if (!seconds || !(*seconds > 0) || *seconds > kLongestDurationSeconds)
            return context.usage(text::format("--duration %1 is not a time in seconds above 0",
                                              {value("duration")}));
        settings.duration =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
    }
    settings.reconnect = !given("no-reconnect");
#ifdef _WIN32
    // Publishing is a plugin on Paho, which the Windows build does not carry.
    if (given("mqtt"))
        return context.usage("poll --mqtt is not part of the Windows build: it has no MQTT "
                             "plugin; log with --csv, or publish from a Linux logger");
#endif
    if (!given("mqtt"))
        for (const char* name : {"mqtt-password-file", "mqtt-ca", "mqtt-insecure", "mqtt-store",
                                 "mqtt-buffer", "ha", "ha-prefix"})
            if (given(name))
                return context.usage(text::format("--%1 goes with --mqtt URL", {name}));

    if (given("http-token-file") && !given("http"))
        return context.usage("--http-token-file goes with --http [ADDRESS:]PORT");
    if (given("http")) {
        settings.http = httpSettings(context);
        if (!settings.http)
            return kExitUsage;
    }

    // The CSV file is opened before the port, so a file that cannot be written sends nothing.
    settings.csvToOutput = given("csv") && value("csv") == "-";
    if (settings.csvToOutput && settings.json)
        return context.usage("--csv - and --json both want standard output: give --csv a file");
    if (given("csv") && !settings.csvToOutput)
        settings.csvPath = value("csv");

    Adapter output(context);
    logger::Poll poll(context.engine(), std::move(settings), output);
    std::string error;
    if (!poll.openLog(error))
        return context.usage(error);

    // The broker is reached before the port is opened, so a refused password sends nothing.
    if (given("mqtt")) {
        std::optional<logger::publish::Settings> mqtt = mqttSettings(context);
        if (!mqtt)
            return kExitUsage;
        switch (poll.startPublisher(std::move(*mqtt), context.common().programDir, error)) {
        case logger::publish::Launch::Started:
            break;
        case logger::publish::Launch::NoPlugin:
            return context.usage(error);
        case logger::publish::Launch::StoreUnusable:
            context.out().message("qf7320: " + error);
            return kExitUsage;
        case logger::publish::Launch::Refused:
            context.out().message("qf7320: " + error);
            return kExitPort;
        }
    }

    // Listening, too, before the port is opened: an address in use sends nothing.
    if (given("http") && !poll.startServer(error))
        return context.usage(text::format("--http %1: %2", {value("http"), error}));

    if (const int status = context.openPort())
        return status;
    const std::optional<Status> ended = poll.run();
    return ended ? exitStatus(*ended) : kExitOk;
}

} // namespace cli
