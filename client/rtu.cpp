#include "client/rtu.h"

#include "platform/text.h"

#include <algorithm>

namespace client {

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
                tell("the request came back first (a local echo): skipped");
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
    failure_ = {};
    if (!port_.open(endpoint_.device, endpoint_.baud)) {
        failure_ = {OpenFailure::Reason::Serial, port_.openError(), port_.errorText()};
        if (port_.openError() == platform::SerialPort::OpenError::Settings)
            failure_.text = text::format("the port cannot be set to %1 baud, 8N1: %2",
                                         {endpoint_.baud, port_.errorText()});
        return false;
    }
    return true;
}

void SerialTransport::close() {
    port_.close();
}

bool SerialTransport::setBaud(int baud) {
    if (!port_.setBaud(baud))
        return false;
    endpoint_.baud = baud;
    return true;
}

bool SerialTransport::discardInput() {
    return port_.discardInput();
}

bool SerialTransport::write(const protocol::Frame& request) {
    // Handed to the driver at once when it can take it, as it always can an 8-byte frame on an
    // idle line; waited for otherwise.
    return port_.write(request.data(), request.size(),
                       Clock::now() + std::chrono::milliseconds(1000));
}

RtuTransport::Read SerialTransport::read(std::uint8_t* into, std::size_t most, std::size_t& got,
                                         Clock::time_point deadline) {
    switch (port_.read(into, most, got, deadline)) {
    case platform::SerialPort::Read::Data:
        return Read::Data;
    case platform::SerialPort::Read::Timeout:
        return Read::Timeout;
    case platform::SerialPort::Read::Lost:
        break;
    }
    return Read::Lost;
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
    case platform::TcpConnection::Read::Data:
        return Read::Data;
    case platform::TcpConnection::Read::Timeout:
        return Read::Timeout;
    case platform::TcpConnection::Read::Closed:
        break;
    }
    return Read::Lost;
}

} // namespace client
