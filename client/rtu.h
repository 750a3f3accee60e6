#pragma once

// The transports that carry RTU frames as they are: a serial device, and a TCP stream to a
// transparent serial device server. Both read a reply the same way (rtu.cpp); they differ only
// in how bytes go in and out.

#include "client/transport.h"
#include "platform/serialport.h"
#include "platform/tcp.h"

namespace client {

class RtuTransport : public Transport {
public:
    bool send(const protocol::Frame& request) override;
    Received receive(const protocol::Frame& request, protocol::ReplyKind kind,
                     Clock::time_point deadline) override;

protected:
    enum class Read { Data, Timeout, Lost };
    // The link's own operations: drop what waits to be read, write a whole frame, read what
    // has arrived (at most `most` bytes) waiting until the deadline for the first.
    virtual bool discardInput() = 0;
    virtual bool write(const protocol::Frame& request) = 0;
    virtual Read read(std::uint8_t* into, std::size_t most, std::size_t& got,
                      Clock::time_point deadline) = 0;
    // A new link knows nothing yet of whether it echoes.
    void forgetEcho() { echo_ = Echo::Unknown; }

private:
    // Whether the link sends each request back before the answer, as an RS-485 adapter or a
    // serial server with local echo does. Learnt from a read: its answer never begins with
    // the request, so a read's reply that does begins with an echo. A write's answer is the
    // request itself, so an echo is skipped in front of one only once a read has shown it.
    enum class Echo { Unknown, Yes, No };
    Echo echo_ = Echo::Unknown;
};

class SerialTransport final : public RtuTransport {
public:
    explicit SerialTransport(const Endpoint& endpoint) : endpoint_(endpoint) {}
    bool open() override;
    void close() override;
    bool isOpen() const override { return port_.isOpen(); }
    OpenFailure openFailure() const override { return failure_; }
    bool setBaud(int baud) override;
    std::string lostText() const override { return port_.errorText(); }

private:
    bool discardInput() override;
    bool write(const protocol::Frame& request) override;
    Read read(std::uint8_t* into, std::size_t most, std::size_t& got,
              Clock::time_point deadline) override;

    Endpoint endpoint_;
    platform::SerialPort port_;
    OpenFailure failure_;
};

class RtuOverTcpTransport final : public RtuTransport {
public:
    explicit RtuOverTcpTransport(const Endpoint& endpoint) : endpoint_(endpoint) {}
    bool open() override;
    void close() override { connection_.close(); }
    bool isOpen() const override { return connection_.isOpen(); }
    OpenFailure openFailure() const override { return failure_; }
    bool setBaud(int) override { return true; } // the far line's rate is set on the server
    std::string lostText() const override { return connection_.errorText(); }

private:
    bool discardInput() override;
    bool write(const protocol::Frame& request) override;
    Read read(std::uint8_t* into, std::size_t most, std::size_t& got,
              Clock::time_point deadline) override;

    Endpoint endpoint_;
    platform::TcpConnection connection_;
    OpenFailure failure_;
};

} // namespace client
