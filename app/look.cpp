#include "app/look.h"

#include "app/frmmain.h"

#include <QCommonStyle>
#include <QFontDatabase>
#include <QPainter>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QScreen>

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

// The window's own style for everything but its frames, which it draws the classic way: an
// etched line whose top edge runs through the middle of the caption and is broken where the
// caption stands, around a panel that shows the window's grey. Fusion, the style the window
// otherwise gets, puts the caption above the frame and tints the panel.
class CaptionOnFrameStyle : public QProxyStyle {
public:
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        if (control == CC_GroupBox)
            classic_.drawComplexControl(control, option, painter, widget);
        else
            QProxyStyle::drawComplexControl(control, option, painter, widget);
    }
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        if (control == CC_GroupBox)
            return classic_.subControlRect(control, option, part, widget);
        return QProxyStyle::subControlRect(control, option, part, widget);
    }

private:
    QCommonStyle classic_;
};

// Fonts the window asks for by name, and the installed fonts that stand in for them where the
// desktop lacks them, so that their sizes and weights still apply to the Chinese text.
// The form's window font is 宋体 at 8 points: at that size every caption fits its label with
// the substitutes, whose Latin glyphs are wider than the half-width ones the layout was drawn
// for.
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

// Changes one property of the font a control has from the form.
template <typename Change> void refineFont(QWidget* control, Change change) {
    QFont font = control->font();
    change(font);
    control->setFont(font);
}

} // namespace

namespace look {

void installFontSubstitutes() {
    [[maybe_unused]] static const bool done = (substituteFonts(), true);
}

void dress(frmMain& w) {
    // The form holds the fixed texts; the program's name and version come from the build.
    const QString program = QStringLiteral("qf7320-tool " QF7320_VERSION);
    w.setWindowTitle(w.windowTitle() + program);
    w.Label4->setText(program + QStringLiteral(" — ") + w.Label4->text());

    // A fixed window (the form fixes its size) that can be minimised but not maximised.
    w.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // A form's point sizes are whole and its fonts know bold but no other weight: the query
    // buttons are a quarter point larger than the form says, and the units are light.
    for (QPushButton* button : {w.comDoOnce, w.cmdOneM, w.cmdStopOnce})
        refineFont(button, [](QFont& font) { font.setPointSizeF(14.25); });
    for (QLabel* unit :
         w.PictureShow->findChildren<QLabel*>(QRegularExpression(QStringLiteral("^lblDanWei_"))))
        refineFont(unit, [](QFont& font) { font.setWeight(QFont::Light); });

    // The frames alone get the classic style; a widget's style does not pass to its children, so
    // every control inside a frame keeps the window's style, fonts and palettes.
    auto* frameStyle = new CaptionOnFrameStyle;
    frameStyle->setParent(&w);
    for (QGroupBox* frame : w.findChildren<QGroupBox*>())
        frame->setStyle(frameStyle);

    w.Line1 = new SlantLine(QPoint(2160 / 15, 240 / 15), QPoint(2040 / 15, 480 / 15), w.Frame6);
    w.Line1->setObjectName(QStringLiteral("Line1"));
}

void centreOnScreen(QWidget& window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
}

} // namespace look
