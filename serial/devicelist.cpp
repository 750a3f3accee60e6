#include "serial/devicelist.h"

#include "platform/text.h"
#include "serial/comport.h"
#include "serial/filepath.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <map>
#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include <setupapi.h>

#include <cwchar>
#endif

namespace serial {

namespace {

// "ttyS10" as ("ttyS", 10), so that a listing runs ttyS2, ttyS10 rather than ttyS10, ttyS2. A
// number too long to read sorts as 0.
std::pair<std::string, long long> pathOrder(const std::string& path) {
    std::size_t start = path.size();
    while (start > 0 && text::isDigit(path[start - 1]))
        --start;
    if (start == path.size())
        return {path, -1};
    long long number = 0;
    if (std::from_chars(path.data() + start, path.data() + path.size(), number).ec != std::errc())
        number = 0;
    return {path.substr(0, start), number};
}

// The UART type the kernel reports for a tty, when it reports one (sysfs "type", 0 for an
// empty slot).
std::optional<int> uartType(const std::string& name, const DeviceTree& tree) {
    const std::optional<std::string> type =
        filepath::read(filepath::join(tree.sysTtyDir, name + "/type"));
    if (!type)
        return std::nullopt;
    const std::optional<long long> value =
        text::wholeNumber(text::trimmed(*type), INT_MIN, INT_MAX);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

bool isUartSlot(const std::string& name) {
    return name.size() > 4 && name.starts_with("ttyS") &&
           std::all_of(name.begin() + 4, name.end(), text::isDigit);
}

// The names in a directory in name order, without "." and "..", hidden names left out.
std::vector<std::string> entryNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(filepath::toNative(dir), error), end;
         !error && it != end; it.increment(error)) {
        std::string name = filepath::fromNative(it->path().filename());
        if (!name.starts_with('.'))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The by-id names of the devices present, keyed by the device they lead to.
std::map<std::string, std::string> byIdNames(const DeviceTree& tree) {
    std::map<std::string, std::string> names;
    for (const std::string& name : entryNames(tree.byIdDir)) {
        const std::string entry = filepath::join(tree.byIdDir, name);
        const std::string device = filepath::canonical(entry);
        if (!device.empty())
            names.emplace(device, filepath::absolute(entry)); // the first name is kept
    }
    return names;
}

std::string byIdOf(const std::map<std::string, std::string>& names, const std::string& device) {
    const auto found = names.find(filepath::canonical(device));
    return found == names.end() ? std::string() : found->second;
}

#ifndef _WIN32

const std::string kPseudoTerminal = "pseudo-terminal";

// A tty the kernel knows with a device behind it: serial hardware, as opposed to a virtual
// console or /dev/tty, which have no "device" entry.
bool kernelSerialTty(const std::string& name, const DeviceTree& tree) {
    return filepath::exists(filepath::join(tree.sysTtyDir, name + "/device"));
}

bool isPseudoTerminal(const std::string& canonical, const DeviceTree& tree) {
    const std::string pts = filepath::canonical(filepath::join(tree.devDir, "pts"));
    return !pts.empty() && canonical.starts_with(pts + '/');
}

SerialDevice deviceAt(const std::string& canonical, std::string description,
                      const DeviceTree& tree) {
    SerialDevice device;
    device.port.path = canonical;
    device.port.description = std::move(description);
    device.byId = byIdOf(byIdNames(tree), canonical);
    device.access = tree.access(canonical);
    return device;
}

// A text the kernel keeps for a device, with its blanks and line ends folded into single blanks;
// empty when there is none.
std::string attribute(const std::string& dir, const char* name) {
    const std::optional<std::string> content = filepath::read(filepath::join(dir, name));
    if (!content)
        return {};
    const std::string valid = text::validUtf8(*content);
    std::string folded;
    for (const char c : text::trimmed(valid)) {
        const bool blank =
            c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
        if (!blank)
            folded += c;
        else if (!folded.empty() && folded.back() != ' ')
            folded += ' ';
    }
    return folded;
}

// A USB id as the kernel writes it: four hex digits ("0403").
std::optional<std::uint16_t> usbId(const std::string& dir, const char* name) {
    const std::optional<std::string> content = filepath::read(filepath::join(dir, name));
    if (!content)
        return std::nullopt;
    const std::string_view digits = text::trimmed(*content);
    unsigned value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// The facts of the USB device a tty's hardware belongs to, when it is on USB: the nearest
// directory at or above the hardware that holds USB ids (the device, above its interface and
// the driver's port), up to sysfs's "devices".
void addUsbFacts(const std::string& hardware, PortInfo& port) {
    namespace fs = std::filesystem;
    for (fs::path dir = filepath::toNative(hardware);
         dir.has_relative_path() && dir.filename() != fs::path("devices");
         dir = dir.parent_path()) {
        const std::string at = filepath::fromNative(dir);
        const std::optional<std::uint16_t> vendor = usbId(at, "idVendor");
        const std::optional<std::uint16_t> product = usbId(at, "idProduct");
        if (!vendor || !product)
            continue;
        port.vendorId = vendor;
        port.productId = product;
        port.description = attribute(at, "product");
        port.manufacturer = attribute(at, "manufacturer");
        port.serialNumber = attribute(at, "serial");
        return;
    }
}

#else

// Windows: the system's COM ports, from the device manager's records (SetupAPI) and, for ports
// it has no record of (some virtual ports), from the registry's list of serial ports.

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the device interface of a COM port.
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// {4D36E978-E325-11CE-BFC1-08002BE10318}: the device class "Ports (COM & LPT)".
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string utf8(const std::wstring& wide) {
    if (wide.empty())
        return {};
    const int length = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, result.data(), size, nullptr, nullptr);
    return result;
}

// A wide text from a buffer the system filled, up to its first terminating zero; the zeros
// between the texts of a list (REG_MULTI_SZ) become blanks.
std::wstring wideText(const std::vector<wchar_t>& buffer, bool list) {
    std::wstring wide(buffer.begin(), buffer.end());
    if (list) {
        for (wchar_t& c : wide)
            if (c == L'\0')
                c = L' ';
        while (!wide.empty() && wide.back() == L' ')
            wide.pop_back();
        return wide;
    }
    wide.resize(std::wcslen(wide.c_str()));
    return wide;
}

// A text property of a device (its description, its maker, its hardware ids).
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    DWORD type = 0;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, nullptr, 0, &size);
    if (size == 0 || (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr))
        return {};
    return utf8(wideText(buffer, type == REG_MULTI_SZ));
}

// A text value of an open registry key.
std::string registryText(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                         &size) != ERROR_SUCCESS)
        return {};
    return utf8(wideText(buffer, false));
}

// The port's name as programs open it ("COM3"), from the device's own registry key.
std::string portName(HDEVINFO set, SP_DEVINFO_DATA& info) {
    const HKEY key =
        SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    std::string name = registryText(key, L"PortName");
    RegCloseKey(key);
    return name;
}

std::string instanceId(HDEVINFO set, SP_DEVINFO_DATA& info) {
    DWORD size = 0;
    SetupDiGetDeviceInstanceIdW(set, &info, nullptr, 0, &size);
    if (size == 0)
        return {};
    std::vector<wchar_t> buffer(size + 1, L'\0');
    if (!SetupDiGetDeviceInstanceIdW(set, &info, buffer.data(), size, nullptr))
        return {};
    return utf8(wideText(buffer, false));
}

// The four hex digits after "VID_" or "PID_" in a hardware id such as
// "USB\VID_0403&PID_6001&REV_0600" or "FTDIBUS\COMPORT&VID_0403&PID_6001".
std::optional<std::uint16_t> hardwareId(const std::string& ids, std::string_view key) {
    std::string upper = ids;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    const std::size_t at = upper.find(key);
    if (at == std::string::npos || at + key.size() + 4 > upper.size())
        return std::nullopt;
    unsigned value = 0;
    const char* first = upper.data() + at + key.size();
    const auto [end, error] = std::from_chars(first, first + 4, value, 16);
    if (error != std::errc() || end != first + 4)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// The adapter's serial number within the device's instance id, when the id carries it:
// "USB\VID_2341&PID_0043\75230313833351" (an id the system made up has '&' in its last part),
// or "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000", where FTDI's driver has added the port's letter
// (A for the first) to the adapter's serial number.
std::string serialNumber(const std::string& instance) {
    const std::vector<std::string> parts = text::split(instance, '\\');
    if (parts.size() < 3)
        return {};
    if (text::equalNoCase(parts[0], "USB"))
        return parts[2].find('&') == std::string::npos ? parts[2] : std::string();
    if (text::equalNoCase(parts[0], "FTDIBUS")) {
        const std::vector<std::string> fields = text::split(parts[1], '+');
        if (fields.size() >= 3 && fields[2].size() > 1)
            return fields[2].substr(0, fields[2].size() - 1);
    }
    return {};
}

bool listed(const std::vector<PortInfo>& ports, const std::string& path) {
    return std::any_of(ports.begin(), ports.end(),
                       [&](const PortInfo& port) { return text::equalNoCase(port.path, path); });
}

void addSetupPorts(const GUID& guid, DWORD flags, std::vector<PortInfo>& ports) {
    const HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &info); ++index) {
        // The Ports class holds printer ports (LPT1) too.
        const std::string name = portName(set, info);
        const std::string path = "\\\\.\\" + name;
        if (!text::startsWithNoCase(name, "COM") || listed(ports, path))
            continue;
        PortInfo port;
        port.path = path;
        port.description = deviceProperty(set, info, SPDRP_DEVICEDESC);
        if (port.description.empty())
            port.description = deviceProperty(set, info, SPDRP_FRIENDLYNAME);
        port.manufacturer = deviceProperty(set, info, SPDRP_MFG);
        const std::string hardware = deviceProperty(set, info, SPDRP_HARDWAREID);
        port.vendorId = hardwareId(hardware, "VID_");
        port.productId = hardwareId(hardware, "PID_");
        port.serialNumber = serialNumber(instanceId(set, info));
        ports.push_back(std::move(port));
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The ports in HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, which every serial driver fills
// with its ports' names, whether or not the device manager has a record of them.
void addRegistryPorts(std::vector<PortInfo>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> valueName(256, L'\0');
        DWORD nameLength = static_cast<DWORD>(valueName.size());
        std::vector<wchar_t> data(256, L'\0');
        DWORD dataSize = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
        DWORD type = 0;
        const LONG status = RegEnumValueW(key, index, valueName.data(), &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const std::string name = utf8(wideText(data, false));
        const std::string path = "\\\\.\\" + name;
        if (!name.empty() && !listed(ports, path)) {
            PortInfo port;
            port.path = path;
            ports.push_back(std::move(port));
        }
    }
    RegCloseKey(key);
}

// "\\.\COM3" and "COM3" name the same port.
std::string_view withoutDevicePrefix(std::string_view path) {
    return path.starts_with("\\\\.\\") ? path.substr(4) : path;
}

#endif

} // namespace

#ifndef _WIN32

std::vector<PortInfo> systemPortInfo(const DeviceTree& tree) {
    std::vector<PortInfo> ports;
    for (const std::string& name : entryNames(tree.sysTtyDir)) {
        // Virtual consoles, /dev/tty and the pseudo-terminal master have no hardware.
        if (!kernelSerialTty(name, tree))
            continue;
        if (isUartSlot(name) && uartType(name, tree).value_or(0) == 0)
            continue;
        PortInfo port;
        port.path = filepath::join(tree.devDir, name);
        addUsbFacts(filepath::canonical(filepath::join(tree.sysTtyDir, name + "/device")), port);
        ports.push_back(std::move(port));
    }
    return ports;
}

#else

std::vector<PortInfo> systemPortInfo(const DeviceTree& /*tree*/) {
    std::vector<PortInfo> ports;
    addSetupPorts(kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, ports);
    addSetupPorts(kPortsClass, DIGCF_PRESENT, ports);
    addRegistryPorts(ports);
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return pathOrder(a.path) < pathOrder(b.path);
    });
    return ports;
}

#endif

std::vector<SerialDevice> listSerialDevices(const std::vector<PortInfo>& ports,
                                            const DeviceTree& tree) {
    const std::map<std::string, std::string> byId = byIdNames(tree);
    std::vector<SerialDevice> devices;
    for (const PortInfo& port : ports) {
        const std::string name = filepath::fileName(port.path);
        if (isUartSlot(name) && uartType(name, tree) == 0)
            continue;
        SerialDevice device;
        device.port = port;
        device.byId = byIdOf(byId, port.path);
        device.access = tree.access(port.path);
        devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        return pathOrder(a.port.path) < pathOrder(b.port.path);
    });
    return devices;
}

#ifdef _WIN32

DeviceLookup lookUpDevice(const std::string& path, const std::vector<SerialDevice>& devices,
                          const DeviceTree& /*tree*/) {
    // No device files to follow: a port is what the system lists.
    DeviceLookup result;
    result.path = path;
    for (const SerialDevice& device : devices) {
        if (text::equalNoCase(withoutDevicePrefix(device.port.path), withoutDevicePrefix(path))) {
            result.state = DeviceState::Present;
            result.path = device.port.path;
            result.device = device;
            return result;
        }
    }
    result.state = DeviceState::Absent;
    return result;
}

#else

DeviceLookup lookUpDevice(const std::string& path, const std::vector<SerialDevice>& devices,
                          const DeviceTree& tree) {
    DeviceLookup result;
    if (!filepath::exists(path)) {
        const bool link = filepath::isLink(path);
        result.state = link ? DeviceState::Missing : DeviceState::Absent;
        result.path = link ? filepath::linkTarget(path) : path;
        return result;
    }
    const std::string canonical = filepath::canonical(path);
    result.path = canonical;

    for (const SerialDevice& device : devices) {
        if (filepath::canonical(device.port.path) == canonical) {
            result.state = DeviceState::Present;
            result.path = device.port.path;
            result.device = device;
            return result;
        }
    }
    if (isPseudoTerminal(canonical, tree)) {
        result.state = DeviceState::Present;
        result.device = deviceAt(canonical, kPseudoTerminal, tree);
        return result;
    }
    const std::string name = filepath::fileName(canonical);
    if (isUartSlot(name)) {
        // Not listed: a UART only when the kernel says one answers there.
        const std::optional<int> type = uartType(name, tree);
        result.state = type.value_or(0) != 0 ? DeviceState::Present : DeviceState::NoUart;
    } else {
        result.state = kernelSerialTty(name, tree) ? DeviceState::Present : DeviceState::NotSerial;
    }
    if (result.state == DeviceState::Present)
        result.device = deviceAt(canonical, std::string(), tree);
    return result;
}

#endif

ComPortTarget describeComPort(const std::string& programDir, int port,
                              const std::vector<SerialDevice>& devices, const DeviceTree& tree) {
    ComPortTarget target;
    target.port = port;
    std::string device = comPortDevice(programDir, port);
    const std::string entry = comPortEntry(programDir, port);
    if (device == entry) {
        target.entry = entry;
        if (filepath::isLink(entry))
            target.linkTarget = filepath::linkTarget(entry);
    } else if (device.starts_with("/dev/")) {
        device = filepath::join(tree.devDir, device.substr(5));
    }
    target.opens = lookUpDevice(device, devices, tree);
    return target;
}

} // namespace serial
