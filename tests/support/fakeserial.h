#pragma once

#include "serial/serialcomponent.h"

#include <QList>
#include <QStringList>

#include <functional>

// A serial component for tests: it records every operation in order ("InBufferCount=0",
// "RThreshold=7", "Output=01 03 00 00 00 01 84 0A", ...), can be told to refuse an open, and
// lets a test deliver received bytes and raise events of any code.
class FakeSerialComponent : public SerialComponent {
    Q_OBJECT
public:
    explicit FakeSerialComponent(QObject* parent = nullptr) : SerialComponent(parent) {}

    bool setCommPort(int port) override;
    int commPort() const override { return port_; }
    bool setSettings(const QString& settings) override;
    bool setPortOpen(bool open) override;
    bool portOpen() const override { return open_; }
    bool setInputMode(int mode) override;
    bool setInputLen(int length) override;
    bool setInBufferCount(int count) override;
    bool setOutBufferCount(int count) override;
    bool setRThreshold(int count) override;
    bool setSThreshold(int count) override;
    bool setOutput(const QByteArray& bytes) override;
    QByteArray input() override;
    int commEvent() const override { return event_; }

    // Knobs and probes for tests.
    bool refuseOpen = false;     // the next opens fail, as for a port held by another program
    bool refuseSettings = false; // settings texts are refused
    QStringList ops;             // every operation, in order
    QList<QByteArray> written;   // every frame written to the line
    // Runs as each frame is written, e.g. to answer at once like a fast device.
    std::function<void(const QByteArray&)> onOutput;
    QString settings() const { return settings_; }
    int rThreshold() const { return rThreshold_; }
    QByteArray waiting() const { return buffer_; }

    // Bytes arriving from the line: they wait in the receive buffer and raise a receive event
    // once the threshold is reached, as the real port does.
    void receive(const QByteArray& bytes);
    // Raises an event of any code.
    void raise(int code);
    // The device vanishes: the port closes and an event reports it.
    void unplug();

private:
    int port_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    bool open_ = false;
    int rThreshold_ = 0;
    int event_ = 0;
    QByteArray buffer_;
};
