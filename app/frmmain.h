#pragma once

#include "app/messagesink.h"
#include "modbus/protocol.h"
#include "serial/serialcomponent.h"
#include "ui_frmmain.h"

#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

// The tool's one window: its controls (from frmmain.ui), the state its handlers share, and one
// handler per event it reacts to. Handlers read and write the controls directly by name.
class frmMain : public QWidget, public Ui::frmMain {
    Q_OBJECT
public:
    static const QString kAppTitle; // title of message boxes without one of their own

    // The window takes its serial component, the sink for its message boxes and the directory
    // that holds the program, beside which comm.set is kept (or in the user's folder when that
    // cannot be written). Construction runs the load event, before the window is shown.
    frmMain(std::unique_ptr<SerialComponent> comm, MessageSink& messages,
            QString programDir = defaultProgramDir(), QWidget* parent = nullptr);
    ~frmMain() override;

    static QString defaultProgramDir();
    QString settingsFilePath() const; // where comm.set is read
    QString settingsSavePath() const; // where "保存设置" writes it

    // Control arrays: txtsetValue(1) is txtsetValue[1].
    std::array<QLabel*, 5> lblsetValue{};
    std::array<QLineEdit*, 5> txtsetValue{};
    std::array<QPushButton*, 5> cmdREAD{};
    std::array<QPushButton*, 5> cmdSet{};
    std::array<QLineEdit*, 2> txtSetID{};
    std::array<QLineEdit*, 4> txtValue{};
    QWidget* Line1 = nullptr;
    QTimer* Timer2 = nullptr;
    SerialComponent* MSComm1 = nullptr; // owned by the window

    // The kinds of request CmdType records, so that the receive handler decodes a reply as the
    // answer to the last request written.
    enum RequestKind : std::int16_t {
        kNoRequest = 0,
        kMeasurementQuery = 1,
        kParameterRead = 2,
        kParameterWrite = 3,
        kAddressRequest = 5, // the address query and the address change
    };
    // The receive threshold of a parameter write and the address requests: the six bytes that
    // carry what those replies show.
    static constexpr std::int16_t kWriteReplyThreshold = 6;

    // Form state shared by the handlers.
    std::int16_t CommNum = 0;
    std::int16_t CommRate = 0;
    bool CommOK = false;
    std::int16_t CmdType = kNoRequest;
    std::int16_t ParamIndex = 0;
    std::int16_t RecLength = 0;
    std::int32_t RecCount = 0;
    QString CmdText;
    std::uint8_t HiByte = 0; // low-order byte of the last CRC
    std::uint8_t LoByte = 0; // high-order byte of the last CRC

    // The lamp brought to the front last (the one the operator sees).
    QLabel* lampInFront() const;
    // True while one of the window's message boxes waits for the operator.
    bool messageBoxOpen() const { return messageBoxesOpen_ > 0; }

    // Frame primitives.
    void Crc16(const std::uint8_t* cmdstring, int j);
    static QString FormatHex(std::uint8_t bb);

    // Event handlers.
    void Form_Load();
    void Combo1_Click();
    void cmdCom_Click();
    void comDoOnce_Click();
    void cmdOneM_Click();
    void cmdStopOnce_Click();
    void Timer2_Timer();
    void cmdREAD_Click(int index);
    void cmdSet_Click(int index);
    void cmdReadAdd_Click();
    void cmdChangeID_Click();
    void MSComm1_OnComm();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OpenOnComm();
    bool closeAndSelectPickedPort();
    void wireControls();
    void bindControls();
    void keepRepaintsSmall();
    void keepTypingUnselected(QComboBox* combo);
    void describePortsInList();
    void msgBox(const QString& text, const QString& title = kAppTitle,
                MessageSink::Icon icon = MessageSink::Icon::None);
    void bringToFront(QLabel* lamp);
    void preparePortForRequest();
    bool startReadOnOpenPort();
    void appendCrc(protocol::Frame& frame);
    void appendRequestText(const protocol::Frame& frame);
    void writeFrame(const protocol::Frame& frame);
    void armAndSend(protocol::Frame frame, std::int16_t replyLength, std::int16_t kind);
    void showAndSend(protocol::Frame frame, int threshold);
    bool writeSettingsFile(const QString& path);

    std::unique_ptr<SerialComponent> comm_;
    MessageSink& messages_;
    QString programDir_;
    int messageBoxesOpen_ = 0;
    bool startupOpenFailed_ = false;
    bool shownOnce_ = false;
};
