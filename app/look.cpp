#include "app/look.h"

#include "app/frmmain.h"

#include <QFontDatabase>
#include <QPainter>
#include <QRegularExpression>

#ifndef QF7320_VERSION
#define QF7320_VERSION "0.1"
#endif

namespace {

// The short slanted stroke between the two counters.
class SlantLine : public QWidget {
public:
    SlantLine(QPoint from, QPoint to, QWidget* parent) : QWidget(parent) {
        const QRect box = QRect(from, to).normalized().adjusted(0, 0, 1, 1);
        setGeometry(box);
        from_ = from - box.topLeft();
        to_ = to - box.topLeft();
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QPen(Qt::black, 1));
        painter.drawLine(from_, to_);
    }

private:
    QPoint from_;
    QPoint to_;
};

// Fonts the window asks for by name, and the installed fonts that stand in for them where the
// desktop lacks them, so that their sizes and weights still apply to the Chinese text.
void substituteFonts() {
    const QStringList families = QFontDatabase::families();
    auto firstInstalled = [&](const QStringList& candidates) {
        for (const QString& candidate : candidates)
            if (families.contains(candidate, Qt::CaseInsensitive))
                return candidate;
        return QString();
    };
    // A monospaced face keeps the blanks of "将地址       改为" as wide as the layout expects,
    // so that the old-address box sits in the gap and not over "改为".
    const QString cjk = firstInstalled(
        {QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
         QStringLiteral("WenQuanYi Micro Hei Mono"), QStringLiteral("WenQuanYi Micro Hei"),
         QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Droid Sans Fallback")});
    if (!families.contains(QStringLiteral("宋体")) && !cjk.isEmpty())
        QFont::insertSubstitution(QStringLiteral("宋体"), cjk);
    const QString serif =
        firstInstalled({QStringLiteral("Perpetua"), QStringLiteral("DejaVu Serif"),
                        QStringLiteral("Liberation Serif")});
    if (!families.contains(QStringLiteral("Perpetua Titling MT")) && !serif.isEmpty())
        QFont::insertSubstitution(QStringLiteral("Perpetua Titling MT"), serif);
}

} // namespace

namespace look {

void installFontSubstitutes() {
    [[maybe_unused]] static const bool done = (substituteFonts(), true);
}

void dress(frmMain& w) {
    w.setWindowTitle(QStringLiteral("QF7320系列光照度传感器工具软件-qf7320-tool " QF7320_VERSION));
    w.Label4->setText(
        QStringLiteral("qf7320-tool " QF7320_VERSION
                       " — QF7320系列光照度传感器的测试与配置工具（Modbus RTU 主站）"));
    w.setWindowIcon(QIcon(QStringLiteral(":/images/app-icon.png")));
    w.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    w.setFixedSize(w.size());

    QPalette grey = w.palette();
    grey.setColor(QPalette::Window, QColor(224, 224, 224));
    w.setPalette(grey);
    w.setAutoFillBackground(true);

    // The window's own font, and the fonts of the value panel and the query buttons. At 8
    // points every caption fits its label with the substitute fonts, whose Latin glyphs are
    // wider than the half-width ones the layout was drawn for.
    w.setFont(QFont(QStringLiteral("宋体"), 8));
    QFont valueFont(QStringLiteral("宋体"));
    valueFont.setPointSizeF(36);
    for (QLineEdit* box : w.txtValue)
        box->setFont(valueFont);
    QFont unitFont(QStringLiteral("Perpetua Titling MT"));
    unitFont.setPointSizeF(18);
    unitFont.setWeight(QFont::Light);
    for (QLabel* unit :
         w.PictureShow->findChildren<QLabel*>(QRegularExpression(QStringLiteral("^lblDanWei_"))))
        unit->setFont(unitFont);

    // Red text: the units LX and ℃ (and the two empty unit labels) and every range hint.
    QPalette red = grey;
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    for (QLabel* label : {w.lblDanWei_0, w.lblDanWei_3, w.lblDanWei_4, w.lblDanWei_10, w.Label2_0,
                          w.Label2_1, w.Label2_2, w.Label2_3, w.Label2_6, w.Label2_13})
        label->setPalette(red);
    QFont queryFont(QStringLiteral("宋体"));
    queryFont.setPointSizeF(14.25);
    queryFont.setBold(true);
    for (QPushButton* button : {w.comDoOnce, w.cmdOneM, w.cmdStopOnce})
        button->setFont(queryFont);

    // The three lamps lie on one another; the red one starts in front.
    w.imgNotConnected->setPixmap(QPixmap(QStringLiteral(":/images/lamp-red.png")));
    w.ImgYellow->setPixmap(QPixmap(QStringLiteral(":/images/lamp-yellow.png")));
    w.imgConnected->setPixmap(QPixmap(QStringLiteral(":/images/lamp-green.png")));
    w.imgConnected->raise();
    w.ImgYellow->raise();
    w.imgNotConnected->raise();

    w.Line1 = new SlantLine(QPoint(2160 / 15, 240 / 15), QPoint(2040 / 15, 480 / 15), w.Frame6);
    w.Line1->setObjectName(QStringLiteral("Line1"));
}

} // namespace look
