#pragma once

// Where a poll hands every sample besides its own output: a publisher that delivers it
// elsewhere (an MQTT broker) without ever holding the poll up. The MQTT publisher lives in a
// plugin of its own (qf7320-mqtt.so beside qf7320), loaded only when a poll asks for it, so the
// other commands never load its libraries; this header is all the program and the plugin share,
// in plain C++.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace logger::publish {

// One sample as a poll recorded it.
struct Sample {
    std::string time; // ISO 8601 with its offset from UTC, as the CSV and JSON rows show it
    int station = 1;
    long long lux = -1;      // -1: no value
    std::string status;      // ok, timeout, bad-reply, exception, port-error, skipped
    double latencyMs = -1.0; // -1: none
};

struct Settings {
    // From mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://...
    bool tls = false;
    std::string host;
    int port = 1883;
    std::string user;
    std::string password;  // from the environment or a file, never from the command line
    std::string prefix;    // topics: PREFIX/<station>/state, PREFIX/status
    std::string caFile;    // mqtts: the certificates to verify the broker with
    bool insecure = false; // mqtts: accept a certificate that does not verify
    std::string storeDir;  // where samples wait for the broker, across restarts
    std::string clientId;
    long long buffer = 100000; // most samples held; beyond it the oldest are dropped
    std::string hostname;      // in the default prefix and Home Assistant's ids
    bool homeAssistant = false;
    std::string haPrefix = "homeassistant";
    std::vector<int> stations;
    std::string version;                         // the program's, in Home Assistant's origin
    std::function<void(const std::string&)> say; // a message for standard error
};

class Publisher {
public:
    virtual ~Publisher() = default;

    enum class Start { Started, StoreUnusable, Refused };

    // Opens the store and connects, waiting a bounded time for the broker's first answer. A
    // broker that refuses (credentials, certificate) or a store that cannot be used is said in
    // `error`; a broker that cannot be reached is not a failure: samples wait in the store.
    virtual Start start(std::string& error) = 0;

    // Stores the sample and has it delivered in the background; returns at once.
    virtual void publish(const Sample& sample) = 0;

    // At the end of a poll: waits at most `time` for the stored samples to be delivered, then
    // disconnects. What is not delivered stays in the store for the next run.
    virtual void finish(std::chrono::milliseconds time) = 0;

    // Lines for the poll's summary: delivered, waiting, dropped.
    virtual std::vector<std::string> summary() const = 0;

    // The samples in the store not yet delivered.
    virtual long long waiting() const = 0;
};

// The plugin's one entry point, found by this name.
using CreatePublisher = Publisher* (*)(const Settings& settings);
inline constexpr const char* kCreatePublisherSymbol = "qf7320_create_publisher";

} // namespace logger::publish
