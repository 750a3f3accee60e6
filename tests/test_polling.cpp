// "循环", "停止" and the polling tick.

#include "tests/support/windowfixture.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QSignalSpy>
#include <QTimer>

class TestPolling : public QObject {
    Q_OBJECT
private slots:
    void period_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("interval"); // -1: refused with `message`
        QTest::addColumn<QString>("message");
        const QString notNumber =
            QStringLiteral("你输入的定时时长格式有误，应该为数字，值范围为100-60000!");
        const QString outOfRange =
            QStringLiteral("你输入的定时时长格式有误，应该为数字，值范围为50-60000!");
        QTest::newRow("1000") << "1000" << 1000 << "";
        QTest::newRow("50") << "50" << 50 << "";
        QTest::newRow("60000") << "60000" << 60000 << "";
        QTest::newRow("75") << "75" << 75 << "";
        QTest::newRow("60000.6 gives 60001") << "60000.6" << 60001 << "";
        QTest::newRow("60000.5 gives 60000") << "60000.5" << 60000 << "";
        QTest::newRow("50.5 gives 50") << "50.5" << 50 << "";
        QTest::newRow("49.9") << "49.9" << -1 << outOfRange;
        QTest::newRow("60001") << "60001" << -1 << outOfRange;
        QTest::newRow("1e400") << "1e400" << -1 << outOfRange;
        QTest::newRow("-1e400") << "-1e400" << -1 << outOfRange;
        QTest::newRow("abc") << "abc" << -1 << notNumber;
        QTest::newRow("empty") << "" << -1 << notNumber;
    }
    void period() {
        QFETCH(QString, typed);
        QFETCH(int, interval);
        QFETCH(QString, message);
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        w.lblCounter->setText(QStringLiteral("77"));
        w.RecCount = 99;
        WindowFixture::type(w.txtTimerSet, typed);
        WindowFixture::click(w.cmdOneM);
        // The counters restart whether or not the period is accepted.
        QCOMPARE(w.lblCounter->text(), QStringLiteral("1"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("1"));
        QCOMPARE(w.RecCount, 1);
        if (interval > 0) {
            QVERIFY(f.sink.shown.isEmpty());
            QVERIFY(w.Timer2->isActive());
            QCOMPARE(w.Timer2->interval(), interval);
        } else {
            QCOMPARE(f.sink.texts(), QStringList{message});
            QVERIFY(!w.Timer2->isActive());
        }
        QVERIFY(f.port->written.isEmpty()); // "循环" itself sends nothing
    }

    void refusedPeriodLeavesARunningTimerRunning() {
        WindowFixture f;
        frmMain& w = f.w();
        WindowFixture::type(w.txtTimerSet, QStringLiteral("200"));
        WindowFixture::click(w.cmdOneM);
        WindowFixture::type(w.txtTimerSet, QStringLiteral("10"));
        WindowFixture::click(w.cmdOneM);
        QVERIFY(w.Timer2->isActive());
        QCOMPARE(w.Timer2->interval(), 200);
    }

    void ticksWithTheLinkUp() {
        WindowFixture f;
        frmMain& w = f.w();
        WindowFixture::click(w.cmdOneM);
        w.Timer2_Timer();
        QCOMPARE(w.lblCounter->text(), QStringLiteral("2"));
        QCOMPARE(f.lastWritten(), QStringLiteral("01 03 00 00 00 01 84 0A"));
        f.port->receive(bytesFromHex("0103020064B9AF"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("2"));
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("1000"));

        // The counter wraps: 65535 -> 65536 -> 1.
        w.lblCounter->setText(QStringLiteral("65535"));
        w.Timer2_Timer();
        QCOMPARE(w.lblCounter->text(), QStringLiteral("65536"));
        w.Timer2_Timer();
        QCOMPARE(w.lblCounter->text(), QStringLiteral("1"));
        QCOMPARE(f.port->written.size(), 3);

        // A non-numeric count turns into 1 and the query goes out without a message.
        w.txtDataLength->setText(QStringLiteral("x"));
        w.Timer2_Timer();
        QCOMPARE(w.txtDataLength->text(), QStringLiteral("1"));
        QCOMPARE(f.lastWritten(), QStringLiteral("01 03 00 00 00 01 84 0A"));
        QVERIFY(f.sink.shown.isEmpty());

        // A bad station brings the query's message at every tick, and the counter still rises.
        w.txtStationID->setText(QStringLiteral("abc"));
        w.Timer2_Timer();
        w.Timer2_Timer();
        QCOMPARE(f.sink.texts(), (QStringList{QStringLiteral("你输入的设备地址格式有误!"),
                                              QStringLiteral("你输入的设备地址格式有误!")}));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("4"));
        QCOMPARE(f.port->written.size(), 4);

        // "停止" keeps the counters, the readings and the monitor.
        const QString command = w.txtCommand->text();
        WindowFixture::click(w.cmdStopOnce);
        QVERIFY(!w.Timer2->isActive());
        QCOMPARE(w.lblCounter->text(), QStringLiteral("4"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("2"));
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("1000"));
        QCOMPARE(w.txtCommand->text(), command);
    }

    void ticksWithTheLinkDown() {
        WindowFixture f(nullptr); // no port: CommOK false
        frmMain& w = f.w();
        WindowFixture::click(w.cmdOneM);
        w.txtDataLength->setText(QStringLiteral("abc"));
        w.Timer2_Timer();
        QCOMPARE(w.lblCounter->text(), QStringLiteral("1"));
        QCOMPARE(w.txtDataLength->text(), QStringLiteral("1")); // step 1 runs all the same
        w.lblCounter->setText(QStringLiteral("70000"));
        w.Timer2_Timer();
        QCOMPARE(w.lblCounter->text(), QStringLiteral("0"));
        QVERIFY(f.port->written.isEmpty());
        QVERIFY(f.sink.shown.isEmpty());
    }

    // The port vanishes while polling: one message, then nothing is sent until a port is
    // picked again, and polling resumes by itself.
    void portLostAndPickedAgain() {
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        WindowFixture::click(w.cmdOneM);
        w.Timer2_Timer();
        QCOMPARE(f.port->written.size(), 1);
        f.port->unplug();
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("2")); // the event is counted
        // Ticks that fall due while the message is open are dropped.
        int ticksDuringBox = 0;
        f.sink.whileOpen = [&] {
            w.Timer2_Timer();
            w.Timer2_Timer();
            ++ticksDuringBox;
        };
        w.Timer2_Timer();
        f.sink.whileOpen = {};
        QCOMPARE(ticksDuringBox, 1);
        QCOMPARE(f.sink.texts(),
                 QStringList{QStringLiteral("打开串口出错，请确定串口是否已被占用")});
        QCOMPARE(w.lblCounter->text(), QStringLiteral("3"));
        QVERIFY(!w.CommOK);
        QCOMPARE(w.lampInFront(), w.imgNotConnected);
        for (int i = 0; i < 5; ++i)
            w.Timer2_Timer();
        QCOMPARE(f.sink.shown.size(), 1);
        QCOMPARE(f.port->written.size(), 1);
        QCOMPARE(w.lblCounter->text(), QStringLiteral("3"));

        // The operator picks the port again; the next tick polls.
        w.Combo1->setCurrentIndex(0);
        emit w.Combo1->activated(0);
        QVERIFY(w.CommOK);
        w.Timer2_Timer();
        QCOMPARE(f.port->written.size(), 2);
        QCOMPARE(w.lblCounter->text(), QStringLiteral("4"));
    }

    // The real timer ticks at its period: 10 ticks of 50 ms take at least 450 ms.
    void realTimerTicksAtItsPeriod() {
        WindowFixture f;
        frmMain& w = f.w();
        f.port->onOutput = [&](const QByteArray&) {
            f.port->receive(bytesFromHex("0103020064B9AF"));
        };
        QSignalSpy ticks(w.Timer2, &QTimer::timeout);
        WindowFixture::type(w.txtTimerSet, QStringLiteral("50"));
        QElapsedTimer clock;
        clock.start();
        WindowFixture::click(w.cmdOneM);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 10, 5000);
        const qint64 elapsed = clock.elapsed();
        WindowFixture::click(w.cmdStopOnce);
        QVERIFY2(elapsed >= 450, qPrintable(QString::number(elapsed)));
        QCOMPARE(w.lblCounter->text(), QString::number(1 + ticks.size()));
        QCOMPARE(w.lblErrCounter->text(), w.lblCounter->text()); // every reply counted
    }
};

QTEST_MAIN(TestPolling)
#include "test_polling.moc"
