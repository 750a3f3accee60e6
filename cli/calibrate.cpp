// calibrate: the scale factor against a reference meter, or the offset with the sensor covered,
// computed from steady readings, written with verification and checked by reading again.

#include "cli/measure.h"
#include "cli/parameters.h"
#include "cli/verbs.h"

#include "modbus/opnumber.h"
#include "platform/rounding.h"
#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include "platform/files.h"
#endif

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMostPasses = 3;
// The reading counts in steps of 10 lx (register 0 times 10), and the offset in those steps.
constexpr double kLuxPerStep = 10;
constexpr double kHighestLux = 655350;

struct Settings {
    bool zero = false;
    double reference = 0; // lx; 0 with --zero
    int samples = 10;
    int periodMs = 500;
    double steadyPercent = 2;
    double tolerancePercent = 1;
    bool dryRun = false;
    std::string log;
};

// The readings of one round of samples.
struct Samples {
    std::vector<long long> lux;
    std::optional<Result> failure; // the sample that failed, which ended the round
    double mean() const {
        double sum = 0;
        for (const long long value : lux)
            sum += static_cast<double>(value);
        return lux.empty() ? 0 : sum / static_cast<double>(lux.size());
    }
    long long low() const { return lux.empty() ? 0 : *std::min_element(lux.begin(), lux.end()); }
    long long high() const { return lux.empty() ? 0 : *std::max_element(lux.begin(), lux.end()); }
    long long spread() const { return high() - low(); }
};

// A percentage option such as --steady 2.5 within lo..hi; nothing once usage() has said what is
// wrong with it.
std::optional<double> percentOption(Context& context, std::string_view option, double lo, double hi,
                                    double fallback) {
    if (!context.isSet(option))
        return fallback;
    const std::string typed = context.value(option);
    const std::optional<double> value = opnum::parse(typed);
    if (!value || !std::isfinite(*value) || *value < lo || *value > hi) {
        context.usage(text::format("--%1 %2 is not a percentage: %3-%4",
                                   {option, typed, numberText(lo), numberText(hi)}));
        return std::nullopt;
    }
    return value;
}

std::optional<Settings> settingsFrom(Context& context) {
    Settings settings;
    settings.zero = context.isSet("zero");
    if (settings.zero == context.isSet("reference")) {
        context.usage(settings.zero
                          ? "give --reference LUX or --zero, not both: --zero sets the offset "
                            "with the sensor covered, --reference the scale factor in the light"
                          : "calibrate needs --reference LUX, what the reference meter beside "
                            "the sensor reads, or --zero with the sensor covered");
        return std::nullopt;
    }
    if (!settings.zero) {
        const std::string typed = context.value("reference");
        const std::optional<double> reference = opnum::parse(typed);
        if (!reference || !(*reference > 0) || *reference > kHighestLux) {
            context.usage(text::format("--reference %1 is not an illuminance: more than 0, at "
                                       "most %2 lx",
                                       {typed, numberText(kHighestLux)}));
            return std::nullopt;
        }
        settings.reference = *reference;
    }
    const auto samples = context.wholeOption("samples", 1, 1000, 10, "a count of samples");
    if (!samples)
        return std::nullopt;
    const auto period = context.wholeOption("period", 0, 60000, 500, "a time in milliseconds");
    if (!period)
        return std::nullopt;
    const auto steady = percentOption(context, "steady", 0, 100, 2);
    if (!steady)
        return std::nullopt;
    const auto tolerance = percentOption(context, "tolerance", 0, 100, 1);
    if (!tolerance)
        return std::nullopt;
    settings.samples = static_cast<int>(*samples);
    settings.periodMs = static_cast<int>(*period);
    settings.steadyPercent = *steady;
    settings.tolerancePercent = *tolerance;
    settings.dryRun = context.isSet("dry-run");
    settings.log = context.value("log");
    if (context.isSet("log") && settings.log.empty()) {
        context.usage("--log needs a file");
        return std::nullopt;
    }
    return settings;
}

std::FILE* openForAppending(const std::string& path) {
#ifdef _WIN32
    return ::_wfopen(platform::wide(path).c_str(), L"ab");
#else
    return std::fopen(path.c_str(), "ab");
#endif
}

// Appends one line to the file, whole in one write; false when it cannot.
bool appendLine(const std::string& path, const std::string& line) {
    std::FILE* file = openForAppending(path);
    if (!file)
        return false;
    const std::string whole = line + '\n';
    const bool written = std::fwrite(whole.data(), 1, whole.size(), file) == whole.size();
    return std::fclose(file) == 0 && written;
}

// A figure to one decimal, as JSON holds it.
json::Value figure(double value) {
    return json::number(rounding::nearest(value * 10) / 10);
}

// A figure with its sign and `decimals` decimals: "+800", "-5.40".
std::string signedText(double value, int decimals) {
    const std::string shown = text::number(value, 'f', decimals);
    return shown.starts_with('-') ? shown : '+' + shown;
}

// A mean in whole lx: "10800".
std::string luxText(double lux) {
    return text::number(lux, 'f', 0);
}

// How far a mean is from the reference: "+800 lx (+8.00 %)"; with --zero, from 0: "+120 lx".
std::string errorText(double mean, double reference, bool zero) {
    const std::string lux = signedText(mean - reference, 0) + " lx";
    if (zero)
        return lux;
    return text::format("%1 (%2 %)", {lux, signedText(100 * (mean - reference) / reference, 2)});
}

class Calibration {
public:
    Calibration(Context& context, const Settings& settings)
        : context_(context), settings_(settings), station_(context.common().station),
          object_(context.record(station_)) {}

    int run();

private:
    const Parameter& parameter() const {
        return settings_.zero ? offsetParameter() : scaleParameter();
    }
    std::uint16_t& current() { return settings_.zero ? offset_ : scale_; }

    // The measurement read settings_.samples times, one a period; after a write the first
    // comes one period later, so that the sensor has measured with its new value.
    Samples sample(bool afterWrite);
    // The round as the text line and JSON show it.
    std::string samplesText(const Samples& samples) const;
    json::Value samplesJson(const Samples& samples) const;
    bool withinTolerance(double mean) const;
    // A round that failed or is not steady: said, and the refusal; nothing more is written.
    std::optional<int> refuseUnsteady(const Samples& samples, const std::string& round);
    // The value the next pass writes, from a round's mean; nothing once it has refused.
    std::optional<std::uint16_t> nextValue(double mean);

    int failed(const Result& result, const std::string& request);
    int refuse(int exit, const std::string& outcome, const std::string& why);
    // Completes the object with the outcome and the values the sensor holds now, and appends
    // it to the log.
    void record(const std::string& outcome);
    // record(), and the object on standard output with --json.
    int finish(int exit, const std::string& outcome);
    std::string writtenSoFar() const;

    Context& context_;
    const Settings& settings_;
    int station_;
    json::Value object_;
    std::uint16_t scale_ = 0;
    std::uint16_t offset_ = 0;
    std::uint16_t scaleBefore_ = 0;
    std::uint16_t offsetBefore_ = 0;
    int passes_ = 0; // values written and verified
    json::Value passesJson_ = json::Value::array();
};

Samples Calibration::sample(bool afterWrite) {
    Samples samples;
    const auto period = std::chrono::milliseconds(settings_.periodMs);
    const Clock::time_point start = Clock::now() + (afterWrite ? period : Clock::duration{});
    for (int i = 0; i < settings_.samples; ++i) {
        std::this_thread::sleep_until(start + i * period);
        const Result result = context_.engine().transact(measurementRequest(station_, 1),
                                                         protocol::ReplyKind::Registers);
        if (result.status != Status::Ok) {
            samples.failure = result;
            break;
        }
        samples.lux.push_back(luxOf(result));
    }
    return samples;
}

std::string Calibration::samplesText(const Samples& samples) const {
    std::string text =
        text::format("%1 lx (%2 samples %3-%4)",
                     {luxText(samples.mean()), samples.lux.size(), samples.low(), samples.high()});
    if (!settings_.zero || samples.mean() != 0)
        text += ", error " + errorText(samples.mean(), settings_.reference, settings_.zero);
    return text;
}

json::Value Calibration::samplesJson(const Samples& samples) const {
    json::Value round = json::Value::object();
    round["lux"] = samples.lux;
    round["mean"] = figure(samples.mean());
    round["min"] = samples.low();
    round["max"] = samples.high();
    round["error_lx"] = figure(samples.mean() - settings_.reference);
    round["error_pct"] =
        settings_.zero
            ? json::Value(nullptr)
            : json::number(rounding::nearest(10000 * (samples.mean() - settings_.reference) /
                                             settings_.reference) /
                           100);
    return round;
}

bool Calibration::withinTolerance(double mean) const {
    if (settings_.zero)
        return std::abs(mean) <= kLuxPerStep;
    return std::abs(100 * (mean - settings_.reference) / settings_.reference) <=
           settings_.tolerancePercent;
}

std::string Calibration::writtenSoFar() const {
    if (passes_ == 0)
        return "Nothing was written";
    const Parameter& written = parameter();
    const std::uint16_t before = settings_.zero ? offsetBefore_ : scaleBefore_;
    const std::uint16_t now = settings_.zero ? offset_ : scale_;
    return text::format(
        "Station %1 keeps %2 %3 (it was %4)",
        {station_, written.name, valueText(written, now), valueText(written, before)});
}

std::optional<int> Calibration::refuseUnsteady(const Samples& samples, const std::string& round) {
    if (samples.failure) {
        const Result& result = *samples.failure;
        const std::string text = context_.failureText(
            result, station_,
            text::format("sample %1 of %2 (%3)",
                         {samples.lux.size() + 1, settings_.samples, kReadOfRegister0}));
        object_[round] = samplesJson(samples);
        object_["status"] = statusName(result.status);
        // A port that is gone is no light that is not steady.
        if (result.status == Status::PortLost)
            return refuse(
                kExitPort, "failed",
                text::format("%1. %2. Check the adapter and try again", {text, writtenSoFar()}));
        return refuse(kExitRefused, "unsteady",
                      text::format("a sample failed, so the light cannot be taken as steady: "
                                   "%1. %2. Check the wiring and try again",
                                   {text, writtenSoFar()}));
    }
    const double mean = samples.mean();
    const double allowed = std::max(settings_.steadyPercent / 100 * mean, kLuxPerStep);
    if (static_cast<double>(samples.spread()) <= allowed)
        return std::nullopt;
    object_[round] = samplesJson(samples);
    const std::string percent =
        mean > 0 ? text::format(
                       ", %1 % of their mean %2 lx",
                       {text::number(100 * static_cast<double>(samples.spread()) / mean, 'f', 1),
                        luxText(mean)})
                 : std::string();
    return refuse(
        kExitRefused, "unsteady",
        text::format("the light is not steady: %1 samples of station %2 from %3 to %4 lx, a "
                     "spread of %5 lx%6 (at most %7 %). %8. Keep the light, the sensor and the "
                     "meter still and try again; --steady allows a wider spread",
                     {samples.lux.size(), station_, samples.low(), samples.high(), samples.spread(),
                      percent, numberText(settings_.steadyPercent), writtenSoFar()}));
}

std::optional<std::uint16_t> Calibration::nextValue(double mean) {
    const Parameter& target = parameter();
    if (settings_.zero) {
        const long long offset = static_cast<std::int16_t>(offset_);
        const long long wanted =
            offset - static_cast<long long>(rounding::nearest(mean / kLuxPerStep));
        if (wanted < target.low || wanted > target.high) {
            refuse(kExitRefused, "out-of-range",
                   text::format("the offset would be %1, outside %2 to %3: the dark reading is "
                                "%4 lx. %5. Cover the sensor fully and try again",
                                {wanted, numberText(target.low), numberText(target.high),
                                 luxText(mean), writtenSoFar()}));
            return std::nullopt;
        }
        return encodeParameter(target, static_cast<double>(wanted));
    }
    // The sensor reads (raw x scale) + offset, in steps of 10 lx: the scale that brings the
    // mean to the reference keeps the offset's share as it is.
    const double offsetLux = static_cast<std::int16_t>(offset_) * kLuxPerStep;
    const double scale = scale_ / 10000.0;
    if (mean - offsetLux <= 0) {
        refuse(kExitRefused, "out-of-range",
               text::format("no scale factor can be computed: the reading, %1 lx, is not above "
                            "what the offset alone gives (%2 lx). %3. Check that the sensor is "
                            "in the light, and its offset",
                            {luxText(mean), text::number(offsetLux, 'f', 0), writtenSoFar()}));
        return std::nullopt;
    }
    const double wanted =
        rounding::nearest(scale * (settings_.reference - offsetLux) / (mean - offsetLux) * 10000) /
        10000;
    if (wanted < target.low || wanted > target.high) {
        refuse(kExitRefused, "out-of-range",
               text::format("the scale factor would be %1, outside %2 to %3: the sensor reads %4 "
                            "lx against %5 lx. %6. Check the reference: the meter beside the "
                            "sensor, in the same light",
                            {text::number(wanted, 'f', 4), text::number(target.low, 'f', 4),
                             text::number(target.high, 'f', 4), luxText(mean),
                             numberText(settings_.reference), writtenSoFar()}));
        return std::nullopt;
    }
    return encodeParameter(target, wanted);
}

int Calibration::failed(const Result& result, const std::string& request) {
    object_["error"] = context_.failureText(result, station_, request);
    object_["status"] = statusName(result.status);
    record("failed");
    // fail() says what failed and what to try, and prints the object with its status and
    // error again.
    return context_.fail(result, object_, station_, request);
}

int Calibration::refuse(int exit, const std::string& outcome, const std::string& why) {
    context_.out().message("qf7320: " + why);
    object_["error"] = why;
    return finish(exit, outcome);
}

void Calibration::record(const std::string& outcome) {
    object_["outcome"] = outcome;
    if (!object_.contains("status"))
        object_["status"] = statusName(Status::Ok);
    // The values the sensor holds now, once they were read.
    if (object_["old"].is_object()) {
        json::Value values = json::Value::object();
        values["scale"] = valueJson(scaleParameter(), scale_);
        values["offset"] = valueJson(offsetParameter(), offset_);
        object_["new"] = values;
    }
    object_["passes"] = passesJson_;
    if (!settings_.log.empty() && !appendLine(settings_.log, json::dump(object_)))
        context_.out().message(
            text::format("qf7320: cannot append to --log %1: the record of this calibration is "
                         "not in it",
                         {settings_.log}));
}

int Calibration::finish(int exit, const std::string& outcome) {
    record(outcome);
    if (context_.out().json())
        context_.out().object(object_);
    return exit;
}

int Calibration::run() {
    object_["mode"] = settings_.zero ? "zero" : "scale";
    object_["reference"] = json::number(settings_.reference);
    object_["samples"] = settings_.samples;
    object_["period_ms"] = settings_.periodMs;
    object_["steady_pct"] = json::number(settings_.steadyPercent);
    object_["tolerance_pct"] =
        settings_.zero ? json::Value(nullptr) : json::number(settings_.tolerancePercent);
    object_["dry_run"] = settings_.dryRun;
    object_["old"] = nullptr;
    object_["new"] = nullptr;
    object_["before"] = nullptr;
    object_["after"] = nullptr;

    // The present scale factor and offset: registers 3 and 4.
    const Result present = context_.engine().transact(
        parameterReadRequest(station_, readRegister(scaleParameter()), 2),
        protocol::ReplyKind::Registers);
    if (present.status != Status::Ok)
        return failed(present, "the read of scale and offset (registers 3-4)");
    scale_ = scaleBefore_ = present.registers.at(0);
    offset_ = offsetBefore_ = present.registers.at(1);
    json::Value old = json::Value::object();
    old["scale"] = valueJson(scaleParameter(), scale_);
    old["offset"] = valueJson(offsetParameter(), offset_);
    object_["old"] = old;

    const bool plain = !context_.out().json();
    const std::string against = settings_.zero
                                    ? std::string("covered, 0 lx wanted")
                                    : "reference " + numberText(settings_.reference) + " lx";
    if (plain)
        context_.out().data(text::format("station %1: scale %2, offset %3; %4",
                                         {station_, valueText(scaleParameter(), scale_),
                                          valueText(offsetParameter(), offset_), against}));

    const Samples before = sample(false);
    if (!before.failure && plain)
        context_.out().data("before: " + samplesText(before));
    if (const auto refused = refuseUnsteady(before, "before"))
        return *refused;
    object_["before"] = samplesJson(before);

    double mean = before.mean();
    for (;;) {
        const std::optional<std::uint16_t> value = nextValue(mean);
        if (!value)
            return kExitRefused;
        const Parameter& target = parameter();
        if (settings_.dryRun) {
            if (plain)
                context_.out().data(text::format(
                    "dry run: would write %1 %2 (now %3); nothing was written",
                    {target.name, valueText(target, *value), valueText(target, current())}));
            current() = *value;
            return finish(kExitOk, "dry-run");
        }
        if (*value == current()) {
            // Nothing the register can hold brings it closer.
            if (withinTolerance(mean))
                break;
            return refuse(kExitVerify, "not-converged",
                          text::format("station %1 reads %2 lx, %3 against %4 lx, and %5 %6 is "
                                       "already the nearest value the register holds. %7",
                                       {station_, luxText(mean),
                                        errorText(mean, settings_.reference, settings_.zero),
                                        numberText(settings_.reference), target.name,
                                        valueText(target, *value), writtenSoFar()}));
        }

        const ParameterWrite write = writeParameter(context_.engine(), station_, target, *value);
        if (write.result.status != Status::Ok) {
            const std::string kept = writtenSoFar();
            // An acknowledged write whose read-back failed is most likely in place.
            if (write.acknowledged)
                current() = *value;
            const int exit = failed(write.result, write.failedRequest);
            context_.out().message(
                write.acknowledged
                    ? text::format("qf7320: station %1 acknowledged %2 %3, which could not be read "
                                   "back: check it with qf7320 get %2",
                                   {station_, target.name, valueText(target, *value)})
                    : "qf7320: " + kept + '.');
            return exit;
        }
        if (!write.verified()) {
            if (write.held)
                current() = *write.held;
            object_["verified"] = false;
            return refuse(kExitVerify, "verification-failed",
                          text::format("%1. Write it again; if it still differs, the sensor does "
                                       "not keep this value",
                                       {verificationFailureText(station_, target, write)}));
        }
        const std::uint16_t was = current();
        current() = *write.held;
        ++passes_;

        const Samples after = sample(true);
        json::Value pass = json::Value::object();
        pass[target.name] = valueJson(target, current());
        pass["verified"] = true;
        if (!after.failure)
            pass["after"] = samplesJson(after);
        passesJson_.push_back(pass);
        if (!after.failure && plain)
            context_.out().data(text::format("pass %1: %2 %3 -> %4 (verified); %5",
                                             {passes_, target.name, valueText(target, was),
                                              valueText(target, current()), samplesText(after)}));
        if (const auto refused = refuseUnsteady(after, "after"))
            return *refused;
        object_["after"] = samplesJson(after);
        mean = after.mean();
        if (withinTolerance(mean))
            break;
        if (passes_ == kMostPasses) {
            const std::string wanted =
                settings_.zero
                    ? std::string("10 lx of 0 lx")
                    : text::format("%1 % of %2 lx", {numberText(settings_.tolerancePercent),
                                                     numberText(settings_.reference)});
            return refuse(
                kExitVerify, "not-converged",
                text::format("station %1 did not come within %2 in %3 passes: it reads %4 lx, "
                             "%5, with %6 %7 (before: %8 lx with %6 %9). Its reading does not "
                             "follow (raw x scale) + offset as calibrate assumes: try again in "
                             "steady light, or set %6 by hand (qf7320 set)",
                             {station_, wanted, kMostPasses, luxText(mean),
                              errorText(mean, settings_.reference, settings_.zero), target.name,
                              valueText(target, current()), luxText(before.mean()),
                              valueText(target, settings_.zero ? offsetBefore_ : scaleBefore_)}));
        }
    }

    if (plain) {
        const Parameter& target = parameter();
        const std::uint16_t was = settings_.zero ? offsetBefore_ : scaleBefore_;
        if (passes_ == 0)
            context_.out().data(text::format("%1: unchanged, %2 %3 already gives %4",
                                             {settings_.zero ? "zeroed" : "calibrated", target.name,
                                              valueText(target, current()), samplesText(before)}));
        else if (settings_.zero)
            context_.out().data(
                text::format("zeroed: dark reading %1 lx -> %2 lx, offset %3 -> %4",
                             {luxText(before.mean()), luxText(mean), valueText(target, was),
                              valueText(target, current())}));
        else
            context_.out().data(text::format(
                "calibrated: error %1 % -> %2 % (at most %3 %), scale %4 -> %5",
                {signedText(100 * (before.mean() - settings_.reference) / settings_.reference, 2),
                 signedText(100 * (mean - settings_.reference) / settings_.reference, 2),
                 numberText(settings_.tolerancePercent), valueText(target, was),
                 valueText(target, current())}));
    }
    return finish(kExitOk, settings_.zero ? "zeroed" : "calibrated");
}

} // namespace

int calibrateCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    const std::optional<Settings> settings = settingsFrom(context);
    if (!settings)
        return kExitUsage;
    // A record that cannot be kept is said before anything is asked of the sensor.
    if (!settings->log.empty()) {
        std::FILE* file = openForAppending(settings->log);
        if (!file)
            return context.usage(
                text::format("cannot append to --log %1: %2; nothing was sent",
                             {settings->log, text::validUtf8(std::strerror(errno))}));
        std::fclose(file);
    }
    if (const int status = context.openPort())
        return status;
    return Calibration(context, *settings).run();
}

} // namespace cli
