#pragma once

// Options as the command line has always taken them: -p VALUE, -pVALUE, -p=VALUE, --port VALUE
// and --port=VALUE; several one-letter flags in one word (-vh); "--" ends the options; a word that
// reads as a negative number ("-1000", "-.5") is a value, never an option. The error texts are
// the ones every version of qf7320 has printed.

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// A help text: a string literal, pointed at and never copied (the table of commands is built at
// every start of a one-shot command), or a text made at run time, held once and shared by copies.
class Text {
public:
    Text() = default;
    Text(const char* literal) : view_(literal) {}
    Text(std::string made)
        : made_(std::make_shared<const std::string>(std::move(made))), view_(*made_) {}

    std::string_view view() const { return view_; }
    std::string str() const { return std::string(view_); }
    bool empty() const { return view_.empty(); }
    operator std::string_view() const { return view_; }

private:
    std::shared_ptr<const std::string> made_;
    std::string_view view_;
};

// An option's names, one or two: a letter for -x and a word for --name. String literals,
// pointed at (as plain character pointers, so that no std::string, which would go away, is taken).
class Names {
public:
    Names(const char* name) : names_{name}, size_(1) {}
    Names(std::initializer_list<const char*> names) {
        for (const char* name : names)
            if (size_ < names_.size())
                names_[size_++] = name;
    }

    const std::string_view* begin() const { return names_.data(); }
    const std::string_view* end() const { return names_.data() + size_; }
    std::string_view front() const { return names_[0]; }
    std::string_view back() const { return names_[size_ - 1]; }
    bool empty() const { return size_ == 0; }

private:
    std::array<std::string_view, 2> names_{};
    std::size_t size_ = 0;
};

struct Option {
    Names names{};
    Text description;
    Text valueName; // empty for a flag

    Option() = default;
    Option(Names names, Text description, Text valueName = {})
        : names(names), description(std::move(description)), valueName(std::move(valueName)) {}

    bool takesValue() const { return !valueName.empty(); }
};

// An option's name as it is typed: "-p" for a letter, "--port" for a word.
std::string optionWord(std::string_view name);

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
