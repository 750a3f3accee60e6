// A random operator: thousands of seeded random steps against the window on the fake port,
// checking after each one what must always hold. QF_SEED=n repeats a run; the seed is printed
// with any failure.

#include "tests/support/windowfixture.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

const char* const kTexts[] = {
    "",     " ",     "  7  ",   "1",      "2",      "3",     "0",       "-1",     "-0.5",
    "0.5",  "2.9",   "7.9",     "8",      "35",     "35.9",  "36",      "250",    "255",
    "256",  "300",   "+5",      "-65535", "65535",  "65536", "65535.4", "1.2345", "-1000",
    "1e1",  "1E-3",  "1e400",   "-1e400", "1e-400", ".5",    "5.",      "abc",    "7a",
    "&H10", "0x10",  "1,5",     "一二三", "光照度", "\t",    "\n1",     "\x01",   "50",
    "49.9", "60000", "60000.6", "60001",  "COM3",   "19200", "38400",   "nan",    "inf",
};

} // namespace

class TestRandomOperator : public QObject {
    Q_OBJECT
private slots:
    void randomSteps() {
        const quint32 seed = qEnvironmentVariableIsSet("QF_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("QF_SEED"))
                                 : QRandomGenerator::global()->generate();
        QRandomGenerator rng(seed);
        const int steps = qEnvironmentVariableIsSet("QF_STEPS")
                              ? qEnvironmentVariableIntValue("QF_STEPS")
                              : 20000;
        WindowFixture f;
        frmMain& w = f.w();
        w.show();

        QList<QLineEdit*> boxes{w.txtStationID, w.txtFunID,    w.txtStartID,  w.txtDataLength,
                                w.txtTimerSet,  w.txtSetID[0], w.txtSetID[1], w.txtCommand};
        for (QLineEdit* box : w.txtsetValue)
            boxes << box;
        for (QLineEdit* box : w.txtValue)
            boxes << box;
        QList<QPushButton*> buttons{w.comDoOnce, w.cmdOneM,    w.cmdStopOnce,
                                    w.cmdCom,    w.cmdReadAdd, w.cmdChangeID};
        const QString longDigits(5000, QLatin1Char('9'));
        const QRegularExpression decimal(QStringLiteral("^[0-9]+$"));

        // Ticks may fall due while a message box is open.
        f.sink.whileOpen = [&] {
            if (rng.bounded(4) == 0)
                w.Timer2_Timer();
        };

        QString step;
        for (int i = 0; i < steps; ++i) {
            const int writtenBefore = int(f.port->written.size());
            const int shownBefore = int(f.sink.shown.size());
            switch (rng.bounded(12)) {
            case 0:
            case 1: { // type a text into a box
                QLineEdit* box = boxes[rng.bounded(int(boxes.size()))];
                const int pick = rng.bounded(int(std::size(kTexts)) + 1);
                const QString text =
                    pick == int(std::size(kTexts)) ? longDigits : QString::fromUtf8(kTexts[pick]);
                step = QStringLiteral("type '%1' into %2").arg(text.left(20), box->objectName());
                box->setText(text);
                break;
            }
            case 2:
            case 3: { // click a button
                QPushButton* button = buttons[rng.bounded(int(buttons.size()))];
                step = QStringLiteral("click %1").arg(button->objectName());
                WindowFixture::click(button);
                break;
            }
            case 4: { // read or write a parameter row, hidden rows included
                const int row = rng.bounded(5);
                const bool write = rng.bounded(2) == 1;
                step = QStringLiteral("%1 row %2").arg(write ? "write" : "read").arg(row);
                write ? w.cmdSet_Click(row) : w.cmdREAD_Click(row);
                break;
            }
            case 5: { // pick a list item, or type into a list
                QComboBox* combo = rng.bounded(2) ? w.Combo1 : w.Combo2;
                if (rng.bounded(3) == 0) {
                    step = QStringLiteral("type into %1").arg(combo->objectName());
                    combo->lineEdit()->selectAll();
                    QTest::keyClicks(combo->lineEdit(), QStringLiteral("COM9"));
                } else {
                    const int k = rng.bounded(combo->count());
                    step = QStringLiteral("pick %1 in %2").arg(k).arg(combo->objectName());
                    combo->setCurrentIndex(k);
                    emit combo->activated(k);
                }
                break;
            }
            case 6: { // the port: refuse opens, or vanish
                const int what = rng.bounded(3);
                step = QStringLiteral("port %1").arg(what);
                if (what == 0)
                    f.port->refuseOpen = !f.port->refuseOpen;
                else if (what == 1 && f.port->portOpen())
                    f.port->unplug();
                break;
            }
            case 7:
            case 8: { // bytes from the line
                QByteArray bytes;
                const int n = rng.bounded(24);
                for (int k = 0; k < n; ++k)
                    bytes.append(char(rng.bounded(256)));
                step = QStringLiteral("receive %1").arg(QString::fromLatin1(bytes.toHex(' ')));
                f.port->receive(bytes);
                break;
            }
            case 9: { // an event of any code
                const int code = rng.bounded(2) ? SerialComponent::EventReceive : rng.bounded(2000);
                step = QStringLiteral("event %1").arg(code);
                f.port->raise(code);
                break;
            }
            case 10: // a polling tick
                step = QStringLiteral("tick");
                w.Timer2_Timer();
                break;
            case 11: // the counters near their limits
                step = QStringLiteral("counters near their limits");
                w.lblCounter->setText(QStringLiteral("65535"));
                w.RecCount = 2147483646;
                break;
            }

            const QString where = QStringLiteral("seed %1, step %2: %3").arg(seed).arg(i).arg(step);
            // Every frame written is 8 bytes with its CRC, low byte first.
            for (int k = writtenBefore; k < f.port->written.size(); ++k) {
                const QByteArray& frame = f.port->written[k];
                QVERIFY2(frame.size() == 8, qPrintable(where));
                QVERIFY2(crcMatches(frame), qPrintable(where));
            }
            // A step that told the operator something wrote nothing.
            if (f.sink.shown.size() > shownBefore)
                QVERIFY2(f.port->written.size() == writtenBefore, qPrintable(where));
            // One lamp is in front, and all three are still in place.
            QLabel* front = w.lampInFront();
            QVERIFY2(front == w.imgNotConnected || front == w.ImgYellow || front == w.imgConnected,
                     qPrintable(where));
            for (QLabel* lamp : {w.imgNotConnected, w.ImgYellow, w.imgConnected})
                QVERIFY2(lamp->parentWidget() == w.Picture2 && lamp->isVisible() &&
                             lamp->pos() == QPoint(24, 0),
                         qPrintable(where));
            // Both counters show decimal text.
            QVERIFY2(decimal.match(w.lblCounter->text()).hasMatch(), qPrintable(where));
            QVERIFY2(decimal.match(w.lblErrCounter->text()).hasMatch(), qPrintable(where));
            // No box is left "open".
            QVERIFY2(!w.messageBoxOpen(), qPrintable(where));
        }
        w.Timer2->stop();
        qInfo("seed %u: %d steps, %d frames written, %d messages", seed, steps,
              int(f.port->written.size()), int(f.sink.shown.size()));
    }
};

QTEST_MAIN(TestRandomOperator)
#include "test_random_operator.moc"
