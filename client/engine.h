#pragma once

// One request, one reply, done properly: what every command of qf7320 is made of. Unlike the
// window, the engine discards what the line holds before it asks, waits a bounded time for the
// whole answer, checks it before it believes it, and asks again when the answer was missing or
// damaged. It blocks while it waits, so it needs no event loop and no display. The link is a
// transport (client/transport.h): a serial device, RTU frames over TCP, or Modbus TCP; the engine
// keeps the same checks and statuses on all three.

#include "client/endpoint.h"
#include "client/transport.h"
#include "modbus/protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace client {

enum class Status {
    Ok,        // a complete reply that passed every check
    Timeout,   // no complete reply in time, after every attempt
    BadReply,  // a complete reply that failed a check, after every attempt
    Exception, // the sensor answered with a Modbus exception (never repeated)
    PortLost,  // the port failed under us: the adapter was unplugged, the line hung up, or
               // the connection was closed or reset
};

// The outcome of one transaction (its last attempt when it was repeated).
struct Result {
    Status status = Status::Timeout;
    std::vector<std::uint16_t> registers; // a read's registers, when ok
    std::vector<std::uint8_t> reply;      // every byte received for the last attempt
    std::size_t expectedLength = 0;       // what a complete reply would have held
    std::string failedCheck;              // a bad reply's first failed check ("CRC", ...)
    std::uint8_t exceptionCode = 0;       // an exception reply's code
    // From the last request byte written to the last reply byte read; for a timeout, the time
    // waited.
    double latencyMs = 0;
    int attempts = 0;
    std::string portError; // what the port said when it failed, or how the connection ended
};

class Engine {
public:
    // What the trace sees: every request as it is written, every reply as it is judged, and
    // what the transport did that is no frame (an echo skipped, a late reply dropped).
    struct Trace {
        std::function<void(const protocol::Frame& request)> sent;
        std::function<void(const Result& attempt)> received;
        std::function<void(const std::string& text)> note;
    };

    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens the endpoint: the device at its rate, 8 data bits, no parity, one stop bit, no
    // flow control; or the connection, within the connect timeout. On failure it stays closed
    // and openFailure() says why. open() with no endpoint opens the last one again, after a
    // close() or a loss.
    bool open(const Line& line);
    bool open(const std::string& device, int baud); // a serial device
    bool open();
    void close();
    bool isOpen() const;
    const OpenFailure& openFailure() const { return openFailure_; }
    platform::SerialPort::OpenError openError() const { return openFailure_.serialError; }
    const std::string& openErrorText() const { return openFailure_.text; }
    Kind kind() const { return endpoint_.kind; }

    // A new rate on the open port; false when the port refuses it. Over TCP it only times the
    // far line (rtu+tcp://) or changes nothing (tcp://).
    bool setBaud(int baud);
    int baud() const { return endpoint_.baud; }

    // How long a reply may take once the request has left the line, and how many times a
    // request that timed out or got a bad reply is repeated.
    void setTimeout(int ms) { timeoutMs_ = ms; }
    void setRetries(int retries) { retries_ = retries; }
    void setTrace(Trace trace);
    // How long a connection may take to be made, from the next open() on.
    void setConnectTimeout(int ms) { endpoint_.connectTimeoutMs = ms; }
    // The silence kept on the line between the end of one transaction (its reply, or its
    // timeout) and the next request; nothing: the line's default (gapMs()).
    void setGap(std::optional<int> ms) { gapMs_ = ms; }
    // 3.5 characters at the rate and at least 2 ms on a serial line and rtu+tcp://, 0 on
    // tcp://, unless setGap() said otherwise.
    int gapMs() const;

    Result transact(const protocol::Frame& request, protocol::ReplyKind kind);

    // Sends the request now; the next transact() of the same request collects its answer
    // instead of sending it again. A poll asks for its next sample this way before it prints
    // the last one, so that the printing is done while the answer crosses the line. A
    // transact() of another request first waits out the answer to this one.
    void sendAhead(const protocol::Frame& request, protocol::ReplyKind kind);

private:
    using Clock = std::chrono::steady_clock;

    // A request handed to the driver, or the failure of the port that refused it.
    struct Sent {
        protocol::Frame request{};
        protocol::ReplyKind kind = protocol::ReplyKind::Registers;
        Clock::time_point written;
        std::optional<Result> lost;
    };

    Sent send(const protocol::Frame& request, protocol::ReplyKind kind);
    Result receive(const protocol::Frame& request, protocol::ReplyKind kind,
                   Clock::time_point written);
    // The answer to a request sent ahead and not collected: waited for and dropped.
    void waitOutAhead();

    Endpoint endpoint_;
    std::unique_ptr<Transport> transport_;
    int timeoutMs_ = 500;
    int retries_ = 1;
    std::optional<int> gapMs_;
    Trace trace_;
    std::optional<Sent> ahead_;
    std::optional<Clock::time_point> lastEnd_; // when the last transaction ended
    OpenFailure openFailure_;
};

// "ok", "timeout", "bad-reply", "exception" or "port-error", as the JSON output spells them.
const char* statusName(Status status);

} // namespace client
