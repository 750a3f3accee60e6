#include "cli/output.h"

#include "modbus/hextext.h"
#include "platform/text.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace cli {

namespace {

// The local time of day and the offset from UTC of a moment, as the platform knows them.
std::tm localTime(std::time_t seconds, long& offsetMinutes) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
    std::tm utc{};
    gmtime_s(&utc, &seconds);
    utc.tm_isdst = local.tm_isdst;
    offsetMinutes = static_cast<long>(std::difftime(std::mktime(&local), std::mktime(&utc)) / 60);
#else
    // localtime_r rather than anything richer: a poll takes its time once a sample, and must not
    // read the system's time zone file every time.
    localtime_r(&seconds, &local);
    offsetMinutes = local.tm_gmtoff / 60;
#endif
    return local;
}

std::string twoDigits(long value) {
    std::string digits(value < 10 ? "0" : "");
    digits += std::to_string(value);
    return digits;
}

// Now, in local time, with its milliseconds and the offset from UTC.
struct Moment {
    std::tm local{};
    long offsetMinutes = 0;
    std::string millis; // three digits
};

Moment now() {
    const auto clock = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(clock);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.time_since_epoch()).count() %
        1000;
    Moment moment;
    moment.local = localTime(seconds, moment.offsetMinutes);
    const std::string digits = std::to_string(millis);
    moment.millis = std::string(3 - digits.size(), '0') + digits;
    return moment;
}

// "HH:MM:SS.mmm" for the trace.
std::string clockTime() {
    const Moment moment = now();
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &moment.local);
    return std::string(text) + "." + moment.millis;
}

std::string frameText(const std::uint8_t* data, std::size_t length) {
    return modbus::frameText(data, length);
}

} // namespace

std::string isoTimeNow() {
    const Moment moment = now();
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &moment.local);
    std::string iso = std::string(text) + "." + moment.millis;
    const long offset = moment.offsetMinutes;
    if (offset == 0)
        return iso + "Z";
    return iso + (offset < 0 ? "-" : "+") + twoDigits(std::labs(offset) / 60) + ":" +
           twoDigits(std::labs(offset) % 60);
}

std::string traceRequestText(const protocol::Frame& request) {
    return "> " + frameText(request.data(), request.size());
}

std::string traceReplyText(const Result& attempt) {
    std::string text = "< ";
    text += attempt.reply.empty() ? std::string("(nothing)")
                                  : frameText(attempt.reply.data(), attempt.reply.size());
    text += "  " + text::number(attempt.latencyMs, 'f', 1) + " ms";
    switch (attempt.status) {
    case Status::Ok:
    case Status::PortLost:
        break;
    case Status::Timeout:
        text += "  timeout";
        if (!attempt.reply.empty())
            text +=
                text::format(": %1 of %2 bytes", {attempt.reply.size(), attempt.expectedLength});
        break;
    case Status::BadReply:
        text += "  bad reply: " + attempt.failedCheck;
        break;
    case Status::Exception:
        text += text::format("  exception %1 %2", {modbus::byteText(attempt.exceptionCode),
                                                   protocol::exceptionName(attempt.exceptionCode)});
        break;
    }
    return text;
}

Output::Output(bool json, bool trace, std::FILE* out, std::FILE* err)
    : json_(json), trace_(trace), out_(out), err_(err) {}

void Output::write(std::FILE* stream, const std::string& line) {
    std::string bytes = line;
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

void Output::data(const std::string& line) {
    write(out_, line);
}

void Output::object(const json::Value& object) {
    write(out_, json::dump(object));
}

void Output::message(const std::string& text) {
    write(err_, text);
}

Engine::Trace Output::trace() {
    if (!trace_)
        return {};
    return {
        [this](const protocol::Frame& request) {
            write(err_, clockTime() + " " + traceRequestText(request));
        },
        [this](const Result& attempt) { write(err_, clockTime() + " " + traceReplyText(attempt)); },
        [this](const std::string& text) { write(err_, clockTime() + " - " + text); }};
}

} // namespace cli
