// apply and diff: the calibration parameters a file gives (what get --json prints), written to
// one sensor or several with verification, or compared with what they hold.

#include "cli/parameters.h"
#include "cli/settingsfile.h"
#include "cli/verbs.h"

#include "platform/text.h"

#include <string>
#include <vector>

namespace cli {

namespace {

// The parameters FILE gives, in register order; nothing once usage() has said what is wrong.
std::optional<std::vector<Setting>> wantedFrom(Context& context, const std::string& path,
                                               const std::string& verb) {
    using Kind = SettingsFileProblem::Kind;
    SettingsFileProblem problem;
    std::optional<std::vector<Setting>> wanted = readSettingsFile(path, problem);
    if (wanted)
        return wanted;
    const std::string notSuch =
        text::format("%1 is not what 'qf7320 get --json' prints (one JSON object with scale, "
                     "offset, da4, da20 or range)",
                     {path});
    const char* name = problem.parameter ? problem.parameter->name : "";
    std::string said;
    switch (problem.kind) {
    case Kind::Unreadable:
        said = text::format("cannot read %1: check its name and that you may read it; nothing "
                            "was sent",
                            {path});
        break;
    case Kind::TooLarge:
        said = text::format("%1: it is larger than %2 KiB; nothing was sent",
                            {notSuch, kLargestSettingsFile / 1024});
        break;
    case Kind::SeveralObjects:
        said = text::format("%1: it holds %2 objects, one a line; give the settings of one "
                            "sensor, as 'qf7320 -s N get --json' prints them; nothing was sent",
                            {notSuch, problem.objects});
        break;
    case Kind::NotJson:
        said = notSuch + ": it is not JSON; nothing was sent";
        break;
    case Kind::NotObject:
        said = notSuch + ": it is JSON, but no object; nothing was sent";
        break;
    case Kind::UnknownField:
        said = text::format("%1 has a field '%2', which is no parameter: the parameters are %3; "
                            "nothing was sent",
                            {path, problem.field, parameterNames()});
        break;
    case Kind::NotNumber:
        said = text::format("%1 in %2 is %3, not a number; nothing was sent",
                            {name, path, problem.shown});
        break;
    case Kind::OutsideRange:
        said = text::format("%1 %2 in %3 is outside %4 to %5, the range the window gives for it; "
                            "nothing was sent",
                            {name, problem.shown, path, numberText(problem.parameter->low),
                             numberText(problem.parameter->high)});
        break;
    case Kind::TooWide:
        said = text::format("%1 %2 in %3 cannot be sent: encoded as the window encodes it, it "
                            "does not fit in a 16-bit register; nothing was sent",
                            {name, problem.shown, path});
        break;
    case Kind::NoParameter:
        said = text::format("%1 gives none of the parameters (%2): nothing to %3",
                            {path, parameterNames(), verb == "apply" ? "apply" : "compare"});
        break;
    }
    context.usage(said);
    return std::nullopt;
}

// "scale 1.0800 -> 1.0000", or "offset 0 unchanged".
std::string changeText(const Parameter& parameter, std::uint16_t old, std::uint16_t wanted) {
    if (old == wanted)
        return text::format("%1 %2 unchanged", {parameter.name, valueText(parameter, old)});
    return text::format("%1 %2 -> %3",
                        {parameter.name, valueText(parameter, old), valueText(parameter, wanted)});
}

// apply (write) or diff (compare only), one result per station.
int applyOrDiff(Context& context, bool write) {
    const std::vector<std::string> arguments = context.arguments();
    const std::string verb = write ? "apply" : "diff";
    if (arguments.size() != 1)
        return context.usage(text::format("%1 needs one FILE, what 'qf7320 get --json' prints, "
                                          "e.g. qf7320 get --json > settings.json",
                                          {verb}));
    const std::optional<std::vector<Setting>> wanted = wantedFrom(context, arguments[0], verb);
    if (!wanted)
        return kExitUsage;
    if (const int status = context.openPort())
        return status;

    const std::vector<int>& stations = context.common().stations;
    const bool several = stations.size() > 1;
    int exit = kExitOk;
    for (const int station : stations) {
        const auto show = [&](const std::string& line) {
            if (!context.out().json())
                context.out().data(several ? text::format("station %1: %2", {station, line})
                                           : line);
        };
        json::Value object = context.record(station);
        const Result present = context.engine().transact(
            parameterReadRequest(station, protocol::kParameterFirstRegister,
                                 protocol::kParameterRows),
            protocol::ReplyKind::Registers);
        if (present.status != Status::Ok) {
            exit = worseExit(exit, context.fail(present, object, station,
                                                "the read of the parameters (registers 3-7)"));
            // Nothing more can be asked over a port or a connection that is gone.
            if (present.status == Status::PortLost)
                break;
            continue;
        }

        // Each parameter in the station's object: what it held and what the file gives.
        const auto note = [&object](const Parameter& parameter, std::uint16_t old,
                                    std::uint16_t value) {
            json::Value field = json::Value::object();
            field["old"] = valueJson(parameter, old);
            field["new"] = valueJson(parameter, value);
            field["changed"] = old != value;
            object[parameter.name] = field;
        };
        std::vector<std::string> written;
        bool differs = false;
        int stationExit = kExitOk;
        if (!write) {
            for (const Setting& setting : *wanted) {
                const Parameter& parameter = *setting.parameter;
                const std::uint16_t old =
                    present.registers.at(static_cast<std::size_t>(parameter.row));
                note(parameter, old, setting.value);
                differs = differs || old != setting.value;
                show(changeText(parameter, old, setting.value) +
                     (old == setting.value ? "" : " (differs)"));
            }
        } else {
            const SettingsWritten outcome = writeSettings(
                context.engine(), station, *wanted, present.registers,
                [&](const Setting& setting, std::uint16_t old, const ParameterWrite* result) {
                    const Parameter& parameter = *setting.parameter;
                    note(parameter, old, setting.value);
                    if (!result) {
                        show(changeText(parameter, old, setting.value));
                        return;
                    }
                    object[parameter.name]["verified"] = true;
                    show(changeText(parameter, old, setting.value) + " (verified)");
                });
            written = outcome.written;
            if (!outcome.ok()) {
                const Parameter& parameter = *outcome.failed;
                const ParameterWrite& result = *outcome.failure;
                note(parameter, present.registers.at(static_cast<std::size_t>(parameter.row)),
                     result.value);
                // What became of the parameters after this one, and of those before it.
                const std::string stopped = text::format(
                    "Station %1 stopped there: %2%3",
                    {station,
                     written.empty() ? std::string("no other parameter written")
                                     : "already written and verified: " + text::join(written, ", "),
                     outcome.notWritten.empty()
                         ? std::string()
                         : "; not written: " + text::join(outcome.notWritten, ", ")});
                object["written"] = written;
                if (result.result.status != Status::Ok) {
                    // The parameter itself was written when only its read-back failed.
                    if (result.acknowledged)
                        object["written"].push_back(parameter.name);
                    stationExit =
                        context.fail(result.result, object, station, result.failedRequest);
                    context.out().message(text::format(
                        "qf7320: %1%2",
                        {stopped, result.acknowledged ? text::format(" (%1 written, not read back)",
                                                                     {parameter.name})
                                                      : std::string()}));
                } else {
                    object[parameter.name]["verified"] = false;
                    object[parameter.name]["held"] = valueJson(parameter, *result.held);
                    const std::string failure = verificationFailureText(station, parameter, result);
                    context.out().message(text::format("qf7320: %1. %2", {failure, stopped}));
                    if (context.out().json()) {
                        object["status"] = statusName(Status::Ok);
                        object["error"] = failure;
                        context.out().object(object);
                    }
                    stationExit = kExitVerify;
                }
            }
        }
        if (stationExit != kExitOk) {
            exit = worseExit(exit, stationExit);
            if (stationExit == kExitPort)
                break;
            continue;
        }
        if (!write && differs)
            exit = worseExit(exit, kExitDiffers);
        if (context.out().json()) {
            if (write)
                object["written"] = written;
            else
                object["differs"] = differs;
            object["status"] = statusName(Status::Ok);
            context.out().object(object);
        }
    }
    return exit;
}

} // namespace

int applyCommand(Context& context) {
    return applyOrDiff(context, true);
}

int diffCommand(Context& context) {
    return applyOrDiff(context, false);
}

} // namespace cli
