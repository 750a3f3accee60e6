#include "cli/transport/rtu.h"

#include <algorithm>

namespace cli::transport {

namespace {

// What waits in a stream before a request is read and dropped up to this much; a peer that
// never stops sending gets its request sent all the same, and its flood judged as the reply.
constexpr std::size_t kMostDiscarded = 64 * 1024;

} // namespace

bool RtuTransport::send(const protocol::Frame& request) {
    // Whatever the line holds now answers nothing we are about to ask: a late reply to an
    // earlier request must not be taken for this one's.
    return discardInput() && write(request);
}

Received RtuTransport::receive(const protocol::Frame& request, protocol::ReplyKind kind,
                               Clock::time_point deadline) {
    Received received;
    std::vector<std::uint8_t>& reply = received.reply;
    // While an echo may still come, the bytes that repeat the request are held back.
    bool echoPossible = kind != protocol::ReplyKind::WriteEcho || echo_ == Echo::Yes;
    std::uint8_t chunk[64];
    for (;;) {
        if (echoPossible && !reply.empty()) {
            const std::size_t compared = std::min(reply.size(), request.size());
            const bool repeats = std::equal(reply.begin(), reply.begin() + std::ptrdiff_t(compared),
                                            request.begin());
            if (repeats && compared == request.size()) {
                reply.erase(reply.begin(), reply.begin() + std::ptrdiff_t(request.size()));
                echo_ = Echo::Yes;
                echoPossible = false;
                tell(QStringLiteral("the request came back first (a local echo): skipped"));
                continue;
            }
            if (!repeats) {
                if (kind != protocol::ReplyKind::WriteEcho)
                    echo_ = Echo::No;
                echoPossible = false;
            }
        }
        received.expectedLength =
            protocol::expectedReplyLength(request, kind, reply.data(), reply.size());
        if (!echoPossible && reply.size() >= received.expectedLength) {
            // Bytes past the expected length belong to no answer; the next request discards
            // them.
            reply.resize(received.expectedLength);
            received.outcome = Received::Outcome::Whole;
            return received;
        }

        // Only what the answer still lacks is read: the rest stays in the link for the next
        // request to discard.
        const std::size_t lacking = echoPossible
                                        ? request.size() - std::min(reply.size(), request.size())
                                        : received.expectedLength - reply.size();
        std::size_t got = 0;
        switch (
            read(chunk, std::min(sizeof chunk, std::max<std::size_t>(lacking, 1)), got, deadline)) {
        case Read::Data:
            received.lastByte = Clock::now();
            reply.insert(reply.end(), chunk, chunk + got);
            break;
        case Read::Timeout:
            received.outcome = Received::Outcome::Timeout;
            return received;
        case Read::Lost:
            received.outcome = Received::Outcome::Lost;
            received.lostText = lostText();
            return received;
        }
    }
}

// The serial device.

bool SerialTransport::open() {
    close();
    forgetEcho();
    port_.setPortName(endpoint_.device);
    failure_ = {};
    if (!port_.open(QIODevice::ReadWrite)) {
        failure_ = {OpenFailure::Reason::Serial, port_.error(), port_.errorString()};
        port_.clearError();
        return false;
    }
    const bool configured =
        port_.setBaudRate(endpoint_.baud) && port_.setDataBits(QSerialPort::Data8) &&
        port_.setParity(QSerialPort::NoParity) && port_.setStopBits(QSerialPort::OneStop) &&
        port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        failure_ = {OpenFailure::Reason::Serial, port_.error(),
                    QStringLiteral("the port cannot be set to %1 baud, 8N1: %2")
                        .arg(endpoint_.baud)
                        .arg(port_.errorString())};
        close();
        return false;
    }
    return true;
}

void SerialTransport::close() {
    if (port_.isOpen())
        port_.close();
    port_.clearError();
}

bool SerialTransport::setBaud(int baud) {
    if (!port_.setBaudRate(baud)) {
        port_.clearError();
        return false;
    }
    endpoint_.baud = baud;
    return true;
}

bool SerialTransport::lost() {
    lostText_ = port_.errorString();
    port_.clearError();
    return false;
}

bool SerialTransport::discardInput() {
    port_.clear(QSerialPort::Input);
    port_.readAll();
    return true;
}

bool SerialTransport::write(const protocol::Frame& request) {
    // Handed to the driver at once when it can take it, as it always can an 8-byte frame on an
    // idle line; waited for otherwise.
    const qint64 size = static_cast<qint64>(request.size());
    if (port_.write(reinterpret_cast<const char*>(request.data()), size) != size)
        return lost();
    port_.flush();
    if (port_.bytesToWrite() > 0 && !port_.waitForBytesWritten(1000))
        return lost();
    return true;
}

RtuTransport::Read SerialTransport::read(std::uint8_t* into, std::size_t most, std::size_t& got,
                                         Clock::time_point deadline) {
    for (;;) {
        const qint64 n = port_.read(reinterpret_cast<char*>(into), qint64(most));
        if (n > 0) {
            got = std::size_t(n);
            return Read::Data;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return Read::Timeout;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (!port_.waitForReadyRead(static_cast<int>(left.count()))) {
            // Running out of time is judged above; any other failure means the port itself is
            // gone, and waiting on it again would only spin.
            if (port_.error() != QSerialPort::TimeoutError) {
                lost();
                return Read::Lost;
            }
            port_.clearError();
        }
    }
}

// RTU frames over TCP.

bool RtuOverTcpTransport::open() {
    forgetEcho();
    const bool connected =
        connection_.connect(endpoint_.host, endpoint_.port, endpoint_.connectTimeoutMs);
    failure_ = connectFailure(connection_);
    return connected;
}

bool RtuOverTcpTransport::discardInput() {
    return connection_.discard(kMostDiscarded);
}

bool RtuOverTcpTransport::write(const protocol::Frame& request) {
    return connection_.write(request.data(), request.size(),
                             Clock::now() + std::chrono::milliseconds(1000));
}

RtuTransport::Read RtuOverTcpTransport::read(std::uint8_t* into, std::size_t most, std::size_t& got,
                                             Clock::time_point deadline) {
    switch (connection_.read(into, most, got, deadline)) {
    case TcpConnection::Read::Data:
        return Read::Data;
    case TcpConnection::Read::Timeout:
        return Read::Timeout;
    case TcpConnection::Read::Closed:
        break;
    }
    return Read::Lost;
}

} // namespace cli::transport
