// The window as it opens: every named control and how it looks, and the behaviour of the two lists.

#include "tests/support/ptypair.h"
#include "tests/support/windowfixture.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QToolTip>

#include <algorithm>

namespace {

QString shownText(const QWidget* w) {
    if (auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (auto* edit = qobject_cast<const QLineEdit*>(w))
        return edit->text();
    if (auto* button = qobject_cast<const QPushButton*>(w))
        return button->text();
    if (auto* group = qobject_cast<const QGroupBox*>(w))
        return group->title();
    if (auto* combo = qobject_cast<const QComboBox*>(w))
        return combo->currentText();
    if (auto* plain = qobject_cast<const QPlainTextEdit*>(w))
        return plain->toPlainText();
    return QString();
}

const QColor kWindowGrey(224, 224, 224);

// Where a frame's caption and the frame's top line lie in a picture of the window.
struct CaptionScan {
    int lineRow = -1; // the row of the frame's top line
    int inkTop = -1;  // the caption's first and last rows with ink, and its first and last columns
    int inkBottom = -1;
    int inkLeft = -1;
    int inkRight = -1;
};

// Scans the band above the frame's first control (every frame's controls start 16 pixels or
// more below its top). The top line is found at the frame's right end, clear of the caption;
// the caption's ink is what is near black.
CaptionScan scanCaption(const QImage& shot, const QRect& frame) {
    const int band = 16;
    CaptionScan scan;
    const int probe = frame.right() - 15;
    for (int y = frame.top(); y < frame.top() + band && scan.lineRow < 0; ++y)
        if (shot.pixelColor(probe, y) != kWindowGrey)
            scan.lineRow = y;
    for (int y = frame.top(); y < frame.top() + band; ++y)
        for (int x = frame.left() + 2; x < frame.right() - 30; ++x)
            if (qGray(shot.pixel(x, y)) < 100) {
                if (scan.inkTop < 0)
                    scan.inkTop = y;
                scan.inkBottom = y;
                if (scan.inkLeft < 0 || x < scan.inkLeft)
                    scan.inkLeft = x;
                scan.inkRight = std::max(scan.inkRight, x);
            }
    return scan;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void inventory_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<QRect>("twips"); // as laid out, in twips from the container
        struct Row {
            const char* name;
            const char* kind;
            const char* text;
            bool visible;
            int l, t, w, h;
        };
        const Row rows[] = {
            {"Frame10", "QGroupBox", "MODBUS设置", true, 120, 120, 5655, 735},
            {"Frame2", "QGroupBox", "观察窗", true, 0, 960, 5775, 4215},
            {"Frame5", "QGroupBox", "串口设置", true, 6360, 120, 5835, 900},
            {"Frame6", "QGroupBox", "运行状态指示", true, 6360, 1080, 5895, 615},
            {"Frame7", "QGroupBox", "参数", true, 6360, 1800, 5895, 1815},
            {"Frame12", "QGroupBox", "设备地址修改操作", true, 6360, 3720, 5895, 1455},
            {"Frame11", "QGroupBox", "数据查询操作", true, 0, 5280, 12255, 1215},
            {"Frame1", "QGroupBox", "二次开发命令观察窗口", true, 0, 6600, 12255, 1695},
            {"Label4", "QLabel", nullptr, true, 0, 8400, 12375, 255},
            {"Label8_0", "QLabel", "设备地址", true, 120, 360, 855, 255},
            {"txtStationID", "QLineEdit", "1", true, 840, 360, 495, 270},
            {"Label8_3", "QLabel", "功 能 码", true, 1560, 360, 855, 255},
            {"txtFunID", "QLineEdit", "3", true, 2280, 360, 495, 270},
            {"Label8_1", "QLabel", "超始地址", true, 2880, 360, 855, 255},
            {"txtStartID", "QLineEdit", "0", true, 3600, 360, 495, 270},
            {"Label8_2", "QLabel", "数据长度", true, 4320, 360, 735, 255},
            {"txtDataLength", "QLineEdit", "1", true, 5040, 360, 495, 270},
            {"PictureShow", "QFrame", "", true, 120, 240, 5535, 3855},
            {"lblDanWei_2", "QLabel", "光 照 度", true, 240, 360, 1455, 495},
            {"txtValue_0", "QLineEdit", "0", true, 960, 1200, 2895, 780},
            {"lblDanWei_0", "QLabel", "LX", true, 4080, 1200, 735, 495},
            {"lblDanWei_1", "QLabel", "温     度", true, 360, 4680, 2535, 495},
            {"txtValue_1", "QLineEdit", "0", true, 3240, 4680, 2895, 780},
            {"lblDanWei_3", "QLabel", "℃", true, 6240, 4680, 495, 495},
            {"lblDanWei_10", "QLabel", "", true, 6120, 4800, 495, 495},
            {"txtValue_2", "QLineEdit", "0", true, 3120, 5760, 2895, 780},
            {"lblDanWei_5", "QLabel", "湿     度", true, 360, 5880, 2415, 615},
            {"lblDanWei_4", "QLabel", "", true, 6240, 6000, 495, 495},
            {"txtValue_3", "QLineEdit", "0", true, 3120, 6960, 2895, 780},
            {"lblDanWei_7", "QLabel", "气     压", true, 360, 7080, 2535, 735},
            {"Label3", "QLabel", "串口号", true, 120, 360, 615, 255},
            {"Combo1", "QComboBox", "COM1", true, 720, 360, 1095, 300},
            {"Label5_2", "QLabel", "波特率", true, 2040, 360, 615, 255},
            {"Combo2", "QComboBox", "9600", true, 2640, 360, 1095, 300},
            {"cmdCom", "QPushButton", "保存设置", true, 4080, 240, 1095, 495},
            {"Picture2", "QWidget", "", true, 120, 240, 900, 255},
            {"imgNotConnected", "QLabel", nullptr, true, 360, 0, 225, 240},
            {"ImgYellow", "QLabel", nullptr, true, 360, 0, 240, 240},
            {"imgConnected", "QLabel", nullptr, true, 360, 0, 240, 240},
            {"lblErrCounter", "QLabel", "0", true, 1200, 240, 855, 255},
            {"lblCounter", "QLabel", "0", true, 2280, 240, 735, 255},
            {"lblsetValue_0", "QLabel", "量程缩放系数", true, 240, 360, 1215, 255},
            {"txtsetValue_0", "QLineEdit", "1.0000", true, 1680, 360, 975, 270},
            {"cmdREAD_0", "QPushButton", "读出", true, 2760, 240, 1215, 495},
            {"cmdSet_0", "QPushButton", "设置", true, 4080, 240, 1215, 495},
            {"Label2_1", "QLabel", "值范围为：0.2000-6.0000", true, 240, 720, 2175, 255},
            {"lblsetValue_1", "QLabel", "偏移量", true, 240, 1080, 1095, 255},
            {"txtsetValue_1", "QLineEdit", "0.00", true, 1680, 1080, 975, 270},
            {"cmdREAD_1", "QPushButton", "读出", true, 2760, 960, 1215, 495},
            {"cmdSet_1", "QPushButton", "设置", true, 4080, 960, 1215, 495},
            {"Label2_3", "QLabel", "值范围为：-1000-1000，默认为0", true, 240, 1440, 3375, 255},
            {"lblsetValue_2", "QLabel", "4mA时DA值", false, 240, 1920, 1095, 255},
            {"txtsetValue_2", "QLineEdit", "1", false, 1680, 1920, 975, 270},
            {"cmdREAD_2", "QPushButton", "读出", false, 2760, 1800, 1215, 495},
            {"cmdSet_2", "QPushButton", "设置", false, 4080, 1800, 1215, 495},
            {"Label2_6", "QLabel", "值范围：650-800", false, 240, 2400, 5295, 255},
            {"lblsetValue_3", "QLabel", "20mA时DA值", false, 240, 2760, 1095, 255},
            {"txtsetValue_3", "QLineEdit", "1", false, 1680, 2760, 975, 270},
            {"cmdREAD_3", "QPushButton", "读出", false, 2760, 2640, 1215, 495},
            {"cmdSet_3", "QPushButton", "设置", false, 4080, 2640, 1215, 495},
            {"Label2_0", "QLabel", "值范围：3000-4095", false, 360, 3000, 5295, 255},
            {"lblsetValue_4", "QLabel", "光照度量程", false, 240, 3360, 1095, 255},
            {"txtsetValue_4", "QLineEdit", "1", false, 1680, 3360, 975, 270},
            {"cmdREAD_4", "QPushButton", "读出", false, 2760, 3240, 1215, 495},
            {"cmdSet_4", "QPushButton", "设置", false, 4080, 3240, 1215, 495},
            {"Label2_2", "QLabel", "值范围：500-65535", false, 240, 3720, 5295, 255},
            {"Label2_7", "QLabel", "将地址       改为", true, 360, 480, 1575, 255},
            {"txtSetID_0", "QLineEdit", "1", true, 960, 480, 435, 270},
            {"txtSetID_1", "QLineEdit", "1", true, 2280, 480, 555, 270},
            {"Label2_13", "QLabel", "地址值范围为：1-250", true, 360, 960, 1815, 255},
            {"cmdChangeID", "QPushButton", "执行", true, 4080, 240, 1215, 495},
            {"cmdReadAdd", "QPushButton", "读地址", true, 4080, 840, 1215, 495},
            {"Label8_4", "QLabel", "定时时长(ms)", true, 960, 480, 1215, 255},
            {"txtTimerSet", "QLineEdit", "1000", true, 2400, 480, 615, 270},
            {"comDoOnce", "QPushButton", "单次", true, 4320, 360, 1680, 600},
            {"cmdOneM", "QPushButton", "循环", true, 6960, 360, 1920, 600},
            {"cmdStopOnce", "QPushButton", "停止", true, 9840, 360, 1800, 600},
            {"Label1", "QLabel", "发送命令:", true, 120, 240, 855, 255},
            {"txtCommand", "QLineEdit", "", true, 960, 240, 4575, 315},
            {"Label7", "QLabel", "接收命令:", true, 120, 600, 855, 255},
            {"txtState", "QPlainTextEdit", "", true, 960, 600, 11175, 855},
        };
        for (const Row& r : rows)
            QTest::newRow(r.name) << QString::fromLatin1(r.name) << QString::fromLatin1(r.kind)
                                  << (r.text ? QString::fromUtf8(r.text) : QString()) << r.visible
                                  << QRect(r.l, r.t, r.w, r.h);
    }
    void inventory() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(bool, visible);
        QFETCH(QRect, twips);
        WindowFixture f; // comm.set "1,9600": COM1 and 9600 selected
        f.w().show();
        auto* widget = f.w().findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
        if (!text.isNull())
            QCOMPARE(shownText(widget), text);
        QCOMPARE(widget->isVisibleTo(&f.w()), visible);
        const QRect px(qRound(twips.x() / 15.0), qRound(twips.y() / 15.0),
                       qRound(twips.width() / 15.0), qRound(twips.height() / 15.0));
        QCOMPARE(widget->geometry(), px);
    }

    void windowAsAWhole() {
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        QCOMPARE(w.size(), QSize(829, 581));
        QCOMPARE(w.minimumSize(), w.maximumSize()); // not resizable
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w.windowTitle().startsWith(
            QStringLiteral("QF7320系列光照度传感器工具软件-qf7320-tool ")));
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.palette().color(QPalette::Window), QColor(224, 224, 224));
        // The hidden rows lie below the frame's lower edge as well as being hidden.
        QVERIFY(w.lblsetValue[4]->geometry().top() > w.Frame7->height());
        // The value fields beyond the first lie outside the picture box and cannot be seen.
        for (int d = 1; d <= 3; ++d)
            QVERIFY(!w.PictureShow->rect().intersects(w.txtValue[std::size_t(d)]->geometry()));
        // Fonts of the value panel and the query buttons.
        QCOMPARE(w.txtValue[0]->font().pointSizeF(), 36.0);
        QCOMPARE(w.txtValue[0]->alignment(), Qt::AlignCenter);
        QCOMPARE(w.comDoOnce->font().pointSizeF(), 14.25);
        QVERIFY(w.comDoOnce->font().bold());
        // The window's font reaches the controls without one of their own; the units have theirs.
        for (QWidget* plain :
             {static_cast<QWidget*>(w.Label8_0), static_cast<QWidget*>(w.txtTimerSet),
              static_cast<QWidget*>(w.cmdREAD[0]), static_cast<QWidget*>(w.Frame7)}) {
            QCOMPARE(plain->font().family(), QStringLiteral("宋体"));
            QCOMPARE(plain->font().pointSize(), 8);
        }
        for (QLabel* unit : {w.lblDanWei_0, w.lblDanWei_2, w.lblDanWei_7}) {
            QCOMPARE(unit->font().family(), QStringLiteral("Perpetua Titling MT"));
            QCOMPARE(unit->font().pointSizeF(), 18.0);
            QCOMPARE(unit->font().weight(), QFont::Light);
        }
        QCOMPARE(w.comDoOnce->font().family(), QStringLiteral("宋体"));
        // Red text: the units LX and ℃, the two empty unit labels and every range hint.
        const QColor red(255, 0, 0);
        for (QLabel* label :
             {w.lblDanWei_0, w.lblDanWei_3, w.lblDanWei_4, w.lblDanWei_10, w.Label2_0, w.Label2_1,
              w.Label2_2, w.Label2_3, w.Label2_6, w.Label2_13})
            QVERIFY2(label->palette().color(QPalette::WindowText) == red,
                     qPrintable(label->objectName()));
        for (QLabel* label : {w.lblDanWei_1, w.lblDanWei_2, w.lblDanWei_5, w.lblDanWei_7,
                              w.Label2_7, w.lblsetValue_0, w.Label8_0})
            QVERIFY2(label->palette().color(QPalette::WindowText) != red,
                     qPrintable(label->objectName()));
        // Tooltips and accessible names.
        QCOMPARE(w.lblErrCounter->toolTip(), QStringLiteral("误码率"));
        QCOMPARE(w.lblCounter->toolTip(), QStringLiteral("测试统计"));
        for (QLabel* lamp : {w.imgNotConnected, w.ImgYellow, w.imgConnected})
            QCOMPARE(lamp->toolTip(), QStringLiteral("数据采集通讯状态指示"));
        QCOMPARE(w.txtStationID->accessibleName(), QStringLiteral("设备地址"));
        QCOMPARE(w.txtsetValue[0]->accessibleName(), QStringLiteral("量程缩放系数"));
        QCOMPARE(w.txtValue[0]->accessibleName(), QStringLiteral("光 照 度"));
        QCOMPARE(w.Combo1->accessibleName(), QStringLiteral("串口号"));
        // The lists hold their items in order.
        QCOMPARE(w.Combo1->count(), 16);
        QCOMPARE(w.Combo1->itemText(15), QStringLiteral("COM16"));
        QStringList rates;
        for (int k = 0; k < w.Combo2->count(); ++k)
            rates << w.Combo2->itemText(k);
        QCOMPARE(rates, (QStringList{"4800", "9600", "14400", "19200"}));
        // Exactly one lamp is seen, the red one at start, the yellow one behind it and the green
        // one at the back; each shows its picture.
        QCOMPARE(w.lampInFront(), w.imgNotConnected);
        QList<QObject*> lamps;
        for (QObject* child : w.Picture2->children())
            lamps << child;
        QCOMPARE(lamps, (QList<QObject*>{w.imgConnected, w.ImgYellow, w.imgNotConnected}));
        for (QLabel* lamp : {w.imgNotConnected, w.ImgYellow, w.imgConnected})
            QCOMPARE(lamp->pixmap().size(), QSize(16, 16));
        QCOMPARE(w.windowIcon().availableSizes().value(0), QSize(32, 32));
        QVERIFY(w.Timer2 && !w.Timer2->isActive());
        QVERIFY(w.Line1);
        // Form state after the load event.
        QCOMPARE(w.CmdType, std::int16_t(0));
        QCOMPARE(w.RecCount, 0);
        QCOMPARE(w.ParamIndex, std::int16_t(0));
    }

    // Every caption fits inside its control: nothing the operator must read is clipped.
    void captionsFit() {
        WindowFixture f;
        f.w().show();
        QStringList clipped;
        for (QLabel* label : f.w().findChildren<QLabel*>()) {
            if (label->text().isEmpty() || !label->isVisibleTo(&f.w()))
                continue;
            const int needed = label->fontMetrics().horizontalAdvance(label->text());
            if (needed > label->width())
                clipped << QStringLiteral("%1 (%2 > %3)")
                               .arg(label->objectName())
                               .arg(needed)
                               .arg(label->width());
        }
        for (QPushButton* button : f.w().findChildren<QPushButton*>()) {
            if (button->isVisibleTo(&f.w()) && button->sizeHint().width() > button->width() + 20)
                clipped << button->objectName();
        }
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral(", "))));
    }

    // The request boxes, the value boxes and the parameter boxes centre their text; every other
    // text box keeps it at the left.
    void textBoxAlignment() {
        WindowFixture f;
        const QStringList centred = {
            "txtStationID",  "txtFunID",      "txtStartID",   "txtDataLength", "txtValue_0",
            "txtValue_1",    "txtValue_2",    "txtValue_3",   "txtsetValue_0", "txtsetValue_1",
            "txtsetValue_2", "txtsetValue_3", "txtsetValue_4"};
        const QStringList left = {"txtSetID_0", "txtSetID_1", "txtTimerSet", "txtCommand"};
        QStringList wrong;
        int seen = 0;
        for (QLineEdit* box : f.w().findChildren<QLineEdit*>()) {
            if (qobject_cast<QComboBox*>(box->parentWidget()))
                continue; // the lists' edit fields
            const QString name = box->objectName();
            QVERIFY2(centred.contains(name) || left.contains(name), qPrintable(name));
            ++seen;
            const Qt::Alignment expected =
                centred.contains(name) ? Qt::AlignHCenter : Qt::AlignLeft;
            if ((box->alignment() & Qt::AlignHorizontal_Mask) != expected)
                wrong << name;
        }
        QCOMPARE(seen, int(centred.size() + left.size()));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral(", "))));
    }

    // Each frame's caption sits on the frame's top line, which it interrupts, and the frame's
    // panel shows the window's grey, as seen in a picture of the window.
    void frameCaptions() {
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        const QImage shot = w.grab().toImage();
        const QList<QGroupBox*> frames = w.findChildren<QGroupBox*>();
        QCOMPARE(frames.size(), 8);
        for (QGroupBox* box : frames) {
            const QString name = box->objectName();
            const QRect frame(box->mapTo(&w, QPoint(0, 0)), box->size());
            const CaptionScan scan = scanCaption(shot, frame);
            QVERIFY2(scan.inkTop >= 0, qPrintable(name + QStringLiteral(": no caption")));
            QVERIFY2(scan.lineRow >= 0,
                     qPrintable(name + QStringLiteral(": no top line beside the caption")));
            QVERIFY2(scan.inkTop < scan.lineRow && scan.lineRow < scan.inkBottom,
                     qPrintable(QStringLiteral("%1: caption rows %2-%3, top line at %4")
                                    .arg(name)
                                    .arg(scan.inkTop - frame.top())
                                    .arg(scan.inkBottom - frame.top())
                                    .arg(scan.lineRow - frame.top())));
            bool gap = false;
            for (int x = scan.inkLeft - 2; x <= scan.inkRight + 2; ++x)
                gap = gap || shot.pixelColor(x, scan.lineRow) == kWindowGrey;
            QVERIFY2(gap,
                     qPrintable(name + QStringLiteral(": the top line runs through the caption")));
            // Left of every frame's controls, halfway down.
            const QPoint panel = frame.topLeft() + QPoint(4, std::max(20, frame.height() / 2));
            QVERIFY2(shot.pixelColor(panel) == kWindowGrey,
                     qPrintable(
                         QStringLiteral("%1: panel %2").arg(name, shot.pixelColor(panel).name())));
        }
    }

    void listsBeforeAnyStoredChoice() {
        WindowFixture f(nullptr); // no comm.set: no port selected, the rate 9600
        QCOMPARE(f.w().Combo1->currentIndex(), -1);
        QCOMPARE(f.w().Combo1->currentText(), QStringLiteral("COM4"));
        QCOMPARE(f.w().Combo2->currentText(), QStringLiteral("9600"));
        WindowFixture g("1,2400\r\n"); // a rate the list does not offer selects nothing
        QCOMPARE(g.w().Combo2->currentIndex(), -1);
        QCOMPARE(g.w().Combo2->currentText(), QStringLiteral("19200"));
    }

    // Picking, picking the same item again, and a handler setting the index all reach the port
    // selection; typing reaches nothing and leaves no item selected.
    void portListClicks() {
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        QVERIFY(f.port->portOpen());
        QCOMPARE(f.port->commPort(), 1); // the load event's selection opened COM1

        f.port->ops.clear();
        pickItem(w.Combo1, 4);
        QCOMPARE(w.Combo1->currentIndex(), 4);
        QVERIFY(f.port->ops.contains(QStringLiteral("CommPort=5")));
        QCOMPARE(w.CommNum, std::int16_t(5));

        f.port->ops.clear();
        pickItem(w.Combo1, 4); // the same item again
        QVERIFY(f.port->ops.contains(QStringLiteral("CommPort=5")));
        QVERIFY(f.port->ops.contains(QStringLiteral("PortOpen=1")));

        f.port->ops.clear();
        w.Combo1->setFocus();
        w.Combo1->lineEdit()->selectAll();
        QTest::keyClicks(w.Combo1->lineEdit(), QStringLiteral("COM3"));
        QCOMPARE(w.Combo1->currentIndex(), -1);
        QCOMPARE(w.Combo1->currentText(), QStringLiteral("COM3"));
        QCOMPARE(w.Combo1->count(), 16);
        QTest::keyClick(w.Combo1->lineEdit(), Qt::Key_Return);
        w.comDoOnce->setFocus(); // leaving the field selects nothing either
        QCOMPARE(w.Combo1->currentIndex(), -1);
        QCOMPARE(w.Combo1->count(), 16);
        QVERIFY(f.port->ops.isEmpty());
        QVERIFY(f.sink.shown.isEmpty());

        // Picking a rate starts nothing.
        pickItem(w.Combo2, 0);
        QCOMPARE(w.Combo2->currentText(), QStringLiteral("4800"));
        QVERIFY(f.port->ops.isEmpty());
    }

    // Each item of the port list says, as its tooltip, what picking it opens, worked out each
    // time the list opens: COM3 here is a link beside the program to a pseudo-terminal, then a
    // link whose device has gone. Opening the list does nothing else.
    void portListTooltips() {
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        PtyPair pty;
        QVERIFY(!pty.slaveName.isEmpty());
        const QString com3 = f.dir.filePath(QStringLiteral("COM3"));
        QVERIFY(QFile::link(pty.slaveName, com3));
        f.port->ops.clear();
        QAbstractItemView* view = w.Combo1->view();
        const auto tooltip = [view](int k) {
            return view->model()->index(k, 0).data(Qt::ToolTipRole).toString();
        };

        w.Combo1->showPopup();
        QTRY_VERIFY(view->isVisible());
        // What the operator sees when resting the pointer on COM3.
        const QRect item = view->visualRect(view->model()->index(2, 0));
        QHelpEvent hover(QEvent::ToolTip, item.center(),
                         view->viewport()->mapToGlobal(item.center()));
        QCoreApplication::sendEvent(view->viewport(), &hover);
        QTRY_COMPARE(QToolTip::text(), pty.slaveName + QStringLiteral(" — pseudo-terminal"));
        QToolTip::hideText();
        // Every other item names its platform device and what is there.
        QVERIFY(tooltip(0).startsWith(QStringLiteral("/dev/ttyS0 — ")));
        QVERIFY(tooltip(15).startsWith(QStringLiteral("/dev/ttyS15 — ")));
        w.Combo1->hidePopup();
        QTRY_VERIFY(!view->isVisible());

        // The device goes away while the list is closed: the item is told on the next opening.
        const QString gone = f.dir.filePath(QStringLiteral("usb-adapter-unplugged"));
        QVERIFY(QFile::remove(com3));
        QVERIFY(QFile::link(gone, com3));
        QCOMPARE(tooltip(2), pty.slaveName + QStringLiteral(" — pseudo-terminal"));
        w.Combo1->showPopup();
        QTRY_VERIFY(view->isVisible());
        QCOMPARE(tooltip(2), gone + QStringLiteral(" — not plugged in"));
        w.Combo1->hidePopup();
        QTRY_VERIFY(!view->isVisible());

        // The list, the selection and the port are as they were.
        QCOMPARE(w.Combo1->count(), 16);
        QCOMPARE(w.Combo1->itemText(2), QStringLiteral("COM3"));
        QCOMPARE(w.Combo1->currentIndex(), 0);
        QCOMPARE(w.Combo1->currentText(), QStringLiteral("COM1"));
        QVERIFY(f.port->ops.isEmpty());
        QVERIFY(f.sink.shown.isEmpty());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
