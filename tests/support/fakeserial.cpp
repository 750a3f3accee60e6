#include "tests/support/fakeserial.h"

#include "modbus/hextext.h"

namespace {
QString hex(const QByteArray& bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    return QString::fromStdString(modbus::requestText(data, static_cast<std::size_t>(bytes.size())))
        .trimmed();
}
} // namespace

bool FakeSerialComponent::setCommPort(int port) {
    ops << QStringLiteral("CommPort=%1").arg(port);
    if (open_ || port < 1 || port > 255)
        return false;
    port_ = port;
    return true;
}

bool FakeSerialComponent::setSettings(const QString& settings) {
    ops << QStringLiteral("Settings=%1").arg(settings);
    if (refuseSettings)
        return false;
    settings_ = settings;
    return true;
}

bool FakeSerialComponent::setPortOpen(bool open) {
    ops << QStringLiteral("PortOpen=%1").arg(open ? 1 : 0);
    if (open == open_)
        return !open; // opening an open port fails; closing a closed one is harmless
    if (open && refuseOpen)
        return false;
    open_ = open;
    if (!open)
        buffer_.clear();
    return true;
}

bool FakeSerialComponent::setInputMode(int mode) {
    ops << QStringLiteral("InputMode=%1").arg(mode);
    return true;
}

bool FakeSerialComponent::setInputLen(int length) {
    ops << QStringLiteral("InputLen=%1").arg(length);
    return true;
}

bool FakeSerialComponent::setInBufferCount(int count) {
    ops << QStringLiteral("InBufferCount=%1").arg(count);
    if (count == 0)
        buffer_.clear();
    return true;
}

bool FakeSerialComponent::setOutBufferCount(int count) {
    ops << QStringLiteral("OutBufferCount=%1").arg(count);
    return true;
}

bool FakeSerialComponent::setRThreshold(int count) {
    ops << QStringLiteral("RThreshold=%1").arg(count);
    rThreshold_ = count;
    return true;
}

bool FakeSerialComponent::setSThreshold(int count) {
    ops << QStringLiteral("SThreshold=%1").arg(count);
    return true;
}

bool FakeSerialComponent::setOutput(const QByteArray& bytes) {
    ops << QStringLiteral("Output=%1").arg(hex(bytes));
    if (!open_)
        return false;
    written << bytes;
    if (onOutput)
        onOutput(bytes);
    return true;
}

QByteArray FakeSerialComponent::input() {
    ops << QStringLiteral("Input");
    const QByteArray bytes = buffer_;
    buffer_.clear();
    return bytes;
}

void FakeSerialComponent::receive(const QByteArray& bytes) {
    if (!open_)
        return;
    buffer_ += bytes;
    if (rThreshold_ >= 1 && buffer_.size() >= rThreshold_)
        raise(EventReceive);
}

void FakeSerialComponent::raise(int code) {
    event_ = code;
    emit onComm();
}

void FakeSerialComponent::unplug() {
    open_ = false;
    buffer_.clear();
    raise(EventDeviceGone);
}
