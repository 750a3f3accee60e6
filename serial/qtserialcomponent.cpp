#include "serial/qtserialcomponent.h"

#include "serial/comport.h"

QtSerialComponent::QtSerialComponent(QString programDir, QObject* parent)
    : SerialComponent(parent), programDir_(std::move(programDir)) {
    serial_.setReadBufferSize(kReceiveBufferSize);
    connect(&serial_, &QSerialPort::readyRead, this, &QtSerialComponent::readData);
    connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialComponent::handleError);
}

QString QtSerialComponent::deviceFor(int port) const {
    return serial::comPortDevice(programDir_, port);
}

bool QtSerialComponent::setCommPort(int port) {
    if (serial_.isOpen() || port < 1 || port > 255)
        return false;
    port_ = port;
    return true;
}

bool QtSerialComponent::parseSettings(const QString& text, LineSettings& out) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return false;
    out.baud = baud;

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        out.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        out.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        out.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        out.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        out.parity = QSerialPort::SpaceParity;
    else
        return false;

    const QString data = parts[2].trimmed();
    if (data == QLatin1String("5"))
        out.dataBits = QSerialPort::Data5;
    else if (data == QLatin1String("6"))
        out.dataBits = QSerialPort::Data6;
    else if (data == QLatin1String("7"))
        out.dataBits = QSerialPort::Data7;
    else if (data == QLatin1String("8"))
        out.dataBits = QSerialPort::Data8;
    else
        return false;

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        out.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        out.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        out.stopBits = QSerialPort::TwoStop;
    else
        return false;
    return true;
}

bool QtSerialComponent::setSettings(const QString& text) {
    LineSettings parsed{};
    if (!parseSettings(text, parsed))
        return false;
    const LineSettings previous = settings_;
    settings_ = parsed;
    if (serial_.isOpen() && !applySettings()) {
        settings_ = previous;
        applySettings();
        return false;
    }
    return true;
}

bool QtSerialComponent::applySettings() {
    bool ok = serial_.setBaudRate(settings_.baud);
    ok = serial_.setParity(settings_.parity) && ok;
    ok = serial_.setDataBits(settings_.dataBits) && ok;
    ok = serial_.setStopBits(settings_.stopBits) && ok;
    ok = serial_.setFlowControl(QSerialPort::NoFlowControl) && ok;
    return ok;
}

bool QtSerialComponent::setPortOpen(bool open) {
    if (!open) {
        if (serial_.isOpen())
            serial_.close();
        return true;
    }
    if (serial_.isOpen())
        return false;
    serial_.setPortName(deviceFor(port_));
    if (!serial_.open(QIODevice::ReadWrite)) {
        serial_.clearError();
        return false;
    }
    if (!applySettings()) {
        serial_.close();
        serial_.clearError();
        return false;
    }
    // Discard whatever the line held before the port was ours.
    serial_.clear(QSerialPort::AllDirections);
    return true;
}

bool QtSerialComponent::setInputMode(int mode) {
    return mode == 0 || mode == 1;
}

bool QtSerialComponent::setInputLen(int length) {
    return length >= 0;
}

bool QtSerialComponent::setInBufferCount(int count) {
    if (count != 0)
        return false;
    if (serial_.isOpen()) {
        serial_.readAll();
        serial_.clear(QSerialPort::Input);
    }
    return true;
}

bool QtSerialComponent::setOutBufferCount(int count) {
    if (count != 0)
        return false;
    if (serial_.isOpen())
        serial_.clear(QSerialPort::Output);
    return true;
}

bool QtSerialComponent::setRThreshold(int count) {
    if (count < 0)
        return false;
    rThreshold_ = count;
    return true;
}

bool QtSerialComponent::setSThreshold(int count) {
    return count >= 0;
}

bool QtSerialComponent::setOutput(const QByteArray& bytes) {
    if (!serial_.isOpen())
        return false;
    if (serial_.bytesToWrite() + bytes.size() > kTransmitBufferSize)
        return false;
    if (serial_.write(bytes) != bytes.size())
        return false;
    // Hand the frame to the device now rather than on a later pass of the event loop, after
    // whatever repaint the request queued; flush() does not block.
    serial_.flush();
    return true;
}

QByteArray QtSerialComponent::input() {
    if (!serial_.isOpen())
        return {};
    return serial_.readAll();
}

void QtSerialComponent::readData() {
    if (rThreshold_ >= 1 && serial_.bytesAvailable() >= rThreshold_)
        report(EventReceive);
}

void QtSerialComponent::handleError(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::NoError:
    case QSerialPort::UnsupportedOperationError: // modem lines on a pseudo-terminal
    case QSerialPort::DeviceNotFoundError:       // these three belong to a failed open,
    case QSerialPort::PermissionError:           // which setPortOpen() reports itself
    case QSerialPort::OpenError:
    case QSerialPort::NotOpenError:
    case QSerialPort::TimeoutError:
        return;
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        // The device has gone (adapter pulled, peer closed). Closing here is what stops the
        // port from reporting the same error in a tight loop.
        serial_.clearError();
        if (serial_.isOpen())
            serial_.close();
        report(EventDeviceGone);
        return;
    case QSerialPort::WriteError:
        serial_.clearError();
        report(EventWriteError);
        return;
    default:
        serial_.clearError();
        report(EventLineError);
        return;
    }
}

void QtSerialComponent::report(int code) {
    event_ = code;
    emit onComm();
}
