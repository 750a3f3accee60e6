#pragma once

// Modbus TCP: each request with an MBAP header and a transaction id of its own, each reply
// matched by that id.

#include "client/mbap.h"
#include "client/transport.h"
#include "platform/tcp.h"

namespace client {

class ModbusTcpTransport final : public Transport {
public:
    explicit ModbusTcpTransport(const Endpoint& endpoint) : endpoint_(endpoint) {}
    bool open() override;
    void close() override;
    bool isOpen() const override { return connection_.isOpen(); }
    OpenFailure openFailure() const override { return failure_; }
    bool setBaud(int) override { return true; } // no rate on this side of the gateway
    bool send(const protocol::Frame& request) override;
    Received receive(const protocol::Frame& request, protocol::ReplyKind kind,
                     Clock::time_point deadline) override;
    std::string lostText() const override { return connection_.errorText(); }

private:
    Endpoint endpoint_;
    platform::TcpConnection connection_;
    OpenFailure failure_;
    mbap::Reassembly stream_;
    std::uint16_t lastId_ = 0;
    // A header no server sends has left the stream without frame boundaries: the connection is
    // made again before the next request.
    bool reconnect_ = false;
};

} // namespace client
