#pragma once

// What every command of qf7320 shares: the exit statuses, the checked common options, the port,
// and one way to tell a failed transaction. A command is one function over a Context, and one
// entry in the table of verbs (verbs.cpp).

#include "cli/line.h"
#include "cli/output.h"
#include "client/engine.h"

#include "cli/options.h"
#include "client/measurement.h"
#include "platform/json.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cli {

// The highest Modbus station, and the highest address the window lets a sensor be given (what
// address --set and commission keep to unless --force).
constexpr int kHighestStation = 247;
constexpr int kWindowHighestAddress = 35;

// Documented in --help; a production-line script branches on them.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 1,     // bad usage or a refused value: nothing was sent
    kExitPort = 2,      // the port cannot be opened, or was lost
    kExitNoReply = 3,   // no complete reply after every attempt
    kExitBadReply = 4,  // a reply that failed a check
    kExitException = 5, // the sensor answered with an exception
    kExitVerify = 6,    // the read-back differs, or no answer at the new address
    kExitRefused = 7,   // calibrate: the light not steady, or a result out of range
    kExitDiffers = 8,   // diff: a parameter differs from the file
};

// The exit status of a transaction that ended with this status.
int exitStatus(Status status);

// The worse of two exit statuses of results taken together (one per station): a lost port,
// then an exception, a bad reply, no reply, a difference (diff), and last success. A usage error
// or a failed verification, which no such result gives, ranks above them all.
int worseExit(int a, int b);

// The options every command takes, checked.
struct Common {
    Line line;
    int station = 1;           // the first of `stations`
    std::vector<int> stations; // as -s gave them, each once, in the order given
    int timeoutMs = 500;
    int retries = 1;
    int connectTimeoutMs = transport::kDefaultConnectTimeoutMs;
    std::optional<int> gapMs; // nothing: the line's default
    bool json = false;
    bool trace = false;
    std::string programDir; // the directory that holds qf7320: its comm.set and COMn links
};

class Context {
public:
    Context(const OptionParser& parser, const Common& common, Output& out,
            const std::string& command = {});

    const Common& common() const { return common_; }
    Output& out() { return out_; }
    Engine& engine() { return engine_; }

    // The arguments after the command's name, and option values, as typed (negative numbers
    // included).
    std::vector<std::string> arguments() const;
    std::string value(std::string_view option) const;
    bool isSet(std::string_view option) const;

    // The line a port text names (a device, COMn or an endpoint) at the common rate, as --port
    // would choose it; nothing once usage() has said what is wrong with it.
    std::optional<Line> lineFor(const std::string& portText);

    // Says what is wrong with the command line; returns kExitUsage.
    int usage(const std::string& text);

    // For a command that takes options only: kExitOk when no word follows its name, else
    // kExitUsage once usage() has named the words and, when given, what to write instead.
    int noArguments(const std::string& hint = {});

    // wholeOption() for this command's options; when the value is wrong, usage() has said so.
    std::optional<long long> wholeOption(std::string_view option, long long lo, long long hi,
                                         long long fallback, std::string_view meaning);

    // Opens the port at the common rate (or `baud`); kExitOk, or kExitPort once it has said
    // why, naming the device and what to do about it.
    // Why the engine's last open() of `line` failed, in words, with what to do.
    std::string openFailureText(const Line& line) const;

    int openPort(std::optional<int> baud = std::nullopt);

    // The fields a JSON result starts with: time (now, unless given), port, baud and station.
    json::Value record(int station, const std::string& time = {}) const;

    // Tells a transaction that did not succeed: what failed and what to try on standard error,
    // and with --json the object with its status and error. `request` names what was asked
    // ("the read of register 0"); `advice` replaces the usual words on what to try. Returns the
    // exit status.
    int fail(const Result& result, json::Value object, int station, const std::string& request,
             const std::string& advice = {});

    // The words fail() uses, for a caller that tells a failure its own way.
    std::string failureText(const Result& result, int station, const std::string& request) const;

private:
    const OptionParser& parser_;
    Common common_;
    std::string command_;
    Output& out_;
    Engine engine_;
    bool baudNoted_ = false;
};

// A whole number within lo..hi written in decimal digits (an optional minus sign first).
std::optional<long long> wholeNumber(std::string_view text, long long lo, long long hi);

// The whole number an option gives within lo..hi, or `fallback` when the option is not given.
// Nothing when its value is wrong, and `error` says so: "--NAME VALUE is not MEANING: LO-HI".
std::optional<long long> wholeOption(const OptionParser& parser, std::string_view option,
                                     long long lo, long long hi, long long fallback,
                                     std::string_view meaning, std::string& error);

// Stations "1,3,5-7" within 1-247, each once in the order first given; nothing when the text is
// not such a list.
std::optional<std::vector<int>> parseStationList(std::string_view text);

using client::roundedMillis;

// Why a port did not open, in words, with what to do: not found, busy, permission denied (with
// the device's group and the command that adds the user to it), or the port's own reason.
std::string openFailureText(const std::string& device, const std::string& port,
                            platform::SerialPort::OpenError error, const std::string& portText);

// Why a connection to a network endpoint was not made, with what to do: the name cannot be
// resolved, refused, no answer in time, or the network's own reason.
std::string connectFailureText(const Line& line, const transport::OpenFailure& failure,
                               int connectTimeoutMs);

// One command: its name, help, options and the function that runs it.
// One command of the table in verbs.cpp. Its texts are the table's string literals.
struct Verb {
    std::string_view name;
    std::string_view arguments; // after the name in the synopsis: "NAME VALUE"
    std::string_view summary;   // one line in the list of commands
    std::string_view description;
    std::vector<std::string_view> examples;
    std::vector<Option> options;
    int (*run)(Context&) = nullptr;
    int timeoutMs = 500;      // the default --timeout
    int retries = 1;          // the default --retries
    bool usesLine = true;     // false for a command that talks to no sensor: no port is chosen
    bool stationList = false; // -s takes a list of stations, "1,3,5-7", not just one
};

std::span<const Verb> verbs();

// The options every command takes, with the defaults of `verb` (of every command when null),
// and --version, which stands alone. With `helpTexts` false the texts made at run time are left
// empty: reading a command line needs only the names and which options take a value.
std::vector<Option> commonOptions(const Verb* verb, bool helpTexts = true);
Option versionOption();

// "qf7320 0.1": the name and the version the window shows.
std::string versionText();

// What qf7320 is for, in a sentence.
std::string programSummary();

// The exit statuses with what each means, as --help and the manual page list them.
struct ExitStatus {
    int code;
    std::string meaning;
};
const std::vector<ExitStatus>& exitStatuses();

// The manual page qf7320(1) in roff (manpage.cpp), and the bash completion script
// (completion.cpp), written from the table of commands; the build runs qf7320 --man and
// qf7320 --completion.
std::string manualPage();
std::string bashCompletion();

// The calibration parameters by the names get and set take (parameters.cpp).
std::vector<std::string> calibrationParameterNames();

// Runs qf7320 with its arguments (the program's name first); returns the exit status.
int runCommandLine(const std::vector<std::string>& arguments, const std::string& programDir);

} // namespace cli
