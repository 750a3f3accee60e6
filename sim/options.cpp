#include "sim/options.h"

#include "sim/sensor.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cmath>

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

// "1,2,3": each item within low-high; nothing when an item is not.
template <typename T>
std::optional<std::vector<T>> numberList(std::string_view text, T low, T high) {
    std::vector<T> values;
    for (;;) {
        const auto comma = text.find(',');
        const auto item = number<T>(text.substr(0, comma), low, high);
        if (!item)
            return std::nullopt;
        values.push_back(*item);
        if (comma == std::string_view::npos)
            return values;
        text.remove_prefix(comma + 1);
    }
}

// "PORT", "HOST:PORT" or "[HOST]:PORT", HOST a numeric IPv4 or IPv6 address.
bool parseListen(std::string_view text, Options& o) {
    std::string host = "127.0.0.1";
    std::string_view port = text;
    if (text.starts_with('[')) {
        const auto close = text.find("]:");
        if (close == std::string_view::npos)
            return false;
        host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
        in6_addr v6{};
        if (inet_pton(AF_INET6, host.c_str(), &v6) != 1)
            return false;
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
        in_addr v4{};
        if (inet_pton(AF_INET, host.c_str(), &v4) != 1)
            return false;
    }
    const auto number = numberList<std::uint16_t>(port, 0, 65535);
    if (!number || number->size() != 1)
        return false;
    o.listenHost = host;
    o.listenPort = number->front();
    return true;
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
    bool framingGiven = false;
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
        if (name == "--offset-first") {
            if (!flag())
                return failure("--offset-first takes no value");
            o.offsetFirst = true;
            continue;
        }
        if (name == "--absent-silent") {
            if (!flag())
                return failure("--absent-silent takes no value");
            o.absentSilent = true;
            continue;
        }
        const bool known = name == "--link" || name == "--port" || name == "--listen" ||
                           name == "--framing" || name == "--baud" || name == "--station" ||
                           name == "--mute" || name == "--lux" || name == "--delay" ||
                           name == "--fault" || name == "--fault-every" || name == "--write-skew" ||
                           name == "--control" || name == "--scale" || name == "--offset" ||
                           name == "--noise" || name == "--skewed";
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
        } else if (name == "--listen") {
            if (!parseListen(*v, o))
                return failure(bad + " ([HOST:]PORT, HOST a numeric address, [v6]:PORT)");
        } else if (name == "--framing") {
            if (*v != "rtu" && *v != "mbap")
                return failure(bad + " (rtu or mbap)");
            o.framing = *v == "rtu" ? Framing::rtu : Framing::mbap;
            framingGiven = true;
        } else if (name == "--baud") {
            const auto baud = number<int>(*v, 1, 10000000);
            if (!baud || std::find(kBauds.begin(), kBauds.end(), *baud) == kBauds.end())
                return failure(bad);
            o.baud = *baud;
        } else if (name == "--station") {
            const auto stations = numberList<std::uint8_t>(*v, 1, 247);
            if (!stations)
                return failure(bad + " (1-247, or a list such as 1,2,3)");
            o.stations = *stations;
        } else if (name == "--mute") {
            const auto mute = numberList<std::uint8_t>(*v, 1, 247);
            if (!mute)
                return failure(bad + " (1-247, or a list such as 2,3)");
            o.mute = *mute;
        } else if (name == "--lux") {
            const auto lux = numberList<std::uint32_t>(*v, 0, 655350);
            if (!lux)
                return failure(bad + " (0-655350, or one a station: 100,200,300)");
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
        } else if (name == "--scale") {
            // Each a scale factor as the register holds it: 0.0000-6.5535, four decimals.
            const auto factors = numberList<double>(*v, 0, 6.5535);
            if (!factors)
                return failure(bad + " (0-6.5535, or one a station: 1.08,1,0.95)");
            o.scale.clear();
            for (const double factor : *factors)
                o.scale.push_back(static_cast<std::uint16_t>(std::lround(factor * 10000)));
        } else if (name == "--offset") {
            const auto offsets = numberList<int>(*v, -32768, 32767);
            if (!offsets)
                return failure(bad + " (-32768-32767, or one a station: 0,-12,5)");
            o.offset = *offsets;
        } else if (name == "--noise") {
            const auto noise = number<double>(*v, 0, 50);
            if (!noise || !std::isfinite(*noise))
                return failure(bad + " (0-50)");
            o.noise = *noise;
        } else if (name == "--skewed") {
            const auto skewed = numberList<std::uint8_t>(*v, 1, 247);
            if (!skewed)
                return failure(bad + " (1-247, or a list such as 2,3)");
            o.skewed = *skewed;
        } else if (name == "--control") {
            o.control = *v;
        } else if (name == "--write-skew") {
            const auto skew = number<int>(*v, -65535, 65535);
            if (!skew)
                return failure(bad + " (-65535-65535)");
            o.writeSkew = *skew;
        }
    }
    if (!o.link.empty() + !o.port.empty() + o.listenHost.has_value() != 1)
        return failure("give exactly one of --link, --port and --listen");
    if (o.burst && !o.pace)
        return failure("--burst needs --pace");
    if (framingGiven && !o.listenHost)
        return failure("--framing needs --listen");
    if (o.absentSilent && (!o.listenHost || o.framing != Framing::mbap))
        return failure("--absent-silent needs --listen with --framing mbap");
    if (!o.control.empty() && o.listenHost)
        return failure("--control needs a serial line (--link or --port)");
    if (o.strictBaud && o.listenHost)
        return failure("--strict-baud needs a serial line: TCP has no rate to check");
    if (o.fault.kind == FaultKind::echo && o.listenHost && o.framing == Framing::mbap)
        return failure("--fault echo needs a serial line or --framing rtu: a Modbus TCP gateway "
                       "hears its own line's echo and skips it, so none reaches TCP");
    if (o.lux.size() > 1 && o.lux.size() != o.stations.size())
        return failure("--lux gives " + std::to_string(o.lux.size()) + " readings for " +
                       std::to_string(o.stations.size()) + " stations");
    for (const auto& [option, count] :
         {std::pair{"--scale", o.scale.size()}, std::pair{"--offset", o.offset.size()}})
        if (count > 1 && count != o.stations.size())
            return failure(std::string(option) + " gives " + std::to_string(count) +
                           " values for " + std::to_string(o.stations.size()) + " stations");
    if (!o.skewed.empty() && o.writeSkew == 0)
        return failure("--skewed needs --write-skew");
    for (const std::uint8_t s : o.skewed)
        if (std::find(o.stations.begin(), o.stations.end(), s) == o.stations.end())
            return failure("--skewed " + std::to_string(s) + ": no sensor at that station");
    for (const std::uint8_t m : o.mute)
        if (std::find(o.stations.begin(), o.stations.end(), m) == o.stations.end())
            return failure("--mute " + std::to_string(m) + ": no sensor at that station");
    return {o, {}};
}

void setUpSensor(Sensor& sensor, const Options& options, std::size_t index) {
    const auto pick = [index](const auto& values) {
        return values.size() == 1 ? values[0] : values.at(index);
    };
    if (!options.scale.empty())
        sensor.presetParameter(0, pick(options.scale));
    if (!options.offset.empty())
        sensor.presetParameter(1, static_cast<std::uint16_t>(pick(options.offset) & 0xFFFF));
    if (options.noise > 0)
        sensor.addNoise(options.noise, sensor.station());
    if (options.offsetFirst)
        sensor.addOffsetFirst();
    if (!options.skewed.empty() && std::find(options.skewed.begin(), options.skewed.end(),
                                             sensor.station()) == options.skewed.end())
        sensor.skewWrites(0);
}

std::string framingName(Framing framing) {
    return framing == Framing::mbap ? "mbap" : "rtu";
}

std::string versionText() {
    return "qf7320-sim " QF7320_VERSION;
}

std::string usage(std::string_view program) {
    std::string text =
        "usage: " + std::string(program) +
        " (--link PATH | --port DEVICE | --listen [HOST:]PORT) [options]\n"
        "Plays QF7320 illuminance sensors (Modbus RTU slaves) on a serial line, or\n"
        "behind a serial device server or Modbus TCP gateway.\n"
        "  --link PATH        create a pseudo-terminal, symbolic link PATH -> it\n"
        "  --port DEVICE      serve a real serial port instead\n"
        "  --listen [HOST:]PORT\n"
        "                     serve TCP clients instead, at a numeric address\n"
        "                     (default 127.0.0.1; [::1]:PORT for IPv6); PORT 0 picks a\n"
        "                     free port, named in the first line printed. Clients\n"
        "                     are served one transaction at a time, in turn\n"
        "  --framing MODE     with --listen: rtu (default), RTU frames with their CRC\n"
        "                     in the stream, as a transparent serial device server\n"
        "                     passes them; a request ends at its length, or, for a\n"
        "                     function of unknown length or a request cut short,\n"
        "                     at 3.5 quiet characters; the echo goes back at once,\n"
        "                     a paced answer whole once it has crossed the line;\n"
        "                     or mbap, Modbus TCP as a gateway speaks it: MBAP header,\n"
        "                     unit id = station, no CRC, the reply carrying the\n"
        "                     request's transaction id. Faults strike the sensor\n"
        "                     behind the gateway: an exception passes through, a\n"
        "                     slow answer comes late, and a unit that gives no valid\n"
        "                     answer (absent, muted, silent, a bad CRC, cut short,\n"
        "                     garbled, several answering at once) gets exception\n"
        "                     0x0B (gateway target device failed to respond)\n"
        "  --absent-silent    with --framing mbap: no reply at all in place of 0x0B\n"
        "  --baud N           line speed, 8N1 (default 9600; ";
    for (std::size_t i = 0; i < kBauds.size(); ++i) {
        if (i)
            text += ' ';
        text += std::to_string(kBauds[i]);
    }
    text += ")\n"
            "  --station N[,N...] station address 1-247 (default 1); a list puts one sensor at\n"
            "                     each on the same line, each with its own reading, parameters\n"
            "                     and address. The address query (function 0x25 to station\n"
            "                     250) makes all of them answer at once: the answers collide,\n"
            "                     and the master gets a garble that fails its CRC\n"
            "  --mute N[,N...]    the sensors at these stations never answer\n"
            "  --lux N[,N...]     fixed illuminance in lx, for every sensor or one a station\n"
            "                     (default: a slowly drifting reading)\n"
            "  --pace             send the answer at wire speed, one character time per byte\n"
            "  --delay MS         with --pace: gap before the answer (default 5)\n"
            "  --burst            with --pace: hand the answer over in one piece once its last\n"
            "                     character has crossed the line, as a USB adapter does\n"
            "  --fault MODE       none | silent | bad-crc | short | garbage | exception | slow:MS\n"
            "                     | echo (every request comes back before its answer, as from a\n"
            "                     converter with local echo; not with --framing mbap,\n"
            "                     since a gateway skips its own line's echo)\n"
            "  --fault-every N    apply the fault to every N-th request only (default 1):\n"
            "                     of those answered, or with echo of those heard\n"
            "  --strict-baud      ignore requests while the other end's line is set to another\n"
            "                     rate, as a sensor hears only noise then (pseudo-terminals\n"
            "                     pass bytes at any rate; this makes the rate matter)\n"
            "  --write-skew N     store every parameter written as its value plus N (mod 65536),\n"
            "                     echoing the write as sent: a sensor that does not keep what\n"
            "                     it acknowledges\n"
            "  --skewed N[,N...]  with --write-skew: only the sensors at these stations skew\n"
            "  --scale X[,X...]   the sensor's present scale factor, 0-6.5535, for every\n"
            "                     sensor or one a station (default 1.0000): with --lux L it\n"
            "                     reads (L / 10 x X + offset) x 10 lx, a sensor that needs\n"
            "                     calibrating against a meter that reads L\n"
            "  --offset N[,N...]  its present offset in register units (10 lx), -32768-32767\n"
            "                     (default 0)\n"
            "  --noise PCT        each reading's light off by a random amount within +-PCT %\n"
            "                     (0-50; the same sequence at every run): unsteady light\n"
            "  --offset-first     firmware that adds the offset before it scales: it reads\n"
            "                     (L / 10 + offset) x X x 10 lx\n"
            "  --control PATH     read commands while serving, one a line, from a FIFO at PATH\n"
            "                     (made when missing) or from standard input with -:\n"
            "                     'connect [N]' puts a new sensor on the line at station N\n"
            "                     (default 1) with the factory's parameters; 'remove [N]'\n"
            "                     takes the sensors at station N off it (without N, all)\n"
            "  --help             show this text\n"
            "  --version          show the name and version\n";
    return text;
}

} // namespace sim
