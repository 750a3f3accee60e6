#include "sim/options.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace sim {

namespace {

constexpr std::array kBauds{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr int kBitsPerCharacter = 10;
constexpr std::chrono::microseconds kMinimumSilence{2000};

template <typename T> std::optional<T> number(std::string_view text, T low, T high) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < low ||
        value > high)
        return std::nullopt;
    return value;
}

ParsedArguments failure(std::string error) {
    return {std::nullopt, std::move(error)};
}

} // namespace

std::span<const int> supportedBauds() {
    return kBauds;
}

std::chrono::microseconds characterTime(int baud) {
    return std::chrono::microseconds(kBitsPerCharacter * 1000000LL / baud);
}

std::chrono::microseconds frameSilence(int baud) {
    const std::chrono::microseconds silence(35 * kBitsPerCharacter * 1000000LL / (10LL * baud));
    return std::max(silence, kMinimumSilence);
}

ParsedArguments parseArguments(std::span<const std::string> args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('=');
            name.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = std::string(name.substr(eq + 1));
            name = name.substr(0, eq);
        }
        auto flag = [&]() { return !inlineValue; };
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };

        if (name == "--help" || name == "-h") {
            if (!flag())
                return failure("--help takes no value");
            o.help = true;
            return {o, {}};
        }
        if (name == "--version") {
            if (!flag())
                return failure("--version takes no value");
            o.version = true;
            return {o, {}};
        }
        if (name == "--pace") {
            if (!flag())
                return failure("--pace takes no value");
            o.pace = true;
            continue;
        }
        if (name == "--strict-baud") {
            if (!flag())
                return failure("--strict-baud takes no value");
            o.strictBaud = true;
            continue;
        }
        if (name == "--burst") {
            if (!flag())
                return failure("--burst takes no value");
            o.burst = true;
            continue;
        }
        const bool known = name == "--link" || name == "--port" || name == "--baud" ||
                           name == "--station" || name == "--lux" || name == "--delay" ||
                           name == "--fault" || name == "--fault-every" || name == "--write-skew";
        if (!known)
            return failure("unknown argument '" + std::string(name) + "'");
        const auto v = value();
        if (!v || v->empty())
            return failure(std::string(name) + " needs a value");
        const std::string bad = "bad value '" + *v + "' for " + std::string(name);
        if (name == "--link") {
            o.link = *v;
        } else if (name == "--port") {
            o.port = *v;
        } else if (name == "--baud") {
            const auto baud = number<int>(*v, 1, 10000000);
            if (!baud || std::find(kBauds.begin(), kBauds.end(), *baud) == kBauds.end())
                return failure(bad);
            o.baud = *baud;
        } else if (name == "--station") {
            const auto station = number<int>(*v, 1, 247);
            if (!station)
                return failure(bad + " (1-247)");
            o.station = static_cast<std::uint8_t>(*station);
        } else if (name == "--lux") {
            const auto lux = number<std::uint32_t>(*v, 0, 655350);
            if (!lux)
                return failure(bad + " (0-655350)");
            o.lux = *lux;
        } else if (name == "--delay") {
            const auto delay = number<int>(*v, 0, 60000);
            if (!delay)
                return failure(bad + " (0-60000)");
            o.delayMs = *delay;
        } else if (name == "--fault") {
            const auto fault = parseFault(*v);
            if (!fault)
                return failure(bad);
            o.fault = *fault;
        } else if (name == "--fault-every") {
            const auto every = number<unsigned>(*v, 1, 1000000);
            if (!every)
                return failure(bad + " (1-1000000)");
            o.faultEvery = *every;
        } else if (name == "--write-skew") {
            const auto skew = number<int>(*v, -65535, 65535);
            if (!skew)
                return failure(bad + " (-65535-65535)");
            o.writeSkew = *skew;
        }
    }
    if (o.link.empty() == o.port.empty())
        return failure("give exactly one of --link and --port");
    if (o.burst && !o.pace)
        return failure("--burst needs --pace");
    return {o, {}};
}

std::string versionText() {
    return "qf7320-sim " QF7320_VERSION;
}

std::string usage(std::string_view program) {
    std::string text = "usage: " + std::string(program) +
                       " (--link PATH | --port DEVICE) [options]\n"
                       "Plays a QF7320 illuminance sensor (Modbus RTU slave) on a serial line.\n"
                       "  --link PATH        create a pseudo-terminal, symbolic link PATH -> it\n"
                       "  --port DEVICE      serve a real serial port instead\n"
                       "  --baud N           line speed, 8N1 (default 9600; ";
    for (std::size_t i = 0; i < kBauds.size(); ++i)
        text += (i ? " " : "") + std::to_string(kBauds[i]);
    text += ")\n"
            "  --station N        station address 1-247 (default 1)\n"
            "  --lux N            fixed illuminance in lx (default: a slowly drifting reading)\n"
            "  --pace             send the answer at wire speed, one character time per byte\n"
            "  --delay MS         with --pace: gap before the answer (default 5)\n"
            "  --burst            with --pace: hand the answer over in one piece once its last\n"
            "                     character has crossed the line, as a USB adapter does\n"
            "  --fault MODE       none | silent | bad-crc | short | garbage | exception | slow:MS\n"
            "  --fault-every N    apply the fault to every N-th request only (default 1)\n"
            "  --strict-baud      ignore requests while the other end's line is set to another\n"
            "                     rate, as a sensor hears only noise then (pseudo-terminals\n"
            "                     pass bytes at any rate; this makes the rate matter)\n"
            "  --write-skew N     store every parameter written as its value plus N (mod 65536),\n"
            "                     echoing the write as sent: a sensor that does not keep what\n"
            "                     it acknowledges\n"
            "  --help             show this text\n"
            "  --version          show the name and version\n";
    return text;
}

} // namespace sim
