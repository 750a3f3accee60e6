// The bash completion of qf7320, written from the table of commands: the commands, each
// command's options, the words a command's arguments take, and for --port the serial devices
// present. Everything but the devices is fixed when the script is written, so a Tab runs no
// program.

#include "cli/command.h"
#include "cli/line.h"
#include "platform/text.h"

#include <algorithm>
#include <set>

namespace cli {

namespace {

// An option's names as typed: -p, --port.
std::vector<std::string> typedNames(const Option& option) {
    std::vector<std::string> words;
    for (const std::string_view name : option.names)
        words.push_back(optionWord(name));
    return words;
}

std::string optionWords(const std::vector<Option>& options) {
    std::vector<std::string> words;
    for (const Option& option : options)
        for (std::string& word : typedNames(option))
            words.push_back(std::move(word));
    return text::join(words, " ");
}

std::string names(const Option& option) {
    return text::join(typedNames(option), "|");
}

// What the shell offers for an option's value, from what the value is.
std::string valueCompletion(const Option& option) {
    const std::string name =
        option.names.empty() ? std::string() : std::string(option.names.back());
    const std::string value = option.valueName.str();
    if (name == "port")
        return "_qf7320_offer \"$(_qf7320_devices)\"";
    if (name == "baud")
        return text::format("_qf7320_offer '%1'", {baudListText()});
    if (value == "DIR")
        return "_qf7320_files -d";
    if (value.starts_with("FILE") || value == "OUT")
        return "_qf7320_files -f";
    return ":"; // a number, a time, a list: nothing to offer
}

// What the shell offers for a word of a command's synopsis ("[scale|offset|all]", "NAME",
// "COMn", "DEVICE", "FILE").
std::string argumentCompletion(std::string word, const std::vector<std::string>& parameters) {
    std::erase_if(word, [](char c) { return c == '[' || c == ']'; });
    if (word.find('|') != std::string::npos)
        return text::format("_qf7320_offer '%1'", {text::join(text::split(word, '|'), " ")});
    if (word == "NAME")
        return text::format("_qf7320_offer '%1'", {text::join(parameters, " ")});
    if (word == "COMn")
        return "_qf7320_offer \"$(printf 'COM%s ' {1..16})\"";
    if (word == "DEVICE")
        return "_qf7320_offer \"$(_qf7320_devices)\"";
    if (word.starts_with("FILE"))
        return "_qf7320_files -f";
    return {};
}

} // namespace

std::string bashCompletion() {
    std::vector<Option> common = commonOptions(nullptr);
    common.push_back(versionOption());
    std::vector<std::string> commands;
    for (const Verb& verb : verbs())
        commands.emplace_back(verb.name);
    const std::string verbNames = text::join(commands, " ");
    commands.push_back("help");

    // Every option that takes a value, each once, with what its value completes to.
    std::vector<Option> valued;
    std::set<std::string> seen;
    std::vector<Option> every = common;
    for (const Verb& verb : verbs())
        every.insert(every.end(), verb.options.begin(), verb.options.end());
    for (const Option& option : every)
        if (!option.valueName.empty() && seen.insert(names(option)).second)
            valued.push_back(option);

    std::string text =
        "# bash completion for qf7320, written by qf7320 --completion from its table of "
        "commands.\n"
        "# It completes the Linux program: the Windows build (qf7320.exe) has no link, bridge, "
        "plot or poll --mqtt.\n\n"
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
        "    local valued=' ";
    text += optionWords(valued);
    text += " '\n"
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
            "    case $prev in\n";
    // Options whose values complete alike share a case, in the order first met.
    std::vector<std::string> offers;
    std::vector<std::vector<std::string>> optionsOffering;
    for (const Option& option : valued) {
        const std::string offer = valueCompletion(option);
        const auto at = std::find(offers.begin(), offers.end(), offer) - offers.begin();
        if (at == static_cast<std::ptrdiff_t>(offers.size())) {
            offers.push_back(offer);
            optionsOffering.emplace_back();
        }
        optionsOffering[static_cast<std::size_t>(at)].push_back(names(option));
    }
    for (std::size_t i = 0; i < offers.size(); ++i)
        text += text::format("    %1)\n        %2\n        return\n        ;;\n",
                             {text::join(optionsOffering[i], "|"), offers[i]});
    text += "    esac\n\n"
            "    if [[ $cur == -* ]]; then\n"
            "        case $command in\n";
    for (const Verb& verb : verbs()) {
        std::vector<Option> options = verb.options;
        for (Option& option : commonOptions(&verb))
            options.push_back(std::move(option));
        text +=
            text::format("        %1) _qf7320_offer '%2' ;;\n", {verb.name, optionWords(options)});
    }
    text += text::format("        *) _qf7320_offer '%1' ;;\n"
                         "        esac\n"
                         "        return\n"
                         "    fi\n\n"
                         "    case $command in\n"
                         "    '') _qf7320_offer '%2' ;;\n"
                         "    help) ((arguments == 0)) && _qf7320_offer '%3' ;;\n",
                         {optionWords(common), text::join(commands, " "), verbNames});
    const std::vector<std::string> parameters = calibrationParameterNames();
    for (const Verb& verb : verbs()) {
        std::string cases;
        const std::vector<std::string> words = text::split(verb.arguments, ' ', true);
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string offer = argumentCompletion(words[i], parameters);
            if (!offer.empty())
                cases += text::format("        %1) %2 ;;\n", {i, offer});
        }
        if (!cases.empty())
            text += text::format("    %1)\n        case $arguments in\n%2        esac\n"
                                 "        ;;\n",
                                 {verb.name, cases});
    }
    text += "    esac\n"
            "}\n\n"
            "complete -F _qf7320 qf7320";
    return text;
}

} // namespace cli
