#include "logger/http/state.h"

#include "platform/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace logger::http {

namespace {

// A number as Prometheus reads it: the shortest text that gives the same double back.
std::string number(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// A label's value between its quotes: backslash, quote and line feed escaped.
std::string labelValue(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void line(std::string& out, const std::string& name, const std::string& labels,
          const std::string& value) {
    out += name;
    if (!labels.empty())
        out += '{' + labels + '}';
    out += ' ';
    out += value;
    out += '\n';
}

std::string stationLabel(int address) {
    return "station=\"" + std::to_string(address) + '"';
}

} // namespace

long long unixMillis(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

State::State(PollFacts facts) : facts_(std::move(facts)) {
    for (const int address : facts_.stations) {
        Station station;
        station.address = address;
        stations_.push_back(std::move(station));
    }
    lineSinceMs_ = unixMillis();
}

State::Station* State::find(int address) {
    for (Station& station : stations_)
        if (station.address == address)
            return &station;
    return nullptr;
}

void State::Station::chart(long long nowMs, bool ok, double value) {
    const long long start = nowMs - nowMs % widthMs;
    if (columns.empty() || columns.back().startMs < start) {
        columns.push_back({start, value, value, 0, 0});
        if (columns.size() > kColumns) {
            // Twice as wide: each column merged into the one its start now falls in.
            widthMs *= 2;
            std::vector<Column> merged;
            merged.reserve(columns.size() / 2 + 1);
            for (Column column : columns) {
                column.startMs -= column.startMs % widthMs;
                if (merged.empty() || merged.back().startMs != column.startMs) {
                    merged.push_back(column);
                    continue;
                }
                Column& into = merged.back();
                if (column.ok && into.ok) {
                    into.min = std::min(into.min, column.min);
                    into.max = std::max(into.max, column.max);
                } else if (column.ok) {
                    into.min = column.min;
                    into.max = column.max;
                }
                into.ok += column.ok;
                into.failed += column.failed;
            }
            columns = std::move(merged);
        }
    }
    Column& column = columns.back();
    if (!ok) {
        ++column.failed;
        return;
    }
    if (column.ok == 0) {
        column.min = value;
        column.max = value;
    } else {
        column.min = std::min(column.min, value);
        column.max = std::max(column.max, value);
    }
    ++column.ok;
}

void State::sample(int address, const std::string& time, const std::string& status, long long lux,
                   double latencyMs) {
    const long long nowMs = unixMillis();
    std::lock_guard lock(mutex_);
    Station* station = find(address);
    if (!station)
        return;
    const bool ok = status == "ok";
    station->lastStatus = status;
    station->lastTime = time;
    station->lastMs = nowMs;
    station->lux = ok ? lux : -1;
    station->latencyMs = ok ? latencyMs : -1;
    for (std::size_t i = 0; i < kStatuses.size(); ++i)
        if (status == kStatuses[i])
            ++station->counts[i];
    if (ok) {
        station->lastOkMs = nowMs;
        if (latencyMs >= 0) {
            const double seconds = latencyMs / 1000.0;
            ++station->latencyCount;
            station->latencySum += seconds;
            for (std::size_t i = 0; i < kBuckets.size(); ++i)
                if (seconds <= kBuckets[i]) {
                    ++station->buckets[i];
                    break;
                }
        }
    }
    // A skipped sample is no reading and no failure of its own: the chart leaves it out.
    if (status != "skipped")
        station->chart(nowMs, ok && lux >= 0, double(lux));
    touched();
}

void State::lineLost(const std::string& reason) {
    std::lock_guard lock(mutex_);
    lineUp_ = false;
    ++losses_;
    lineReason_ = reason;
    lineSinceMs_ = unixMillis();
    touched();
}

void State::lineBack() {
    std::lock_guard lock(mutex_);
    lineUp_ = true;
    lineReason_.clear();
    lineSinceMs_ = unixMillis();
    touched();
}

void State::backlog(long long mqttWaiting, long long csvWaiting) {
    std::lock_guard lock(mutex_);
    if (mqttWaiting == mqttWaiting_ && csvWaiting == csvWaiting_)
        return;
    mqttWaiting_ = mqttWaiting;
    csvWaiting_ = csvWaiting;
    touched();
}

std::string State::metrics() const {
    std::string out;
    out.reserve(4096 + stations_.size() * 2048);
    std::lock_guard lock(mutex_);

    family(out, "qf7320_illuminance_lux", "gauge",
           "The station's last reading; absent while its last sample failed.");
    for (const Station& station : stations_)
        if (station.lux >= 0)
            line(out, "qf7320_illuminance_lux", stationLabel(station.address),
                 std::to_string(station.lux));

    family(out, "qf7320_samples_total", "counter", "Samples taken, by status.");
    for (const Station& station : stations_)
        for (std::size_t i = 0; i < kStatuses.size(); ++i)
            line(out, "qf7320_samples_total",
                 stationLabel(station.address) + ",status=\"" + kStatuses[i] + '"',
                 std::to_string(station.counts[i]));

    family(out, "qf7320_latency_seconds", "histogram",
           "Time from the request to the end of its answer, of answered samples.");
    for (const Station& station : stations_) {
        const std::string label = stationLabel(station.address);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < kBuckets.size(); ++i) {
            cumulative += station.buckets[i];
            line(out, "qf7320_latency_seconds_bucket", label + ",le=\"" + number(kBuckets[i]) + '"',
                 std::to_string(cumulative));
        }
        line(out, "qf7320_latency_seconds_bucket", label + ",le=\"+Inf\"",
             std::to_string(station.latencyCount));
        line(out, "qf7320_latency_seconds_sum", label, number(station.latencySum));
        line(out, "qf7320_latency_seconds_count", label, std::to_string(station.latencyCount));
    }

    family(out, "qf7320_last_ok_timestamp_seconds", "gauge",
           "When the station last answered, in seconds since 1970.");
    for (const Station& station : stations_)
        if (station.lastOkMs)
            line(out, "qf7320_last_ok_timestamp_seconds", stationLabel(station.address),
                 number(double(*station.lastOkMs) / 1000.0));

    const std::string portLabel = "port=\"" + labelValue(facts_.port) + '"';
    family(out, "qf7320_line_up", "gauge",
           "Whether the port or the connection the poll talks on is open (1) or lost (0).");
    line(out, "qf7320_line_up", portLabel, lineUp_ ? "1" : "0");
    family(out, "qf7320_line_losses_total", "counter",
           "Times the port or the connection was lost.");
    line(out, "qf7320_line_losses_total", portLabel, std::to_string(losses_));

    if (mqttWaiting_ >= 0) {
        family(out, "qf7320_mqtt_samples_waiting", "gauge",
               "Samples in the store waiting for the MQTT broker.");
        line(out, "qf7320_mqtt_samples_waiting", "", std::to_string(mqttWaiting_));
    }
    if (csvWaiting_ >= 0) {
        family(out, "qf7320_csv_rows_waiting", "gauge",
               "CSV rows held in memory waiting for the disk.");
        line(out, "qf7320_csv_rows_waiting", "", std::to_string(csvWaiting_));
    }

    family(out, "qf7320_build_info", "gauge", "The program's version; always 1.");
    line(out, "qf7320_build_info", "version=\"" + labelValue(facts_.version) + '"', "1");
    return out;
}

std::string State::json(bool history) const {
    json::Value object = json::Value::object();
    std::lock_guard lock(mutex_);
    object["now_ms"] = unixMillis();
    object["port"] = facts_.port;
    object["period_ms"] = facts_.periodMs;
    object["version"] = facts_.version;
    object["line"] = {
        {"up", lineUp_}, {"losses", losses_}, {"since_ms", lineSinceMs_}, {"reason", lineReason_}};
    object["backlog"] = {
        {"mqtt", mqttWaiting_ >= 0 ? json::Value(mqttWaiting_) : json::Value(nullptr)},
        {"csv", csvWaiting_ >= 0 ? json::Value(csvWaiting_) : json::Value(nullptr)}};
    json::Value stations = json::Value::array();
    for (const Station& station : stations_) {
        json::Value item = json::Value::object();
        item["station"] = station.address;
        item["lux"] = station.lux >= 0 ? json::Value(station.lux) : json::Value(nullptr);
        item["status"] =
            station.lastStatus.empty() ? json::Value(nullptr) : json::Value(station.lastStatus);
        item["time"] =
            station.lastTime.empty() ? json::Value(nullptr) : json::Value(station.lastTime);
        item["time_ms"] = station.lastMs ? json::Value(station.lastMs) : json::Value(nullptr);
        item["last_ok_ms"] =
            station.lastOkMs ? json::Value(*station.lastOkMs) : json::Value(nullptr);
        item["latency_ms"] =
            station.latencyMs >= 0 ? json::number(station.latencyMs) : json::Value(nullptr);
        json::Value counts = json::Value::object();
        std::uint64_t failed = 0;
        for (std::size_t i = 0; i < kStatuses.size(); ++i) {
            counts[kStatuses[i]] = station.counts[i];
            if (i != 0 && std::string_view(kStatuses[i]) != "skipped")
                failed += station.counts[i];
        }
        item["samples"] = counts;
        item["answered"] = station.counts[0];
        item["failed"] = failed;
        // Columns as [start_ms, min, max, answered, failed]; min and max null with no reading.
        json::Value columns = json::Value::array();
        const std::size_t from =
            history ? 0 : station.columns.size() - std::min<std::size_t>(2, station.columns.size());
        for (std::size_t i = from; i < station.columns.size(); ++i) {
            const Column& column = station.columns[i];
            const bool any = column.ok > 0;
            columns.push_back({column.startMs, any ? json::number(column.min) : json::Value(),
                               any ? json::number(column.max) : json::Value(), column.ok,
                               column.failed});
        }
        item["chart"] = {{"width_ms", station.widthMs}, {"columns", std::move(columns)}};
        stations.push_back(std::move(item));
    }
    object["stations"] = std::move(stations);
    return json::dump(object);
}

} // namespace logger::http
