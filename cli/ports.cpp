// The two commands that talk to no sensor: which serial devices this machine has and what the
// window's COM1-COM16 open, and making COMn open a chosen device.

#include "cli/verbs.h"

#include "platform/json.h"
#include "platform/text.h"
#include "serial/comlink.h"
#include "serial/devicelist.h"
#include "serial/filepath.h"
#include "serial/porttext.h"
#include "serial/settingsfolder.h"

#include <filesystem>

namespace cli {

namespace {

// The window's directory: --dir, or the one that holds qf7320. Empty once usage() has said why.
std::string windowDir(Context& context) {
    if (!context.isSet("dir"))
        return context.common().programDir;
    const std::string dir = context.value("dir");
    std::error_code error;
    if (dir.empty() || !std::filesystem::is_directory(serial::filepath::toNative(dir), error)) {
        context.usage(text::format("--dir %1 is not a directory", {dir}));
        return {};
    }
    return serial::filepath::absolute(dir);
}

} // namespace

int portsCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    const std::string dir = windowDir(context);
    if (dir.empty())
        return kExitUsage;

    Output& out = context.out();
    const std::vector<serial::SerialDevice> devices =
        serial::listSerialDevices(serial::systemPortInfo());
    if (!out.json())
        out.data(devices.empty() ? "Serial devices: none" : "Serial devices:");
    for (const serial::SerialDevice& device : devices) {
        if (out.json()) {
            json::Value object = serial::deviceJson(device);
            object["kind"] = "device";
            out.object(object);
        } else {
            out.data(serial::deviceLine(device));
        }
    }

    // The folders COMn is looked for in: the program's alone, as in a portable folder, or the
    // user's (where link makes it) and then the program's, when that cannot be written.
    const serial::SettingsFolder folder = serial::settingsFolder(dir);
    std::string searched;
    for (const std::string& each : folder.searched())
        searched += (searched.empty() ? "" : ", then ") + serial::filepath::nativeSeparators(each);
    if (!out.json())
        out.data(text::format("\nThe window's ports (in %1):", {searched}));
    for (int port = 1; port <= serial::kWindowComPorts; ++port) {
        const serial::ComPortTarget target = serial::describeComPort(dir, port, devices);
        if (out.json()) {
            json::Value object = serial::comPortJson(target);
            object["kind"] = "com";
            object["folder"] = folder.writeFolder();
            out.object(object);
        } else {
            out.data(serial::comPortLine(target));
        }
    }
    return kExitOk;
}

int linkCommand(Context& context) {
#ifdef _WIN32
    // COMn on Windows is always the system's own port: nothing can stand in its place.
    return context.usage("link is not part of the Windows build: a COM port there is always the "
                         "system's own (the Device Manager gives an adapter another COM number)");
#endif
    const std::vector<std::string> words = context.arguments();
    const bool remove = context.isSet("remove");
    const std::size_t wanted = remove ? 1 : 2;
    if (words.size() != wanted)
        return context.usage(remove ? "link --remove takes COMn alone"
                                    : "link takes COMn and a DEVICE, e.g. "
                                      "'link COM3 /dev/ttyUSB0'");
    const std::optional<int> port = serial::parseComPortName(words.at(0));
    if (!port)
        return context.usage(text::format(
            "'%1' is not a port: COM1-COM255 (the window lists COM1-COM16)", {words.at(0)}));
    if (remove && context.isSet("force"))
        return context.usage("--force goes with making a link, not --remove");
    const std::string dir = windowDir(context);
    if (dir.empty())
        return kExitUsage;

    const serial::LinkResult result =
        remove ? serial::removeComPortLink(dir, *port)
               : serial::linkComPort(dir, *port, words.at(1), context.isSet("force"),
                                     serial::listSerialDevices(serial::systemPortInfo()));
    Output& out = context.out();
    const bool done = result.outcome == serial::LinkResult::Outcome::Done;
    if (out.json()) {
        json::Value object = json::Value::object();
        object["port"] = "COM" + std::to_string(*port);
        object["entry"] = result.entry;
        object["status"] = done ? "ok" : "refused";
        if (!result.target.empty())
            object[remove ? "removed" : "target"] = result.target;
        if (!done)
            object["error"] = result.message;
        out.object(object);
    }
    if (!done) {
        out.message("qf7320 link: " + result.message);
        return kExitUsage;
    }
    if (!out.json())
        out.data(remove ? text::format("COM%1 removed (it linked to %2)", {*port, result.target})
                        : text::format("COM%1 -> %2", {*port, result.target}));
    // A link the operator may not open yet is made, and the way to the group is told.
    if (!remove && result.device.access.state == serial::DeviceAccess::State::NoPermission)
        out.message(text::format(
            "qf7320 link: you may not open %1 yet: %2",
            {result.device.port.path, serial::permissionAdvice(result.device.access.group)}));
    return kExitOk;
}

} // namespace cli
