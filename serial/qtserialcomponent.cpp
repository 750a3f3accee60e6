#include "serial/qtserialcomponent.h"

#include "serial/comport.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <termios.h>
#include <unistd.h>
#endif

QtSerialComponent::QtSerialComponent(QString programDir, QObject* parent)
    : SerialComponent(parent), programDir_(std::move(programDir)) {
    serial_.setReadBufferSize(kReceiveBufferSize);
    connect(&serial_, &QSerialPort::readyRead, this, &QtSerialComponent::readData);
    connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialComponent::handleError);
}

QString QtSerialComponent::deviceFor(int port) const {
    return QString::fromStdString(serial::comPortDevice(programDir_.toStdString(), port));
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
    // Opening leaves the port readable at every byte.
    wakeAt_ = 1;
    wakeAtThreshold();
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
        takeWaiting();
        serial_.clear(QSerialPort::Input);
        wakeAtThreshold();
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
    wakeAtThreshold();
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
    QByteArray rest = bytes;
#ifdef Q_OS_UNIX
    // The frame goes to the device in this call, one system call, when nothing waits to be sent
    // before it: no buffer, no write notifier, no later pass of the event loop. Whatever the
    // device does not take at once, or refuses, goes the buffered way below, which sends it
    // when the device can take it and reports a failure as an event.
    if (serial_.bytesToWrite() == 0) {
        const ssize_t sent =
            ::write(serial_.handle(), bytes.constData(), static_cast<size_t>(bytes.size()));
        if (sent == bytes.size())
            return true;
        if (sent > 0)
            rest = bytes.mid(sent);
    }
#endif
    if (serial_.write(rest) != rest.size())
        return false;
    // Hand the frame to the device now rather than on a later pass of the event loop, after
    // whatever repaint the request queued; flush() does not block.
    serial_.flush();
    return true;
}

QByteArray QtSerialComponent::input() {
    if (!serial_.isOpen())
        return {};
    QByteArray bytes = takeWaiting();
    wakeAtThreshold();
    return bytes;
}

// The bytes QSerialPort holds, read by their count: readAll() allocates a block of 16 KiB at
// every call, three times a poll, and gives most of it back at once. A full buffer has paused the
// reading from the device; a read from the emptied buffer resumes it, as readAll() does.
QByteArray QtSerialComponent::takeWaiting() {
    const qint64 waiting = serial_.bytesAvailable();
    QByteArray bytes = serial_.read(waiting);
    if (waiting >= kReceiveBufferSize) {
        char none = 0;
        serial_.read(&none, 1);
    }
    return bytes;
}

void QtSerialComponent::readData() {
    if (rThreshold_ >= 1 && serial_.bytesAvailable() >= rThreshold_)
        report(EventReceive);
    // Bytes the handler leaves waiting make the next arriving byte raise the event again.
    wakeAtThreshold();
}

// Bytes that arrive one at a time (a real line at 9600 baud delivers them so) would each wake
// the program for a read and a look at the threshold. Linux reports a terminal readable only
// once VMIN bytes wait (when VTIME is 0), so VMIN is kept at what the threshold still lacks:
// the kernel gathers the reply and the program wakes once, when the event is due. A read still
// returns at once with whatever waits (the port is non-blocking), and closing the port or the
// device going away still wakes it. Elsewhere the port stays readable at every byte.
void QtSerialComponent::wakeAtThreshold() {
#ifdef Q_OS_LINUX
    if (!serial_.isOpen())
        return;
    // Without a threshold no event is due: the kernel keeps gathering toward the last one,
    // which spares two changes of the line settings for every request (it sets 0, then arms).
    if (rThreshold_ < 1)
        return;
    const int lacking =
        static_cast<int>(std::clamp<qint64>(rThreshold_ - serial_.bytesAvailable(), 1, kMaxWakeAt));
    if (lacking == wakeAt_)
        return;
    termios line{};
    if (::tcgetattr(serial_.handle(), &line) != 0)
        return;
    line.c_cc[VMIN] = static_cast<cc_t>(lacking);
    if (::tcsetattr(serial_.handle(), TCSANOW, &line) == 0)
        wakeAt_ = lacking;
#endif
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
