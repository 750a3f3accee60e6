#include "frmmain.h"

#include "commset.h"
#include "modbus/crc16.h"
#include "modbus/hextext.h"
#include "opnumber.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPainter>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QTimer>

#include <limits>

#ifndef QF7320_VERSION
#define QF7320_VERSION "0.1"
#endif

const QString frmMain::kAppTitle = QStringLiteral("QF7300光照度传感器随机软件");

namespace {

const QString kMsgStation = QStringLiteral("你输入的设备地址格式有误!");
const QString kMsgFunction = QStringLiteral("你输入的功能码格式有误!");
const QString kMsgLength = QStringLiteral("你输入的数据长度格式有误!");
const QString kMsgStart = QStringLiteral("你输入的起始地址格式有误!");
const QString kMsgLengthRange = QStringLiteral("你输入的数据长度格式有误,正确的值应该为1-7!");
const QString kMsgPortClosed = QStringLiteral("打开串口出错，请确定串口是否已被占用");
const QString kMsgPeriodText =
    QStringLiteral("你输入的定时时长格式有误，应该为数字，值范围为100-60000!");
const QString kMsgPeriodRange =
    QStringLiteral("你输入的定时时长格式有误，应该为数字，值范围为50-60000!");
const QString kMsgValue = QStringLiteral("你输入的值有误!");
const QString kMsgOldAddress = QStringLiteral("你输入的原设备地址格式有误!");
const QString kMsgNewAddress = QStringLiteral("你输入的目标设备地址格式有误!");
const QString kMsgAddressRange = QStringLiteral("请指定正确的设备地址，正确值范围为1-35");
const QString kMsgAddressAbove = QStringLiteral("请指定正确的设备地址，正确值范围为1-35!");
const QString kMsgSelectPort = QStringLiteral("请选择端口");
const QString kMsgPortInUse = QStringLiteral("所选的串行端口已被其他设备所使用!");
const QString kMsgSaved = QStringLiteral("串口设置保存成功");
const QString kTitleSystemInfo = QStringLiteral("系统信息");
const QString kTitleSystemHint = QStringLiteral("系统提示");
const QString kTitleStartupError = QStringLiteral("NORV系统出错提示");

std::string text(const QLineEdit* box) {
    return box->text().toStdString();
}

QString settingsText(std::int16_t rate) {
    return QString::number(rate) + QStringLiteral(",N,8,1");
}

using Frame = std::array<std::uint8_t, 8>;

QByteArray frameBytes(const Frame& frame) {
    return QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
}

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
void installFontSubstitutes() {
    static bool done = false;
    if (done)
        return;
    done = true;
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

frmMain::frmMain(std::unique_ptr<SerialComponent> comm, MessageSink& messages, QString programDir,
                 QWidget* parent)
    : QWidget(parent), comm_(std::move(comm)), messages_(messages),
      programDir_(std::move(programDir)) {
    Q_INIT_RESOURCE(resources);
    installFontSubstitutes();
    setupUi(this);
    MSComm1 = comm_.get();
    applyLook();
    wireControls();
    Form_Load();
}

frmMain::~frmMain() = default;

QString frmMain::defaultProgramDir() {
    return QCoreApplication::applicationDirPath();
}

QString frmMain::settingsFilePath() const {
    return QDir(programDir_).filePath(QStringLiteral("comm.set"));
}

void frmMain::applyLook() {
    lblsetValue = {lblsetValue_0, lblsetValue_1, lblsetValue_2, lblsetValue_3, lblsetValue_4};
    txtsetValue = {txtsetValue_0, txtsetValue_1, txtsetValue_2, txtsetValue_3, txtsetValue_4};
    cmdREAD = {cmdREAD_0, cmdREAD_1, cmdREAD_2, cmdREAD_3, cmdREAD_4};
    cmdSet = {cmdSet_0, cmdSet_1, cmdSet_2, cmdSet_3, cmdSet_4};
    txtSetID = {txtSetID_0, txtSetID_1};
    txtValue = {txtValue_0, txtValue_1, txtValue_2, txtValue_3};

    setWindowTitle(QStringLiteral("QF7320系列光照度传感器工具软件-qf7320-tool " QF7320_VERSION));
    Label4->setText(QStringLiteral("qf7320-tool " QF7320_VERSION
                                   " — QF7320系列光照度传感器的测试与配置工具（Modbus RTU 主站）"));
    setWindowIcon(QIcon(QStringLiteral(":/images/app-icon.png")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());

    QPalette grey = palette();
    grey.setColor(QPalette::Window, QColor(224, 224, 224));
    setPalette(grey);
    setAutoFillBackground(true);

    // The window's own font, and the fonts of the value panel and the query buttons. At 8
    // points every caption fits its label with the substitute fonts, whose Latin glyphs are
    // wider than the half-width ones the layout was drawn for.
    setFont(QFont(QStringLiteral("宋体"), 8));
    QFont valueFont(QStringLiteral("宋体"));
    valueFont.setPointSizeF(36);
    for (QLineEdit* box : txtValue)
        box->setFont(valueFont);
    QFont unitFont(QStringLiteral("Perpetua Titling MT"));
    unitFont.setPointSizeF(18);
    unitFont.setWeight(QFont::Light);
    for (QLabel* unit :
         PictureShow->findChildren<QLabel*>(QRegularExpression(QStringLiteral("^lblDanWei_"))))
        unit->setFont(unitFont);

    // Red text: the units LX and ℃ (and the two empty unit labels) and every range hint.
    QPalette red = grey;
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    for (QLabel* label : {lblDanWei_0, lblDanWei_3, lblDanWei_4, lblDanWei_10, Label2_0, Label2_1,
                          Label2_2, Label2_3, Label2_6, Label2_13})
        label->setPalette(red);
    QFont queryFont(QStringLiteral("宋体"));
    queryFont.setPointSizeF(14.25);
    queryFont.setBold(true);
    for (QPushButton* button : {comDoOnce, cmdOneM, cmdStopOnce})
        button->setFont(queryFont);

    // The three lamps lie on one another; the red one starts in front.
    imgNotConnected->setPixmap(QPixmap(QStringLiteral(":/images/lamp-red.png")));
    ImgYellow->setPixmap(QPixmap(QStringLiteral(":/images/lamp-yellow.png")));
    imgConnected->setPixmap(QPixmap(QStringLiteral(":/images/lamp-green.png")));
    imgConnected->raise();
    ImgYellow->raise();
    imgNotConnected->raise();

    Line1 = new SlantLine(QPoint(2160 / 15, 240 / 15), QPoint(2040 / 15, 480 / 15), Frame6);
    Line1->setObjectName(QStringLiteral("Line1"));

    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setTimerType(Qt::PreciseTimer);

    for (QComboBox* combo : {Combo1, Combo2}) {
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setCompleter(nullptr);
        combo->setCurrentIndex(-1);
    }
    Combo1->setEditText(QStringLiteral("COM4"));
    Combo2->setEditText(QStringLiteral("19200"));
}

void frmMain::wireControls() {
    connect(Combo1, &QComboBox::activated, this, [this] { Combo1_Click(); });
    keepTypingUnselected(Combo1);
    keepTypingUnselected(Combo2);
    connect(cmdCom, &QPushButton::clicked, this, &frmMain::cmdCom_Click);
    connect(comDoOnce, &QPushButton::clicked, this, &frmMain::comDoOnce_Click);
    connect(cmdOneM, &QPushButton::clicked, this, &frmMain::cmdOneM_Click);
    connect(cmdStopOnce, &QPushButton::clicked, this, &frmMain::cmdStopOnce_Click);
    connect(Timer2, &QTimer::timeout, this, &frmMain::Timer2_Timer);
    for (int i = 0; i < protocol::kParameterRows; ++i) {
        connect(cmdREAD[static_cast<std::size_t>(i)], &QPushButton::clicked, this,
                [this, i] { cmdREAD_Click(i); });
        connect(cmdSet[static_cast<std::size_t>(i)], &QPushButton::clicked, this,
                [this, i] { cmdSet_Click(i); });
    }
    connect(cmdReadAdd, &QPushButton::clicked, this, &frmMain::cmdReadAdd_Click);
    connect(cmdChangeID, &QPushButton::clicked, this, &frmMain::cmdChangeID_Click);
    connect(MSComm1, &SerialComponent::onComm, this, &frmMain::MSComm1_OnComm);
}

// Typing into a list's edit field leaves no item selected (and raises no click), while the
// typed text stays as it is.
void frmMain::keepTypingUnselected(QComboBox* combo) {
    QLineEdit* edit = combo->lineEdit();
    // Leaving the field or pressing Enter would otherwise select an item whose text matches
    // what was typed, and report it as picked.
    QObject::disconnect(edit, &QLineEdit::editingFinished, combo, nullptr);
    QObject::disconnect(edit, &QLineEdit::returnPressed, combo, nullptr);
    connect(edit, &QLineEdit::textEdited, combo, [combo, edit](const QString& typed) {
        if (combo->currentIndex() == -1)
            return;
        const int cursor = edit->cursorPosition();
        const QSignalBlocker blockCombo(combo);
        const QSignalBlocker blockEdit(edit);
        combo->setCurrentIndex(-1);
        edit->setText(typed);
        edit->setCursorPosition(cursor);
    });
}

void frmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    if (startupOpenFailed_) {
        // Told once the window is up, so the operator sees which window the message is about.
        QTimer::singleShot(0, this, [this] {
            msgBox(QStringLiteral("请检查串口端口,串口端口") + QString::number(CommNum) +
                       QStringLiteral("无法打开!"),
                   kTitleStartupError);
            CommOK = false;
        });
    }
}

void frmMain::msgBox(const QString& text, const QString& title, MessageSink::Icon icon) {
    ++messageBoxesOpen_;
    messages_.show(text, title, icon);
    --messageBoxesOpen_;
}

void frmMain::bringToFront(QLabel* lamp) {
    lamp->raise();
}

QLabel* frmMain::lampInFront() const {
    const QObjectList& stack = Picture2->children(); // back to front
    for (auto it = stack.crbegin(); it != stack.crend(); ++it) {
        if (*it == imgNotConnected || *it == ImgYellow || *it == imgConnected)
            return static_cast<QLabel*>(*it);
    }
    return nullptr;
}

void frmMain::Crc16(const std::uint8_t* cmdstring, int j) {
    const std::uint16_t crc = modbus::crc16(cmdstring, j < 0 ? 0 : static_cast<std::size_t>(j) + 1);
    HiByte = modbus::crcLowByte(crc);
    LoByte = modbus::crcHighByte(crc);
}

QString frmMain::FormatHex(std::uint8_t bb) {
    return QString::fromStdString(modbus::byteText(bb));
}

void frmMain::preparePortForRequest() {
    // Each may fail on a closed or vanished port; the request goes on regardless.
    MSComm1->setInBufferCount(0);
    MSComm1->setInputLen(0);
    MSComm1->setInputMode(1);
    MSComm1->setRThreshold(0);
}

void frmMain::appendRequestText(const std::array<std::uint8_t, 8>& frame) {
    for (std::uint8_t byte : frame)
        CmdText += FormatHex(byte) + QLatin1Char(' ');
}

// A closed port found by a data query or a parameter read: told, and polling stops sending.
void frmMain::reportPortClosed() {
    msgBox(kMsgPortClosed);
    bringToFront(imgNotConnected);
    CommOK = false;
}

// Bytes 6 and 7: the CRC of bytes 0-5, low-order byte first.
void frmMain::appendCrc(std::array<std::uint8_t, 8>& frame) {
    Crc16(frame.data(), 5);
    frame[6] = HiByte;
    frame[7] = LoByte;
}

// The last step of a parameter write and the address requests: a closed port is shown by the
// lamp alone.
void frmMain::sendIfOpen(const std::array<std::uint8_t, 8>& frame) {
    if (MSComm1->portOpen()) {
        bringToFront(imgConnected);
        sendFrame(frame);
    } else {
        bringToFront(imgNotConnected);
    }
}

void frmMain::sendFrame(const std::array<std::uint8_t, 8>& frame) {
    if (!MSComm1->setOutput(frameBytes(frame))) {
        // skipped: the frame is still shown as sent
    }
}

// ---------------------------------------------------------------------------------------------
// Start-up and the serial port

void frmMain::Form_Load() {
    // 1. The reading display.
    PictureShow->setVisible(true);

    // 2. The stored port and rate; a file that is missing or unreadable counts as nothing stored.
    CommNum = 0;
    CommRate = 0;
    QFile file(settingsFilePath());
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray content = file.read(4096);
        if (const auto stored = commset::parse(
                std::string_view(content.constData(), static_cast<std::size_t>(content.size())))) {
            CommNum = stored->port;
            CommRate = stored->rate;
        }
    }

    // 3.
    txtStationID->setText(QStringLiteral("1"));

    // 4. A port number the component refuses (0: nothing stored) is skipped.
    MSComm1->setCommPort(CommNum);

    // 5. Binary input, whole reads, empty buffers, no transmit events, one byte raises an event.
    MSComm1->setInputMode(1);
    MSComm1->setInputLen(0);
    MSComm1->setInBufferCount(0);
    MSComm1->setOutBufferCount(0);
    MSComm1->setSThreshold(0);
    MSComm1->setRThreshold(1);
    MSComm1->setInputMode(1);

    // 6.
    if (CommRate == 0)
        CommRate = 9600;

    // 7.
    MSComm1->setSettings(settingsText(CommRate));

    // 8. The stored rate in Combo2, if it offers it; selecting a rate starts nothing.
    for (int k = 0; k < Combo2->count(); ++k) {
        if (Combo2->itemText(k).toInt() == CommRate)
            Combo2->setCurrentIndex(k);
    }

    // 9. The stored port in Combo1; selecting it runs the port selection, which opens it.
    const QString wanted = QStringLiteral("COM") + QString::number(CommNum);
    for (int k = 0; k < Combo1->count(); ++k) {
        if (Combo1->itemText(k) == wanted) {
            Combo1->setCurrentIndex(k);
            Combo1_Click();
            startupOpenFailed_ = !MSComm1->portOpen();
            break;
        }
    }
}

void frmMain::OpenOnComm() {
    MSComm1->setRThreshold(1);
    MSComm1->setInputMode(1);
}

// Steps 1-4 of the port selection and of save settings: close the port, then select the port
// picked in Combo1 and read its number back. False, once the operator has been told, when no
// port is picked.
bool frmMain::closeAndSelectPickedPort() {
    // 1.
    if (MSComm1->portOpen())
        MSComm1->setPortOpen(false);
    // 2.
    if (Combo1->currentIndex() == -1) {
        msgBox(kMsgSelectPort);
        return false;
    }
    // 3.-4. A refused port number leaves the previous one, which is read back.
    MSComm1->setCommPort(Combo1->currentIndex() + 1);
    CommNum = static_cast<std::int16_t>(MSComm1->commPort());
    return true;
}

void frmMain::Combo1_Click() {
    // 1.-4.
    if (!closeAndSelectPickedPort())
        return;
    // 5.
    MSComm1->setSettings(settingsText(CommRate));
    // 6. The port did not close: leave it as it is.
    if (MSComm1->portOpen())
        return;
    // 7. A port that cannot be opened is reported by the first request that finds it closed.
    MSComm1->setPortOpen(true);
    // 8.-9.
    OpenOnComm();
    CommOK = true;
}

void frmMain::cmdCom_Click() {
    // 1.-4.
    if (!closeAndSelectPickedPort())
        return;
    // 5. Only a picked item counts; text typed into the edit field is never used.
    const int rateItem = Combo2->currentIndex() == -1 ? 0 : Combo2->currentIndex();
    CommRate = static_cast<std::int16_t>(Combo2->itemText(rateItem).toInt());
    // 6.
    MSComm1->setSettings(settingsText(CommRate));
    // 7.
    if (MSComm1->portOpen()) {
        msgBox(kMsgPortInUse, kTitleSystemInfo, MessageSink::Icon::Warning);
        return;
    }
    // 8.-10. As in the port selection, a failed open is left for the first request to report.
    MSComm1->setPortOpen(true);
    OpenOnComm();
    CommOK = true;
    // 11.-12. The settings are saved whatever became of the open; a file that cannot be
    // written is reported rather than confirmed.
    if (!writeSettingsFile()) {
        msgBox(QStringLiteral("串口设置保存失败,无法写入") +
                   QDir::toNativeSeparators(settingsFilePath()) + QStringLiteral("!"),
               kTitleSystemInfo, MessageSink::Icon::Warning);
        return;
    }
    msgBox(kMsgSaved, kTitleSystemHint);
}

// The new content replaces the old file only once it is complete on disk, so a crash, a full
// disk or a killed process leaves the previous settings in place.
bool frmMain::writeSettingsFile() {
    QSaveFile file(settingsFilePath());
    // Unbuffered, so that a failing write is seen here: a failed flush of a buffered write
    // would otherwise still let commit() replace the old file with a partial one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const std::string line = commset::format(CommNum, CommRate);
    if (file.write(line.data(), static_cast<qint64>(line.size())) !=
        static_cast<qint64>(line.size())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// ---------------------------------------------------------------------------------------------
// Requests

void frmMain::comDoOnce_Click() {
    // 1.-2.
    PictureShow->setVisible(true);
    CmdText.clear();

    // 3. The first input that is wrong is reported, and nothing else happens.
    const std::string station = text(txtStationID);
    const std::string function = text(txtFunID);
    const std::string length = text(txtDataLength);
    const std::string start = text(txtStartID);
    if (!opnum::isNumeric(station)) {
        msgBox(kMsgStation);
        return;
    }
    if (!opnum::isNumeric(function)) {
        msgBox(kMsgFunction);
        return;
    }
    const auto count = opnum::parse(length);
    if (!count) {
        msgBox(kMsgLength);
        return;
    }
    if (!opnum::isNumeric(start)) {
        msgBox(kMsgStart);
        return;
    }
    const auto registers = opnum::wholeIn(opnum::floorValue(*count), 1, 7);
    if (!registers) {
        msgBox(kMsgLengthRange);
        return;
    }

    // 4.
    txtState->clear();

    // 5.-6. From here on a step that fails is skipped; a closed port ends the query.
    if (!MSComm1->portOpen()) {
        reportPortClosed();
        return;
    }

    // 7.-8.
    bringToFront(ImgYellow);
    preparePortForRequest();

    // 9.-10. A value that does not fit in its byte leaves it 0.
    Frame frame{};
    frame[0] = protocol::floorByteOrZero(station);
    frame[1] = protocol::nearestByteOrZero(function);
    frame[2] = 0;
    frame[3] = protocol::floorByteOrZero(start);
    frame[4] = 0;
    frame[5] = static_cast<std::uint8_t>(*registers);
    appendCrc(frame);

    // 11.-14. The threshold is armed and the kind recorded before the write, so that a fast
    // reply is decoded as this request's.
    RecLength = static_cast<std::int16_t>(2 * frame[5] + 5);
    MSComm1->setRThreshold(RecLength);
    CmdType = 1;
    sendFrame(frame);

    // 15.-16.
    appendRequestText(frame);
    txtCommand->setText(CmdText);
}

void frmMain::cmdREAD_Click(int index) {
    if (index < 0 || index >= protocol::kParameterRows)
        return;
    // 1.
    CmdText.clear();
    txtState->clear();
    // 3.
    ParamIndex = static_cast<std::int16_t>(index);
    // 4.
    if (!MSComm1->portOpen()) {
        reportPortClosed();
        return;
    }
    // 5.-6.
    bringToFront(ImgYellow);
    preparePortForRequest();
    // 7.-8. A byte whose text does not convert or fit stays 0.
    Frame frame{};
    frame[0] = protocol::floorByteOrZero(text(txtStationID));
    frame[1] = protocol::nearestByteOrZero(text(txtFunID));
    frame[2] = 0;
    frame[3] =
        protocol::floorByteOrZero(text(txtStartID), protocol::kParameterFirstRegister + index);
    frame[4] = 0;
    frame[5] = 1;
    appendCrc(frame);
    // 9.-12.
    RecLength = 7;
    MSComm1->setRThreshold(RecLength);
    CmdType = 2;
    sendFrame(frame);
    // 13.
    appendRequestText(frame);
    txtCommand->setText(CmdText);
}

void frmMain::cmdSet_Click(int index) {
    if (index < 0 || index >= protocol::kParameterRows)
        return;
    const auto i = static_cast<std::size_t>(index);
    // 1.-3. The value as a register: refused when it is not a number, lies outside
    // -65535..65535, or encodes outside 0-65535.
    const auto value = protocol::parameterRegisterValue(text(txtsetValue[i]), index);
    if (!value) {
        msgBox(kMsgValue);
        return;
    }
    // A station that cannot go on the wire is refused too, rather than sent as 0, the
    // broadcast address that every device on the line obeys.
    const auto stationNumber = opnum::parse(text(txtStationID));
    const auto station =
        stationNumber ? opnum::byteFit(opnum::floorValue(*stationNumber)) : std::nullopt;
    if (!station) {
        msgBox(kMsgStation);
        return;
    }
    // 4.-5.
    CmdType = 3;
    CmdText.clear();
    txtState->clear();
    preparePortForRequest();
    // 6.-7.
    Frame frame{};
    frame[0] = *station;
    frame[1] = 0x06;
    frame[2] = protocol::kParameterWriteRegisterHigh;
    frame[3] = static_cast<std::uint8_t>(protocol::kParameterFirstRegister + index);
    frame[4] = static_cast<std::uint8_t>(*value / 256);
    frame[5] = static_cast<std::uint8_t>(*value % 256);
    appendCrc(frame);
    // 8.-11. The frame is shown before the port is tested.
    RecLength = 6;
    appendRequestText(frame);
    MSComm1->setRThreshold(6);
    txtCommand->setText(CmdText);
    // 12. A closed port is only shown by the lamp.
    sendIfOpen(frame);
}

void frmMain::cmdReadAdd_Click() {
    // 1.-2.
    txtState->clear();
    CmdType = 5;
    CmdText.clear();
    preparePortForRequest();
    // 3. Station 250, function 0x25: whatever the boxes hold.
    Frame frame{0xFA, 0x25, 0x02, 0x00, 0x00, 0x01, 0, 0};
    appendCrc(frame);
    // 4.-6.
    appendRequestText(frame);
    MSComm1->setRThreshold(6);
    txtCommand->setText(CmdText);
    // 7.
    sendIfOpen(frame);
}

void frmMain::cmdChangeID_Click() {
    // 1.-2.
    const auto oldNumber = opnum::parse(text(txtSetID[0]));
    if (!oldNumber) {
        msgBox(kMsgOldAddress);
        return;
    }
    const auto newNumber = opnum::parse(text(txtSetID[1]));
    if (!newNumber) {
        msgBox(kMsgNewAddress);
        return;
    }
    // 3.-4.
    CmdText.clear();
    const double oldAddress = opnum::floorValue(*oldNumber);
    const double newAddress = opnum::floorValue(*newNumber);
    // 5.-6.
    if (oldAddress == 0.0 || newAddress == 0.0) {
        msgBox(kMsgAddressRange);
        return;
    }
    if (newAddress > 35.0) {
        msgBox(kMsgAddressAbove);
        return;
    }
    // Addresses that pass both tests but cannot go on the wire.
    const auto oldByte = opnum::byteFit(oldAddress);
    const auto newByte = opnum::byteFit(newAddress);
    if (!oldByte || !newByte) {
        msgBox(kMsgAddressRange);
        return;
    }
    // 7.-8.
    CmdType = 5;
    txtState->clear();
    preparePortForRequest();
    // 9.
    Frame frame{*oldByte, 0x06, protocol::kAddressRegisterHigh, 0x00, 0x00, *newByte, 0, 0};
    appendCrc(frame);
    // 10.-13.
    RecLength = 6;
    appendRequestText(frame);
    MSComm1->setRThreshold(RecLength);
    txtCommand->setText(CmdText);
    // 14.
    sendIfOpen(frame);
}

// ---------------------------------------------------------------------------------------------
// Cyclic polling

void frmMain::cmdOneM_Click() {
    // 1.-4. The counters restart even when the period is refused.
    PictureShow->setVisible(true);
    lblCounter->setText(QStringLiteral("1"));
    RecCount = 1;
    lblErrCounter->setText(QStringLiteral("1"));
    // 5.-6.
    const auto period = opnum::parse(text(txtTimerSet));
    if (!period) {
        msgBox(kMsgPeriodText);
        return;
    }
    if (!opnum::wholeIn(opnum::floorValue(*period), 50, 60000)) {
        msgBox(kMsgPeriodRange);
        return;
    }
    // 7.-8. The range test rounds down, the period to the nearest: 60000.6 gives 60001 ms.
    Timer2->setInterval(static_cast<int>(opnum::nearestValue(*period)));
    Timer2->start();
}

void frmMain::cmdStopOnce_Click() {
    PictureShow->setVisible(true);
    Timer2->stop();
}

void frmMain::Timer2_Timer() {
    // A tick that falls due while a message box waits for the operator is dropped, so that a
    // fast poll on a closed port cannot stack a new box every period.
    if (messageBoxOpen())
        return;
    // 1.
    if (!opnum::isNumeric(text(txtDataLength)))
        txtDataLength->setText(QStringLiteral("1"));
    // 2.
    const qlonglong counter = lblCounter->text().toLongLong();
    if (counter > 65535)
        lblCounter->setText(QStringLiteral("0"));
    // 3.
    if (!CommOK)
        return;
    // 4.-5.
    lblCounter->setText(QString::number(lblCounter->text().toLongLong() + 1));
    comDoOnce_Click();
}

// ---------------------------------------------------------------------------------------------
// Replies

void frmMain::MSComm1_OnComm() {
    // 1. Every event counts, up to the largest 32-bit count.
    if (RecCount < std::numeric_limits<std::int32_t>::max())
        ++RecCount;
    lblErrCounter->setText(QString::number(RecCount));
    // 2.
    if (MSComm1->commEvent() != SerialComponent::EventReceive)
        return;
    // 3.-5.
    const QByteArray reply = MSComm1->input();
    MSComm1->setInBufferCount(0);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply.constData());
    const auto length = static_cast<std::size_t>(reply.size());
    txtState->setPlainText(QString::fromStdString(modbus::replyText(bytes, length)));
    // 6. Decoded as the answer to the last request written; nothing is verified.
    switch (CmdType) {
    case 1:
        for (const auto& field : protocol::decodeMeasurement(bytes, length, text(txtStartID)))
            txtValue[static_cast<std::size_t>(field.index)]->setText(
                QString::fromStdString(field.text));
        break;
    case 2:
        if (const auto shown = protocol::decodeParameter(bytes, length, ParamIndex))
            txtsetValue[static_cast<std::size_t>(ParamIndex)]->setText(
                QString::fromStdString(*shown));
        break;
    case 5:
        if (const auto address = protocol::decodeAddress(bytes, length)) {
            txtSetID[0]->setText(QString::number(*address));
            txtStationID->setText(txtSetID[0]->text());
        }
        break;
    default: // 0 before the first request, 3 after a parameter write: shown only
        break;
    }
    // 7.
    bringToFront(imgConnected);
}
