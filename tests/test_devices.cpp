// The machine's serial devices and what each COMn opens, on a made-up device tree: device nodes
// (plain files here), /dev/serial/by-id links, the kernel's tty facts, made-up port information
// and a made-up access check, so that every case runs anywhere without hardware.

#include "serial/comlink.h"
#include "serial/devicelist.h"
#include "serial/porttext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using serial::DeviceAccess;
using serial::DeviceState;
using serial::LinkResult;

Q_DECLARE_METATYPE(DeviceState)
Q_DECLARE_METATYPE(LinkResult::Outcome)

namespace {

// A device tree with:
//   ttyS0   a motherboard UART that answers (kernel type 4), listed by Qt without a description
//   ttyS1   an empty UART slot (kernel type 0), still listed, as Qt does without udev
//   ttyS3   an empty UART slot that Qt does not list
//   ttyS10  a second UART, listed, to show the listing's order
//   ttyUSB0 an FTDI adapter with a by-id name
//   ttyUSB1 a CP2102 adapter this user may not open (group dialout), with no by-id name
//   ttyAMA0 a UART the kernel knows but Qt does not list
//   tty1    a virtual console, null, pts/3 (a pseudo-terminal)
//   by-id/usb-Gone_USB_Serial-if00-port0, a stale name whose adapter has gone
// and an empty program directory, prog/.
struct DeviceTreeFixture {
    QTemporaryDir root;
    serial::DeviceTree tree;
    QList<serial::PortInfo> ports;
    QList<serial::SerialDevice> devices;

    DeviceTreeFixture() {
        tree.devDir = path("dev");
        tree.byIdDir = path("dev/serial/by-id");
        tree.sysTtyDir = path("sys/class/tty");
        tree.access = [this](const QString& device) {
            DeviceAccess access;
            if (!QFileInfo::exists(device))
                return access;
            const bool denied = QFileInfo(device).fileName() == QLatin1String("ttyUSB1");
            access.state = denied ? DeviceAccess::State::NoPermission : DeviceAccess::State::Ok;
            access.group = QStringLiteral("dialout");
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
            {path("dev/ttyUSB1"), "CP2102 USB to UART Bridge Controller", "Silicon Labs", "0001",
             0x10c4, 0xea60},
            {path("dev/ttyS10"), {}, {}, {}, {}, {}},
            {path("dev/ttyS0"), {}, {}, {}, {}, {}},
            {path("dev/ttyS1"), {}, {}, {}, {}, {}},
            {path("dev/ttyUSB0"), "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001},
        };
        devices = serial::listSerialDevices(ports, tree);
    }

    QString path(const QString& relative) const { return root.filePath(relative); }
    QString path(const char* relative) const { return path(QString::fromUtf8(relative)); }
    QString prog() const { return path("prog"); }
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

} // namespace

class TestDevices : public QObject {
    Q_OBJECT
private slots:
    void listing() {
        DeviceTreeFixture f;
        QStringList lines;
        for (const auto& device : f.devices)
            lines << serial::deviceLine(device);
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
        QCOMPARE(serial::comPortLine(target), f.expand(line));
        // The summary is the line without the port name and the entry.
        QVERIFY(serial::comPortLine(target).startsWith(QStringLiteral("COM%1  ").arg(port) +
                                                       serial::comPortSummary(target)));
    }

    void json() {
        DeviceTreeFixture f;
        f.entry(3, "->dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        const QJsonObject present =
            serial::comPortJson(serial::describeComPort(f.prog(), 3, f.devices, f.tree));
        QCOMPARE(present["port"].toString(), QStringLiteral("COM3"));
        QCOMPARE(present["state"].toString(), QStringLiteral("present"));
        QCOMPARE(present["opens"].toString(), f.path("dev/ttyUSB0"));
        QCOMPARE(present["link_target"].toString(),
                 f.path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
        const QJsonObject device = present["device"].toObject();
        QCOMPARE(device["vendor_id"].toString(), QStringLiteral("0403"));
        QCOMPARE(device["product_id"].toString(), QStringLiteral("6001"));
        QCOMPARE(device["serial_number"].toString(), QStringLiteral("A50285BI"));
        QCOMPARE(device["description"].toString(), QStringLiteral("FT232R USB UART"));
        QCOMPARE(device["manufacturer"].toString(), QStringLiteral("FTDI"));
        QCOMPARE(device["by_id"].toString(), present["link_target"].toString());
        QCOMPARE(device["access"].toString(), QStringLiteral("ok"));

        // Facts that are not known are null, not empty strings.
        const QJsonObject uart = serial::deviceJson(f.devices.first());
        QVERIFY(uart["by_id"].isNull());
        QVERIFY(uart["vendor_id"].isNull());
        QVERIFY(uart["description"].isNull());

        const QJsonObject denied = serial::deviceJson(f.devices.last());
        QCOMPARE(denied["access"].toString(), QStringLiteral("no-permission"));
        QCOMPARE(denied["group"].toString(), QStringLiteral("dialout"));

        const QJsonObject empty =
            serial::comPortJson(serial::describeComPort(f.prog(), 2, f.devices, f.tree));
        QCOMPARE(empty["state"].toString(), QStringLiteral("no-uart"));
        QVERIFY(empty["device"].isNull());
        QVERIFY(empty["entry"].isNull());
        QCOMPARE(empty["summary"].toString(), f.path("dev/ttyS1") + QStringLiteral(" — no device"));
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
        QCOMPARE(serial::parseComPortName(text).value_or(0), port);
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
        const QString entry = QDir(f.prog()).filePath(QStringLiteral("COM3"));

        const LinkResult result =
            serial::linkComPort(f.prog(), 3, f.expand(device), force, f.devices, f.tree);
        QCOMPARE(result.outcome, outcome);
        QCOMPARE(result.entry, entry);
        QCOMPARE(result.message.isEmpty(), outcome == LinkResult::Outcome::Done);
        QCOMPARE(QFileInfo(entry).symLinkTarget(), f.expand(after));
        if (outcome == LinkResult::Outcome::Done) {
            QCOMPARE(result.target, f.expand(after));
            // The window now opens that device through COM3.
            const auto target = serial::describeComPort(f.prog(), 3, f.devices, f.tree);
            QCOMPARE(target.opens.state, DeviceState::Present);
            QCOMPARE(target.opens.path, result.device.port.path);
        }
        // Nothing is left behind beside the entry.
        QCOMPARE(
            QDir(f.prog()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(),
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
        const QFileInfo entry(result.entry);
        QCOMPARE(entry.exists() || entry.isSymLink(), kept);
        if (outcome == LinkResult::Outcome::Done)
            QCOMPARE(result.target, f.path(before.mid(2)));
    }
};

QTEST_GUILESS_MAIN(TestDevices)
#include "test_devices.moc"
