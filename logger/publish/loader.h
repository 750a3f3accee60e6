#pragma once

// The program's side of publishing: the broker's address read, and the plugin loaded from beside
// qf7320 (or from /usr/lib/qf7320) only when a poll publishes.

#include "logger/publish/publisher.h"

#include <memory>
#include <optional>
#include <string>

namespace logger::publish {

// A broker's address as --mqtt gives it: mqtt://[USER@]HOST[:PORT][/PREFIX], or mqtts:// for
// TLS (port 8883 unless given). Nothing when the text is not such an address; `error` says why.
struct BrokerAddress {
    bool tls = false;
    std::string user;
    std::string host;
    int port = 1883;
    std::string prefix; // empty: the default, qf7320/<hostname>
};
std::optional<BrokerAddress> parseBrokerUrl(const std::string& url, std::string& error);

// Where the password comes from when --mqtt-password-file is not given.
inline constexpr const char* kPasswordVariable = "QF7320_MQTT_PASSWORD";

// Where samples wait for the broker when --mqtt-store is not given: $XDG_STATE_HOME/qf7320,
// else ~/.local/state/qf7320.
std::string defaultStoreDir();

enum class Launch {
    Started,
    NoPlugin,      // the plugin is not beside the program, or is not one
    StoreUnusable, // the store cannot be used: an option or a file
    Refused,       // the broker refuses the credentials, or its certificate does not verify
};

// Loads the plugin qf7320-mqtt from `programDir` (the directory that holds qf7320), or from
// lib/qf7320 beside it in a system-wide install (/usr/lib/qf7320), and starts a
// publisher with `settings`; what the program knows of itself is filled in here: the machine's
// name, the default prefix when `settings.prefix` is empty, the client id and the version.
// Launch::Started with the publisher; otherwise `error` says why. The plugin stays loaded until
// the program ends.
Launch launchPublisher(Settings settings, const std::string& programDir,
                       std::unique_ptr<Publisher>& publisher, std::string& error);

} // namespace logger::publish
