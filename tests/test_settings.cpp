// Start-up from comm.set, picking a port, and "保存设置".

#include "tests/support/windowfixture.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFileDevice>
#include <QFileInfo>
#include <QScopeGuard>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

void typeInto(QComboBox* combo, const QString& text) {
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), text);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    // comm.set as the load event reads it.
    void startup_data() {
        QTest::addColumn<QByteArray>("content"); // "<none>": no file
        QTest::addColumn<int>("port");           // CommNum
        QTest::addColumn<int>("rate");           // CommRate
        QTest::addColumn<int>("portItem");       // Combo1's selection
        QTest::addColumn<QString>("rateText");   // Combo2's text
        QTest::addColumn<int>("rateItem");
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("settings"); // the settings text the port was given
        auto row = [](const char* name, const QByteArray& content, int port, int rate, int portItem,
                      const char* rateText, int rateItem, bool open) {
            QTest::newRow(name) << content << port << rate << portItem << rateText << rateItem
                                << open << QStringLiteral("%1,N,8,1").arg(rate);
        };
        row("3,0", "3,0\r\n", 3, 9600, 2, "9600", 1, true);
        row("1,2400", "1,2400\r\n", 1, 2400, 0, "19200", -1, true);
        row("blanks and trailing text", "  16 ,  14400  whatever\r\nmore", 16, 14400, 15, "14400",
            2, true);
        row("port 17 is not listed", "17,4800\r\n", 17, 4800, -1, "4800", 0, false);
        row("port 0", "0,9600\r\n", 0, 9600, -1, "9600", 1, false);
        row("no file", "<none>", 0, 9600, -1, "9600", 1, false);
        row("empty file", "", 0, 9600, -1, "9600", 1, false);
        row("one number", "3\r\n", 0, 9600, -1, "9600", 1, false);
        row("not a number", "COM3,9600\r\n", 0, 9600, -1, "9600", 1, false);
        row("rate outside 16 bits", "3,38400\r\n", 0, 9600, -1, "9600", 1, false);
    }
    void startup() {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        QFETCH(int, rate);
        QFETCH(int, portItem);
        QFETCH(QString, rateText);
        QFETCH(int, rateItem);
        QFETCH(bool, open);
        QFETCH(QString, settings);
        WindowFixture f(content == "<none>" ? nullptr : content.constData());
        frmMain& w = f.w();
        w.show();
        QCOMPARE(int(w.CommNum), port);
        QCOMPARE(int(w.CommRate), rate);
        QCOMPARE(w.Combo1->currentIndex(), portItem);
        if (portItem == -1)
            QCOMPARE(w.Combo1->currentText(), QStringLiteral("COM4"));
        QCOMPARE(w.Combo2->currentText(), rateText);
        QCOMPARE(w.Combo2->currentIndex(), rateItem);
        QCOMPARE(f.port->portOpen(), open);
        QCOMPARE(w.CommOK, open);
        QCOMPARE(f.port->settings(), settings);
        QCOMPARE(w.txtStationID->text(), QStringLiteral("1"));
        if (open) {
            QCOMPARE(f.port->commPort(), port);
            QCOMPARE(f.port->rThreshold(), 1);
        }
        QCoreApplication::processEvents();
        QVERIFY(f.sink.shown.isEmpty());
    }

    void startupPreparesThePortInOrder() {
        WindowFixture f("3,0\r\n");
        QCOMPARE(f.port->ops, (QStringList{"CommPort=3", "InputMode=1", "InputLen=0",
                                           "InBufferCount=0", "OutBufferCount=0", "SThreshold=0",
                                           "RThreshold=1", "InputMode=1", "Settings=9600,N,8,1",
                                           // the selection of COM3 runs the port selection
                                           "CommPort=3", "Settings=9600,N,8,1", "PortOpen=1",
                                           "RThreshold=1", "InputMode=1"}));
    }

    // A stored port that cannot be opened is told once the window is up; polling then sends
    // nothing until a port is opened.
    void storedPortThatCannotBeOpened() {
        WindowFixture f("5,9600\r\n", [](FakeSerialComponent& port) { port.refuseOpen = true; });
        frmMain& w = f.w();
        QVERIFY(f.sink.shown.isEmpty());
        w.show();
        QTRY_COMPARE(f.sink.shown.size(), 1);
        QCOMPARE(f.sink.shown[0].text, QStringLiteral("请检查串口端口,串口端口5无法打开!"));
        QCOMPARE(f.sink.shown[0].title, QStringLiteral("NORV系统出错提示"));
        QCOMPARE(f.sink.shown[0].icon, MessageSink::Icon::None);
        QVERIFY(!w.CommOK);
        QCOMPARE(w.Combo1->currentIndex(), 4);
    }

    // Picking a port opens it at the current rate and saves nothing.
    void pickingAPort() {
        WindowFixture f("1,9600\r\n");
        frmMain& w = f.w();
        w.show();
        pickItem(w.Combo2, 3); // 19200 picked, not yet applied
        f.port->ops.clear();
        pickItem(w.Combo1, 4);
        QCOMPARE(f.port->ops, (QStringList{"PortOpen=0", "CommPort=5", "Settings=9600,N,8,1",
                                           "PortOpen=1", "RThreshold=1", "InputMode=1"}));
        QCOMPARE(w.CommNum, std::int16_t(5));
        QVERIFY(w.CommOK);
        QCOMPARE(f.settingsFile(), QStringLiteral("1,9600\r\n"));
        QVERIFY(f.sink.shown.isEmpty());
    }

    void saveSettings_data() {
        QTest::addColumn<int>("portItem");
        QTest::addColumn<int>("rateItem"); // -1: type rateTyped instead
        QTest::addColumn<QString>("rateTyped");
        QTest::addColumn<QString>("file");
        auto row = [](const char* name, int portItem, int rateItem, const char* typed,
                      const char* file) {
            QTest::newRow(name) << portItem << rateItem << typed << file;
        };
        row("COM2 and 19200", 1, 3, "", "2,19200\r\n");
        row("typed 38400 saves 4800", 2, -1, "38400", "3,4800\r\n");
        row("COM16 and 14400", 15, 2, "", "16,14400\r\n");
    }
    void saveSettings() {
        QFETCH(int, portItem);
        QFETCH(int, rateItem);
        QFETCH(QString, rateTyped);
        QFETCH(QString, file);
        WindowFixture f("1,9600\r\n");
        frmMain& w = f.w();
        w.show();
        pickItem(w.Combo1, portItem);
        if (rateItem >= 0)
            pickItem(w.Combo2, rateItem);
        else
            typeInto(w.Combo2, rateTyped);
        f.port->ops.clear();
        WindowFixture::click(w.cmdCom);
        QCOMPARE(f.settingsFile(), file);
        const QString rate = file.section(QLatin1Char(','), 1).trimmed();
        QCOMPARE(f.port->ops,
                 (QStringList{"PortOpen=0", QStringLiteral("CommPort=%1").arg(portItem + 1),
                              QStringLiteral("Settings=%1,N,8,1").arg(rate), "PortOpen=1",
                              "RThreshold=1", "InputMode=1"}));
        QCOMPARE(f.sink.shown.size(), 1);
        QCOMPARE(f.sink.shown[0].text, QStringLiteral("串口设置保存成功"));
        QCOMPARE(f.sink.shown[0].title, QStringLiteral("系统提示"));
        QCOMPARE(f.sink.shown[0].icon, MessageSink::Icon::None);
        QVERIFY(w.CommOK);
        QVERIFY(f.port->portOpen());
    }

    // A port held by another program: the settings are still saved and confirmed, the port
    // stays closed, and the first request reports it.
    void saveWithAPortHeldElsewhere() {
        WindowFixture f("1,9600\r\n");
        frmMain& w = f.w();
        w.show();
        f.port->refuseOpen = true;
        pickItem(w.Combo1, 1); // the pick's own open fails too
        w.CommOK = false;
        WindowFixture::click(w.cmdCom);
        QCOMPARE(f.settingsFile(), QStringLiteral("2,9600\r\n"));
        QCOMPARE(f.sink.texts(), QStringList{QStringLiteral("串口设置保存成功")});
        QVERIFY(w.CommOK);
        QVERIFY(!f.port->portOpen());
        WindowFixture::click(w.comDoOnce);
        QCOMPARE(f.sink.shown.last().text, QStringLiteral("打开串口出错，请确定串口是否已被占用"));
        QVERIFY(!w.CommOK);
    }

    void typingAPortSelectsNone() {
        WindowFixture f("1,9600\r\n");
        frmMain& w = f.w();
        w.show();
        typeInto(w.Combo1, QStringLiteral("COM2"));
        WindowFixture::click(w.cmdCom);
        QCOMPARE(f.sink.texts(), QStringList{QStringLiteral("请选择端口")});
        QCOMPARE(f.sink.shown[0].title, QStringLiteral("QF7300光照度传感器随机软件"));
        QVERIFY(!f.port->portOpen()); // closed in the first step, and left closed
        QCOMPARE(f.settingsFile(), QStringLiteral("1,9600\r\n"));
    }

    void portThatDoesNotClose() {
        // A component whose close does not take effect: save settings reports the port as
        // used by another device and saves nothing.
        class StuckPort : public FakeSerialComponent {
        public:
            bool setPortOpen(bool open) override {
                if (!open && portOpen()) {
                    ops << QStringLiteral("PortOpen=0");
                    return false;
                }
                return FakeSerialComponent::setPortOpen(open);
            }
        };
        QTemporaryDir dir;
        QVERIFY(writeCommSet(dir.path(), 1, 9600));
        RecordingSink sink;
        frmMain w(std::make_unique<StuckPort>(), sink, dir.path());
        QVERIFY(w.MSComm1->portOpen());
        WindowFixture::click(w.cmdCom);
        QCOMPARE(sink.shown.size(), 1);
        QCOMPARE(sink.shown[0].text, QStringLiteral("所选的串行端口已被其他设备所使用!"));
        QCOMPARE(sink.shown[0].title, QStringLiteral("系统信息"));
        QCOMPARE(sink.shown[0].icon, MessageSink::Icon::Warning);
    }

    // Settings that cannot be written are reported, never confirmed, and the old file stays
    // as it was. A file-size limit stands in for a full disk; it stops root as well.
    void saveFailureKeepsTheOldFile() {
        WindowFixture f("1,9600\r\n");
        frmMain& w = f.w();
        w.show();
        pickItem(w.Combo1, 2);
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit tiny = saved;
        tiny.rlim_cur = 3;
        ::setrlimit(RLIMIT_FSIZE, &tiny);
        WindowFixture::click(w.cmdCom);
        ::setrlimit(RLIMIT_FSIZE, &saved);

        QCOMPARE(f.settingsFile(), QStringLiteral("1,9600\r\n"));
        QCOMPARE(QDir(f.dir.path()).entryList(QDir::Files), QStringList{"comm.set"});
        QCOMPARE(f.sink.shown.size(), 1);
        QCOMPARE(f.sink.shown[0].text,
                 QStringLiteral("串口设置保存失败,无法写入") +
                     QDir::toNativeSeparators(f.dir.filePath(QStringLiteral("comm.set"))) +
                     QStringLiteral("!"));
        QCOMPARE(f.sink.shown[0].title, QStringLiteral("系统信息"));
        QCOMPARE(f.sink.shown[0].icon, MessageSink::Icon::Warning);
        // The port steps before the write still ran.
        QVERIFY(w.CommOK);
        QCOMPARE(w.CommNum, std::int16_t(3));
        QVERIFY(f.port->portOpen());
    }

    // Where "保存设置" saves when the program's folder cannot be written (a system-wide
    // install): in the user's folder, made for it, from which the next start opens the saved
    // port; a folder that can be written keeps comm.set beside the program and never looks at
    // the user's. Whether a folder can be written is tried, so permission bits cannot stand in
    // for it under root: /proc is a real folder in which nobody, root included, may create a
    // file. The read-only folder that already holds comm.set (which the user's one then
    // overrides) is a row for other users only.
    void saveWhereTheProgramFolderCannotBeWritten_data() {
        QTest::addColumn<QString>("program");     // "own": a folder of the test's own
        QTest::addColumn<bool>("readOnly");       // the own folder made read-only
        QTest::addColumn<bool>("userFolderMade"); // else XDG_CONFIG_HOME names a place in /proc
        QTest::addColumn<QString>("savedIn");     // "user", "program" or "" for nowhere
        QTest::newRow("/proc") << "/proc" << false << true << "user";
        QTest::newRow("read-only folder holding comm.set") << "own" << true << true << "user";
        QTest::newRow("writable folder") << "own" << false << true << "program";
        QTest::newRow("no user folder either") << "/proc" << false << false << "";
    }
    void saveWhereTheProgramFolderCannotBeWritten() {
        QFETCH(QString, program);
        QFETCH(bool, readOnly);
        QFETCH(bool, userFolderMade);
        QFETCH(QString, savedIn);
        if (readOnly && ::geteuid() == 0)
            QSKIP("root writes into read-only folders; the /proc row covers the case");
        QTemporaryDir own;
        QTemporaryDir config;
        const QString configHome =
            userFolderMade ? config.path() : QStringLiteral("/proc/qf7320-no-such-folder");
        const QByteArray savedConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
        const auto restore = qScopeGuard([&] {
            qputenv("XDG_CONFIG_HOME", savedConfigHome);
            QFile::setPermissions(own.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner);
        });
        if (program == QLatin1String("own")) {
            program = own.path();
            QVERIFY(writeCommSet(program, 1, 9600));
            if (readOnly)
                QVERIFY(
                    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        const QString userFile = configHome + QStringLiteral("/qf7320/comm.set");
        const QString programFile = QDir(program).filePath(QStringLiteral("comm.set"));
        const QString expected = savedIn == QLatin1String("user") ? userFile : programFile;

        {
            RecordingSink sink;
            frmMain w(std::make_unique<FakeSerialComponent>(), sink, program);
            w.show();
            pickItem(w.Combo1, 2);
            pickItem(w.Combo2, 3);
            WindowFixture::click(w.cmdCom);
            QCOMPARE(sink.shown.size(), 1);
            if (savedIn.isEmpty()) {
                QCOMPARE(sink.shown[0].text, QStringLiteral("串口设置保存失败,无法写入") +
                                                 QDir::toNativeSeparators(userFile) +
                                                 QStringLiteral("!"));
                QCOMPARE(sink.shown[0].icon, MessageSink::Icon::Warning);
                return;
            }
            QCOMPARE(sink.shown[0].text, QStringLiteral("串口设置保存成功"));
            QCOMPARE(w.settingsSavePath(), expected);
        }
        QFile saved(expected);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("3,19200\r\n"));
        if (savedIn == QLatin1String("program"))
            QVERIFY(!QFileInfo::exists(QDir(configHome).filePath(QStringLiteral("qf7320"))));
        if (readOnly) {
            QFile kept(programFile);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("1,9600\r\n"));
        }

        // The next start reads what was saved and opens that port.
        RecordingSink sink;
        auto fake = std::make_unique<FakeSerialComponent>();
        FakeSerialComponent* port = fake.get();
        frmMain next(std::move(fake), sink, program);
        QCOMPARE(next.settingsFilePath(), expected);
        QCOMPARE(next.CommNum, std::int16_t(3));
        QCOMPARE(next.CommRate, std::int16_t(19200));
        QCOMPARE(port->commPort(), 3);
        QVERIFY(port->portOpen());
        QVERIFY(sink.shown.isEmpty());
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
