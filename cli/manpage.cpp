// The manual page qf7320(1), written in roff from the same table of commands that --help prints,
// so that every command and option a build has is in its manual.

#include "cli/command.h"
#include "cli/line.h"
#include "platform/text.h"

#include <cstdio>

namespace cli {

namespace {

// The code point of the UTF-8 sequence at text[i], and how many bytes it takes; a byte that
// starts no valid sequence stands for U+FFFD.
char32_t codePointAt(std::string_view text, std::size_t i, std::size_t& length) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    length = 1;
    if (lead < 0x80)
        return lead;
    std::size_t more = 0;
    char32_t value = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        more = 1, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        more = 2, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        more = 3, value = lead & 0x07, least = 0x10000;
    } else {
        return 0xFFFD;
    }
    if (i + more >= text.size())
        return 0xFFFD;
    for (std::size_t k = 1; k <= more; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0xFFFD;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0xFFFD;
    length = 1 + more;
    return value;
}

// The text as UTF-16 code units, which roff() escapes one by one: a character beyond U+FFFF
// becomes its two surrogates.
std::u16string utf16(std::string_view text) {
    std::u16string units;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        const char32_t c = codePointAt(text, i, length);
        i += length;
        if (c > 0xFFFF) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
    }
    return units;
}

// A letter or a digit, after which a dash joins two words ("re-read") rather than starting an
// option. Exact up to U+00FF; beyond, roughly: a letter unless a surrogate or in the blocks of
// punctuation and symbols (U+2000-U+2BFF, U+3000-U+303F), where only superscripts, fractions,
// roman and circled numbers count.
bool letterOrNumber(char16_t c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (c <= 0xFF)
        return c == 0xAA || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB9 || c == 0xBA ||
               (c >= 0xBC && c <= 0xBE) || (c >= 0xC0 && c != 0xD7 && c != 0xF7);
    if (c >= 0x2000 && c <= 0x2BFF)
        return (c >= 0x2070 && c <= 0x209C) || (c >= 0x2150 && c <= 0x2189) ||
               (c >= 0x2460 && c <= 0x249B) || (c >= 0x24EA && c <= 0x24FF);
    return !(c >= 0x3000 && c <= 0x303F) && (c < 0xD800 || c > 0xDFFF);
}

bool startsWithRequest(const std::string& text) {
    return !text.empty() && (text.front() == '.' || text.front() == '\'');
}

// Text as roff reads it: a backslash doubled as \e, a line never starting with a control
// character, a minus sign where a dash starts an option or stands alone (so that "--port"
// can be copied from the page), anything beyond ASCII by its code point.
std::string roff(std::string_view utf8) {
    const std::u16string text = utf16(utf8);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\\') {
            out += "\\e";
        } else if (c == u'-' && (i == 0 || !letterOrNumber(text[i - 1]) ||
                                 (i + 1 < text.size() && text[i + 1] == u'-'))) {
            out += "\\-";
        } else if (c > 0x7e) {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\[U%04X]", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (startsWithRequest(out))
        out.insert(0, "\\&");
    return out;
}

// ".TP" entries: each option in bold with its value in italics, then what it does.
std::string optionEntries(const std::vector<Option>& options) {
    std::string text;
    for (const Option& option : options) {
        std::vector<std::string> names;
        for (const std::string_view name : option.names)
            names.push_back(text::format("\\fB%1\\fR", {roff(optionWord(name))}));
        std::string head = text::join(names, ", ");
        if (!option.valueName.empty())
            head += text::format(" \\fI%1\\fR", {roff(option.valueName)});
        text += text::format(".TP\n%1\n%2\n", {head, roff(option.description)});
    }
    return text;
}

std::string exampleLines(const std::vector<std::string_view>& examples) {
    std::string text = ".PP\n.RS\n.nf\n";
    for (const std::string_view example : examples)
        text += roff(example) + '\n';
    return text + ".fi\n.RE\n";
}

constexpr std::size_t kLineBytes = 78;

// The page with no text line longer than a terminal's 80 columns: filled text is broken at
// blanks (roff joins it again); a line of an example (between .nf and .fi) is continued with a
// trailing backslash, which roff reads as no break at all.
std::string shortLines(const std::string& page) {
    std::vector<std::string> out;
    bool unfilled = false;
    for (const std::string& line : text::split(page, '\n')) {
        if (line.starts_with(".nf"))
            unfilled = true;
        else if (line.starts_with(".fi"))
            unfilled = false;
        if (text::characters(line) <= kLineBytes || line.starts_with('.')) {
            out.push_back(line);
            continue;
        }
        // A piece may now start with a character roff takes for a request.
        const auto piece = [&](std::string text) {
            if (startsWithRequest(text))
                text.insert(0, "\\&");
            out.push_back(std::move(text));
        };
        std::string current;
        for (const std::string& word : text::split(line, ' ')) {
            if (!current.empty() &&
                text::characters(current) + 1 + text::characters(word) > kLineBytes - 2) {
                piece(unfilled ? current + " \\" : current);
                current.clear();
            }
            if (!current.empty())
                current += ' ';
            current += word;
        }
        piece(current);
    }
    return text::join(out, "\n");
}

std::string synopsis(const Verb& verb) {
    std::string text = text::format(".B qf7320 %1\n", {roff(verb.name)});
    if (!verb.arguments.empty())
        text += text::format(".I %1\n", {roff(verb.arguments)});
    return text + "[\\fIoptions\\fR]\n";
}

} // namespace

std::string manualPage() {
    const Verb* first = verbs().empty() ? nullptr : &verbs().front();
    std::string page;
    page += ".\\\" The manual of qf7320, written by qf7320 --man from its table of commands.\n";
    page += text::format(".TH QF7320 1 %1 \"qf7320-tool %2\" \"User Commands\"\n",
                         {QF_MANUAL_DATE, QF7320_VERSION});
    page += ".SH NAME\nqf7320 \\- a QF7320 illuminance sensor from the command line\n";

    page += ".SH SYNOPSIS\n";
    for (const Verb& verb : verbs())
        page += synopsis(verb) + ".br\n";
    page += ".B qf7320 help\n.I COMMAND\n.br\n.B qf7320 \\-\\-version\n";

    page += text::format(".SH DESCRIPTION\n%1\n", {roff(programSummary())});
    page += ".PP\nA command talks to the sensor at \\fB\\-\\-station\\fR over the serial line "
            "\\fB\\-\\-port\\fR at \\fB\\-\\-baud\\fR; without them, the port and the rate the "
            "window qf7320\\-tool last saved in \\fIcomm.set\\fR are used. Data go to standard "
            "output, one fact a line (or one JSON object a line with \\fB\\-\\-json\\fR); "
            "messages and the frame trace go to standard error.\n";

    page += ".SH COMMANDS\n";
    for (const Verb& verb : verbs()) {
        page += text::format(
            ".SS \"%1%2\"\n",
            {roff(verb.name), verb.arguments.empty() ? std::string() : ' ' + roff(verb.arguments)});
        page += roff(verb.description) + '\n';
        if (first && (verb.timeoutMs != first->timeoutMs || verb.retries != first->retries))
            page += text::format(".PP\nHere \\fB\\-\\-timeout\\fR defaults to %1 ms and "
                                 "\\fB\\-\\-retries\\fR to %2.\n",
                                 {verb.timeoutMs, verb.retries});
        page += optionEntries(verb.options);
        page += exampleLines(verb.examples);
    }
    page += ".SS \"help COMMAND\"\nThe command's options and examples, as "
            "\\fBqf7320 \\fIcommand\\fB \\-\\-help\\fR prints them.\n";

    page += ".SH OPTIONS\nEvery command takes these.\n";
    std::vector<Option> common = commonOptions(nullptr);
    common.push_back(versionOption());
    page += optionEntries(common);

    page += ".SH EXIT STATUS\n";
    for (const ExitStatus& status : exitStatuses())
        page += text::format(".TP\n.B %1\n%2\n", {status.code, roff(status.meaning)});

    page += ".SH ENVIRONMENT\n.TP\n.B XDG_CONFIG_HOME\nWhere the user's comm.set and COMn "
            "live, as under FILES.\n.TP\n.B XDG_STATE_HOME\nWhere the MQTT store lives, as under "
            "FILES.\n";

    page += ".SH FILES\n"
            ".TP\n.I comm.set\n"
            "In the directory that holds qf7320, beside the window, when that directory can be "
            "written; when it cannot (a system-wide install), saved in the user's "
            "\\fI$XDG_CONFIG_HOME/qf7320\\fR, else \\fI~/.config/qf7320\\fR "
            "(\\fI%APPDATA%\\eqf7320\\fR on Windows), and read from there first, then from "
            "beside qf7320. One line of ASCII, the port "
            "number, a comma and the baud rate (\\fB3,9600\\fR is COM3 at 9600 baud), which the "
            "window writes when its settings are saved. Without \\fB\\-\\-port\\fR or "
            "\\fB\\-\\-baud\\fR, what is missing comes from here.\n"
            ".TP\n.IR COM1 \" .. \" COM16\n"
            "Found and made as \\fIcomm.set\\fR is, name by name: an entry named "
            "\\fBCOM\\fIn\\fR, normally a symbolic link "
            "made by \\fBqf7320 link\\fR, is the device that port \\fIn\\fR opens, for the window "
            "and for \\fB\\-p COM\\fIn\\fR; without one, port \\fIn\\fR is "
            "\\fI/dev/ttyS{n\\-1}\\fR. \\fBqf7320 ports\\fR shows what each opens.\n"
            ".TP\n.IR $XDG_STATE_HOME/qf7320 \", else \" ~/.local/state/qf7320\n"
            "The MQTT store of \\fBpoll\\fR: what its MQTT publishing keeps between runs. "
            "\\fB\\-\\-mqtt\\-store\\fR \\fIDIR\\fR names another directory.\n";

    page += ".SH EXAMPLES\nA production line: a sensor fresh from assembly at the factory "
            "address 1 is calibrated, checked, moved to the address its installation needs, and "
            "a reading is logged; each step stops the script with a status that says what went "
            "wrong.\n";
    page += exampleLines({"#!/bin/sh", "set -e", "port=/dev/ttyUSB0",
                          "qf7320 -p $port set scale 1.0425", "qf7320 -p $port set offset -12",
                          "qf7320 -p $port address --set 7",
                          "qf7320 -p $port -s 7 read --json >> calibration.jsonl"});
    page += ".PP\nA day logged once a minute, then drawn:\n";
    page += exampleLines({"qf7320 -p COM3 poll --period 60000 --duration 86400 --csv day.csv",
                          "qf7320 plot day.csv -o day.png"});
    page += ".SH SEE ALSO\n.BR mbpoll (1)";
    return shortLines(page);
}

} // namespace cli
