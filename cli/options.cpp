#include "cli/options.h"

#include "platform/text.h"

#include <algorithm>
#include <optional>

namespace cli {

std::string optionWord(std::string_view name) {
    return std::string(name.size() == 1 ? "-" : "--").append(name);
}

bool looksNegative(std::string_view word) {
    if (word.size() < 2 || word[0] != '-')
        return false;
    const char next = word[1];
    return (next >= '0' && next <= '9') ||
           (next == '.' && word.size() > 2 && word[2] >= '0' && word[2] <= '9');
}

void OptionParser::addOptions(const std::vector<Option>& options) {
    options_.insert(options_.end(), options.begin(), options.end());
    values_.resize(options_.size());
    set_.resize(options_.size(), false);
}

int OptionParser::find(std::string_view name) const {
    for (std::size_t i = 0; i < options_.size(); ++i)
        for (const std::string_view known : options_[i].names)
            if (known == name)
                return static_cast<int>(i);
    return -1;
}

bool OptionParser::found(const std::string& name, int& index) {
    index = find(name);
    if (index < 0) {
        unknown_.push_back(name);
        return false;
    }
    set_[static_cast<std::size_t>(index)] = true;
    return true;
}

bool OptionParser::parse(const std::vector<std::string>& arguments) {
    for (auto& v : values_)
        v.clear();
    std::fill(set_.begin(), set_.end(), false);
    positional_.clear();
    unknown_.clear();
    error_.clear();
    bool failed = false;
    bool optionsEnded = false;

    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-' || looksNegative(argument)) {
            positional_.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }

        // The value of an option that takes one: after '=', else the next argument.
        const auto takeValue = [&](int index, const std::string& shown,
                                   std::optional<std::string> inlineValue) {
            const Option& option = options_[static_cast<std::size_t>(index)];
            if (!option.takesValue()) {
                if (inlineValue) {
                    error_ = text::format("Unexpected value after '%1'.", {shown});
                    failed = true;
                }
                return;
            }
            if (inlineValue) {
                values_[static_cast<std::size_t>(index)].push_back(*inlineValue);
            } else if (i + 1 < arguments.size()) {
                values_[static_cast<std::size_t>(index)].push_back(arguments[++i]);
            } else {
                error_ = text::format("Missing value after '%1'.", {shown});
                failed = true;
            }
        };

        if (argument.rfind("--", 0) == 0) {
            const std::size_t assign = argument.find('=');
            const std::string name =
                argument.substr(2, assign == std::string::npos ? std::string::npos : assign - 2);
            int index = -1;
            if (!found(name, index)) {
                failed = true;
                continue;
            }
            takeValue(index, argument.substr(0, assign),
                      assign == std::string::npos
                          ? std::nullopt
                          : std::optional<std::string>(argument.substr(assign + 1)));
            continue;
        }

        // One-letter options, several to a word; one that takes a value takes the rest of the
        // word (after an optional '='), or else the next argument.
        for (std::size_t pos = 1; pos < argument.size(); ++pos) {
            const std::string name = argument.substr(pos, 1);
            int index = -1;
            if (!found(name, index)) {
                failed = true;
                continue;
            }
            const Option& option = options_[static_cast<std::size_t>(index)];
            if (option.takesValue()) {
                std::optional<std::string> rest;
                if (pos + 1 < argument.size())
                    rest = argument.substr(argument[pos + 1] == '=' ? pos + 2 : pos + 1);
                takeValue(index, argument, rest);
                break;
            }
            if (pos + 1 < argument.size() && argument[pos + 1] == '=') {
                takeValue(index, argument.substr(0, pos + 1), argument.substr(pos + 2));
                break;
            }
        }
    }
    return !failed;
}

std::string OptionParser::errorText() const {
    if (unknown_.size() == 1)
        return text::format("Unknown option '%1'.", {unknown_.front()});
    if (unknown_.size() > 1)
        return text::format("Unknown options: %1.", {text::join(unknown_, ", ")});
    return error_;
}

bool OptionParser::isSet(std::string_view name) const {
    const int index = find(name);
    return index >= 0 && set_[static_cast<std::size_t>(index)];
}

std::string OptionParser::value(std::string_view name) const {
    const int index = find(name);
    if (index < 0 || values_[static_cast<std::size_t>(index)].empty())
        return {};
    return values_[static_cast<std::size_t>(index)].back();
}

std::vector<std::string> OptionParser::values(std::string_view name) const {
    const int index = find(name);
    return index < 0 ? std::vector<std::string>{} : values_[static_cast<std::size_t>(index)];
}

} // namespace cli
