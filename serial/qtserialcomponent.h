#pragma once

#include "serial/serialcomponent.h"

#include <QSerialPort>
#include <QString>

// The serial component over QSerialPort. Port n is the entry "COMn" in the program's directory
// when there is one (a link to /dev/ttyUSB0 or to a pseudo-terminal), otherwise the platform's
// n-th port: /dev/ttyS{n-1} on Linux; on Windows always the system's COMn (serial::comPortDevice).
class QtSerialComponent : public SerialComponent {
    Q_OBJECT
public:
    static constexpr qint64 kReceiveBufferSize = 1024;
    static constexpr qint64 kTransmitBufferSize = 512;
    static constexpr int kMaxWakeAt = 255; // the largest VMIN a terminal takes

    explicit QtSerialComponent(QString programDir, QObject* parent = nullptr);

    bool setCommPort(int port) override;
    int commPort() const override { return port_; }
    bool setSettings(const QString& settings) override;
    bool setPortOpen(bool open) override;
    bool portOpen() const override { return serial_.isOpen(); }
    bool setInputMode(int mode) override;
    bool setInputLen(int length) override;
    bool setInBufferCount(int count) override;
    bool setOutBufferCount(int count) override;
    bool setRThreshold(int count) override;
    bool setSThreshold(int count) override;
    bool setOutput(const QByteArray& bytes) override;
    QByteArray input() override;
    int commEvent() const override { return event_; }

    // The device path that port n resolves to.
    QString deviceFor(int port) const;

private:
    struct LineSettings {
        qint32 baud;
        QSerialPort::Parity parity;
        QSerialPort::DataBits dataBits;
        QSerialPort::StopBits stopBits;
    };
    static bool parseSettings(const QString& text, LineSettings& out);
    bool applySettings();
    void readData();
    QByteArray takeWaiting();
    void wakeAtThreshold();
    void handleError(QSerialPort::SerialPortError error);
    void report(int code);

    QString programDir_;
    QSerialPort serial_;
    int port_ = 1;
    LineSettings settings_{9600, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop};
    int rThreshold_ = 0;
    int event_ = 0;
    int wakeAt_ = 0; // the bytes the kernel gathers before the port reads as readable
};
