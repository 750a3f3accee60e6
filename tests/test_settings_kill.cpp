// "保存设置" killed at random moments: comm.set always holds either the old or the new line,
// never an empty or partial one. The test runs itself as the saving child process.

#include "tests/support/windowfixture.h"

#include <QComboBox>
#include <QProcess>
#include <QRandomGenerator>

#include <csignal>
#include <thread>

namespace {

// The child: saves COM2 and COM3 alternately, as fast as it can, until it is killed.
int saveForever(const QString& dir) {
    RecordingSink sink;
    frmMain w(std::make_unique<FakeSerialComponent>(), sink, dir);
    std::puts("saving");
    std::fflush(stdout);
    for (int i = 0;; ++i) {
        w.Combo1->setCurrentIndex(1 + i % 2);
        w.cmdCom_Click();
    }
}

} // namespace

class TestSettingsKill : public QObject {
    Q_OBJECT
private slots:
    void killedWhileSaving() {
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator rng(seed);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("comm.set"));
        QVERIFY(writeCommSet(dir.path(), 1, 9600));
        const QList<QByteArray> valid{"1,9600\r\n", "2,9600\r\n", "3,9600\r\n"};
        for (int round = 0; round < 40; ++round) {
            QProcess child;
            child.setProgram(QCoreApplication::applicationFilePath());
            child.setArguments({QStringLiteral("--save-forever"), dir.path()});
            child.start();
            QVERIFY(child.waitForReadyRead(20000)); // "saving"
            // Let it run a random while, then kill it mid-write.
            std::this_thread::sleep_for(std::chrono::microseconds(rng.bounded(20000)));
            child.kill();
            QVERIFY(child.waitForFinished(20000));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray content = file.readAll();
            QVERIFY2(valid.contains(content),
                     qPrintable(QStringLiteral("seed %1, round %2: '%3'")
                                    .arg(seed)
                                    .arg(round)
                                    .arg(QString::fromLatin1(content.toHex(' ')))));
        }
    }
};

int main(int argc, char* argv[]) {
    if (argc == 3 && qstrcmp(argv[1], "--save-forever") == 0) {
        QApplication app(argc, argv);
        return saveForever(QString::fromLocal8Bit(argv[2]));
    }
    QApplication app(argc, argv);
    TestSettingsKill test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_settings_kill.moc"
