#include "app/frmmain.h"

#include "app/look.h"

#include "modbus/crc16.h"
#include "modbus/hextext.h"
#include "modbus/opnumber.h"
#include "modbus/protocol.h"
#include "serial/commset.h"
#include "serial/devicelist.h"
#include "serial/porttext.h"
#include "serial/settingsfolder.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QTimer>

#include <limits>

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

// A field the handlers fill is written only when its text changes: the request text is the same
// at every tick of a poll and the readings often are, and an unchanged field is then neither
// laid out again nor repainted.
void showText(QLineEdit* box, const QString& text) {
    if (box->text() != text)
        box->setText(text);
}

} // namespace

frmMain::frmMain(std::unique_ptr<SerialComponent> comm, MessageSink& messages, QString programDir,
                 QWidget* parent)
    : QWidget(parent), comm_(std::move(comm)), messages_(messages),
      programDir_(std::move(programDir)) {
    Q_INIT_RESOURCE(resources);
    look::installFontSubstitutes();
    setupUi(this);
    MSComm1 = comm_.get();
    bindControls();
    look::dress(*this);
    keepRepaintsSmall();
    wireControls();
    Form_Load();
}

frmMain::~frmMain() = default;

QString frmMain::defaultProgramDir() {
    return QCoreApplication::applicationDirPath();
}

// comm.set is read beside the program, or from the user's folder when the program's cannot be
// written and the user's holds one; it is saved where it is read when the program's folder can
// be written, else in the user's folder (serial/settingsfolder.h, shared with the command line).
QString frmMain::settingsFilePath() const {
    const std::string folder = serial::settingsReadFolder(programDir_.toStdString(), "comm.set");
    return QDir(QString::fromStdString(folder)).filePath(QStringLiteral("comm.set"));
}

QString frmMain::settingsSavePath() const {
    const std::string folder = serial::settingsFolder(programDir_.toStdString()).writeFolder();
    return QDir(QString::fromStdString(folder)).filePath(QStringLiteral("comm.set"));
}

// The control arrays and the controls a form file cannot hold.
void frmMain::bindControls() {
    lblsetValue = {lblsetValue_0, lblsetValue_1, lblsetValue_2, lblsetValue_3, lblsetValue_4};
    txtsetValue = {txtsetValue_0, txtsetValue_1, txtsetValue_2, txtsetValue_3, txtsetValue_4};
    cmdREAD = {cmdREAD_0, cmdREAD_1, cmdREAD_2, cmdREAD_3, cmdREAD_4};
    cmdSet = {cmdSet_0, cmdSet_1, cmdSet_2, cmdSet_3, cmdSet_4};
    txtSetID = {txtSetID_0, txtSetID_1};
    txtValue = {txtValue_0, txtValue_1, txtValue_2, txtValue_3};

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

// The lamps and the counters change at every poll, the reading often. Painted opaque, in the
// window's grey, each lamp and counter repaints alone, and a new reading repaints its box and the
// reading panel under it; see-through, each change would repaint the frame and the window
// behind too. (The lamps are opaque in the form already; this keeps them so.) The counters keep
// the size the form gives them, so a new count does not ask their frame for a new layout.
void frmMain::keepRepaintsSmall() {
    for (QWidget* changing : std::initializer_list<QWidget*>{
             imgNotConnected, ImgYellow, imgConnected, lblCounter, lblErrCounter, PictureShow})
        changing->setAutoFillBackground(true);
    for (QLabel* counter : {lblCounter, lblErrCounter})
        counter->setFixedSize(counter->size());
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
    // Each time the port list opens, its items say what they open.
    Combo1->view()->installEventFilter(this);
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

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Combo1->view() && event->type() == QEvent::Show)
        describePortsInList();
    return QWidget::eventFilter(watched, event);
}

// Each item of the port list carries, as its tooltip, what picking it opens: the device with the
// facts that tell a person which adapter it is, or why nothing will answer there. Worked out
// afresh each time the list opens, so an adapter plugged in meanwhile shows up, and never while
// it is closed. Item k is port k+1, as the port selection numbers it.
void frmMain::describePortsInList() {
    const std::vector<serial::SerialDevice> devices =
        serial::listSerialDevices(serial::systemPortInfo());
    const std::string programDir = programDir_.toStdString();
    QAbstractItemModel* items = Combo1->model();
    // The tooltip is read from the item when it is asked for; left to signal the change, the
    // list would rewrite its edit field for the current item.
    const QSignalBlocker quiet(items);
    for (int k = 0; k < Combo1->count(); ++k) {
        const auto target = serial::describeComPort(programDir, k + 1, devices);
        items->setData(items->index(k, 0), QString::fromStdString(serial::comPortSummary(target)),
                       Qt::ToolTipRole);
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

// ---------------------------------------------------------------------------------------------
// The request pipeline shared by the five requests

// Empties what the line brought before this request and silences the receive event until the
// request has armed its own threshold. Each step may fail on a closed or vanished port; the
// request goes on regardless, as every step of a request does once its inputs were accepted.
void frmMain::preparePortForRequest() {
    MSComm1->setInBufferCount(0);
    MSComm1->setInputLen(0);
    MSComm1->setInputMode(1);
    MSComm1->setRThreshold(0);
}

// The start of the data query and the parameter read once their inputs are accepted. A closed
// port is told to the operator, and polling stops sending; false then. Otherwise the yellow lamp
// shows that a request is on its way and the port is made ready for it.
bool frmMain::startReadOnOpenPort() {
    if (!MSComm1->portOpen()) {
        msgBox(kMsgPortClosed);
        bringToFront(imgNotConnected);
        CommOK = false;
        return false;
    }
    bringToFront(ImgYellow);
    preparePortForRequest();
    return true;
}

// Bytes 6 and 7: the CRC of bytes 0-5, low-order byte first, through the window's own CRC so
// that HiByte and LoByte hold the last one computed.
void frmMain::appendCrc(protocol::Frame& frame) {
    Crc16(frame.data(), 5);
    frame[6] = HiByte;
    frame[7] = LoByte;
}

void frmMain::appendRequestText(const protocol::Frame& frame) {
    CmdText += QString::fromStdString(modbus::requestText(frame.data(), frame.size()));
}

// A write the port refuses (closed, or its buffer full) is not retried: the frame is still shown
// as sent, and the missing reply tells the operator.
void frmMain::writeFrame(const protocol::Frame& frame) {
    [[maybe_unused]] const bool written = MSComm1->setOutput(
        QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size())));
}

// The data query and the parameter read, on a port already found open: the threshold is armed
// and the kind recorded before the write, so that a fast reply is decoded as this request's;
// the frame is shown once it is on its way.
void frmMain::armAndSend(protocol::Frame frame, std::int16_t replyLength, std::int16_t kind) {
    appendCrc(frame);
    RecLength = replyLength;
    MSComm1->setRThreshold(RecLength);
    CmdType = kind;
    writeFrame(frame);
    appendRequestText(frame);
    showText(txtCommand, CmdText);
}

// The parameter write and the two address requests: the frame is shown first, then sent if the
// port is open; a closed port is shown by the red lamp alone.
void frmMain::showAndSend(protocol::Frame frame, int threshold) {
    appendCrc(frame);
    appendRequestText(frame);
    MSComm1->setRThreshold(threshold);
    showText(txtCommand, CmdText);
    if (MSComm1->portOpen()) {
        bringToFront(imgConnected);
        writeFrame(frame);
    } else {
        bringToFront(imgNotConnected);
    }
}

// ---------------------------------------------------------------------------------------------
// Start-up and the serial port

void frmMain::Form_Load() {
    // The reading display is visible from the start.
    PictureShow->setVisible(true);

    // The stored port and rate; a file that is missing or unreadable counts as nothing stored.
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

    // Requests go to station 1 until the operator says otherwise.
    txtStationID->setText(QStringLiteral("1"));

    // A port number the component refuses (0: nothing stored) is skipped.
    MSComm1->setCommPort(CommNum);

    // Binary input, whole reads, empty buffers, no transmit events, one byte raises an event.
    MSComm1->setInputMode(1);
    MSComm1->setInputLen(0);
    MSComm1->setInBufferCount(0);
    MSComm1->setOutBufferCount(0);
    MSComm1->setSThreshold(0);
    MSComm1->setRThreshold(1);
    MSComm1->setInputMode(1);

    // No stored rate means 9600 baud.
    if (CommRate == 0)
        CommRate = 9600;

    MSComm1->setSettings(settingsText(CommRate));

    // The stored rate in Combo2, if it offers it; selecting a rate starts nothing.
    for (int k = 0; k < Combo2->count(); ++k) {
        if (Combo2->itemText(k).toInt() == CommRate)
            Combo2->setCurrentIndex(k);
    }

    // The stored port in Combo1; selecting it runs the port selection, which opens it.
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

// The common start of the port selection and of save settings: close the port, then select the port
// picked in Combo1 and read its number back. False, once the operator has been told, when no
// port is picked.
bool frmMain::closeAndSelectPickedPort() {
    if (MSComm1->portOpen())
        MSComm1->setPortOpen(false);
    if (Combo1->currentIndex() == -1) {
        msgBox(kMsgSelectPort);
        return false;
    }
    // A refused port number leaves the previous one, which is read back.
    MSComm1->setCommPort(Combo1->currentIndex() + 1);
    CommNum = static_cast<std::int16_t>(MSComm1->commPort());
    return true;
}

void frmMain::Combo1_Click() {
    if (!closeAndSelectPickedPort())
        return;
    MSComm1->setSettings(settingsText(CommRate));
    // The port did not close: leave it as it is.
    if (MSComm1->portOpen())
        return;
    // A port that cannot be opened is reported by the first request that finds it closed.
    MSComm1->setPortOpen(true);
    OpenOnComm();
    CommOK = true;
}

void frmMain::cmdCom_Click() {
    if (!closeAndSelectPickedPort())
        return;
    // Only a picked item counts; text typed into the edit field is never used.
    const int rateItem = Combo2->currentIndex() == -1 ? 0 : Combo2->currentIndex();
    CommRate = static_cast<std::int16_t>(Combo2->itemText(rateItem).toInt());
    MSComm1->setSettings(settingsText(CommRate));
    // A port that did not close is in use by someone else.
    if (MSComm1->portOpen()) {
        msgBox(kMsgPortInUse, kTitleSystemInfo, MessageSink::Icon::Warning);
        return;
    }
    // As in the port selection, a failed open is left for the first request to report.
    MSComm1->setPortOpen(true);
    OpenOnComm();
    CommOK = true;
    // The settings are saved whatever became of the open; a file that cannot be
    // written is reported rather than confirmed.
    const QString path = settingsSavePath();
    if (!writeSettingsFile(path)) {
        msgBox(QStringLiteral("串口设置保存失败,无法写入") + QDir::toNativeSeparators(path) +
                   QStringLiteral("!"),
               kTitleSystemInfo, MessageSink::Icon::Warning);
        return;
    }
    msgBox(kMsgSaved, kTitleSystemHint);
}

// The new content replaces the old file only once it is complete on disk, so a crash, a full
// disk or a killed process leaves the previous settings in place.
bool frmMain::writeSettingsFile(const QString& path) {
    // The user's folder is made with its first save.
    if (!serial::makeFolder(QFileInfo(path).path().toStdString()))
        return false;
    QSaveFile file(path);
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
    PictureShow->setVisible(true);
    CmdText.clear();

    // The first input that is wrong is reported, and nothing else happens.
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

    txtState->clear();
    if (!startReadOnOpenPort())
        return;

    // A station, function or start that does not fit in its byte goes out as 0.
    const auto frame = protocol::readRequest(
        protocol::floorByteOrZero(station), protocol::nearestByteOrZero(function),
        protocol::floorByteOrZero(start), static_cast<std::uint8_t>(*registers));
    armAndSend(frame, static_cast<std::int16_t>(protocol::readReplyLength(frame[5])),
               kMeasurementQuery);
}

void frmMain::cmdREAD_Click(int index) {
    if (index < 0 || index >= protocol::kParameterRows)
        return;
    CmdText.clear();
    txtState->clear();
    ParamIndex = static_cast<std::int16_t>(index);
    if (!startReadOnOpenPort())
        return;

    // One register of the row, read with the function and relative to the start typed in the
    // query fields; a byte whose text does not convert or fit goes out as 0.
    const auto frame = protocol::readRequest(
        protocol::floorByteOrZero(text(txtStationID)), protocol::nearestByteOrZero(text(txtFunID)),
        protocol::floorByteOrZero(text(txtStartID), protocol::kParameterFirstRegister + index), 1);
    armAndSend(frame, static_cast<std::int16_t>(protocol::readReplyLength(1)), kParameterRead);
}

void frmMain::cmdSet_Click(int index) {
    if (index < 0 || index >= protocol::kParameterRows)
        return;
    const auto i = static_cast<std::size_t>(index);

    // The value as a register: refused when it is not a number, lies outside -65535..65535, or
    // encodes outside 0-65535.
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

    CmdType = kParameterWrite;
    CmdText.clear();
    txtState->clear();
    preparePortForRequest();
    RecLength = kWriteReplyThreshold;
    showAndSend(protocol::parameterWriteRequest(*station, index, *value), kWriteReplyThreshold);
}

void frmMain::cmdReadAdd_Click() {
    txtState->clear();
    CmdType = kAddressRequest;
    CmdText.clear();
    preparePortForRequest();
    // Addressed to the query station, whatever the boxes hold.
    showAndSend(protocol::addressQueryRequest(), kWriteReplyThreshold);
}

void frmMain::cmdChangeID_Click() {
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
    CmdText.clear();
    const double oldAddress = opnum::floorValue(*oldNumber);
    const double newAddress = opnum::floorValue(*newNumber);
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

    CmdType = kAddressRequest;
    txtState->clear();
    preparePortForRequest();
    RecLength = kWriteReplyThreshold;
    showAndSend(protocol::addressChangeRequest(*oldByte, *newByte), kWriteReplyThreshold);
}

// ---------------------------------------------------------------------------------------------
// Cyclic polling

void frmMain::cmdOneM_Click() {
    // The counters restart even when the period is refused.
    PictureShow->setVisible(true);
    lblCounter->setText(QStringLiteral("1"));
    RecCount = 1;
    lblErrCounter->setText(QStringLiteral("1"));
    const auto period = opnum::parse(text(txtTimerSet));
    if (!period) {
        msgBox(kMsgPeriodText);
        return;
    }
    if (!opnum::wholeIn(opnum::floorValue(*period), 50, 60000)) {
        msgBox(kMsgPeriodRange);
        return;
    }
    // The range test rounds down, the period to the nearest: 60000.6 gives 60001 ms.
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
    // A register count that is not a number becomes 1, so the poll keeps going.
    if (!opnum::isNumeric(text(txtDataLength)))
        txtDataLength->setText(QStringLiteral("1"));
    // The tick counter wraps after 65535.
    const qlonglong counter = lblCounter->text().toLongLong();
    if (counter > 65535)
        lblCounter->setText(QStringLiteral("0"));
    // A port found closed stops the sending until a port is picked again.
    if (!CommOK)
        return;
    lblCounter->setText(QString::number(lblCounter->text().toLongLong() + 1));
    comDoOnce_Click();
}

// ---------------------------------------------------------------------------------------------
// Replies

void frmMain::MSComm1_OnComm() {
    // Every event counts, up to the largest 32-bit count.
    if (RecCount < std::numeric_limits<std::int32_t>::max())
        ++RecCount;
    lblErrCounter->setText(QString::number(RecCount));
    // Only received bytes are read and shown.
    if (MSComm1->commEvent() != SerialComponent::EventReceive)
        return;
    // Every waiting byte is taken and shown, and the receive buffer emptied.
    const QByteArray reply = MSComm1->input();
    MSComm1->setInBufferCount(0);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply.constData());
    const auto length = static_cast<std::size_t>(reply.size());
    txtState->setPlainText(QString::fromStdString(modbus::replyText(bytes, length)));
    // Decoded as the answer to the last request written; nothing is verified.
    switch (CmdType) {
    case kMeasurementQuery:
        for (const auto& field : protocol::decodeMeasurement(bytes, length, text(txtStartID)))
            showText(txtValue[static_cast<std::size_t>(field.index)],
                     QString::fromStdString(field.text));
        break;
    case kParameterRead:
        if (const auto shown = protocol::decodeParameter(bytes, length, ParamIndex))
            showText(txtsetValue[static_cast<std::size_t>(ParamIndex)],
                     QString::fromStdString(*shown));
        break;
    case kAddressRequest:
        if (const auto address = protocol::decodeAddress(bytes, length)) {
            showText(txtSetID[0], QString::number(*address));
            showText(txtStationID, txtSetID[0]->text());
        }
        break;
    default: // before the first request, and after a parameter write: shown only
        break;
    }
    bringToFront(imgConnected);
}
