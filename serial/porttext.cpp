#include "serial/porttext.h"

#include "platform/text.h"
#include "serial/filepath.h"

#include <vector>

namespace serial {

namespace {

const std::string kDash = " — ";

// Four lowercase hex digits: "0403".
std::string hexId(std::uint16_t id) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits(4, '0');
    for (int k = 3; k >= 0; --k, id = static_cast<std::uint16_t>(id >> 4))
        digits[static_cast<std::size_t>(k)] = kDigits[id & 0xF];
    return digits;
}

json::Value textOrNull(const std::string& text) {
    return text.empty() ? json::Value(nullptr) : json::Value(text);
}

json::Value idOrNull(const std::optional<std::uint16_t>& id) {
    return id ? json::Value(hexId(*id)) : json::Value(nullptr);
}

std::string stateName(DeviceState state) {
    switch (state) {
    case DeviceState::Present:
        return "present";
    case DeviceState::Missing:
        return "missing";
    case DeviceState::NoUart:
        return "no-uart";
    case DeviceState::Absent:
        return "absent";
    case DeviceState::NotSerial:
        return "not-serial";
    }
    return {};
}

std::string accessName(DeviceAccess::State state) {
    switch (state) {
    case DeviceAccess::State::Ok:
        return "ok";
    case DeviceAccess::State::NoPermission:
        return "no-permission";
    case DeviceAccess::State::NotFound:
        return "not-found";
    }
    return {};
}

} // namespace

std::string deviceFacts(const SerialDevice& device) {
    const PortInfo& port = device.port;
    std::vector<std::string> ids;
    if (port.vendorId && port.productId)
        ids.push_back(hexId(*port.vendorId) + ':' + hexId(*port.productId));
    if (!port.serialNumber.empty())
        ids.push_back(port.serialNumber);
    std::string facts = port.description.empty() ? std::string("serial port") : port.description;
    if (!ids.empty())
        facts += " (" + text::join(ids, ", ") + ')';
    return facts;
}

std::string accessText(const DeviceAccess& access) {
    switch (access.state) {
    case DeviceAccess::State::Ok:
        return "ok";
    case DeviceAccess::State::NoPermission:
        return access.group.empty() ? std::string("no permission")
                                    : text::format("no permission (group %1)", {access.group});
    case DeviceAccess::State::NotFound:
        return "gone";
    }
    return {};
}

std::string comPortSummary(const ComPortTarget& target) {
    const DeviceLookup& opens = target.opens;
    switch (opens.state) {
    case DeviceState::Present:
        // Whether it opens matters more than what it is: a device this user may not open is
        // the usual reason a port stays silent.
        if (opens.device.access.state != DeviceAccess::State::Ok)
            return opens.path + kDash + accessText(opens.device.access);
        return opens.path + kDash + deviceFacts(opens.device);
    case DeviceState::Missing:
        return opens.path + kDash + "not plugged in";
    case DeviceState::NoUart:
        return opens.path + kDash + "no device";
    case DeviceState::Absent:
        return opens.path + kDash + "no such device";
    case DeviceState::NotSerial:
        return opens.path + kDash + "not a serial device";
    }
    return {};
}

std::string deviceLine(const SerialDevice& device) {
    std::string line = device.port.path + "  " + deviceFacts(device);
    if (!device.port.manufacturer.empty())
        line += "  manufacturer: " + device.port.manufacturer;
    if (!device.byId.empty())
        line += "  by-id: " + device.byId;
    return line + "  access: " + accessText(device.access);
}

std::string comPortLine(const ComPortTarget& target) {
    std::string line = text::format("COM%1  ", {target.port}) + comPortSummary(target);
    if (!target.linkTarget.empty())
        line += "  [link to " + target.linkTarget + ']';
    else if (!target.entry.empty())
        line += "  [entry " + filepath::nativeSeparators(target.entry) + ']';
    return line;
}

json::Value deviceJson(const SerialDevice& device) {
    const PortInfo& port = device.port;
    return {
        {"path", port.path},
        {"by_id", textOrNull(device.byId)},
        {"description", textOrNull(port.description)},
        {"manufacturer", textOrNull(port.manufacturer)},
        {"vendor_id", idOrNull(port.vendorId)},
        {"product_id", idOrNull(port.productId)},
        {"serial_number", textOrNull(port.serialNumber)},
        {"access", accessName(device.access.state)},
        {"group", textOrNull(device.access.group)},
    };
}

json::Value comPortJson(const ComPortTarget& target) {
    const DeviceLookup& opens = target.opens;
    return {
        {"port", text::format("COM%1", {target.port})},
        {"opens", opens.path},
        {"state", stateName(opens.state)},
        {"entry", textOrNull(target.entry)},
        {"link_target", textOrNull(target.linkTarget)},
        {"device",
         opens.state == DeviceState::Present ? deviceJson(opens.device) : json::Value(nullptr)},
        {"summary", comPortSummary(target)},
    };
}

} // namespace serial
