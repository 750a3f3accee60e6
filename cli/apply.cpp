// apply and diff: the calibration parameters a file gives (what get --json prints), written to
// one sensor or several with verification, or compared with what they hold.

#include "cli/parameters.h"
#include "cli/verbs.h"

#include "platform/files.h"
#include "platform/text.h"

#include <string>
#include <vector>

namespace cli {

namespace {

// More than any object get --json prints.
constexpr std::size_t kLargestFile = 64 * 1024;

// The fields of get --json's object that are no parameter, ignored; a failed read's too.
constexpr const char* kIgnoredFields[] = {"time",       "port",   "baud",  "station",
                                          "latency_ms", "status", "error", "exception"};

struct Wanted {
    const Parameter* parameter;
    std::uint16_t value; // as the register holds it
};

// The parameters FILE gives, in register order; nothing once usage() has said what is wrong.
std::optional<std::vector<Wanted>> wantedFrom(Context& context, const std::string& path,
                                              const std::string& verb) {
    const auto refuse = [&context](const std::string& text) {
        context.usage(text);
        return std::nullopt;
    };
    const std::optional<std::string> contents = platform::readFile(path, kLargestFile + 1);
    if (!contents)
        return refuse(text::format("cannot read %1: check its name and that you may read "
                                   "it; nothing was sent",
                                   {path}));
    const std::string notSuch =
        text::format("%1 is not what 'qf7320 get --json' prints (one JSON object with scale, "
                     "offset, da4, da20 or range)",
                     {path});
    if (contents->size() > kLargestFile)
        return refuse(text::format("%1: it is larger than %2 KiB; nothing was sent",
                                   {notSuch, kLargestFile / 1024}));
    const json::Value object = json::Value::parse(*contents, nullptr, false);
    if (object.is_discarded()) {
        // get --json with several stations: an object a line.
        std::size_t objects = 0;
        for (const std::string& line : text::split(*contents, '\n', true))
            if (json::Value::parse(line, nullptr, false).is_object())
                ++objects;
        if (objects > 1)
            return refuse(text::format("%1: it holds %2 objects, one a line; give the "
                                       "settings of one sensor, as 'qf7320 -s N get "
                                       "--json' prints them; nothing was sent",
                                       {notSuch, objects}));
        return refuse(notSuch + ": it is not JSON; nothing was sent");
    }
    if (!object.is_object())
        return refuse(notSuch + ": it is JSON, but no object; nothing was sent");

    for (const auto& [key, value] : object.items()) {
        if (findParameter(key))
            continue;
        bool ignored = false;
        for (const char* field : kIgnoredFields)
            ignored = ignored || key == field;
        if (!ignored)
            return refuse(text::format("%1 has a field '%2', which is no parameter: the parameters "
                                       "are %3; nothing was sent",
                                       {path, text::validUtf8(key), parameterNames()}));
    }

    std::vector<Wanted> wanted;
    for (const Parameter& parameter : calibrationParameters()) {
        const auto found = object.find(parameter.name);
        if (found == object.end())
            continue;
        const std::string shown = json::dump(*found);
        if (!found->is_number())
            return refuse(text::format("%1 in %2 is %3, not a number; nothing was sent",
                                       {parameter.name, path, shown}));
        const double number = found->get<double>();
        if (number < parameter.low || number > parameter.high)
            return refuse(text::format("%1 %2 in %3 is outside %4 to %5, the range the "
                                       "window gives for it; nothing was sent",
                                       {parameter.name, shown, path, numberText(parameter.low),
                                        numberText(parameter.high)}));
        const std::optional<std::uint16_t> encoded = encodeParameter(parameter, number);
        if (!encoded)
            return refuse(text::format("%1 %2 in %3 cannot be sent: encoded as the "
                                       "window encodes it, it does not fit in a 16-bit "
                                       "register; nothing was sent",
                                       {parameter.name, shown, path}));
        wanted.push_back({&parameter, *encoded});
    }
    if (wanted.empty())
        return refuse(
            text::format("%1 gives none of the parameters (%2): nothing to %3",
                         {path, parameterNames(), verb == "apply" ? "apply" : "compare"}));
    return wanted;
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
    const std::optional<std::vector<Wanted>> wanted = wantedFrom(context, arguments[0], verb);
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

        std::vector<std::string> written;
        bool differs = false;
        int stationExit = kExitOk;
        for (std::size_t i = 0; i < wanted->size(); ++i) {
            const Parameter& parameter = *(*wanted)[i].parameter;
            const std::uint16_t value = (*wanted)[i].value;
            const std::uint16_t old = present.registers.at(static_cast<std::size_t>(parameter.row));
            json::Value field = json::Value::object();
            field["old"] = valueJson(parameter, old);
            field["new"] = valueJson(parameter, value);
            field["changed"] = old != value;
            object[parameter.name] = field;
            if (old == value) {
                show(changeText(parameter, old, value));
                continue;
            }
            differs = true;
            if (!write) {
                show(changeText(parameter, old, value) + " (differs)");
                continue;
            }

            const ParameterWrite result =
                writeParameter(context.engine(), station, parameter, value);
            // What became of the parameters after this one, and of those before it.
            std::vector<std::string> left;
            for (std::size_t j = i + 1; j < wanted->size(); ++j)
                if (present.registers.at(static_cast<std::size_t>((*wanted)[j].parameter->row)) !=
                    (*wanted)[j].value)
                    left.push_back((*wanted)[j].parameter->name);
            const std::string stopped = text::format(
                "Station %1 stopped there: %2%3",
                {station,
                 written.empty() ? std::string("no other parameter written")
                                 : "already written and verified: " + text::join(written, ", "),
                 left.empty() ? std::string() : "; not written: " + text::join(left, ", ")});
            object["written"] = written;
            if (result.result.status != Status::Ok) {
                // The parameter itself was written when only its read-back failed.
                if (result.acknowledged)
                    object["written"].push_back(parameter.name);
                stationExit = context.fail(result.result, object, station, result.failedRequest);
                context.out().message(text::format(
                    "qf7320: %1%2",
                    {stopped, result.acknowledged ? text::format(" (%1 written, not read "
                                                                 "back)",
                                                                 {parameter.name})
                                                  : std::string()}));
                break;
            }
            object[parameter.name]["verified"] = result.verified();
            if (!result.verified()) {
                object[parameter.name]["held"] = valueJson(parameter, *result.held);
                const std::string failure = verificationFailureText(station, parameter, result);
                context.out().message(text::format("qf7320: %1. %2", {failure, stopped}));
                if (context.out().json()) {
                    object["status"] = statusName(Status::Ok);
                    object["error"] = failure;
                    context.out().object(object);
                }
                stationExit = kExitVerify;
                break;
            }
            written.push_back(parameter.name);
            show(changeText(parameter, old, value) + " (verified)");
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
