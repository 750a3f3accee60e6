#include "cli/publish/loader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QRegularExpression>
#include <QSysInfo>

namespace cli::publish {

namespace {

constexpr long long kMostBuffered = 100000000;
const char* const kPasswordVariable = "QF7320_MQTT_PASSWORD";

QString pluginPath(const QString& programDir) {
    return QDir(programDir).filePath(QStringLiteral("qf7320-mqtt.so"));
}

} // namespace

std::optional<BrokerAddress> parseBrokerUrl(const QString& url, QString& error) {
    static const QRegularExpression form(QStringLiteral(
        "^(mqtts?)://(?:([^@/:]+)@)?([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(?::(\\d{1,5}))?(/.*)?$"));
    const QRegularExpressionMatch match = form.match(url);
    if (!match.hasMatch()) {
        // The text is not repeated: it may hold a password typed where it does not belong.
        error = QStringLiteral("--mqtt takes a broker's address: mqtt://[USER@]HOST[:PORT]"
                               "[/PREFIX] or mqtts://... (the password comes from %1 or "
                               "--mqtt-password-file, never from the address)")
                    .arg(QLatin1String(kPasswordVariable));
        return std::nullopt;
    }
    BrokerAddress address;
    address.tls = match.captured(1) == QLatin1String("mqtts");
    address.user = match.captured(2);
    address.host = match.captured(3);
    address.port = address.tls ? 8883 : 1883;
    if (match.hasCaptured(4) && !match.captured(4).isEmpty()) {
        address.port = match.captured(4).toInt();
        if (address.port < 1 || address.port > 65535) {
            error = QStringLiteral("--mqtt %1: the port is not 1-65535").arg(url);
            return std::nullopt;
        }
    }
    QString prefix = match.captured(5);
    while (prefix.startsWith(QLatin1Char('/')))
        prefix.remove(0, 1);
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    if (prefix.contains(QLatin1Char('#')) || prefix.contains(QLatin1Char('+'))) {
        error = QStringLiteral("--mqtt %1: a topic prefix cannot hold # or +").arg(url);
        return std::nullopt;
    }
    address.prefix = prefix;
    return address;
}

QString defaultStoreDir() {
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty())
        return QDir(state).filePath(QStringLiteral("qf7320"));
    return QDir::home().filePath(QStringLiteral(".local/state/qf7320"));
}

int startPublisher(Context& context, std::unique_ptr<Publisher>& publisher) {
    const auto value = [&](const char* name) { return context.value(QLatin1String(name)); };
    const auto given = [&](const char* name) { return context.isSet(QLatin1String(name)); };

    QString error;
    const std::optional<BrokerAddress> address = parseBrokerUrl(value("mqtt"), error);
    if (!address)
        return context.usage(error);
    const auto buffer = context.wholeOption(QStringLiteral("mqtt-buffer"), 1, kMostBuffered, 100000,
                                            QStringLiteral("a count of samples"));
    if (!buffer)
        return kExitUsage;
    if (!address->tls && (given("mqtt-ca") || given("mqtt-insecure")))
        return context.usage(
            QStringLiteral("--mqtt-ca and --mqtt-insecure go with an mqtts:// address"));

    Settings settings;
    settings.tls = address->tls;
    settings.host = address->host.toStdString();
    settings.port = address->port;
    settings.user = address->user.toStdString();
    settings.hostname = QSysInfo::machineHostName().toStdString();
    if (settings.hostname.empty())
        settings.hostname = "localhost";
    settings.prefix =
        address->prefix.isEmpty() ? "qf7320/" + settings.hostname : address->prefix.toStdString();
    settings.clientId =
        "qf7320-" + settings.hostname + "-" + std::to_string(QCoreApplication::applicationPid());

    // The password never comes from an argument, which every user of the machine can read.
    if (given("mqtt-password-file")) {
        QFile file(value("mqtt-password-file"));
        if (!file.open(QIODevice::ReadOnly))
            return context.usage(QStringLiteral("cannot read the password file %1: %2")
                                     .arg(file.fileName(), file.errorString()));
        QByteArray password = file.readLine();
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        settings.password = password.toStdString();
    } else {
        settings.password = qEnvironmentVariable(kPasswordVariable).toStdString();
    }
    if (!settings.password.empty() && settings.user.empty())
        return context.usage(QStringLiteral("a password needs a user: mqtt://USER@HOST..."));

    if (given("mqtt-ca")) {
        if (!QFile::exists(value("mqtt-ca")))
            return context.usage(
                QStringLiteral("--mqtt-ca %1: no such file").arg(value("mqtt-ca")));
        settings.caFile = QFile::encodeName(value("mqtt-ca")).toStdString();
    }
    settings.insecure = given("mqtt-insecure");
    settings.storeDir =
        QFile::encodeName(given("mqtt-store") ? value("mqtt-store") : defaultStoreDir())
            .toStdString();
    settings.buffer = *buffer;
    settings.homeAssistant = given("ha");
    if (given("ha-prefix")) {
        if (!settings.homeAssistant)
            return context.usage(QStringLiteral("--ha-prefix goes with --ha"));
        settings.haPrefix = value("ha-prefix").toStdString();
    }
    settings.stations = context.common().stations;
    settings.version = QCoreApplication::applicationVersion().isEmpty()
                           ? std::string(QF_VERSION)
                           : QCoreApplication::applicationVersion().toStdString();
    settings.say = [&context](const std::string& text) {
        context.out().message(QString::fromStdString(text));
    };

    // Loaded only now, so that no other command pays for the MQTT and TLS libraries. It stays
    // loaded until the program ends.
    static QLibrary plugin;
    plugin.setFileName(pluginPath(context.common().programDir));
    const auto create = reinterpret_cast<CreatePublisher>(plugin.resolve(kCreatePublisherSymbol));
    if (!create)
        return context.usage(QStringLiteral("--mqtt needs the plugin %1 beside qf7320: %2")
                                 .arg(plugin.fileName(), plugin.errorString()));
    publisher.reset(create(settings));
    std::string why;
    const Publisher::Start started = publisher->start(why);
    if (started == Publisher::Start::Started)
        return kExitOk;
    context.out().message(QStringLiteral("qf7320: %1").arg(QString::fromStdString(why)));
    publisher.reset();
    return started == Publisher::Start::Refused ? kExitPort : kExitUsage;
}

} // namespace cli::publish
