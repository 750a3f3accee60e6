// The command line of qf7320: finding the command, its options and its help.

#include "cli/command.h"
#include "platform/text.h"

#include <algorithm>

namespace cli {

namespace {

constexpr int kLongestTimeoutMs = 600000;
constexpr int kLongestGapMs = 10000;
constexpr int kNetworkTimeoutMs = 1000; // the default --timeout over a network
constexpr int kMostRetries = 100;
constexpr std::size_t kOptionColumn = 26;
constexpr std::size_t kHelpWidth = 100;

// The words of `text` in lines of at most kHelpWidth characters, every line after the first
// indented by `indent` blanks.
std::string wrapped(std::string_view text, std::size_t indent, std::size_t firstColumn = 0) {
    std::string result;
    std::size_t column = firstColumn;
    for (const std::string& word : text::split(text, ' ', true)) {
        const std::size_t width = text::characters(word);
        if (column > indent && column + 1 + width > kHelpWidth) {
            result += '\n' + std::string(indent, ' ');
            column = indent;
        } else if (column > firstColumn || !result.empty()) {
            result += ' ';
            ++column;
        }
        result += word;
        column += width;
    }
    return result;
}

// `text` padded with blanks to `width` characters.
std::string leftJustified(std::string_view text, std::size_t width) {
    const std::size_t size = text::characters(text);
    std::string result(text);
    if (size < width)
        result.append(width - size, ' ');
    return result;
}

// "read, get and poll": the commands whose -s takes a list.
std::string stationListCommands() {
    std::vector<std::string> names;
    for (const Verb& verb : verbs())
        if (verb.stationList)
            names.emplace_back(verb.name);
    if (names.empty())
        return {};
    const std::string last = names.back();
    names.pop_back();
    return names.empty() ? last : text::join(names, ", ") + " and " + last;
}

} // namespace

std::vector<Option> commonOptions(const Verb* verb, bool helpTexts) {
    // A help text made at run time, only when it is shown.
    const auto made = [helpTexts](auto make) { return helpTexts ? Text(make()) : Text(); };
    const auto timeout = [verb] {
        return verb ? std::to_string(verb->timeoutMs) : std::string("500; scan: 50");
    };
    const auto retries = [verb] {
        return verb ? std::to_string(verb->retries) : std::string("1; scan: 0");
    };
    return {
        {{"p", "port"},
         "a device such as /dev/ttyUSB0, or COMn resolved as the window does "
         "(an entry COMn, looked for where comm.set is, else /dev/ttyS{n-1}); "
         "rtu+tcp://HOST[:PORT] for RTU frames through a transparent serial "
         "device server, tcp://HOST[:PORT] for a Modbus TCP gateway (port 502 "
         "unless given; an IPv6 address in brackets: tcp://[::1]:1502); default: "
         "the port saved in comm.set, beside qf7320 or, when that folder cannot be written, "
         "first in the user's ($XDG_CONFIG_HOME/qf7320, else ~/.config/qf7320; "
         "%APPDATA%\\qf7320 on Windows)",
         "PORT"},
        {{"b", "baud"},
         made([] {
             return text::format(
                 "the line's rate: %1; default: the rate in comm.set, else 9600. For "
                 "rtu+tcp:// the rate of the server's serial line, which times the "
                 "request and the gap (default 9600; it is set on the server); not used "
                 "with tcp://",
                 {baudListText()});
         }),
         "N"},
        {{"s", "station"},
         made([] {
             return text::format("the sensor's station address, 1-247 (default 1); %1 take a "
                                 "list such as 1,3,5-7",
                                 {stationListCommands()});
         }),
         "N"},
        {"timeout", made([&] {
             return text::format("how long the sensor may take to answer once the request is "
                                 "on the line (default %1; %2 over rtu+tcp:// and tcp://)",
                                 {timeout(), kNetworkTimeoutMs});
         }),
         "MS"},
        {"connect-timeout", made([] {
             return text::format("rtu+tcp:// and tcp://: how long the connection may take to "
                                 "be made, name lookup included (default %1)",
                                 {transport::kDefaultConnectTimeoutMs});
         }),
         "MS"},
        {"gap",
         "the silence kept between the end of one transaction (its reply or its "
         "timeout) and the next request (default: 3.5 characters at the rate, at "
         "least 2 ms; 0 on tcp://)",
         "MS"},
        {"retries", made([&] {
             return text::format(
                 "ask again this many times after no reply or a bad reply (default %1)",
                 {retries()});
         }),
         "N"},
        {"json", "one JSON object per result on standard output, also for a failure"},
        {{"v", "trace"}, "every frame on standard error with its time and the reply's latency"},
        {{"h", "help"}, "show this help"},
    };
}

Option versionOption() {
    return {"version", "the program's name and version"};
}

const std::vector<ExitStatus>& exitStatuses() {
    static const std::vector<ExitStatus> statuses{
        {kExitOk, "done"},
        {kExitUsage, "bad usage or a refused value: nothing was sent"},
        {kExitPort, "the port cannot be opened (not found, busy, permission "
                    "denied), or it was lost; the connection cannot be made (host "
                    "not resolved, refused, no answer) or it was dropped; poll "
                    "--mqtt: the broker refused the password, or its certificate "
                    "does not verify"},
        {kExitNoReply, "no reply: timeout after every retry (also an incomplete reply)"},
        {kExitBadReply, "bad reply: wrong CRC, station, function, byte count or echo"},
        {kExitException, "the sensor answered with an exception"},
        {kExitVerify, "verification failed: the value read back differs, or the "
                      "sensor does not answer at its new address"},
        {kExitRefused, "calibrate refused: the light was not steady (a sample failed, or "
                       "the readings spread too wide), or the value it would write is outside "
                       "the parameter's range"},
        {kExitDiffers, "diff: the sensor's parameters differ from the file"},
    };
    return statuses;
}

std::string programSummary() {
    return "Reads, sets and checks a QF7320 illuminance sensor over a serial line "
           "(Modbus RTU), or through a serial device server (rtu+tcp://) or a "
           "Modbus TCP gateway (tcp://): measurements, calibration, the station "
           "address, finding a sensor, logging.";
}

std::string versionText() {
    return "qf7320 " QF7320_VERSION;
}

namespace {

const Verb* findVerb(const std::string& name) {
    for (const Verb& verb : verbs())
        if (verb.name == name)
            return &verb;
    return nullptr;
}

std::string optionLines(const std::vector<Option>& options) {
    std::string text;
    for (const Option& option : options) {
        std::vector<std::string> names;
        for (const std::string_view name : option.names)
            names.push_back(optionWord(name));
        std::string left = "  " + text::join(names, ", ");
        if (!option.valueName.empty())
            left += ' ' + option.valueName.str();
        if (text::characters(left) >= kOptionColumn)
            left += '\n' + std::string(kOptionColumn, ' ');
        else
            left = leftJustified(left, kOptionColumn);
        text += left + wrapped(option.description, kOptionColumn, kOptionColumn) + '\n';
    }
    return text;
}

std::string exitStatusLines() {
    std::string text = "Exit status:\n";
    for (const ExitStatus& status : exitStatuses())
        text += text::format("  %1  ", {status.code}) + wrapped(status.meaning, 5, 5) + '\n';
    text += wrapped("read, get, apply and diff with several stations (-s 1,3,5-7) exit with the "
                    "worst of their statuses, in this order: 6 (apply), 2, 5, 4, 3, 8 (diff), 0.",
                    0) +
            '\n';
    return text;
}

// The options every command takes, with --version after them.
std::vector<Option> commonOptionsAndVersion() {
    std::vector<Option> options = commonOptions(nullptr);
    options.push_back(versionOption());
    return options;
}

std::string overallHelp() {
    std::string text = "usage: qf7320 COMMAND [options]\n"
                       "       qf7320 help COMMAND\n\n" +
                       wrapped(programSummary(), 0) + "\n\nCommands:\n";
    // The summaries in a column of their own, a blank at least after the longest name.
    std::size_t column = 10;
    for (const Verb& verb : verbs())
        column = std::max(column, text::characters(verb.name) + 1);
    for (const Verb& verb : verbs())
        text += "  " + leftJustified(verb.name, column) + std::string(verb.summary) + "\n";
    text += "  " + leftJustified("help", column) +
            "a command's options and an example: qf7320 help COMMAND\n";
    text += "\nOptions of every command:\n" + optionLines(commonOptionsAndVersion());
    text += '\n' + exitStatusLines();
    text += "\nExamples:\n"
            "  qf7320 --port /dev/ttyUSB0 read\n"
            "  qf7320 -p COM3 -b 19200 -s 5 get\n"
            "  qf7320 -p tcp://192.168.1.50 -s 1,2,7 read --json\n"
            "  qf7320 help poll\n";
    return text;
}

std::string verbHelp(const Verb& verb) {
    std::string text = text::format(
        "usage: qf7320 %1%2 [options]\n\n",
        {verb.name, verb.arguments.empty() ? std::string() : ' ' + std::string(verb.arguments)});
    text += wrapped(verb.description, 0) + "\n";
    if (!verb.options.empty())
        text += "\nOptions:\n" + optionLines(verb.options);
    text += "\nOptions of every command:\n" + optionLines(commonOptions(&verb));
    text += '\n';
    text += exitStatusLines();
    text += verb.examples.size() == 1 ? "\nExample:\n" : "\nExamples:\n";
    for (const std::string_view example : verb.examples)
        text += "  " + std::string(example) + '\n';
    return text;
}

// Every option any command knows: with these, an option's value is never taken for the
// command's name, wherever the options stand. A name that several commands share is found as its
// first, the common option's or the first command's.
void addEveryOption(OptionParser& parser) {
    parser.addOptions(commonOptions(nullptr, false));
    parser.addOptions({versionOption()});
    for (const Verb& verb : verbs())
        parser.addOptions(verb.options);
}

std::string commandNames() {
    std::vector<std::string> names;
    for (const Verb& verb : verbs())
        names.emplace_back(verb.name);
    return text::join(names, ", ");
}

// The common options, checked; the reason when one is wrong.
std::optional<Common> commonFrom(const OptionParser& parser, const Verb& verb,
                                 const std::string& programDir, std::string& error) {
    const auto value = [&](const char* name) { return parser.value(name); };
    const auto isSet = [&](const char* name) { return parser.isSet(name); };
    Common common;
    common.programDir = programDir;
    common.json = isSet("json");
    common.trace = isSet("trace");
    for (const char* name :
         {"port", "baud", "station", "timeout", "retries", "connect-timeout", "gap"})
        if (isSet(name) && value(name).empty()) {
            error = text::format("--%1 needs a value", {name});
            return std::nullopt;
        }

    if (verb.usesLine) {
        const LineChoice line = chooseLine(value("port"), value("baud"), programDir);
        if (!line.line) {
            error = line.error;
            return std::nullopt;
        }
        common.line = *line.line;
    }

    if (isSet("station")) {
        const auto stations = parseStationList(value("station"));
        if (!stations) {
            error = verb.stationList
                        ? text::format("--station %1 is not a station address or a list of them "
                                       "such as 1,3,5-7: 1-%2",
                                       {value("station"), kHighestStation})
                        : text::format("--station %1 is not a station address: 1-%2",
                                       {value("station"), kHighestStation});
            return std::nullopt;
        }
        if (stations->size() > 1 && !verb.stationList) {
            error = text::format("%1 talks to one station at a time, not %2: give -s one "
                                 "address (%3 take a list)",
                                 {verb.name, value("station"), stationListCommands()});
            return std::nullopt;
        }
        common.stations = *stations;
    } else {
        common.stations = {1};
    }
    // A reply through a gateway crosses a network and a serial line, and its gateway may wait
    // out a silent sensor before it says so.
    const int defaultTimeout = common.line.isNetwork() ? kNetworkTimeoutMs : verb.timeoutMs;
    const auto timeout = wholeOption(parser, "timeout", 1, kLongestTimeoutMs, defaultTimeout,
                                     "a time in milliseconds", error);
    const auto retries =
        wholeOption(parser, "retries", 0, kMostRetries, verb.retries, "a count", error);
    const auto connectTimeout =
        wholeOption(parser, "connect-timeout", 1, kLongestTimeoutMs,
                    transport::kDefaultConnectTimeoutMs, "a time in milliseconds", error);
    const auto gap =
        wholeOption(parser, "gap", 0, kLongestGapMs, -1, "a time in milliseconds", error);
    if (!timeout || !retries || !connectTimeout || !gap)
        return std::nullopt;
    common.connectTimeoutMs = static_cast<int>(*connectTimeout);
    if (*gap >= 0)
        common.gapMs = static_cast<int>(*gap);
    common.station = common.stations.front();
    common.timeoutMs = static_cast<int>(*timeout);
    common.retries = static_cast<int>(*retries);
    return common;
}

} // namespace

int runCommandLine(const std::vector<std::string>& arguments, const std::string& programDir) {
    Output plain(false, false);

    // Not for users: the build writes the manual page and the bash completion with these.
    if (arguments.size() == 2 && arguments.at(1) == "--man") {
        plain.data(manualPage());
        return kExitOk;
    }
    if (arguments.size() == 2 && arguments.at(1) == "--completion") {
        plain.data(bashCompletion());
        return kExitOk;
    }

    OptionParser scout;
    addEveryOption(scout);
    scout.parse(arguments);
    const std::vector<std::string>& positional = scout.positionalArguments();
    if (positional.empty()) {
        if (scout.isSet("version")) {
            plain.data(versionText());
            return kExitOk;
        }
        if (scout.isSet("help")) {
            plain.data(overallHelp());
            return kExitOk;
        }
        plain.message(text::format("qf7320: no command given: one of %1. See qf7320 --help",
                                   {commandNames()}));
        return kExitUsage;
    }

    if (positional.front() == "help") {
        if (positional.size() < 2) {
            plain.data(overallHelp());
            return kExitOk;
        }
        if (const Verb* verb = findVerb(positional.at(1))) {
            plain.data(verbHelp(*verb));
            return kExitOk;
        }
        plain.message(text::format("qf7320: no help for '%1': the commands are %2",
                                   {positional.at(1), commandNames()}));
        return kExitUsage;
    }

    const Verb* verb = findVerb(positional.front());
    if (!verb) {
        plain.message(text::format("qf7320: unknown command '%1': one of %2. See qf7320 --help",
                                   {positional.front(), commandNames()}));
        return kExitUsage;
    }

    OptionParser parser;
    parser.addOptions(commonOptions(verb, false));
    parser.addOptions(verb->options);
    if (!parser.parse(arguments)) {
        plain.message(
            text::format("qf7320 %1: %2 See qf7320 help %1", {verb->name, parser.errorText()}));
        return kExitUsage;
    }
    if (parser.isSet("help")) {
        plain.data(verbHelp(*verb));
        return kExitOk;
    }

    std::string error;
    const std::optional<Common> common = commonFrom(parser, *verb, programDir, error);
    if (!common) {
        plain.message(text::format("qf7320 %1: %2", {verb->name, error}));
        return kExitUsage;
    }
    Output out(common->json, common->trace);
    Context context(parser, *common, out, std::string(verb->name));
    return verb->run(context);
}

} // namespace cli
