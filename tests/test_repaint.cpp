// What a poll repaints: only the fields that changed, and nothing behind them; and the window on
// screen, built up from those small repaints, looks exactly as a fresh paint of it.

#include "tests/support/windowfixture.h"

#include <QAbstractScrollArea>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSet>

namespace {

// The names of the widgets that received a paint event.
class PaintLog : public QObject {
public:
    QStringList painted;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            // A text box paints its text in its viewport: named here by the box.
            const auto* box = qobject_cast<const QAbstractScrollArea*>(watched->parent());
            const QObject* named = box && box->viewport() == watched ? box : watched;
            if (!painted.contains(named->objectName()))
                painted << named->objectName();
        }
        return false;
    }
};

// A reply to the query for seven registers: the illuminance in register 0, the rest fixed.
QByteArray sevenRegisters(int illuminance) {
    QByteArray reply = bytesFromHex("01030E");
    for (int r = 0; r < 7; ++r) {
        const int value = r == 0 ? illuminance : 100 * r;
        reply.append(char(value >> 8));
        reply.append(char(value & 0xFF));
    }
    return reply + bytesFromHex("0000"); // the CRC is not checked
}

// Shows the window and starts it polling seven registers, clicked with the mouse: the focus
// leaves the text boxes, so no cursor blinks meanwhile. False when the window was not shown.
bool startPolling(frmMain& w) {
    w.txtDataLength->setText(QStringLiteral("7"));
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        return false;
    WindowFixture::click(w.cmdOneM);
    return true;
}

// One polling tick and its reply, each followed by the repaint the event loop does.
void poll(WindowFixture& f, int illuminance) {
    f.w().Timer2_Timer();
    QCoreApplication::processEvents();
    f.port->receive(sevenRegisters(illuminance));
    QCoreApplication::processEvents();
}

} // namespace

class TestRepaint : public QObject {
    Q_OBJECT
private slots:
    void pollRepaintsOnlyWhatChanged_data() {
        QTest::addColumn<int>("illuminance"); // of the measured poll; the one before reads 100
        QTest::addColumn<QStringList>("painted");
        const QStringList everyPoll{QStringLiteral("lblCounter"), QStringLiteral("ImgYellow"),
                                    QStringLiteral("txtState"), QStringLiteral("lblErrCounter"),
                                    QStringLiteral("imgConnected")};
        QTest::newRow("same reading") << 100 << everyPoll;
        QTest::newRow("new reading")
            << 200
            << everyPoll + QStringList{QStringLiteral("PictureShow"), QStringLiteral("txtValue_0")};
    }
    void pollRepaintsOnlyWhatChanged() {
        QFETCH(int, illuminance);
        QFETCH(QStringList, painted);
        WindowFixture f;
        frmMain& w = f.w();
        QVERIFY(startPolling(w));
        poll(f, 100);
        poll(f, 100);

        PaintLog log;
        qApp->installEventFilter(&log);
        poll(f, illuminance);
        qApp->removeEventFilter(&log);

        // The request text is the same at every tick: its box is not repainted. Neither are
        // the frames and the window behind the lamps, the counters and the reading.
        QCOMPARE(QSet<QString>(log.painted.cbegin(), log.painted.cend()),
                 QSet<QString>(painted.cbegin(), painted.cend()));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("4"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("4"));
        QCOMPARE(w.txtValue[0]->text(), QString::number(illuminance * 10));
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    // The window keeps on screen what the repaints of single fields left there; it must be what a
    // paint of the whole window gives: no stale pixels at the edge of a field, no frame or
    // background missing around one.
    void screenMatchesAFreshPaint() {
        WindowFixture f;
        frmMain& w = f.w();
        QVERIFY(startPolling(w));
        for (int k = 0; k < 12; ++k)
            poll(f, 95 + 7 * (k / 2)); // the reading changes at every other poll
        // A tick whose reply has not come yet: the yellow lamp and an empty txtState.
        w.Timer2_Timer();
        QCoreApplication::processEvents();

        const QImage onScreen =
            w.screen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage fresh = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(onScreen.size(), fresh.size());
        QCOMPARE(onScreen, fresh);
    }
};

QTEST_MAIN(TestRepaint)
#include "test_repaint.moc"
