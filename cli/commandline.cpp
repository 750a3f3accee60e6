// The command line of qf7320: finding the command, its options and its help.

#include "cli/command.h"

#include <QSet>

namespace cli {

namespace {

constexpr int kLongestTimeoutMs = 600000;
constexpr int kLongestGapMs = 10000;
constexpr int kNetworkTimeoutMs = 1000; // the default --timeout over a network
constexpr int kMostRetries = 100;
constexpr int kHighestStation = 247;
constexpr qsizetype kOptionColumn = 26;
constexpr qsizetype kHelpWidth = 100;

// The words of `text` in lines of at most kHelpWidth characters, every line after the first
// indented by `indent` blanks.
QString wrapped(const QString& text, qsizetype indent, qsizetype firstColumn = 0) {
    QString result;
    qsizetype column = firstColumn;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (column > indent && column + 1 + word.size() > kHelpWidth) {
            result += QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            column = indent;
        } else if (column > firstColumn || !result.isEmpty()) {
            result += QLatin1Char(' ');
            ++column;
        }
        result += word;
        column += word.size();
    }
    return result;
}

// "read, get and poll": the commands whose -s takes a list.
QString stationListCommands() {
    QStringList names;
    for (const Verb& verb : verbs())
        if (verb.stationList)
            names << verb.name;
    const QString last = names.isEmpty() ? QString() : names.takeLast();
    return names.isEmpty() ? last
                           : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

} // namespace

QList<QCommandLineOption> commonOptions(const Verb* verb) {
    const QString timeout =
        verb ? QString::number(verb->timeoutMs) : QStringLiteral("500; scan: 50");
    const QString retries = verb ? QString::number(verb->retries) : QStringLiteral("1; scan: 0");
    return {
        {{QStringLiteral("p"), QStringLiteral("port")},
         QStringLiteral("a device such as /dev/ttyUSB0, or COMn resolved as the window does "
                        "(the entry COMn beside qf7320, else /dev/ttyS{n-1}); "
                        "rtu+tcp://HOST[:PORT] for RTU frames through a transparent serial "
                        "device server, tcp://HOST[:PORT] for a Modbus TCP gateway (port 502 "
                        "unless given; an IPv6 address in brackets: tcp://[::1]:1502); default: "
                        "the port saved in comm.set beside qf7320"),
         QStringLiteral("PORT")},
        {{QStringLiteral("b"), QStringLiteral("baud")},
         QStringLiteral("the line's rate: %1; default: the rate in comm.set, else 9600. For "
                        "rtu+tcp:// the rate of the server's serial line, which times the "
                        "request and the gap (default 9600; it is set on the server); not used "
                        "with tcp://")
             .arg(baudListText()),
         QStringLiteral("N")},
        {{QStringLiteral("s"), QStringLiteral("station")},
         QStringLiteral("the sensor's station address, 1-247 (default 1); %1 take a list such "
                        "as 1,3,5-7")
             .arg(stationListCommands()),
         QStringLiteral("N")},
        {QStringLiteral("timeout"),
         QStringLiteral("how long the sensor may take to answer once the request is on the "
                        "line (default %1; %2 over rtu+tcp:// and tcp://)")
             .arg(timeout)
             .arg(kNetworkTimeoutMs),
         QStringLiteral("MS")},
        {QStringLiteral("connect-timeout"),
         QStringLiteral("rtu+tcp:// and tcp://: how long the connection may take to be made, "
                        "name lookup included (default %1)")
             .arg(transport::kDefaultConnectTimeoutMs),
         QStringLiteral("MS")},
        {QStringLiteral("gap"),
         QStringLiteral("the silence kept between the end of one transaction (its reply or its "
                        "timeout) and the next request (default: 3.5 characters at the rate, at "
                        "least 2 ms; 0 on tcp://)"),
         QStringLiteral("MS")},
        {QStringLiteral("retries"),
         QStringLiteral("ask again this many times after no reply or a bad reply (default %1)")
             .arg(retries),
         QStringLiteral("N")},
        {QStringLiteral("json"),
         QStringLiteral("one JSON object per result on standard output, also for a failure")},
        {{QStringLiteral("v"), QStringLiteral("trace")},
         QStringLiteral("every frame on standard error with its time and the reply's latency")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("show this help")},
    };
}

QCommandLineOption versionOption() {
    return {QStringLiteral("version"), QStringLiteral("the program's name and version")};
}

const std::vector<ExitStatus>& exitStatuses() {
    static const std::vector<ExitStatus> statuses{
        {kExitOk, QStringLiteral("done")},
        {kExitUsage, QStringLiteral("bad usage or a refused value: nothing was sent")},
        {kExitPort, QStringLiteral("the port cannot be opened (not found, busy, permission "
                                   "denied), or it was lost; the connection cannot be made (host "
                                   "not resolved, refused, no answer) or it was dropped; poll "
                                   "--mqtt: the broker refused the password, or its certificate "
                                   "does not verify")},
        {kExitNoReply,
         QStringLiteral("no reply: timeout after every retry (also an incomplete reply)")},
        {kExitBadReply,
         QStringLiteral("bad reply: wrong CRC, station, function, byte count or echo")},
        {kExitException, QStringLiteral("the sensor answered with an exception")},
        {kExitVerify, QStringLiteral("verification failed: the value read back differs, or the "
                                     "sensor does not answer at its new address")},
    };
    return statuses;
}

QString programSummary() {
    return QStringLiteral("Reads, sets and checks a QF7320 illuminance sensor over a serial line "
                          "(Modbus RTU), or through a serial device server (rtu+tcp://) or a "
                          "Modbus TCP gateway (tcp://): measurements, calibration, the station "
                          "address, finding a sensor, logging.");
}

QString versionText() {
    return QStringLiteral("qf7320 " QF7320_VERSION);
}

namespace {

const Verb* findVerb(const QString& name) {
    for (const Verb& verb : verbs())
        if (verb.name == name)
            return &verb;
    return nullptr;
}

QString optionLines(const QList<QCommandLineOption>& options) {
    QString text;
    for (const QCommandLineOption& option : options) {
        QStringList names;
        for (const QString& name : option.names())
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        QString left = QStringLiteral("  ") + names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty())
            left += QLatin1Char(' ') + option.valueName();
        if (left.size() >= kOptionColumn)
            left += QLatin1Char('\n') + QString(kOptionColumn, QLatin1Char(' '));
        else
            left = left.leftJustified(kOptionColumn);
        text +=
            left + wrapped(option.description(), kOptionColumn, kOptionColumn) + QLatin1Char('\n');
    }
    return text;
}

QString exitStatusLines() {
    QString text = QStringLiteral("Exit status:\n");
    for (const ExitStatus& status : exitStatuses())
        text += QStringLiteral("  %1  ").arg(status.code) + wrapped(status.meaning, 5, 5) +
                QLatin1Char('\n');
    text += wrapped(QStringLiteral("read and get with several stations (-s 1,3,5-7) exit with the "
                                   "worst of their statuses, in this order: 2, 5, 4, 3, 0."),
                    0) +
            QLatin1Char('\n');
    return text;
}

QString overallHelp() {
    QString text = QStringLiteral("usage: qf7320 COMMAND [options]\n"
                                  "       qf7320 help COMMAND\n\n") +
                   wrapped(programSummary(), 0) + QStringLiteral("\n\nCommands:\n");
    for (const Verb& verb : verbs())
        text += QStringLiteral("  %1%2\n").arg(verb.name.leftJustified(10), verb.summary);
    text += QStringLiteral("  %1%2\n")
                .arg(QStringLiteral("help").leftJustified(10),
                     QStringLiteral("a command's options and an example: qf7320 help COMMAND"));
    text += QStringLiteral("\nOptions of every command:\n") +
            optionLines(commonOptions(nullptr) + QList{versionOption()});
    text += QLatin1Char('\n') + exitStatusLines();
    text += QStringLiteral("\nExamples:\n"
                           "  qf7320 --port /dev/ttyUSB0 read\n"
                           "  qf7320 -p COM3 -b 19200 -s 5 get\n"
                           "  qf7320 -p tcp://192.168.1.50 -s 1,2,7 read --json\n"
                           "  qf7320 help poll\n");
    return text;
}

QString verbHelp(const Verb& verb) {
    QString text =
        QStringLiteral("usage: qf7320 %1%2 [options]\n\n")
            .arg(verb.name,
                 verb.arguments.isEmpty() ? QString() : QLatin1Char(' ') + verb.arguments);
    text += wrapped(verb.description, 0) + QStringLiteral("\n");
    if (!verb.options.isEmpty())
        text += QStringLiteral("\nOptions:\n") + optionLines(verb.options);
    text += QStringLiteral("\nOptions of every command:\n") + optionLines(commonOptions(&verb));
    text += QStringLiteral("\n") + exitStatusLines();
    text += QStringLiteral("\n%1:\n").arg(verb.examples.size() == 1 ? QStringLiteral("Example")
                                                                    : QStringLiteral("Examples"));
    for (const QString& example : verb.examples)
        text += QStringLiteral("  ") + example + QLatin1Char('\n');
    return text;
}

// Every option any command knows, each once: with these, an option's value is never taken for
// the command's name, wherever the options stand.
QList<QCommandLineOption> everyOption() {
    QList<QCommandLineOption> options = commonOptions(nullptr) + QList{versionOption()};
    QSet<QString> known;
    for (const QCommandLineOption& option : options)
        known.insert(option.names().constFirst());
    for (const Verb& verb : verbs())
        for (const QCommandLineOption& option : verb.options)
            if (!known.contains(option.names().constFirst())) {
                known.insert(option.names().constFirst());
                options << option;
            }
    return options;
}

QString commandNames() {
    QStringList names;
    for (const Verb& verb : verbs())
        names << verb.name;
    return names.join(QStringLiteral(", "));
}

// The common options, checked; the reason when one is wrong.
std::optional<Common> commonFrom(const QCommandLineParser& parser, const Verb& verb,
                                 const QString& programDir, QString& error) {
    const auto value = [&](const char* name) { return optionValue(parser, QLatin1String(name)); };
    const auto isSet = [&](const char* name) { return parser.isSet(QLatin1String(name)); };
    Common common;
    common.programDir = programDir;
    common.json = isSet("json");
    common.trace = isSet("trace");
    for (const char* name :
         {"port", "baud", "station", "timeout", "retries", "connect-timeout", "gap"})
        if (isSet(name) && value(name).isEmpty()) {
            error = QStringLiteral("--%1 needs a value").arg(QLatin1String(name));
            return std::nullopt;
        }

    if (verb.usesLine) {
        const LineChoice line = chooseLine(value("port"), value("baud"), programDir);
        if (!line.line) {
            error = line.error;
            return std::nullopt;
        }
        common.line = *line.line;
    }

    if (isSet("station")) {
        const auto stations = parseStationList(value("station"));
        if (!stations) {
            error = verb.stationList
                        ? QStringLiteral("--station %1 is not a station address or a list of them "
                                         "such as 1,3,5-7: 1-%2")
                              .arg(value("station"))
                              .arg(kHighestStation)
                        : QStringLiteral("--station %1 is not a station address: 1-%2")
                              .arg(value("station"))
                              .arg(kHighestStation);
            return std::nullopt;
        }
        if (stations->size() > 1 && !verb.stationList) {
            error = QStringLiteral("%1 talks to one station at a time, not %2: give -s one "
                                   "address (%3 take a list)")
                        .arg(verb.name, value("station"), stationListCommands());
            return std::nullopt;
        }
        common.stations = *stations;
    } else {
        common.stations = {1};
    }
    // A reply through a gateway crosses a network and a serial line, and its gateway may wait
    // out a silent sensor before it says so.
    const int defaultTimeout = common.line.isNetwork() ? kNetworkTimeoutMs : verb.timeoutMs;
    const auto timeout =
        wholeOption(parser, QStringLiteral("timeout"), 1, kLongestTimeoutMs, defaultTimeout,
                    QStringLiteral("a time in milliseconds"), error);
    const auto retries = wholeOption(parser, QStringLiteral("retries"), 0, kMostRetries,
                                     verb.retries, QStringLiteral("a count"), error);
    const auto connectTimeout = wholeOption(parser, QStringLiteral("connect-timeout"), 1,
                                            kLongestTimeoutMs, transport::kDefaultConnectTimeoutMs,
                                            QStringLiteral("a time in milliseconds"), error);
    const auto gap = wholeOption(parser, QStringLiteral("gap"), 0, kLongestGapMs, -1,
                                 QStringLiteral("a time in milliseconds"), error);
    if (!timeout || !retries || !connectTimeout || !gap)
        return std::nullopt;
    common.connectTimeoutMs = static_cast<int>(*connectTimeout);
    if (*gap >= 0)
        common.gapMs = static_cast<int>(*gap);
    common.station = common.stations.front();
    common.timeoutMs = static_cast<int>(*timeout);
    common.retries = static_cast<int>(*retries);
    return common;
}

} // namespace

int runCommandLine(const QStringList& rawArguments, const QString& programDir) {
    const QStringList arguments = markNegativeNumbers(rawArguments);
    Output plain(false, false);

    // Not for users: the build writes the manual page and the bash completion with these.
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--man")) {
        plain.data(manualPage());
        return kExitOk;
    }
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--completion")) {
        plain.data(bashCompletion());
        return kExitOk;
    }

    QCommandLineParser scout;
    scout.addOptions(everyOption());
    scout.parse(arguments);
    const QStringList positional = scout.positionalArguments();
    if (positional.isEmpty()) {
        if (scout.isSet(QStringLiteral("version"))) {
            plain.data(versionText());
            return kExitOk;
        }
        if (scout.isSet(QStringLiteral("help"))) {
            plain.data(overallHelp());
            return kExitOk;
        }
        plain.message(QStringLiteral("qf7320: no command given: one of %1. See qf7320 --help")
                          .arg(commandNames()));
        return kExitUsage;
    }

    if (positional.first() == QLatin1String("help")) {
        if (positional.size() < 2) {
            plain.data(overallHelp());
            return kExitOk;
        }
        if (const Verb* verb = findVerb(positional.at(1))) {
            plain.data(verbHelp(*verb));
            return kExitOk;
        }
        plain.message(QStringLiteral("qf7320: no help for '%1': the commands are %2")
                          .arg(positional.at(1), commandNames()));
        return kExitUsage;
    }

    const Verb* verb = findVerb(positional.first());
    if (!verb) {
        plain.message(QStringLiteral("qf7320: unknown command '%1': one of %2. See qf7320 --help")
                          .arg(positional.first(), commandNames()));
        return kExitUsage;
    }

    QCommandLineParser parser;
    parser.addOptions(commonOptions(verb) + verb->options);
    if (!parser.parse(arguments)) {
        plain.message(
            QStringLiteral("qf7320 %1: %2 See qf7320 help %1").arg(verb->name, parser.errorText()));
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        plain.data(verbHelp(*verb));
        return kExitOk;
    }

    QString error;
    const std::optional<Common> common = commonFrom(parser, *verb, programDir, error);
    if (!common) {
        plain.message(QStringLiteral("qf7320 %1: %2").arg(verb->name, error));
        return kExitUsage;
    }
    Output out(common->json, common->trace);
    Context context(parser, *common, out, verb->name);
    return verb->run(context);
}

} // namespace cli
