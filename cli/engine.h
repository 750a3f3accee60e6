#pragma once

// One request, one reply, done properly: what every command of qf7320 is made of. Unlike the
// window, the engine discards what the line holds before it asks, waits a bounded time for the
// whole answer, checks it before it believes it, and asks again when the answer was missing or
// damaged. It blocks while it waits, so it needs no event loop and no display.

#include "modbus/protocol.h"

#include <QSerialPort>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class Status {
    Ok,        // a complete reply that passed every check
    Timeout,   // no complete reply in time, after every attempt
    BadReply,  // a complete reply that failed a check, after every attempt
    Exception, // the sensor answered with a Modbus exception (never repeated)
    PortLost,  // the port failed under us: the adapter was unplugged or the line hung up
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
    QString portError; // what the port said when it failed
};

class Engine {
public:
    // What the trace sees: every request as it is written, every reply as it is judged.
    struct Trace {
        std::function<void(const protocol::Frame& request)> sent;
        std::function<void(const Result& attempt)> received;
    };

    // Opens the device at the rate, 8 data bits, no parity, one stop bit, no flow control.
    // On failure the port stays closed and openError()/openErrorText() say why.
    bool open(const QString& device, int baud);
    QSerialPort::SerialPortError openError() const { return openError_; }
    QString openErrorText() const { return openErrorText_; }
    void close();

    // A new rate on the open port; false when the port refuses it.
    bool setBaud(int baud);
    int baud() const { return baud_; }

    // How long a reply may take once the request has left the line, and how many times a
    // request that timed out or got a bad reply is repeated.
    void setTimeout(int ms) { timeoutMs_ = ms; }
    void setRetries(int retries) { retries_ = retries; }
    void setTrace(Trace trace) { trace_ = std::move(trace); }

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
    Result portLost(Result result);
    // The answer to a request sent ahead and not collected: waited for and dropped.
    void waitOutAhead();

    QSerialPort port_;
    int baud_ = 9600;
    int timeoutMs_ = 500;
    int retries_ = 1;
    Trace trace_;
    std::optional<Sent> ahead_;
    QSerialPort::SerialPortError openError_ = QSerialPort::NoError;
    QString openErrorText_;
};

// "ok", "timeout", "bad-reply", "exception" or "port-error", as the JSON output spells them.
QString statusName(Status status);

} // namespace cli
