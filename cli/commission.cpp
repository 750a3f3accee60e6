// commission: a box of sensors, all at the factory address, given their addresses one after the
// other on the bench, as a production line does it: wait for a sensor, move it, optionally give it
// a settings file, log it, ring, wait for it to be taken off, and so on with the next address.

#include "cli/parameters.h"
#include "cli/settingsfile.h"
#include "cli/verbs.h"

#include "logger/stopsignal.h"
#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kFactoryAddress = 1;
// How often the line is asked while nothing changes on it: a sensor connected is seen within
// this and one timeout.
constexpr milliseconds kProbeInterval{250};
// A lost port is opened again after this, then twice as long each time up to kLongestReopen:
// a bench adapter is plugged back in by hand, seconds later.
constexpr milliseconds kFirstReopen{500};
constexpr milliseconds kLongestReopen{4000};
// A step's status when the port went away under it: no exit status, the step is taken again.
constexpr int kPortGone = -1;

protocol::Frame parametersRequest(int station) {
    return parameterReadRequest(station, protocol::kParameterFirstRegister,
                                protocol::kParameterRows);
}

// A gateway's own exceptions: it answers for a sensor it could not reach.
bool isGatewayException(const Result& result) {
    return result.status == Status::Exception &&
           (result.exceptionCode == 0x0A || result.exceptionCode == 0x0B);
}

// What a station's answer says about the line there.
enum class Presence {
    None,     // nothing answers
    One,      // a sensor answers
    Several,  // answers collide: more than one sensor
    PortLost, // the port went away under the question
};

Presence presenceOf(const Result& result) {
    switch (result.status) {
    case Status::Ok:
        return Presence::One;
    case Status::Exception:
        return isGatewayException(result) ? Presence::None : Presence::One;
    case Status::BadReply:
        return Presence::Several;
    case Status::Timeout:
        // Answers that collide arrive damaged, or stop short of a whole one.
        return result.reply.empty() ? Presence::None : Presence::Several;
    case Status::PortLost:
        return Presence::PortLost;
    }
    return Presence::None;
}

// Why --apply's file cannot be used, as commission says it.
std::string settingsFileError(const SettingsFileProblem& problem) {
    using Kind = SettingsFileProblem::Kind;
    switch (problem.kind) {
    case Kind::Unreadable:
        return "cannot read it: check its name and that you may read it";
    case Kind::TooLarge:
    case Kind::SeveralObjects:
    case Kind::NotJson:
    case Kind::NotObject:
        return "it is not one JSON object such as 'qf7320 get --json' prints";
    case Kind::UnknownField:
        return text::format("it has a field '%1', which is no parameter: the parameters are %2",
                            {problem.field, parameterNames()});
    case Kind::NotNumber:
    case Kind::OutsideRange:
    case Kind::TooWide:
        return text::format("its %1 is %2, not a number within %3 to %4",
                            {problem.parameter->name, problem.shown,
                             numberText(problem.parameter->low),
                             numberText(problem.parameter->high)});
    case Kind::NoParameter:
        break;
    }
    return text::format("it gives none of the parameters %1", {parameterNames()});
}

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

struct Plan {
    int from = kFactoryAddress;
    int next = 0;
    int last = 0;
    std::vector<Setting> settings; // --apply: empty when not given
    std::string settingsPath;
    std::string logPath;
};

class Commissioning {
public:
    Commissioning(Context& context, Plan plan, std::FILE* log)
        : context_(context), out_(context.out()), engine_(context.engine()), plan_(std::move(plan)),
          log_(log), next_(plan_.next) {}

    int run() {
        out_.message(
            text::format("qf7320: commissioning addresses %1-%2 on %3: connect the first "
                         "sensor (at %4); Ctrl-C ends",
                         {plan_.next, plan_.last, context_.common().line.port, plan_.from}));
        while (!stop_.requested()) {
            const std::optional<bool> found = awaitSensor();
            if (!found)
                break;
            const Outcome outcome = commissionOne(*found);
            if (outcome == Outcome::Interrupted)
                continue; // the port went away: look again once it is back
            if (stop_.requested() || (outcome == Outcome::Done && next_ > plan_.last))
                break;
            awaitRemoval();
        }
        return summary();
    }

private:
    // Asks the line once (no retries while waiting, where the next look comes soon anyway), or
    // with the user's retries for a step that changes the sensor. A port that goes away is said
    // and opened again until it is back or a stop is asked for; the result then says PortLost.
    Result ask(const protocol::Frame& request, protocol::ReplyKind kind, bool once) {
        engine_.setRetries(once ? 0 : context_.common().retries);
        const Result result = engine_.transact(request, kind);
        engine_.setRetries(context_.common().retries);
        if (result.status == Status::PortLost)
            reconnect(result);
        return result;
    }

    void reconnect(const Result& lost) {
        ++losses_;
        out_.message(text::format("qf7320: %1; waiting for it to come back",
                                  {context_.failureText(lost, plan_.from, "a question")}));
        said_.clear();
        const Clock::time_point since = Clock::now();
        milliseconds wait = kFirstReopen;
        while (!stop_.wait(wait)) {
            if (engine_.open()) {
                const double seconds = std::chrono::duration<double>(Clock::now() - since).count();
                out_.message(
                    text::format("qf7320: the port %1 is back after %2 s; "
                                 "commissioning goes on",
                                 {context_.common().line.port, text::number(seconds, 'f', 1)}));
                return;
            }
            wait = std::min(wait * 2, kLongestReopen);
        }
    }

    Presence presenceAt(int station) {
        return presenceOf(
            ask(client::measurementRequest(station), protocol::ReplyKind::Registers, true));
    }

    // Says what the line shows, once while it stays so.
    void say(const std::string& text) {
        if (text == said_)
            return;
        said_ = text;
        out_.message("qf7320: " + text);
    }

    // Waits for one sensor alone at --from with its new address free. True: found; false: the
    // sensor being commissioned when the port went away has already been moved, and answers at
    // its new address; nothing: a stop was asked for.
    std::optional<bool> awaitSensor() {
        for (bool first = true; !stop_.requested(); first = false) {
            if (!first && stop_.wait(kProbeInterval))
                break;
            const Presence atFrom = presenceAt(plan_.from);
            if (atFrom == Presence::PortLost)
                continue;
            if (atFrom == Presence::None) {
                if (interrupted_ && presenceAt(next_) == Presence::One) {
                    interrupted_ = false;
                    return false;
                }
                said_.clear();
                continue;
            }
            if (atFrom == Presence::Several) {
                say(text::format("several sensors answer at %1 at once: connect one sensor at a "
                                 "time; nothing was written",
                                 {plan_.from}));
                continue;
            }

            // A sensor at --from: never onto an address that answers already.
            const Presence atNext = presenceAt(next_);
            if (atNext == Presence::PortLost)
                continue;
            if (atNext != Presence::None) {
                say(text::format("station %1 already answers on the line: the sensor at %2 is "
                                 "not moved onto it. Take the sensor at %1 off the line; waiting",
                                 {next_, plan_.from}));
                continue;
            }
            // Every sensor answers the address query: two connected at once collide there, even
            // when only one of them is at --from.
            const Result query = ask(protocol::sealed(protocol::addressQueryRequest()),
                                     protocol::ReplyKind::Address, true);
            if (query.status == Status::PortLost)
                continue;
            const std::optional<std::uint8_t> address =
                query.status == Status::Ok
                    ? protocol::decodeAddress(query.reply.data(), query.reply.size())
                    : std::nullopt;
            if (presenceOf(query) == Presence::Several ||
                (address && int(*address) != plan_.from)) {
                say(text::format("the address query's answers collide: more than one sensor is "
                                 "on the line. Connect one sensor at a time; nothing was written",
                                 {}));
                continue;
            }
            interrupted_ = false;
            said_.clear();
            return true;
        }
        return std::nullopt;
    }

    enum class Outcome { Done, Failed, Interrupted };

    // Moves the sensor at --from to the next address (unless `found` is false: it is there
    // already), gives it the settings, reads its parameters, prints and logs it. Failed once
    // said; Interrupted when the port went away meanwhile.
    Outcome commissionOne(bool found) {
        const int target = next_;
        // Until the sensor is logged, a lost port leaves it at either address.
        interrupted_ = true;
        if (found) {
            const int status = moveTo(target);
            if (status == kPortGone)
                return Outcome::Interrupted;
            // Where the sensor may be now, answering or not.
            if (status != kExitOk)
                return failed(status, {plan_.from, target});
        }
        if (!plan_.settings.empty()) {
            const int status = applySettings(target);
            if (status == kPortGone)
                return Outcome::Interrupted;
            if (status != kExitOk)
                return failed(status, {target});
        }
        const Result parameters =
            ask(parametersRequest(target), protocol::ReplyKind::Registers, false);
        if (parameters.status == Status::PortLost)
            return Outcome::Interrupted;
        interrupted_ = false;
        if (parameters.status != Status::Ok)
            return failed(refuse(parameters, context_.failureText(
                                                 parameters, target,
                                                 "the read of its parameters (registers 3-7)")),
                          {target});
        report(target, parameters.registers);
        ++next_;
        takenOffFrom_ = {target};
        return Outcome::Done;
    }

    // The address change as 'address --set' makes it: written at --from, then the sensor's
    // answer at its new address is what counts. kExitOk, a status once said, or kPortGone when the
    // port went away meanwhile.
    int moveTo(int target) {
        const Result change =
            ask(protocol::sealed(protocol::addressChangeRequest(
                    static_cast<std::uint8_t>(plan_.from), static_cast<std::uint8_t>(target))),
                protocol::ReplyKind::WriteEcho, false);
        if (change.status == Status::PortLost)
            return kPortGone;
        const std::string changeRequest = text::format("the change of its address to %1", {target});
        if (change.status == Status::Exception)
            return refuse(change, context_.failureText(change, plan_.from, changeRequest));
        const Result confirm =
            ask(client::measurementRequest(target), protocol::ReplyKind::Registers, false);
        if (confirm.status == Status::PortLost)
            return kPortGone;
        if (confirm.status != Status::Ok)
            return refuse(
                confirm,
                text::format("verification failed: %1, and %2",
                             {change.status == Status::Ok
                                  ? text::format("station %1 acknowledged the change to %2",
                                                 {plan_.from, target})
                                  : context_.failureText(change, plan_.from, changeRequest),
                              context_.failureText(confirm, target, "a read at its new address")}),
                kExitVerify);
        return kExitOk;
    }

    // Writes each parameter of the settings file that differs from what the sensor holds, and
    // reads it back. kExitOk, a status once said, or kPortGone when the port went away meanwhile.
    int applySettings(int station) {
        const Result held = ask(parametersRequest(station), protocol::ReplyKind::Registers, false);
        if (held.status == Status::PortLost)
            return kPortGone;
        if (held.status != Status::Ok)
            return refuse(held, context_.failureText(held, station,
                                                     "the read of its parameters (registers 3-7)"));
        const SettingsWritten outcome =
            writeSettings(engine_, station, plan_.settings, held.registers);
        if (outcome.ok())
            return kExitOk;
        const ParameterWrite& write = *outcome.failure;
        if (write.result.status == Status::PortLost) {
            reconnect(write.result);
            return kPortGone;
        }
        const std::string already =
            outcome.written.empty()
                ? std::string("nothing written before it")
                : "already written and verified: " + text::join(outcome.written, ", ");
        if (write.result.status != Status::Ok)
            return refuse(write.result,
                          text::format("%1 (%2)", {context_.failureText(write.result, station,
                                                                        write.failedRequest),
                                                   already}));
        return refuse(
            write.result,
            text::format("%1 (%2)",
                         {verificationFailureText(station, *outcome.failed, write), already}),
            kExitVerify);
    }

    // One line a sensor on standard output (or its JSON object), one JSON object a line in the
    // log, the bell, and what to do next.
    void report(int address, const std::vector<std::uint16_t>& registers) {
        const std::string time = isoTimeNow();
        json::Value entry = json::Value::object();
        entry["time"] = time;
        entry["port"] = context_.common().line.port;
        entry["address"] = address;
        std::vector<std::string> shown;
        for (const Parameter& parameter : calibrationParameters()) {
            const std::uint16_t value = registers.at(static_cast<std::size_t>(parameter.row));
            entry[parameter.name] = valueJson(parameter, value);
            shown.push_back(text::format("%1 %2", {parameter.name, valueText(parameter, value)}));
        }
        if (out_.json()) {
            json::Value object = context_.record(address, time);
            object.update(entry);
            object["status"] = statusName(Status::Ok);
            out_.object(object);
        } else {
            out_.data(text::format("%1  address %2  %3", {time, address, text::join(shown, ", ")}));
        }
        if (log_) {
            const std::string line = json::dump(entry) + "\n";
            if (std::fwrite(line.data(), 1, line.size(), log_) != line.size() ||
                std::fflush(log_) != 0) {
                if (!logFailed_)
                    out_.message(text::format("qf7320: cannot write to %1 (%2): the sensor at %3 "
                                              "is not in it",
                                              {plan_.logPath, std::strerror(errno), address}));
                logFailed_ = true;
            }
        }
        addresses_.push_back(address);
        ring();
        if (next_ >= plan_.last)
            out_.message(text::format("qf7320: sensor %1 is at %2: that was the last address",
                                      {addresses_.size(), address}));
        else
            out_.message(text::format("qf7320: sensor %1 is at %2: take it off the line and "
                                      "connect the next sensor (it becomes %3)",
                                      {addresses_.size(), address, next_ + 1}));
    }

    // Says why the sensor at hand cannot be commissioned, and keeps it for its JSON object; the
    // exit status of the transaction, or `exit`.
    int refuse(const Result& result, const std::string& error, int exit = -1) {
        failure_ = {result.status, error};
        out_.message("qf7320: " + error);
        return exit == -1 ? exitStatus(result.status) : exit;
    }

    // A sensor that could not be commissioned keeps no address of this run: the next one gets
    // the same. `where`: the addresses it may answer at until it is taken off.
    Outcome failed(int status, std::vector<int> where) {
        const int target = next_;
        takenOffFrom_ = std::move(where);
        ++failures_;
        exit_ = worseExit(exit_, status);
        interrupted_ = false;
        if (out_.json()) {
            json::Value object = context_.record(plan_.from);
            object["address"] = target;
            if (status == kExitVerify)
                object["verified"] = false;
            object["status"] = statusName(failure_.status);
            object["error"] = failure_.error;
            out_.object(object);
        }
        ring();
        out_.message(text::format("qf7320: the sensor at %1 was not commissioned: take it off "
                                  "the line, set it aside and connect the next sensor (it "
                                  "becomes %2)",
                                  {plan_.from, target}));
        return Outcome::Failed;
    }

    // The terminal bell, on standard error and only when that is a terminal: a log or a pipe
    // gets no control character.
    void ring() {
        if (!stderrIsTerminal())
            return;
        std::fputc('\a', stderr);
        std::fflush(stderr);
    }

    // Waits until the sensor just commissioned, or the one that failed, stops answering at every
    // address it may have (taken off the line).
    void awaitRemoval() {
        while (!stop_.wait(kProbeInterval)) {
            bool gone = true;
            for (const int address : takenOffFrom_) {
                const Presence there = presenceAt(address);
                gone = gone && there == Presence::None;
                if (!gone)
                    break;
            }
            if (gone)
                return;
        }
    }

    int summary() {
        std::vector<std::string> list;
        for (const int address : addresses_)
            list.push_back(std::to_string(address));
        std::string text =
            addresses_.empty()
                ? std::string("no sensor commissioned")
                : text::format("%1 %2 commissioned: %3 %4",
                               {addresses_.size(), addresses_.size() == 1 ? "sensor" : "sensors",
                                addresses_.size() == 1 ? "address" : "addresses",
                                text::join(list, ", ")});
        if (failures_)
            text += text::format("; %1 not commissioned", {failures_});
        if (losses_)
            text += text::format("; port lost %1 %2", {losses_, losses_ == 1 ? "time" : "times"});
        out_.message("qf7320: " + text);
        return exit_;
    }

    Context& context_;
    Output& out_;
    Engine& engine_;
    const Plan plan_;
    std::FILE* log_;
    logger::StopSignal stop_;
    int next_;
    std::string said_; // what was said last about the line, not said again while it stays so
    // The port went away while a sensor was being moved or set: once it is back, that sensor
    // may already answer at its new address.
    bool interrupted_ = false;
    // Why the last sensor that failed did: its transaction's status and the words said.
    struct Failure {
        Status status = Status::Ok;
        std::string error;
    } failure_;
    std::vector<int> takenOffFrom_; // where the last sensor may answer until it is taken off
    std::vector<int> addresses_;
    int failures_ = 0;
    int losses_ = 0;
    int exit_ = kExitOk;
    bool logFailed_ = false;
};

} // namespace

int commissionCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    if (context.isSet("station"))
        return context.usage("commission finds each sensor at --from S (default 1), not -s");
    if (!context.isSet("next"))
        return context.usage("commission needs --next N: the address the first sensor gets");
    const bool force = context.isSet("force");
    const int highest = force ? kHighestStation : kWindowHighestAddress;
    const std::string range = force ? "1-247"
                                    : "1-35, the addresses the window allows (--force "
                                      "allows 1-247)";

    Plan plan;
    const auto address = [&](const char* option, long long fallback) -> std::optional<int> {
        if (!context.isSet(option))
            return static_cast<int>(fallback);
        const auto value = wholeNumber(context.value(option), 1, highest);
        if (!value) {
            context.usage(
                text::format("--%1 %2 is outside %3", {option, context.value(option), range}));
            return std::nullopt;
        }
        return static_cast<int>(*value);
    };
    const auto next = address("next", 0);
    if (!next)
        return kExitUsage;
    const auto last = address("last", highest);
    if (!last)
        return kExitUsage;
    const auto from =
        context.wholeOption("from", 1, kHighestStation, kFactoryAddress, "a station address");
    if (!from)
        return kExitUsage;
    plan.next = *next;
    plan.last = *last;
    plan.from = static_cast<int>(*from);
    if (plan.last < plan.next)
        return context.usage(text::format("--last %1 is below --next %2", {plan.last, plan.next}));
    if (plan.from >= plan.next && plan.from <= plan.last)
        return context.usage(text::format("the addresses %1-%2 include %3, where new sensors "
                                          "answer (--from): give addresses beyond it",
                                          {plan.next, plan.last, plan.from}));

    if (context.isSet("apply")) {
        plan.settingsPath = context.value("apply");
        SettingsFileProblem problem;
        std::optional<std::vector<Setting>> settings = readSettingsFile(plan.settingsPath, problem);
        if (!settings)
            return context.usage(text::format("--apply %1: %2; nothing was sent",
                                              {plan.settingsPath, settingsFileError(problem)}));
        plan.settings = std::move(*settings);
    }

    std::FILE* log = nullptr;
    if (context.isSet("log")) {
        plan.logPath = context.value("log");
        log = std::fopen(plan.logPath.c_str(), "ab");
        if (!log)
            return context.usage(text::format("cannot open the log %1: %2; nothing was sent",
                                              {plan.logPath, std::strerror(errno)}));
    }
    int status = context.openPort();
    if (status == kExitOk)
        status = Commissioning(context, std::move(plan), log).run();
    if (log)
        std::fclose(log);
    return status;
}

} // namespace cli
