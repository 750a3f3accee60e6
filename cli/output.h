#pragma once

// Where qf7320 speaks: data on standard output (one fact a line, or one JSON object a line),
// messages and the frame trace on standard error. Every line is flushed as it is written, so a
// pipe or a log file holds every result the moment it is known.

#include "cli/line.h"

#include "platform/json.h"

#include <string>

#include <cstdio>

namespace cli {

// The local time now in ISO 8601 with milliseconds and the offset from UTC:
// 2024-05-01T12:00:00.123+02:00 (Z at UTC).
std::string isoTimeNow();

// The trace's line for a request or a reply, after its HH:MM:SS.mmm time: "> 01 03 ..." and
// "< 01 03 02 00 64 B9 AF  12.4 ms", with a bad, an exception or a timed-out reply marked.
std::string traceRequestText(const protocol::Frame& request);
std::string traceReplyText(const Result& attempt);

class Output {
public:
    Output(bool json, bool trace, std::FILE* out = stdout, std::FILE* err = stderr);

    bool json() const { return json_; }

    // A line of data: human text, or a CSV line.
    void data(const std::string& line);
    // A result as one compact JSON object on one line.
    void object(const json::Value& object);
    // What failed and what to try, or a summary: standard error.
    void message(const std::string& text);

    // The engine's trace hooks; nothing is printed without --trace.
    Engine::Trace trace();

private:
    void write(std::FILE* stream, const std::string& line);

    bool json_;
    bool trace_;
    std::FILE* out_;
    std::FILE* err_;
};

} // namespace cli
