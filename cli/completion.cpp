// The bash completion of qf7320, written from the table of commands: the commands, each
// command's options, the words a command's arguments take, and for --port the serial devices
// present. Everything but the devices is fixed when the script is written, so a Tab runs no
// program.

#include "cli/command.h"
#include "cli/line.h"

#include <QSet>

namespace cli {

namespace {

QString optionWords(const QList<QCommandLineOption>& options) {
    QStringList words;
    for (const QCommandLineOption& option : options)
        for (const QString& name : option.names())
            words << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    return words.join(QLatin1Char(' '));
}

QString names(const QCommandLineOption& option) {
    QStringList words;
    for (const QString& name : option.names())
        words << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    return words.join(QLatin1Char('|'));
}

// What the shell offers for an option's value, from what the value is.
QString valueCompletion(const QCommandLineOption& option) {
    const QString name = option.names().constLast();
    const QString value = option.valueName();
    if (name == QLatin1String("port"))
        return QStringLiteral("_qf7320_offer \"$(_qf7320_devices)\"");
    if (name == QLatin1String("baud"))
        return QStringLiteral("_qf7320_offer '%1'").arg(baudListText());
    if (value == QLatin1String("DIR"))
        return QStringLiteral("_qf7320_files -d");
    if (value.startsWith(QLatin1String("FILE")) || value == QLatin1String("OUT"))
        return QStringLiteral("_qf7320_files -f");
    return QStringLiteral(":"); // a number, a time, a list: nothing to offer
}

// What the shell offers for a word of a command's synopsis ("[scale|offset|all]", "NAME",
// "COMn", "DEVICE", "FILE").
QString argumentCompletion(QString word, const QStringList& parameters) {
    word.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    if (word.contains(QLatin1Char('|')))
        return QStringLiteral("_qf7320_offer '%1'").arg(word.split(QLatin1Char('|')).join(' '));
    if (word == QLatin1String("NAME"))
        return QStringLiteral("_qf7320_offer '%1'").arg(parameters.join(QLatin1Char(' ')));
    if (word == QLatin1String("COMn"))
        return QStringLiteral("_qf7320_offer \"$(printf 'COM%s ' {1..16})\"");
    if (word == QLatin1String("DEVICE"))
        return QStringLiteral("_qf7320_offer \"$(_qf7320_devices)\"");
    if (word.startsWith(QLatin1String("FILE")))
        return QStringLiteral("_qf7320_files -f");
    return {};
}

} // namespace

QString bashCompletion() {
    const QList<QCommandLineOption> common = commonOptions(nullptr) + QList{versionOption()};
    QStringList commands;
    for (const Verb& verb : verbs())
        commands << verb.name;
    commands << QStringLiteral("help");

    // Every option that takes a value, each once, with what its value completes to.
    QList<QCommandLineOption> valued;
    QSet<QString> seen;
    QList<QCommandLineOption> every = common;
    for (const Verb& verb : verbs())
        every += verb.options;
    for (const QCommandLineOption& option : every)
        if (!option.valueName().isEmpty() && !seen.contains(names(option))) {
            seen.insert(names(option));
            valued << option;
        }
    QStringList valuedWords;
    for (const QCommandLineOption& option : valued)
        valuedWords << optionWords({option});

    QString text = QStringLiteral(
        "# bash completion for qf7320, written by qf7320 --completion from its table of "
        "commands.\n\n"
        "# The serial devices present, then the ports the window knows.\n"
        "_qf7320_devices() {\n"
        "    local device\n"
        "    for device in /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/rfcomm* "
        "/dev/serial/by-id/*; do\n"
        "        [[ -e $device ]] && printf '%s ' \"$device\"\n"
        "    done\n"
        "    printf 'COM%s ' {1..16}\n"
        "}\n\n"
        "_qf7320_offer() {\n"
        "    local IFS=$' \\t\\n'\n"
        "    COMPREPLY=($(compgen -W \"$1\" -- \"$cur\"))\n"
        "}\n\n"
        "_qf7320_files() {\n"
        "    compopt -o filenames 2>/dev/null\n"
        "    local IFS=$'\\n'\n"
        "    COMPREPLY=($(compgen \"$1\" -- \"$cur\"))\n"
        "}\n\n"
        "_qf7320() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
        "    COMPREPLY=()\n\n"
        "    # The command, and how many of its arguments come before the word completed; a\n"
        "    # word after an option that takes a value is that value.\n"
        "    local valued=' ");
    text += valuedWords.join(QLatin1Char(' '));
    text += QStringLiteral(" '\n"
                           "    local command='' arguments=0 i word\n"
                           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
                           "        word=${COMP_WORDS[i]}\n"
                           "        if [[ $word == -* ]]; then\n"
                           "            [[ $valued == *\" $word \"* ]] && ((i++))\n"
                           "        elif [[ -z $command ]]; then\n"
                           "            command=$word\n"
                           "        else\n"
                           "            ((arguments++))\n"
                           "        fi\n"
                           "    done\n\n"
                           "    case $prev in\n");
    // Options whose values complete alike share a case, in the order first met.
    QStringList offers;
    QList<QStringList> optionsOffering;
    for (const QCommandLineOption& option : valued) {
        const QString offer = valueCompletion(option);
        qsizetype at = offers.indexOf(offer);
        if (at < 0) {
            at = offers.size();
            offers << offer;
            optionsOffering << QStringList();
        }
        optionsOffering[at] << names(option);
    }
    for (qsizetype i = 0; i < offers.size(); ++i)
        text += QStringLiteral("    %1)\n        %2\n        return\n        ;;\n")
                    .arg(optionsOffering.at(i).join(QLatin1Char('|')), offers.at(i));
    text += QStringLiteral("    esac\n\n"
                           "    if [[ $cur == -* ]]; then\n"
                           "        case $command in\n");
    for (const Verb& verb : verbs())
        text += QStringLiteral("        %1) _qf7320_offer '%2' ;;\n")
                    .arg(verb.name, optionWords(verb.options + commonOptions(&verb)));
    text += QStringLiteral("        *) _qf7320_offer '%1' ;;\n"
                           "        esac\n"
                           "        return\n"
                           "    fi\n\n"
                           "    case $command in\n"
                           "    '') _qf7320_offer '%2' ;;\n"
                           "    help) ((arguments == 0)) && _qf7320_offer '%3' ;;\n")
                .arg(optionWords(common), commands.join(QLatin1Char(' ')),
                     commands.mid(0, commands.size() - 1).join(QLatin1Char(' ')));
    const QStringList parameters = calibrationParameterNames();
    for (const Verb& verb : verbs()) {
        QStringList cases;
        const QStringList words = verb.arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (qsizetype i = 0; i < words.size(); ++i) {
            const QString offer = argumentCompletion(words.at(i), parameters);
            if (!offer.isEmpty())
                cases << QStringLiteral("        %1) %2 ;;\n").arg(i).arg(offer);
        }
        if (!cases.isEmpty())
            text += QStringLiteral("    %1)\n        case $arguments in\n%2        esac\n"
                                   "        ;;\n")
                        .arg(verb.name, cases.join(QString()));
    }
    text += QStringLiteral("    esac\n"
                           "}\n\n"
                           "complete -F _qf7320 qf7320");
    return text;
}

} // namespace cli
