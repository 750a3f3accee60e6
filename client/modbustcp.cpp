#include "client/modbustcp.h"

#include "modbus/hextext.h"
#include "platform/text.h"

namespace client {

bool ModbusTcpTransport::open() {
    close();
    const bool connected =
        connection_.connect(endpoint_.host, endpoint_.port, endpoint_.connectTimeoutMs);
    failure_ = connectFailure(connection_);
    return connected;
}

void ModbusTcpTransport::close() {
    connection_.close();
    stream_.clear();
    reconnect_ = false;
}

bool ModbusTcpTransport::send(const protocol::Frame& request) {
    if (reconnect_) {
        tell("connecting again to resynchronise the stream");
        if (!open())
            return false;
    }
    // Each request its own id, so that a late answer to an earlier one cannot pass for its own.
    ++lastId_;
    const mbap::Request adu = mbap::encodeRequest(request, lastId_);
    return connection_.write(adu.data(), adu.size(),
                             Clock::now() + std::chrono::milliseconds(1000));
}

Received ModbusTcpTransport::receive(const protocol::Frame& request, protocol::ReplyKind kind,
                                     Clock::time_point deadline) {
    Received received;
    received.expectedLength = protocol::expectedReplyLength(request, kind, nullptr, 0);
    // The bytes of a reply whose header has come and whose body has not, for a timeout's report.
    const auto pending = [&] {
        const std::vector<std::uint8_t>& bytes = stream_.bytes();
        return bytes.size() > 6 ? std::vector<std::uint8_t>(bytes.begin() + 6, bytes.end())
                                : std::vector<std::uint8_t>{};
    };
    std::uint8_t chunk[mbap::kLongestAdu];
    for (;;) {
        const mbap::Cut front = stream_.front();
        if (front.state == mbap::Cut::State::Broken) {
            received.outcome = Received::Outcome::Malformed;
            received.failedCheck = front.failed;
            received.reply = stream_.bytes();
            received.lastByte = Clock::now();
            tell(text::format("the stream's %1 is %2: it is read no further, and the "
                              "connection is made again before the next request",
                              {front.failed,
                               front.failed == "protocol id" ? front.protocolId : front.length}));
            connection_.close();
            stream_.clear();
            reconnect_ = true;
            return received;
        }
        if (front.state == mbap::Cut::State::Whole) {
            const std::vector<std::uint8_t> adu = stream_.take();
            if (front.transactionId != lastId_) {
                tell(text::format("dropped a late reply with transaction id %1 (this request's "
                                  "is %2): %3",
                                  {front.transactionId, lastId_,
                                   modbus::frameText(adu.data(), adu.size())}));
                continue;
            }
            received.reply = mbap::rtuFrame(adu.data(), adu.size());
            received.expectedLength = protocol::expectedReplyLength(
                request, kind, received.reply.data(), received.reply.size());
            received.outcome = Received::Outcome::Whole;
            return received;
        }

        std::size_t got = 0;
        switch (connection_.read(chunk, stream_.room(), got, deadline)) {
        case platform::TcpConnection::Read::Data:
            received.lastByte = Clock::now();
            stream_.append(chunk, got);
            break;
        case platform::TcpConnection::Read::Timeout:
            received.outcome = Received::Outcome::Timeout;
            received.reply = pending();
            return received;
        case platform::TcpConnection::Read::Closed:
            received.outcome = Received::Outcome::Lost;
            received.reply = pending();
            received.lostText = connection_.errorText();
            stream_.clear();
            return received;
        }
    }
}

} // namespace client
