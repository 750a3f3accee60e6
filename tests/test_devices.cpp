// The machine's serial devices and what each COMn opens, on a made-up device tree: device nodes
// (plain files here), /dev/serial/by-id links, the kernel's tty facts, made-up port information
// and a made-up access check, so that every case runs anywhere without hardware.

#include "platform/json.h"
#include "serial/comlink.h"
#include "serial/comport.h"
#include "serial/devicelist.h"
#include "serial/porttext.h"
#include "serial/settingsfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using serial::DeviceAccess;
using serial::DeviceState;
using serial::LinkResult;

Q_DECLARE_METATYPE(DeviceState)
Q_DECLARE_METATYPE(LinkResult::Outcome)

namespace {

// Files, directories and links made up in a temporary directory.
struct MadeUpFiles {
    QTemporaryDir root;

    QString path(const QString& relative) const { return root.filePath(relative); }
    QString path(const char* relative) const { return path(QString::fromUtf8(relative)); }
    // The same path as the serial code takes it.
    std::string at(const char* relative) const { return path(relative).toStdString(); }
    // "@" in an expected text stands for the tree's root.
    QString expand(QString text) const { return text.replace(QLatin1Char('@'), root.path()); }

    void file(const QString& relative, const char* content = "") const {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile out(path(relative));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    void link(const QString& relative, const QString& target) const {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QVERIFY(QFile::link(target, path(relative)));
    }
    void link(const char* relative, const char* target) const {
        link(QString::fromUtf8(relative), QString::fromUtf8(target));
    }
};

// A device tree with:
//   ttyS0   a motherboard UART that answers (kernel type 4), listed without a description
//   ttyS1   an empty UART slot (kernel type 0), in the port information all the same
//   ttyS3   an empty UART slot that the port information leaves out
//   ttyS10  a second UART, listed, to show the listing's order
//   ttyUSB0 an FTDI adapter with a by-id name
//   ttyUSB1 a CP2102 adapter this user may not open (group dialout), with no by-id name
//   ttyAMA0 a UART the kernel knows but the port information leaves out
//   tty1    a virtual console, null, pts/3 (a pseudo-terminal)
//   by-id/usb-Gone_USB_Serial-if00-port0, a stale name whose adapter has gone
// and an empty program directory, prog/.
struct DeviceTreeFixture : MadeUpFiles {
    serial::DeviceTree tree;
    std::vector<serial::PortInfo> ports;
    std::vector<serial::SerialDevice> devices;

    DeviceTreeFixture() {
        tree.devDir = at("dev");
        tree.byIdDir = at("dev/serial/by-id");
        tree.sysTtyDir = at("sys/class/tty");
        tree.access = [](const std::string& path) {
            DeviceAccess access;
            const QFileInfo device(QString::fromStdString(path));
            if (!device.exists())
                return access;
            const bool denied = device.fileName() == QLatin1String("ttyUSB1");
            access.state = denied ? DeviceAccess::State::NoPermission : DeviceAccess::State::Ok;
            access.group = "dialout";
            return access;
        };

        for (const char* node : {"ttyS0", "ttyS1", "ttyS3", "ttyS10", "ttyUSB0", "ttyUSB1",
                                 "ttyAMA0", "tty1", "null", "pts/3"})
            file(QStringLiteral("dev/") + QLatin1String(node));
        link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
        link("dev/serial/by-id/usb-Gone_USB_Serial-if00-port0", "../../ttyUSB7");
        for (auto [name, type] : {std::pair{"ttyS0", "4"},
                                  {"ttyS1", "0"},
                                  {"ttyS3", "0"},
                                  {"ttyS10", "4"},
                                  {"ttyUSB0", nullptr},
                                  {"ttyUSB1", nullptr},
                                  {"ttyAMA0", nullptr}}) {
            QDir().mkpath(path(QStringLiteral("sys/class/tty/%1/device").arg(name)));
            if (type)
                file(QStringLiteral("sys/class/tty/%1/type").arg(name), type);
        }
        QDir().mkpath(path("sys/class/tty/tty1"));
        QDir().mkpath(path("prog"));

        ports = {
            {at("dev/ttyUSB1"), "CP2102 USB to UART Bridge Controller", "Silicon Labs", "0001",
             0x10c4, 0xea60},
            {at("dev/ttyS10"), {}, {}, {}, {}, {}},
            {at("dev/ttyS0"), {}, {}, {}, {}, {}},
            {at("dev/ttyS1"), {}, {}, {}, {}, {}},
            {at("dev/ttyUSB0"), "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001},
        };
        devices = serial::listSerialDevices(ports, tree);
    }

    std::string prog() const { return at("prog"); }

    // Sets up prog/COMn from a short description: "" nothing, "file", or "->target" where a
    // target starting with "dev/" is made absolute within the tree.
    void entry(int port, const QString& what) const {
        const QString name = QStringLiteral("prog/COM%1").arg(port);
        if (what == QLatin1String("file"))
            file(name, "not a device");
        else if (what.startsWith(QLatin1String("->")))
            link(name,
                 what.mid(2).startsWith(QLatin1String("dev/")) ? path(what.mid(2)) : what.mid(2));
    }
};

// A USB device in a made-up sysfs: its directory with the attributes the kernel writes, each
// ending in a line end.
void usbDevice(const MadeUpFiles& files, const QString& dir,
               std::initializer_list<std::pair<const char*, const char*>> attributes) {
    for (const auto& [name, value] : attributes)
        files.file(dir + QLatin1Char('/') + QLatin1String(name),
                   (QByteArray(value) + '\n').constData());
}

// A port's facts in one line: "path|description|manufacturer|serial|vendor:product".
QString portFacts(const serial::PortInfo& port) {
    const QString ids = port.vendorId && port.productId
                            ? QStringLiteral("%1:%2")
                                  .arg(*port.vendorId, 4, 16, QLatin1Char('0'))
                                  .arg(*port.productId, 4, 16, QLatin1Char('0'))
                            : QString();
    return QStringList{QString::fromStdString(port.path), QString::fromStdString(port.description),
                       QString::fromStdString(port.manufacturer),
                       QString::fromStdString(port.serialNumber), ids}
        .join(QLatin1Char('|'));
}

// A text field of a JSON object; "<not a text>" for anything else, so that a comparison shows it.
QString field(const json::Value& object, const char* key) {
    const json::Value& value = object.at(key);
    return value.is_string() ? QString::fromStdString(value.get<std::string>())
                             : QStringLiteral("<not a text>");
}

} // namespace

class TestDevices : public QObject {
    Q_OBJECT
private slots:
    void listing() {
        DeviceTreeFixture f;
        QStringList lines;
        for (const auto& device : f.devices)
            lines << QString::fromStdString(serial::deviceLine(device));
        // The empty ttyS1 is left out although Qt listed it; ttyS2 sorts before ttyS10.
        const QStringList expected = {
            "@/dev/ttyS0  serial port  access: ok",
            "@/dev/ttyS10  serial port  access: ok",
            "@/dev/ttyUSB0  FT232R USB UART (0403:6001, A50285BI)  manufacturer: FTDI  by-id: "
            "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  access: ok",
            "@/dev/ttyUSB1  CP2102 USB to UART Bridge Controller (10c4:ea60, 0001)  "
            "manufacturer: Silicon Labs  access: no permission (group dialout)",
        };
        QStringList wanted;
        for (const QString& line : expected)
            wanted << f.expand(line);
        QCOMPARE(lines, wanted);
    }

    // The machine's port information as the kernel gives it (sysfs): every tty with hardware
    // behind it, the empty UART slots left out, and a device on USB with the facts of its USB
    // device, found above the interface and the driver's port.
    void systemPorts() {
        MadeUpFiles f;
        const QString usb = QStringLiteral("sys/devices/pci0000:00/0000:00:14.0/usb1");
        // The root hub has ids too, but it is never the adapter.
        usbDevice(f, usb,
                  {{"idVendor", "1d6b"},
                   {"idProduct", "0002"},
                   {"product", "xHCI Host Controller"},
                   {"manufacturer", "Linux 6.1.0 xhci-hcd"},
                   {"serial", "0000:00:14.0"}});
        usbDevice(f, usb + "/1-2",
                  {{"idVendor", "0403"},
                   {"idProduct", "6001"},
                   {"product", "FT232R USB UART"},
                   {"manufacturer", "FTDI"},
                   {"serial", "A50285BI"}});
        // Texts as some devices report them, padded with blanks; no serial number.
        usbDevice(f, usb + "/1-3",
                  {{"idVendor", "2341"},
                   {"idProduct", "0043"},
                   {"product", " Arduino  Uno "},
                   {"manufacturer", "Arduino (www.arduino.cc)"}});
        struct Tty {
            const char* name;
            QString hardware; // the tty's "device", empty for none
            const char* type; // the kernel's UART type, for a ttyS
        };
        for (const Tty& tty : {
                 Tty{"ttyUSB0", usb + "/1-2/1-2:1.0/ttyUSB0", nullptr}, // usb-serial: below it
                 Tty{"ttyACM0", usb + "/1-3/1-3:1.0", nullptr},         // CDC ACM: the interface
                 Tty{"ttyS0", "sys/devices/pnp0/00:01", "4"},           // a UART that answers
                 Tty{"ttyS1", "sys/devices/platform/serial8250", "0"},  // an empty slot
                 Tty{"ttyAMA0", "sys/devices/platform/soc/fe201000.serial", nullptr},
                 Tty{"tty1", {}, nullptr}, // a virtual console
                 Tty{"ptmx", {}, nullptr},
             }) {
            const QString name = QString::fromLatin1(tty.name);
            // As the kernel lays it out: the tty below its hardware, linked to from the class.
            const QString dir = tty.hardware.isEmpty()
                                    ? QStringLiteral("sys/devices/virtual/tty/") + name
                                    : tty.hardware + QStringLiteral("/tty/") + name;
            QDir().mkpath(f.path(dir));
            f.link(QStringLiteral("sys/class/tty/") + name, QStringLiteral("../../") + dir.mid(4));
            if (!tty.hardware.isEmpty())
                f.link(dir + QStringLiteral("/device"),
                       QStringLiteral("../../../") + QFileInfo(tty.hardware).fileName());
            if (tty.type)
                f.file(dir + QStringLiteral("/type"), (QByteArray(tty.type) + '\n').constData());
        }

        serial::DeviceTree tree;
        tree.devDir = f.at("dev");
        tree.sysTtyDir = f.at("sys/class/tty");
        QStringList listed;
        for (const serial::PortInfo& port : serial::systemPortInfo(tree))
            listed << portFacts(port);
        const QStringList expected = {
            f.expand("@/dev/ttyACM0|Arduino Uno|Arduino (www.arduino.cc)||2341:0043"),
            f.expand("@/dev/ttyAMA0||||"),
            f.expand("@/dev/ttyS0||||"),
            f.expand("@/dev/ttyUSB0|FT232R USB UART|FTDI|A50285BI|0403:6001"),
        };
        QCOMPARE(listed, expected);
    }

    void comPort_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<DeviceState>("state");
        QTest::addColumn<QString>("line");
        // No entry beside the program: COMn is /dev/ttyS{n-1}.
        QTest::newRow("UART that answers")
            << 1 << "" << DeviceState::Present << "COM1  @/dev/ttyS0 — serial port";
        QTest::newRow("empty UART slot, listed")
            << 2 << "" << DeviceState::NoUart << "COM2  @/dev/ttyS1 — no device";
        QTest::newRow("empty UART slot, not listed")
            << 4 << "" << DeviceState::NoUart << "COM4  @/dev/ttyS3 — no device";
        QTest::newRow("no such platform device")
            << 9 << "" << DeviceState::Absent << "COM9  @/dev/ttyS8 — no such device";
        // An entry beside the program.
        QTest::newRow("adapter by its by-id name")
            << 3 << "->dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
            << DeviceState::Present
            << "COM3  @/dev/ttyUSB0 — FT232R USB UART (0403:6001, A50285BI)  [link to "
               "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0]";
        QTest::newRow("adapter by a relative link")
            << 3 << "->../dev/ttyUSB0" << DeviceState::Present
            << "COM3  @/dev/ttyUSB0 — FT232R USB UART (0403:6001, A50285BI)  [link to "
               "@/dev/ttyUSB0]";
        QTest::newRow("adapter unplugged, its by-id name gone")
            << 3 << "->dev/serial/by-id/usb-FTDI_Other-if00-port0" << DeviceState::Missing
            << "COM3  @/dev/serial/by-id/usb-FTDI_Other-if00-port0 — not plugged in  [link to "
               "@/dev/serial/by-id/usb-FTDI_Other-if00-port0]";
        QTest::newRow("adapter unplugged, stale by-id name")
            << 3 << "->dev/serial/by-id/usb-Gone_USB_Serial-if00-port0" << DeviceState::Missing
            << "COM3  @/dev/serial/by-id/usb-Gone_USB_Serial-if00-port0 — not plugged in  "
               "[link to @/dev/serial/by-id/usb-Gone_USB_Serial-if00-port0]";
        QTest::newRow("dangling link is not replaced by the UART")
            << 1 << "->dev/ttyUSB5" << DeviceState::Missing
            << "COM1  @/dev/ttyUSB5 — not plugged in  [link to @/dev/ttyUSB5]";
        QTest::newRow("no permission")
            << 5 << "->dev/ttyUSB1" << DeviceState::Present
            << "COM5  @/dev/ttyUSB1 — no permission (group dialout)  [link to @/dev/ttyUSB1]";
        QTest::newRow("pseudo-terminal")
            << 6 << "->dev/pts/3" << DeviceState::Present
            << "COM6  @/dev/pts/3 — pseudo-terminal  [link to @/dev/pts/3]";
        QTest::newRow("UART the kernel knows, Qt does not list")
            << 8 << "->dev/ttyAMA0" << DeviceState::Present
            << "COM8  @/dev/ttyAMA0 — serial port  [link to @/dev/ttyAMA0]";
        QTest::newRow("link to an empty UART slot")
            << 12 << "->dev/ttyS1" << DeviceState::NoUart
            << "COM12  @/dev/ttyS1 — no device  [link to @/dev/ttyS1]";
        QTest::newRow("link to /dev/null")
            << 7 << "->dev/null" << DeviceState::NotSerial
            << "COM7  @/dev/null — not a serial device  [link to @/dev/null]";
        QTest::newRow("link to a virtual console")
            << 10 << "->dev/tty1" << DeviceState::NotSerial
            << "COM10  @/dev/tty1 — not a serial device  [link to @/dev/tty1]";
        QTest::newRow("plain file")
            << 11 << "file" << DeviceState::NotSerial
            << "COM11  @/prog/COM11 — not a serial device  [entry @/prog/COM11]";
    }
    void comPort() {
        QFETCH(int, port);
        QFETCH(QString, entry);
        QFETCH(DeviceState, state);
        QFETCH(QString, line);
        DeviceTreeFixture f;
        f.entry(port, entry);
        const auto target = serial::describeComPort(f.prog(), port, f.devices, f.tree);
        QCOMPARE(target.opens.state, state);
        const QString text = QString::fromStdString(serial::comPortLine(target));
        QCOMPARE(text, f.expand(line));
        // The summary is the line without the port name and the entry.
        QVERIFY(text.startsWith(QStringLiteral("COM%1  ").arg(port) +
                                QString::fromStdString(serial::comPortSummary(target))));
    }

    void json() {
        DeviceTreeFixture f;
        f.entry(3, "->dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        const json::Value present =
            serial::comPortJson(serial::describeComPort(f.prog(), 3, f.devices, f.tree));
        QCOMPARE(field(present, "port"), QStringLiteral("COM3"));
        QCOMPARE(field(present, "state"), QStringLiteral("present"));
        QCOMPARE(field(present, "opens"), f.path("dev/ttyUSB0"));
        QCOMPARE(field(present, "link_target"),
                 f.path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
        const json::Value& device = present.at("device");
        QCOMPARE(field(device, "vendor_id"), QStringLiteral("0403"));
        QCOMPARE(field(device, "product_id"), QStringLiteral("6001"));
        QCOMPARE(field(device, "serial_number"), QStringLiteral("A50285BI"));
        QCOMPARE(field(device, "description"), QStringLiteral("FT232R USB UART"));
        QCOMPARE(field(device, "manufacturer"), QStringLiteral("FTDI"));
        QCOMPARE(field(device, "by_id"), field(present, "link_target"));
        QCOMPARE(field(device, "access"), QStringLiteral("ok"));

        // Facts that are not known are null, not empty strings.
        const json::Value uart = serial::deviceJson(f.devices.front());
        QVERIFY(uart.at("by_id").is_null());
        QVERIFY(uart.at("vendor_id").is_null());
        QVERIFY(uart.at("description").is_null());
        // The line qf7320 ports --json writes: keys in alphabetical order, compact.
        QCOMPARE(QString::fromStdString(json::dump(uart)),
                 f.expand(R"({"access":"ok","by_id":null,"description":null,"group":"dialout",)"
                          R"("manufacturer":null,"path":"@/dev/ttyS0","product_id":null,)"
                          R"("serial_number":null,"vendor_id":null})"));

        const json::Value denied = serial::deviceJson(f.devices.back());
        QCOMPARE(field(denied, "access"), QStringLiteral("no-permission"));
        QCOMPARE(field(denied, "group"), QStringLiteral("dialout"));

        const json::Value empty =
            serial::comPortJson(serial::describeComPort(f.prog(), 2, f.devices, f.tree));
        QCOMPARE(field(empty, "state"), QStringLiteral("no-uart"));
        QVERIFY(empty.at("device").is_null());
        QVERIFY(empty.at("entry").is_null());
        QCOMPARE(field(empty, "summary"), f.path("dev/ttyS1") + QStringLiteral(" — no device"));
    }

    void parseComPortName_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port"); // 0: refused
        for (auto [text, port] : {std::pair{"COM3", 3},
                                  {"com16", 16},
                                  {"3", 3},
                                  {" COM1 ", 1},
                                  {"COM255", 255},
                                  {"COM0", 0},
                                  {"COM256", 0},
                                  {"COM", 0},
                                  {"COM-1", 0},
                                  {"ttyS0", 0},
                                  {"COM1x", 0},
                                  {"", 0}})
            QTest::newRow(text) << QString::fromLatin1(text) << port;
    }
    void parseComPortName() {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(serial::parseComPortName(text.toStdString()).value_or(0), port);
    }

    void link_data() {
        QTest::addColumn<QString>("before"); // prog/COM3 before, as for DeviceTreeFixture::entry
        QTest::addColumn<QString>("device"); // "@" is the tree's root
        QTest::addColumn<bool>("force");
        QTest::addColumn<LinkResult::Outcome>("outcome");
        QTest::addColumn<QString>("after"); // where prog/COM3 leads afterwards, "" for nowhere
        const QString byId = "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        using O = LinkResult::Outcome;
        QTest::newRow("bare name, by-id preferred") << ""
                                                    << "ttyUSB0" << false << O::Done << byId;
        QTest::newRow("path, by-id preferred") << ""
                                               << "@/dev/ttyUSB0" << false << O::Done << byId;
        QTest::newRow("by-id name itself") << "" << byId << false << O::Done << byId;
        QTest::newRow("no by-id name: the device")
            << ""
            << "ttyUSB1" << false << O::Done << "@/dev/ttyUSB1";
        QTest::newRow("pseudo-terminal") << ""
                                         << "@/dev/pts/3" << false << O::Done << "@/dev/pts/3";
        QTest::newRow("UART that answers") << ""
                                           << "ttyS0" << false << O::Done << "@/dev/ttyS0";
        QTest::newRow("empty UART slot") << ""
                                         << "ttyS1" << false << O::NotSerial << "";
        QTest::newRow("not a serial device") << ""
                                             << "null" << false << O::NotSerial << "";
        QTest::newRow("no such device") << ""
                                        << "ttyUSB9" << false << O::NoSuchDevice << "";
        QTest::newRow("stale by-id name") << ""
                                          << "@/dev/serial/by-id/usb-Gone_USB_Serial-if00-port0"
                                          << false << O::NoSuchDevice << "";
        QTest::newRow("existing link kept")
            << "->dev/ttyS0"
            << "ttyUSB0" << false << O::EntryExists << "@/dev/ttyS0";
        QTest::newRow("dangling link kept")
            << "->dev/ttyUSB5"
            << "ttyUSB0" << false << O::EntryExists << "@/dev/ttyUSB5";
        QTest::newRow("existing link replaced") << "->dev/ttyS0"
                                                << "ttyUSB0" << true << O::Done << byId;
        QTest::newRow("dangling link replaced") << "->dev/ttyUSB5"
                                                << "ttyUSB0" << true << O::Done << byId;
        QTest::newRow("plain file replaced") << "file"
                                             << "ttyUSB0" << true << O::Done << byId;
        QTest::newRow("refused device leaves the entry")
            << "->dev/ttyS0"
            << "null" << true << O::NotSerial << "@/dev/ttyS0";
    }
    void link() {
        QFETCH(QString, before);
        QFETCH(QString, device);
        QFETCH(bool, force);
        QFETCH(LinkResult::Outcome, outcome);
        QFETCH(QString, after);
        DeviceTreeFixture f;
        f.entry(3, before);
        const QString entry = QDir(f.path("prog")).filePath(QStringLiteral("COM3"));

        const LinkResult result = serial::linkComPort(f.prog(), 3, f.expand(device).toStdString(),
                                                      force, f.devices, f.tree);
        QCOMPARE(result.outcome, outcome);
        QCOMPARE(QString::fromStdString(result.entry), entry);
        QCOMPARE(result.message.empty(), outcome == LinkResult::Outcome::Done);
        QCOMPARE(QFileInfo(entry).symLinkTarget(), f.expand(after));
        if (outcome == LinkResult::Outcome::Done) {
            QCOMPARE(QString::fromStdString(result.target), f.expand(after));
            // The window now opens that device through COM3.
            const auto target = serial::describeComPort(f.prog(), 3, f.devices, f.tree);
            QCOMPARE(target.opens.state, DeviceState::Present);
            QCOMPARE(QString::fromStdString(target.opens.path),
                     QString::fromStdString(result.device.port.path));
        }
        // Nothing is left behind beside the entry.
        QCOMPARE(QDir(f.path("prog"))
                     .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                     .size(),
                 before.isEmpty() && outcome != LinkResult::Outcome::Done ? 0 : 1);
    }

    void remove_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<LinkResult::Outcome>("outcome");
        QTest::addColumn<bool>("kept");
        QTest::newRow("link") << "->dev/ttyUSB0" << LinkResult::Outcome::Done << false;
        QTest::newRow("dangling link") << "->dev/ttyUSB5" << LinkResult::Outcome::Done << false;
        QTest::newRow("plain file") << "file" << LinkResult::Outcome::NotALink << true;
        QTest::newRow("nothing") << "" << LinkResult::Outcome::NoEntry << false;
    }
    void remove() {
        QFETCH(QString, before);
        QFETCH(LinkResult::Outcome, outcome);
        QFETCH(bool, kept);
        DeviceTreeFixture f;
        f.entry(3, before);
        const LinkResult result = serial::removeComPortLink(f.prog(), 3);
        QCOMPARE(result.outcome, outcome);
        const QFileInfo entry(QString::fromStdString(result.entry));
        QCOMPARE(entry.exists() || entry.isSymLink(), kept);
        if (outcome == LinkResult::Outcome::Done)
            QCOMPARE(QString::fromStdString(result.target), f.path(before.mid(2)));
    }

    // Which folder a name is read from, name by name: the program's whenever it can be written,
    // else the user's when that holds the name (a link whose target has gone counts), else the
    // program's still.
    void settingsFolderRule_data() {
        QTest::addColumn<bool>("programWritable");
        QTest::addColumn<QString>("inUser"); // the user's folder holds: "", "file" or "->dangling"
        QTest::addColumn<bool>("inProgram"); // the program's holds the name
        QTest::addColumn<QString>("readFrom"); // "user" or "program"
        QTest::addColumn<QString>("writeTo");
        QTest::newRow("portable, user's ignored") << true << "file" << true << "program"
                                                  << "program";
        QTest::newRow("read-only, user's first") << false << "file" << true << "user"
                                                 << "user";
        QTest::newRow("read-only, dangling link in user's")
            << false << "->dangling" << true << "user"
            << "user";
        QTest::newRow("read-only, only the program's") << false << "" << true << "program"
                                                       << "user";
        QTest::newRow("read-only, in neither") << false << "" << false << "program"
                                               << "user";
    }
    void settingsFolderRule() {
        QFETCH(bool, programWritable);
        QFETCH(QString, inUser);
        QFETCH(bool, inProgram);
        QFETCH(QString, readFrom);
        QFETCH(QString, writeTo);
        MadeUpFiles files;
        QDir().mkpath(files.path("prog"));
        QDir().mkpath(files.path("user"));
        if (inUser == QLatin1String("file"))
            files.file(QStringLiteral("user/COM3"));
        else if (inUser.startsWith(QLatin1String("->")))
            files.link(QStringLiteral("user/COM3"), files.path("gone"));
        if (inProgram)
            files.file(QStringLiteral("prog/COM3"));
        const serial::SettingsFolder folder{files.at("prog"), files.at("user"), programWritable};
        const auto named = [&](const QString& which) {
            return files.path(which == QLatin1String("user") ? "user" : "prog");
        };
        QCOMPARE(QString::fromStdString(folder.readFolder("COM3")), named(readFrom));
        QCOMPARE(QString::fromStdString(folder.writeFolder()), named(writeTo));
        const std::vector<std::string> searched =
            programWritable ? std::vector<std::string>{files.at("prog")}
                            : std::vector<std::string>{files.at("user"), files.at("prog")};
        QVERIFY(folder.searched() == searched);
        // With no user's folder to go to, everything stays beside the program.
        const serial::SettingsFolder homeless{files.at("prog"), {}, programWritable};
        QCOMPARE(QString::fromStdString(homeless.readFolder("COM3")), files.path("prog"));
        QCOMPARE(QString::fromStdString(homeless.writeFolder()), files.path("prog"));
    }

    // A folder counts as writable when a file can be created in it, and the trial leaves
    // nothing behind. /proc refuses root as well; so do a plain file and a missing folder.
    void writableFolders() {
        MadeUpFiles files;
        QVERIFY(serial::canCreateFileIn(files.root.path().toStdString()));
        QCOMPARE(
            QDir(files.root.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                .size(),
            0);
        files.file(QStringLiteral("plain"));
        QVERIFY(!serial::canCreateFileIn(files.at("plain")));
        QVERIFY(!serial::canCreateFileIn(files.at("missing")));
        QVERIFY(!serial::canCreateFileIn("/proc"));
    }

    // The user's folder: $XDG_CONFIG_HOME/qf7320 when that is absolute, else ~/.config/qf7320.
    void userFolder_data() {
        QTest::addColumn<QByteArray>("configHome"); // "<unset>" to unset it
        QTest::addColumn<QString>("folder");        // "~" for the home folder
        QTest::newRow("XDG_CONFIG_HOME") << QByteArray("/etc/xdg-test") << "/etc/xdg-test/qf7320";
        QTest::newRow("relative, ignored") << QByteArray("config") << "~/.config/qf7320";
        QTest::newRow("empty, ignored") << QByteArray("") << "~/.config/qf7320";
        QTest::newRow("unset") << QByteArray("<unset>") << "~/.config/qf7320";
    }
    void userFolder() {
        QFETCH(QByteArray, configHome);
        QFETCH(QString, folder);
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", "/home/someone");
        if (configHome == "<unset>")
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", configHome);
        const std::string found = serial::userSettingsDir();
        qputenv("HOME", savedHome);
        if (hadConfig)
            qputenv("XDG_CONFIG_HOME", savedConfig);
        else
            qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(QString::fromStdString(found),
                 folder.replace(QLatin1Char('~'), QStringLiteral("/home/someone")));
    }

    // What a read asks for (no trial file unless the user's folder holds the name) answers as
    // the whole rule does: for a folder that can be written and for /proc, which cannot, with
    // the name in the user's folder, there as a link whose target has gone, or not there.
    void readFolderAsTheRuleSays() {
        MadeUpFiles files;
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", files.path("config").toUtf8());
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", savedConfig); });
        QDir().mkpath(files.path("prog"));
        files.file(QStringLiteral("config/qf7320/comm.set"));
        files.link(QStringLiteral("config/qf7320/COM3"), files.path("gone"));
        for (const std::string& program : {files.at("prog"), std::string("/proc")}) {
            for (const std::string name : {"comm.set", "COM3", "COM4"}) {
                const std::string expected = serial::settingsFolder(program).readFolder(name);
                QCOMPARE(serial::settingsReadFolder(program, name), expected);
            }
        }
        QCOMPARE(serial::settingsReadFolder("/proc", "comm.set"), files.at("config/qf7320"));
        QCOMPARE(serial::settingsReadFolder(files.at("prog"), "comm.set"), files.at("prog"));
        QCOMPARE(serial::settingsReadFolder("/proc", "COM4"), std::string("/proc"));
    }

    // A program folder nobody may write in (/proc, which refuses root too): link makes COMn in
    // the user's folder, made for it; the window and the command line then open COMn from
    // there, and remove takes it away again. A refused device makes no folder.
    void comPortInTheUserFolder() {
        DeviceTreeFixture f;
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", f.path("config").toUtf8());
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", savedConfig); });
        const std::string program = "/proc";
        const QString entry = f.path("config/qf7320/COM3");

        const LinkResult refused =
            serial::linkComPort(program, 3, "null", false, f.devices, f.tree);
        QCOMPARE(refused.outcome, LinkResult::Outcome::NotSerial);
        QVERIFY(!QFileInfo::exists(f.path("config")));

        QCOMPARE(QString::fromStdString(serial::comPortDevice(program, 3)),
                 QStringLiteral("/dev/ttyS2"));
        const LinkResult made =
            serial::linkComPort(program, 3, "ttyUSB0", false, f.devices, f.tree);
        QCOMPARE(made.outcome, LinkResult::Outcome::Done);
        QCOMPARE(QString::fromStdString(made.entry), entry);
        QCOMPARE(QFileInfo(entry).symLinkTarget(),
                 f.path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
        QCOMPARE(QString::fromStdString(serial::comPortDevice(program, 3)), entry);
        const auto target = serial::describeComPort(program, 3, f.devices, f.tree);
        QCOMPARE(QString::fromStdString(target.entry), entry);
        QCOMPARE(target.opens.state, DeviceState::Present);
        QCOMPARE(QString::fromStdString(target.opens.path), f.path("dev/ttyUSB0"));
        // Another port still resolves as before.
        QCOMPARE(QString::fromStdString(serial::comPortDevice(program, 4)),
                 QStringLiteral("/dev/ttyS3"));

        const LinkResult removed = serial::removeComPortLink(program, 3);
        QCOMPARE(removed.outcome, LinkResult::Outcome::Done);
        QVERIFY(!QFileInfo(entry).isSymLink());
        QCOMPARE(QString::fromStdString(serial::comPortDevice(program, 3)),
                 QStringLiteral("/dev/ttyS2"));
    }
};

QTEST_GUILESS_MAIN(TestDevices)
#include "test_devices.moc"
