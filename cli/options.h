#pragma once

// Options as the command line has always taken them: -p VALUE, -pVALUE, -p=VALUE, --port VALUE
// and --port=VALUE; several one-letter flags in one word (-vh); "--" ends the options; a word that
// reads as a negative number ("-1000", "-.5") is a value, never an option. The error texts are
// the ones every version of qf7320 has printed.

#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct Option {
    std::vector<std::string> names; // one letter for -x, longer for --name
    std::string description;
    std::string valueName; // empty for a flag

    Option() = default;
    // One name. (A name held in a std::string goes in braces, as a list of one.)
    Option(const char* name, std::string description, std::string valueName = {})
        : names{name}, description(std::move(description)), valueName(std::move(valueName)) {}
    Option(std::vector<std::string> names, std::string description, std::string valueName = {})
        : names(std::move(names)), description(std::move(description)),
          valueName(std::move(valueName)) {}

    bool takesValue() const { return !valueName.empty(); }
};

// Whether a word reads as a negative number, and so is a value rather than an option.
bool looksNegative(std::string_view word);

class OptionParser {
public:
    void addOptions(const std::vector<Option>& options);

    // The arguments after the program's name (arguments[0]). False when an option is unknown,
    // lacks its value or has one it does not take; errorText() says which.
    bool parse(const std::vector<std::string>& arguments);
    std::string errorText() const;

    // By any of the option's names.
    bool isSet(std::string_view name) const;
    // The value given last; empty when none.
    std::string value(std::string_view name) const;
    std::vector<std::string> values(std::string_view name) const;
    const std::vector<std::string>& positionalArguments() const { return positional_; }

private:
    int find(std::string_view name) const; // the option's index, -1 when unknown
    // Registers a use of the option named; false (noted) when no option has that name.
    bool found(const std::string& name, int& index);

    std::vector<Option> options_;
    std::vector<std::vector<std::string>> values_; // per option, in the order given
    std::vector<bool> set_;
    std::vector<std::string> positional_;
    std::vector<std::string> unknown_;
    std::string error_;
};

} // namespace cli
