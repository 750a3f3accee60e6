#pragma once

// The program's side of publishing: the --mqtt options checked, the password taken from where
// it may come from, and the plugin loaded from beside qf7320 only then.

#include "cli/command.h"
#include "cli/publish/publisher.h"

#include <memory>
#include <optional>

namespace cli::publish {

// A broker's address as --mqtt gives it: mqtt://[USER@]HOST[:PORT][/PREFIX], or mqtts:// for
// TLS (port 8883 unless given). Nothing when the text is not such an address; `error` says why.
struct BrokerAddress {
    bool tls = false;
    QString user;
    QString host;
    int port = 1883;
    QString prefix; // empty: the default, qf7320/<hostname>
};
std::optional<BrokerAddress> parseBrokerUrl(const QString& url, QString& error);

// Where samples wait for the broker when --mqtt-store is not given: $XDG_STATE_HOME/qf7320,
// else ~/.local/state/qf7320.
QString defaultStoreDir();

// Checks the poll's MQTT options, loads the plugin and starts the publisher. kExitOk with the
// publisher; otherwise the exit status once the reason is said: 1 for an option or a file, 2 for
// a broker that refuses the credentials or whose certificate does not verify.
int startPublisher(Context& context, std::unique_ptr<Publisher>& publisher);

} // namespace cli::publish
