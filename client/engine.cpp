#include "client/engine.h"

#include "platform/rounding.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace client {

namespace {

constexpr int kBitsPerCharacter = 10; // start bit, 8 data bits, stop bit

double millisBetween(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

const char* statusName(Status status) {
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::Timeout:
        return "timeout";
    case Status::BadReply:
        return "bad-reply";
    case Status::Exception:
        return "exception";
    case Status::PortLost:
        return "port-error";
    }
    return "";
}

Engine::Engine() = default;
Engine::~Engine() = default;

bool Engine::open(const Line& line) {
    const int connectTimeoutMs = endpoint_.connectTimeoutMs;
    endpoint_ = line.endpoint();
    endpoint_.connectTimeoutMs = connectTimeoutMs;
    return open();
}

bool Engine::open(const std::string& device, int baud) {
    Line line;
    line.device = device;
    line.port = device;
    line.baud = baud;
    return open(line);
}

bool Engine::open() {
    close();
    transport_ = makeTransport(endpoint_);
    transport_->note = trace_.note;
    if (!transport_->open()) {
        openFailure_ = transport_->openFailure();
        transport_.reset();
        return false;
    }
    openFailure_ = {};
    return true;
}

void Engine::close() {
    ahead_.reset();
    lastEnd_.reset();
    if (transport_)
        transport_->close();
    transport_.reset();
}

bool Engine::isOpen() const {
    return transport_ && transport_->isOpen();
}

void Engine::setTrace(Trace trace) {
    trace_ = std::move(trace);
    if (transport_)
        transport_->note = trace_.note;
}

int Engine::gapMs() const {
    if (gapMs_)
        return *gapMs_;
    if (endpoint_.kind == Kind::ModbusTcp)
        return 0;
    // 3.5 characters of silence end an RTU frame; a whole millisecond more than that, and never
    // under 2 ms, for the timers of the adapters and servers that watch for it.
    const double characters = 3.5 * kBitsPerCharacter * 1000.0 / std::max(endpoint_.baud, 1);
    return std::max(2, static_cast<int>(rounding::ceiling(characters)));
}

bool Engine::setBaud(int baud) {
    waitOutAhead();
    if (!transport_ || !transport_->setBaud(baud))
        return false;
    endpoint_.baud = baud;
    return true;
}

Result Engine::transact(const protocol::Frame& request, protocol::ReplyKind kind) {
    // The request sent ahead is this one's first attempt. Another request waits until the
    // answer to that one is in (or overdue), so that it cannot be taken for its own.
    if (ahead_ && (ahead_->request != request || ahead_->kind != kind))
        waitOutAhead();
    std::optional<Sent> ahead = std::exchange(ahead_, std::nullopt);
    Result result;
    for (int attempt = 1; attempt <= retries_ + 1; ++attempt) {
        const Sent sent = attempt == 1 && ahead ? std::move(*ahead) : send(request, kind);
        result = sent.lost ? *sent.lost : receive(request, kind, sent.written);
        result.attempts = attempt;
        // An exception is the sensor's considered answer, and a lost port will not come back
        // by asking again.
        if (result.status != Status::Timeout && result.status != Status::BadReply)
            break;
    }
    return result;
}

void Engine::sendAhead(const protocol::Frame& request, protocol::ReplyKind kind) {
    waitOutAhead();
    ahead_ = send(request, kind);
}

void Engine::waitOutAhead() {
    if (const std::optional<Sent> ahead = std::exchange(ahead_, std::nullopt);
        ahead && !ahead->lost)
        receive(ahead->request, ahead->kind, ahead->written);
}

Engine::Sent Engine::send(const protocol::Frame& request, protocol::ReplyKind kind) {
    Sent sent;
    sent.request = request;
    sent.kind = kind;

    // The line stays silent for the gap after the last transaction ended, so that every device
    // on it sees where one frame ends and the next begins.
    if (lastEnd_) {
        const Clock::time_point quietUntil = *lastEnd_ + std::chrono::milliseconds(gapMs());
        if (Clock::now() < quietUntil)
            std::this_thread::sleep_until(quietUntil);
    }

    if (!transport_ || !transport_->send(request)) {
        Result lost;
        lost.status = Status::PortLost;
        lost.portError = transport_ ? transport_->lostText() : std::string("not open");
        lastEnd_ = Clock::now();
        sent.lost = lost;
        return sent;
    }
    sent.written = Clock::now();
    if (trace_.sent)
        trace_.sent(request);
    return sent;
}

Result Engine::receive(const protocol::Frame& request, protocol::ReplyKind kind,
                       Clock::time_point written) {
    Result result;

    // The request has been handed to the driver, not yet sent: on a serial line (here, or
    // beyond an RTU server) the wait starts once its eight characters can have left the line at
    // this rate.
    auto onLine = std::chrono::microseconds(0);
    if (endpoint_.kind != Kind::ModbusTcp)
        onLine = std::chrono::microseconds(static_cast<long long>(
            rounding::ceiling(8.0 * kBitsPerCharacter * 1e6 / std::max(endpoint_.baud, 1))));
    const Clock::time_point deadline = written + onLine + std::chrono::milliseconds(timeoutMs_);

    Received received = transport_->receive(request, kind, deadline);
    lastEnd_ = Clock::now();
    result.reply = std::move(received.reply);
    result.expectedLength = received.expectedLength;
    const auto report = [&]() -> Result {
        if (trace_.received)
            trace_.received(result);
        return result;
    };
    switch (received.outcome) {
    case Received::Outcome::Timeout:
        result.status = Status::Timeout;
        result.latencyMs = millisBetween(written, *lastEnd_);
        return report();
    case Received::Outcome::Lost:
        result.status = Status::PortLost;
        result.portError = received.lostText;
        return report();
    case Received::Outcome::Malformed:
        result.status = Status::BadReply;
        result.failedCheck = received.failedCheck;
        result.latencyMs = millisBetween(written, received.lastByte);
        return report();
    case Received::Outcome::Whole:
        break;
    }

    result.latencyMs = millisBetween(written, received.lastByte);
    const protocol::ReplyCheck check =
        protocol::checkReply(request, kind, result.reply.data(), result.reply.size());
    switch (check.verdict) {
    case protocol::ReplyCheck::Verdict::Ok:
        result.status = Status::Ok;
        if (kind == protocol::ReplyKind::Registers)
            result.registers = protocol::replyRegisters(result.reply.data(), result.reply.size());
        break;
    case protocol::ReplyCheck::Verdict::BadReply:
        result.status = Status::BadReply;
        result.failedCheck = check.failed;
        break;
    case protocol::ReplyCheck::Verdict::Exception:
        result.status = Status::Exception;
        result.exceptionCode = check.exceptionCode;
        break;
    }
    return report();
}

} // namespace client
