#pragma once

// The one seam between the transaction engine and the wire. A transport takes a request as the
// 8-byte RTU frame every command builds, puts it on its link framed as that link wants it, and
// hands back the reply as an RTU frame again, so that the engine checks every reply the same
// way whichever link it came over. Three transports, one table of operations each (the shape of
// libmodbus's backends):
//
//   serial        Modbus RTU on a serial device: CRC, silence between frames;
//   rtu+tcp://    the same RTU frames, CRC and all, in a TCP stream to a transparent serial
//                 device server; like a serial line it has no transaction id, so whatever
//                 waits in the stream is discarded before each request;
//   tcp://        Modbus TCP: a 7-byte MBAP header in front of the PDU, no CRC; a reply is
//                 matched by its transaction id, and one with another id is a late answer to an
//                 earlier request, dropped.
//
// Every wait has a deadline; a transport never buffers more than one reply's worth of bytes.

#include "modbus/protocol.h"
#include "platform/serialport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class TcpConnection;
}

namespace client {

using Clock = std::chrono::steady_clock;

enum class Kind {
    Serial,     // a serial device
    RtuOverTcp, // rtu+tcp://HOST[:PORT]
    ModbusTcp,  // tcp://HOST[:PORT]
};

constexpr std::uint16_t kDefaultTcpPort = 502;
constexpr int kDefaultConnectTimeoutMs = 3000;

struct Endpoint {
    Kind kind = Kind::Serial;
    std::string device; // a serial device's path
    std::string host;   // a name, an IPv4 address or an IPv6 one (without brackets)
    std::uint16_t port = kDefaultTcpPort;
    // The serial line's rate: the device's own, or for rtu+tcp:// the far line's, which only
    // times the request on that line (the server's rate is set on the server).
    int baud = 9600;
    int connectTimeoutMs = kDefaultConnectTimeoutMs;
};

// Why a transport did not open.
struct OpenFailure {
    enum class Reason {
        None,
        Serial,  // the device would not open or take its settings: serialError says why
        Resolve, // the host name gives no address
        Refused, // nothing listens at the host's port
        Timeout, // no answer to the connection in time
        Network, // any other network failure
    };
    Reason reason = Reason::None;
    platform::SerialPort::OpenError serialError = platform::SerialPort::OpenError::None;
    std::string text;
};

// A reply as the transport received it.
struct Received {
    enum class Outcome {
        Whole,     // `reply` holds a whole reply as an RTU frame, to be checked
        Timeout,   // the deadline passed; `reply` holds what had come of it
        Lost,      // the link failed: `lostText` says how
        Malformed, // the framing itself was wrong (`failedCheck`); the link was reset
    };
    Outcome outcome = Outcome::Timeout;
    std::vector<std::uint8_t> reply;
    std::size_t expectedLength = 0;
    Clock::time_point lastByte{};
    std::string failedCheck;
    std::string lostText;
};

class Transport {
public:
    virtual ~Transport() = default;

    // Opens the device or makes the connection (within Endpoint::connectTimeoutMs); on failure
    // stays closed and openFailure() says why. Open again after close() or a loss: the same
    // endpoint.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual OpenFailure openFailure() const = 0;

    // A new rate for the line; false when the device refuses it. On tcp:// there is no rate and
    // it changes nothing.
    virtual bool setBaud(int baud) = 0;

    // Puts the request on the link, framed for it. False when the link failed (lostText()).
    virtual bool send(const protocol::Frame& request) = 0;
    // The reply to the request last sent, read until it is whole or the deadline passes.
    virtual Received receive(const protocol::Frame& request, protocol::ReplyKind kind,
                             Clock::time_point deadline) = 0;
    virtual std::string lostText() const = 0;

    // What the trace may want to know that is not a frame: a local echo skipped, a late reply
    // dropped, a connection reset.
    std::function<void(const std::string&)> note;

protected:
    void tell(const std::string& text) const {
        if (note)
            note(text);
    }
};

std::unique_ptr<Transport> makeTransport(const Endpoint& endpoint);

// Why a connection was not made, in the terms of OpenFailure.
OpenFailure connectFailure(const platform::TcpConnection& connection);

// "tcp://HOST:PORT" with an IPv6 host in brackets, "rtu+tcp://..." likewise; a device as is.
std::string endpointText(const Endpoint& endpoint);

} // namespace client
