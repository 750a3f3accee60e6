// The manual page qf7320(1), written in roff from the same table of commands that --help prints,
// so that every command and option a build has is in its manual.

#include "cli/command.h"
#include "cli/line.h"

#include <QRegularExpression>

namespace cli {

namespace {

// Text as roff reads it: a backslash doubled as \e, a line never starting with a control
// character, a minus sign where a dash starts an option or stands alone (so that "--port"
// can be copied from the page), anything beyond ASCII by its code point.
QString roff(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\')) {
            out += QStringLiteral("\\e");
        } else if (c == QLatin1Char('-') &&
                   (i == 0 || !text.at(i - 1).isLetterOrNumber() ||
                    (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('-')))) {
            out += QStringLiteral("\\-");
        } else if (c.unicode() > 0x7e) {
            out += QStringLiteral("\\[u%1]").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
        } else {
            out += c;
        }
    }
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QStringLiteral("\\&"));
    return out;
}

// ".TP" entries: each option in bold with its value in italics, then what it does.
QString optionEntries(const QList<QCommandLineOption>& options) {
    QString text;
    for (const QCommandLineOption& option : options) {
        QStringList names;
        for (const QString& name : option.names())
            names << QStringLiteral("\\fB%1\\fR")
                         .arg(roff((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) +
                                   name));
        QString head = names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty())
            head += QStringLiteral(" \\fI%1\\fR").arg(roff(option.valueName()));
        text += QStringLiteral(".TP\n%1\n%2\n").arg(head, roff(option.description()));
    }
    return text;
}

QString exampleLines(const QStringList& examples) {
    QString text = QStringLiteral(".PP\n.RS\n.nf\n");
    for (const QString& example : examples)
        text += roff(example) + QLatin1Char('\n');
    return text + QStringLiteral(".fi\n.RE\n");
}

constexpr qsizetype kLineBytes = 78;

// The page with no text line longer than a terminal's 80 columns: filled text is broken at
// blanks (roff joins it again); a line of an example (between .nf and .fi) is continued with a
// trailing backslash, which roff reads as no break at all.
QString shortLines(const QString& page) {
    QStringList out;
    bool unfilled = false;
    for (const QString& line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".nf")))
            unfilled = true;
        else if (line.startsWith(QLatin1String(".fi")))
            unfilled = false;
        if (line.size() <= kLineBytes || line.startsWith(QLatin1Char('.'))) {
            out << line;
            continue;
        }
        // A piece may now start with a character roff takes for a request.
        const auto piece = [&](QString text) {
            if (text.startsWith(QLatin1Char('.')) || text.startsWith(QLatin1Char('\'')))
                text.prepend(QStringLiteral("\\&"));
            out << text;
        };
        QString current;
        for (const QString& word : line.split(QLatin1Char(' '))) {
            if (!current.isEmpty() && current.size() + 1 + word.size() > kLineBytes - 2) {
                piece(unfilled ? current + QStringLiteral(" \\") : current);
                current.clear();
            }
            if (!current.isEmpty())
                current += QLatin1Char(' ');
            current += word;
        }
        piece(current);
    }
    return out.join(QLatin1Char('\n'));
}

QString synopsis(const Verb& verb) {
    QString text = QStringLiteral(".B qf7320 %1\n").arg(roff(verb.name));
    if (!verb.arguments.isEmpty())
        text += QStringLiteral(".I %1\n").arg(roff(verb.arguments));
    return text + QStringLiteral("[\\fIoptions\\fR]\n");
}

} // namespace

QString manualPage() {
    const Verb* first = verbs().empty() ? nullptr : &verbs().front();
    QString page;
    page += QStringLiteral(".\\\" The manual of qf7320, written by qf7320 --man from its table of "
                           "commands.\n");
    page += QStringLiteral(".TH QF7320 1 %1 \"qf7320-tool %2\" \"User Commands\"\n")
                .arg(QStringLiteral(QF_MANUAL_DATE), QStringLiteral(QF7320_VERSION));
    page += QStringLiteral(".SH NAME\nqf7320 \\- a QF7320 illuminance sensor from the command "
                           "line\n");

    page += QStringLiteral(".SH SYNOPSIS\n");
    for (const Verb& verb : verbs())
        page += synopsis(verb) + QStringLiteral(".br\n");
    page += QStringLiteral(".B qf7320 help\n.I COMMAND\n.br\n.B qf7320 \\-\\-version\n");

    page += QStringLiteral(".SH DESCRIPTION\n%1\n").arg(roff(programSummary()));
    page += QStringLiteral(
        ".PP\nA command talks to the sensor at \\fB\\-\\-station\\fR over the serial line "
        "\\fB\\-\\-port\\fR at \\fB\\-\\-baud\\fR; without them, the port and the rate the "
        "window qf7320\\-tool last saved in \\fIcomm.set\\fR are used. Data go to standard "
        "output, one fact a line (or one JSON object a line with \\fB\\-\\-json\\fR); messages "
        "and the frame trace go to standard error.\n");

    page += QStringLiteral(".SH COMMANDS\n");
    for (const Verb& verb : verbs()) {
        page += QStringLiteral(".SS \"%1%2\"\n")
                    .arg(roff(verb.name), verb.arguments.isEmpty()
                                              ? QString()
                                              : QLatin1Char(' ') + roff(verb.arguments));
        page += roff(verb.description) + QLatin1Char('\n');
        if (first && (verb.timeoutMs != first->timeoutMs || verb.retries != first->retries))
            page += QStringLiteral(".PP\nHere \\fB\\-\\-timeout\\fR defaults to %1 ms and "
                                   "\\fB\\-\\-retries\\fR to %2.\n")
                        .arg(verb.timeoutMs)
                        .arg(verb.retries);
        page += optionEntries(verb.options);
        page += exampleLines(verb.examples);
    }
    page += QStringLiteral(".SS \"help COMMAND\"\nThe command's options and examples, as "
                           "\\fBqf7320 \\fIcommand\\fB \\-\\-help\\fR prints them.\n");

    page += QStringLiteral(".SH OPTIONS\nEvery command takes these.\n");
    page += optionEntries(commonOptions(nullptr) + QList{versionOption()});

    page += QStringLiteral(".SH EXIT STATUS\n");
    for (const ExitStatus& status : exitStatuses())
        page += QStringLiteral(".TP\n.B %1\n%2\n").arg(status.code).arg(roff(status.meaning));

    page += QStringLiteral(".SH ENVIRONMENT\n.TP\n.B XDG_STATE_HOME\nWhere the MQTT store "
                           "lives, as under FILES.\n");

    page += QStringLiteral(
        ".SH FILES\n"
        ".TP\n.I comm.set\n"
        "In the directory that holds qf7320, beside the window: one line of ASCII, the port "
        "number, a comma and the baud rate (\\fB3,9600\\fR is COM3 at 9600 baud), which the "
        "window writes when its settings are saved. Without \\fB\\-\\-port\\fR or "
        "\\fB\\-\\-baud\\fR, what is missing comes from here.\n"
        ".TP\n.IR COM1 \" .. \" COM16\n"
        "In the same directory: an entry named \\fBCOM\\fIn\\fR, normally a symbolic link made "
        "by \\fBqf7320 link\\fR, is the device that port \\fIn\\fR opens, for the window and for "
        "\\fB\\-p COM\\fIn\\fR; without one, port \\fIn\\fR is \\fI/dev/ttyS{n\\-1}\\fR. "
        "\\fBqf7320 ports\\fR shows what each opens.\n"
        ".TP\n.IR $XDG_STATE_HOME/qf7320 \", else \" ~/.local/state/qf7320\n"
        "The MQTT store of \\fBpoll\\fR: what its MQTT publishing keeps between runs. "
        "\\fB\\-\\-mqtt\\-store\\fR \\fIDIR\\fR names another directory.\n");

    page += QStringLiteral(".SH EXAMPLES\nA production line: a sensor fresh from assembly at "
                           "the factory address 1 is calibrated, checked, moved to the address "
                           "its installation needs, and a reading is logged; each step stops the "
                           "script with a status that says what went wrong.\n");
    page += exampleLines({QStringLiteral("#!/bin/sh"), QStringLiteral("set -e"),
                          QStringLiteral("port=/dev/ttyUSB0"),
                          QStringLiteral("qf7320 -p $port set scale 1.0425"),
                          QStringLiteral("qf7320 -p $port set offset -12"),
                          QStringLiteral("qf7320 -p $port address --set 7"),
                          QStringLiteral("qf7320 -p $port -s 7 read --json >> calibration.jsonl")});
    page += QStringLiteral(".PP\nA day logged once a minute, then drawn:\n");
    page += exampleLines({QStringLiteral("qf7320 -p COM3 poll --period 60000 --duration 86400 "
                                         "--csv day.csv"),
                          QStringLiteral("qf7320 plot day.csv -o day.png")});
    page += QStringLiteral(".SH SEE ALSO\n.BR mbpoll (1)");
    return shortLines(page);
}

} // namespace cli
