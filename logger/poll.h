#pragma once

// A poll: the measurement of every station again and again, with its time, latency and status:
// a logger that keeps its period through dead stations, a lost port and a failing disk. It
// writes its rows to a CSV file or to standard output, as text or JSON, and hands every sample
// to a publisher (an MQTT broker) when it has one.

#include "client/endpoint.h"
#include "client/engine.h"
#include "logger/http/server.h"
#include "logger/publish/loader.h"
#include "logger/publish/publisher.h"

#include "platform/json.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace logger {

class CsvLog;

// The first line of a poll's CSV, in the file and on standard output.
inline constexpr const char* kCsvHeader = "time,station,lux,latency_ms,status";

struct PollSettings {
    client::Line line; // the port; opened again, the same way, when it is lost
    std::vector<int> stations;
    long long periodMs = 1000;
    long long samples = 0; // cycles; 0: no limit
    std::optional<std::chrono::steady_clock::duration> duration;
    std::optional<std::string> csvPath; // the CSV file (UTF-8)
    bool csvToOutput = false;           // the CSV rows on standard output instead of the text lines
    bool json = false;                  // one JSON object a sample on standard output
    bool reconnect = true;              // a lost port is opened again, and the poll goes on
    std::optional<http::ServerSettings> http; // the page and /metrics served while it runs
};

// Where a poll speaks, and the program's words for what it tells.
class PollOutput {
public:
    virtual ~PollOutput() = default;

    // A line of data on standard output: text, or a CSV row.
    virtual void data(const std::string& line) = 0;
    // A sample as one JSON object on one line of standard output.
    virtual void object(const json::Value& object) = 0;
    // A message on standard error: what failed, what goes on, the summary.
    virtual void message(const std::string& text) = 0;

    // The time now as the rows show it (ISO 8601 with milliseconds and the offset from UTC).
    virtual std::string timeNow() const = 0;
    // The fields a sample's JSON object starts with: time, port, baud and station.
    virtual json::Value record(int station, const std::string& time) const = 0;
    // What failed in a transaction with `station` (0 for the line as a whole) that read its
    // measurement, in words.
    virtual std::string failureText(const client::Result& result, int station) const = 0;
};

class Poll {
public:
    Poll(client::Engine& engine, PollSettings settings, PollOutput& output);
    ~Poll();
    Poll(const Poll&) = delete;
    Poll& operator=(const Poll&) = delete;

    // Before the port is opened, so that a file that cannot be written or a broker that refuses
    // sends nothing:
    // The CSV file opened for appending, or the header on standard output; false with the reason
    // in `error` when the file cannot be used.
    bool openLog(std::string& error);
    // Every sample published too: the plugin loaded from `programDir` (the directory that holds
    // qf7320) and its publisher started with `settings`, as the options give them (the stations,
    // the messages and what the program knows of itself are filled in here). Launch::Started, or
    // why not in `error`.
    publish::Launch startPublisher(publish::Settings settings, const std::string& programDir,
                                   std::string& error);

    // The page, /metrics and the JSON served from the state of this poll, on a thread of their
    // own; false with the reason in `error` when the address cannot be listened at. Said once
    // on standard error, with where.
    bool startServer(std::string& error);

    // Polls on the open port until the samples are taken, the duration is over, SIGINT or
    // SIGTERM asks it to stop, or the port is lost with no reconnecting; then says its summary.
    // Nothing when it ended well (a station answered, or nothing failed); otherwise the status
    // the program ends with: Status::PortLost for a port lost for good, else the last failure.
    std::optional<client::Status> run();

private:
    class Loop;
    std::unique_ptr<Loop> loop_;
};

} // namespace logger
