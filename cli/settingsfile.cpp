#include "cli/settingsfile.h"

#include "platform/files.h"
#include "platform/text.h"

namespace cli {

namespace {

// The fields of get --json's object that are no parameter, passed over; a failed read's too.
bool isRecordField(const std::string& name) {
    for (const char* field :
         {"time", "port", "baud", "station", "latency_ms", "status", "error", "exception"})
        if (name == field)
            return true;
    return false;
}

std::uint16_t heldValue(const std::vector<std::uint16_t>& held, const Parameter& parameter) {
    return held.at(static_cast<std::size_t>(parameter.row));
}

} // namespace

std::optional<std::vector<Setting>> readSettingsFile(const std::string& path,
                                                     SettingsFileProblem& problem) {
    using Kind = SettingsFileProblem::Kind;
    const auto refuse = [&problem](Kind kind) {
        problem.kind = kind;
        return std::nullopt;
    };
    const std::optional<std::string> contents = platform::readFile(path, kLargestSettingsFile + 1);
    if (!contents)
        return refuse(Kind::Unreadable);
    if (contents->size() > kLargestSettingsFile)
        return refuse(Kind::TooLarge);
    const json::Value object = json::Value::parse(*contents, nullptr, false);
    if (object.is_discarded()) {
        // get --json with several stations: an object a line.
        std::size_t objects = 0;
        for (const std::string& line : text::split(*contents, '\n', true))
            if (json::Value::parse(line, nullptr, false).is_object())
                ++objects;
        if (objects > 1) {
            problem.objects = objects;
            return refuse(Kind::SeveralObjects);
        }
        return refuse(Kind::NotJson);
    }
    if (!object.is_object())
        return refuse(Kind::NotObject);

    for (const auto& [key, value] : object.items()) {
        if (!findParameter(key) && !isRecordField(key)) {
            problem.field = text::validUtf8(key);
            return refuse(Kind::UnknownField);
        }
    }

    std::vector<Setting> settings;
    for (const Parameter& parameter : calibrationParameters()) {
        const auto found = object.find(parameter.name);
        if (found == object.end())
            continue;
        problem.parameter = &parameter;
        problem.shown = json::dump(*found);
        if (!found->is_number())
            return refuse(Kind::NotNumber);
        const double number = found->get<double>();
        if (number < parameter.low || number > parameter.high)
            return refuse(Kind::OutsideRange);
        const std::optional<std::uint16_t> encoded = encodeParameter(parameter, number);
        if (!encoded)
            return refuse(Kind::TooWide);
        settings.push_back({&parameter, *encoded});
    }
    if (settings.empty()) {
        problem.parameter = nullptr;
        problem.shown.clear();
        return refuse(Kind::NoParameter);
    }
    return settings;
}

SettingsWritten writeSettings(Engine& engine, int station, std::span<const Setting> settings,
                              const std::vector<std::uint16_t>& held, const SettingStep& step) {
    SettingsWritten outcome;
    for (std::size_t i = 0; i < settings.size(); ++i) {
        const Parameter& parameter = *settings[i].parameter;
        const std::uint16_t old = heldValue(held, parameter);
        if (old == settings[i].value) {
            if (step)
                step(settings[i], old, nullptr);
            continue;
        }
        ParameterWrite write = writeParameter(engine, station, parameter, settings[i].value);
        if (write.result.status != Status::Ok || !write.verified()) {
            for (std::size_t j = i + 1; j < settings.size(); ++j)
                if (heldValue(held, *settings[j].parameter) != settings[j].value)
                    outcome.notWritten.push_back(settings[j].parameter->name);
            outcome.failure = std::move(write);
            outcome.failed = &parameter;
            return outcome;
        }
        if (step)
            step(settings[i], old, &write);
        outcome.written.push_back(parameter.name);
    }
    return outcome;
}

} // namespace cli
