#include "sim/fault.h"

#include <charconv>

namespace sim {

namespace {
constexpr std::uint8_t kDeviceFailure = 0x04;
constexpr int kMaxSlowMs = 600000;
// Cut off so that a master waiting for the announced length never sees the end of the answer.
constexpr std::size_t kShortCut = 3;
} // namespace

std::optional<Fault> parseFault(std::string_view text) {
    static constexpr std::pair<std::string_view, FaultKind> kPlain[] = {
        {"silent", FaultKind::silent},
        {"bad-crc", FaultKind::badCrc},
        {"short", FaultKind::shortAnswer},
        {"garbage", FaultKind::garbage},
        {"exception", FaultKind::exception},
        {"echo", FaultKind::echo},
        {"none", FaultKind::none}};
    for (const auto& [name, kind] : kPlain)
        if (text == name)
            return Fault{kind, 0};
    constexpr std::string_view kSlowPrefix = "slow:";
    if (!text.starts_with(kSlowPrefix))
        return std::nullopt;
    const std::string_view number = text.substr(kSlowPrefix.size());
    int ms = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), ms);
    if (number.empty() || error != std::errc{} || end != number.data() + number.size() || ms < 0 ||
        ms > kMaxSlowMs)
        return std::nullopt;
    return Fault{FaultKind::slow, ms};
}

std::string faultName(const Fault& fault) {
    switch (fault.kind) {
    case FaultKind::none:
        return "none";
    case FaultKind::silent:
        return "silent";
    case FaultKind::badCrc:
        return "bad-crc";
    case FaultKind::shortAnswer:
        return "short";
    case FaultKind::garbage:
        return "garbage";
    case FaultKind::exception:
        return "exception";
    case FaultKind::slow:
        return "slow:" + std::to_string(fault.slowMs);
    case FaultKind::echo:
        return "echo";
    }
    return {};
}

FaultInjector::FaultInjector(Fault fault, unsigned every, std::uint32_t seed)
    : fault_(fault), every_(every == 0 ? 1 : every), random_(seed) {}

Bytes FaultInjector::hear(std::span<const std::uint8_t> request) {
    if (fault_.kind != FaultKind::echo || ++count_ % every_ != 0)
        return {};
    return Bytes(request.begin(), request.end());
}

Delivery FaultInjector::deliver(const Bytes& answer) {
    Delivery d;
    d.bytes = answer;
    if (fault_.kind == FaultKind::none || fault_.kind == FaultKind::echo)
        return d;
    if (++count_ % every_ != 0 || answer.size() < 2)
        return d;
    d.note = "fault " + faultName(fault_);
    switch (fault_.kind) {
    case FaultKind::none:
    case FaultKind::echo:
        break;
    case FaultKind::silent:
        d.send = false;
        d.bytes.clear();
        break;
    case FaultKind::badCrc:
        d.bytes[d.bytes.size() - 2] ^= 0xFF;
        d.bytes[d.bytes.size() - 1] ^= 0xFF;
        break;
    case FaultKind::shortAnswer:
        d.bytes.resize(d.bytes.size() > kShortCut ? d.bytes.size() - kShortCut : 0);
        break;
    case FaultKind::garbage: {
        std::uniform_int_distribution<int> byte(0, 255);
        for (auto& b : d.bytes)
            b = static_cast<std::uint8_t>(byte(random_));
        break;
    }
    case FaultKind::exception:
        d.bytes = withCrc({answer[0], static_cast<std::uint8_t>(answer[1] | 0x80), kDeviceFailure});
        break;
    case FaultKind::slow:
        d.extraDelayMs = fault_.slowMs;
        break;
    }
    return d;
}

} // namespace sim
