#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// The serial port as the window sees it: a handful of operations on one port and one event.
// Every operation reports whether it took effect; none throws. Setting the read length, the
// input mode, a discard or a threshold while the port is closed has no effect and succeeds.
class SerialComponent : public QObject {
    Q_OBJECT
public:
    // Codes reported by commEvent().
    enum EventCode : int {
        EventReceive = 2,       // waiting bytes reached the receive threshold
        EventLineError = 1004,  // a framing, parity or overrun error on the line
        EventWriteError = 1010, // bytes could not be sent
        EventDeviceGone = 1011, // the device vanished; the port is closed
    };

    explicit SerialComponent(QObject* parent = nullptr) : QObject(parent) {}
    ~SerialComponent() override = default;

    virtual bool setCommPort(int port) = 0; // selects the port for the next open
    virtual int commPort() const = 0;
    virtual bool setSettings(const QString& settings) = 0; // "9600,N,8,1"
    virtual bool setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    virtual bool setInputMode(int mode) = 0;       // 1: binary
    virtual bool setInputLen(int length) = 0;      // 0: a read returns every waiting byte
    virtual bool setInBufferCount(int count) = 0;  // 0: discard received bytes not yet read
    virtual bool setOutBufferCount(int count) = 0; // 0: discard bytes not yet sent
    virtual bool setRThreshold(int count) = 0;     // n >= 1: onComm once n bytes wait; 0: none
    virtual bool setSThreshold(int count) = 0;     // 0: no transmit events
    virtual bool setOutput(const QByteArray& bytes) = 0;
    virtual QByteArray input() = 0; // every waiting byte; they leave the receive buffer
    virtual int commEvent() const = 0;

signals:
    // Raised on the window's thread, one event at a time; commEvent() tells which.
    void onComm();
};
