// The two commands that talk to no sensor: which serial devices this machine has and what the
// window's COM1-COM16 open, and making COMn open a chosen device.

#include "cli/verbs.h"

#include "serial/comlink.h"
#include "serial/devicelist.h"
#include "serial/porttext.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace cli {

namespace {

// The window's directory: --dir, or the one that holds qf7320. Empty once usage() has said why.
QString windowDir(Context& context) {
    if (!context.isSet(QStringLiteral("dir")))
        return context.common().programDir;
    const QString dir = context.value(QStringLiteral("dir"));
    if (!QFileInfo(dir).isDir()) {
        context.usage(QStringLiteral("--dir %1 is not a directory").arg(dir));
        return {};
    }
    return QDir(dir).absolutePath();
}

} // namespace

int portsCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    const QString dir = windowDir(context);
    if (dir.isEmpty())
        return kExitUsage;

    Output& out = context.out();
    const QList<serial::SerialDevice> devices = serial::listSerialDevices(serial::systemPortInfo());
    if (!out.json())
        out.data(devices.isEmpty() ? QStringLiteral("Serial devices: none")
                                   : QStringLiteral("Serial devices:"));
    for (const serial::SerialDevice& device : devices) {
        if (out.json()) {
            QJsonObject object = serial::deviceJson(device);
            object.insert(QStringLiteral("kind"), QStringLiteral("device"));
            out.object(object);
        } else {
            out.data(serial::deviceLine(device));
        }
    }

    if (!out.json())
        out.data(
            QStringLiteral("\nThe window's ports (in %1):").arg(QDir::toNativeSeparators(dir)));
    for (int port = 1; port <= serial::kWindowComPorts; ++port) {
        const serial::ComPortTarget target = serial::describeComPort(dir, port, devices);
        if (out.json()) {
            QJsonObject object = serial::comPortJson(target);
            object.insert(QStringLiteral("kind"), QStringLiteral("com"));
            out.object(object);
        } else {
            out.data(serial::comPortLine(target));
        }
    }
    return kExitOk;
}

int linkCommand(Context& context) {
    const QStringList words = context.arguments();
    const bool remove = context.isSet(QStringLiteral("remove"));
    const int wanted = remove ? 1 : 2;
    if (words.size() != wanted)
        return context.usage(remove ? QStringLiteral("link --remove takes COMn alone")
                                    : QStringLiteral("link takes COMn and a DEVICE, e.g. "
                                                     "'link COM3 /dev/ttyUSB0'"));
    const std::optional<int> port = serial::parseComPortName(words.at(0));
    if (!port)
        return context.usage(
            QStringLiteral("'%1' is not a port: COM1-COM255 (the window lists COM1-COM16)")
                .arg(words.at(0)));
    if (remove && context.isSet(QStringLiteral("force")))
        return context.usage(QStringLiteral("--force goes with making a link, not --remove"));
    const QString dir = windowDir(context);
    if (dir.isEmpty())
        return kExitUsage;

    const serial::LinkResult result =
        remove
            ? serial::removeComPortLink(dir, *port)
            : serial::linkComPort(dir, *port, words.at(1), context.isSet(QStringLiteral("force")),
                                  serial::listSerialDevices(serial::systemPortInfo()));
    Output& out = context.out();
    const bool done = result.outcome == serial::LinkResult::Outcome::Done;
    if (out.json()) {
        QJsonObject object{
            {QStringLiteral("port"), QStringLiteral("COM%1").arg(*port)},
            {QStringLiteral("entry"), result.entry},
            {QStringLiteral("status"), done ? QStringLiteral("ok") : QStringLiteral("refused")}};
        if (!result.target.isEmpty())
            object.insert(remove ? QStringLiteral("removed") : QStringLiteral("target"),
                          result.target);
        if (!done)
            object.insert(QStringLiteral("error"), result.message);
        out.object(object);
    }
    if (!done) {
        out.message(QStringLiteral("qf7320 link: ") + result.message);
        return kExitUsage;
    }
    if (!out.json()) {
        out.data(
            remove ? QStringLiteral("COM%1 removed (it linked to %2)").arg(*port).arg(result.target)
                   : QStringLiteral("COM%1 -> %2").arg(*port).arg(result.target));
    }
    // A link the operator may not open yet is made, and the way to the group is told.
    if (!remove && result.device.access.state == serial::DeviceAccess::State::NoPermission)
        out.message(QStringLiteral("qf7320 link: you may not open %1 yet: %2")
                        .arg(result.device.port.path,
                             serial::permissionAdvice(result.device.access.group)));
    return kExitOk;
}

} // namespace cli
