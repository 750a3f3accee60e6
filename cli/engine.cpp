#include "cli/engine.h"

#include <chrono>
#include <cmath>
#include <utility>

namespace cli {

namespace {

constexpr int kBitsPerCharacter = 10; // start bit, 8 data bits, stop bit

double millisBetween(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

QString statusName(Status status) {
    switch (status) {
    case Status::Ok:
        return QStringLiteral("ok");
    case Status::Timeout:
        return QStringLiteral("timeout");
    case Status::BadReply:
        return QStringLiteral("bad-reply");
    case Status::Exception:
        return QStringLiteral("exception");
    case Status::PortLost:
        return QStringLiteral("port-error");
    }
    return {};
}

bool Engine::open(const QString& device, int baud) {
    close();
    port_.setPortName(device);
    if (!port_.open(QIODevice::ReadWrite)) {
        openError_ = port_.error();
        openErrorText_ = port_.errorString();
        port_.clearError();
        return false;
    }
    const bool configured = port_.setBaudRate(baud) && port_.setDataBits(QSerialPort::Data8) &&
                            port_.setParity(QSerialPort::NoParity) &&
                            port_.setStopBits(QSerialPort::OneStop) &&
                            port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        openError_ = port_.error();
        openErrorText_ = QStringLiteral("the port cannot be set to %1 baud, 8N1: %2")
                             .arg(baud)
                             .arg(port_.errorString());
        close();
        return false;
    }
    baud_ = baud;
    openError_ = QSerialPort::NoError;
    openErrorText_.clear();
    return true;
}

void Engine::close() {
    ahead_.reset();
    if (port_.isOpen())
        port_.close();
    port_.clearError();
}

bool Engine::setBaud(int baud) {
    waitOutAhead();
    if (!port_.setBaudRate(baud)) {
        port_.clearError();
        return false;
    }
    baud_ = baud;
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

Result Engine::portLost(Result result) {
    result.status = Status::PortLost;
    result.portError = port_.errorString();
    port_.clearError();
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

    // Whatever the line holds now answers nothing we are about to ask: a late reply to an
    // earlier request must not be taken for this one's.
    port_.clear(QSerialPort::Input);
    port_.readAll();

    // Handed to the driver at once when it can take it, as it always can an 8-byte frame on an
    // idle line; waited for otherwise.
    const qint64 size = static_cast<qint64>(request.size());
    if (port_.write(reinterpret_cast<const char*>(request.data()), size) != size) {
        sent.lost = portLost({});
        return sent;
    }
    port_.flush();
    if (port_.bytesToWrite() > 0 && !port_.waitForBytesWritten(timeoutMs_)) {
        sent.lost = portLost({});
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

    // The request has been handed to the driver, not yet sent: the wait starts once its eight
    // characters can have left the line at this rate.
    const auto onLine = std::chrono::microseconds(
        static_cast<long long>(std::ceil(8.0 * kBitsPerCharacter * 1e6 / std::max(baud_, 1))));
    const Clock::time_point deadline = written + onLine + std::chrono::milliseconds(timeoutMs_);

    Clock::time_point lastByte = written;
    for (;;) {
        const QByteArray chunk = port_.readAll();
        if (!chunk.isEmpty()) {
            lastByte = Clock::now();
            result.reply.insert(result.reply.end(), chunk.begin(), chunk.end());
        }
        result.expectedLength =
            protocol::expectedReplyLength(request, kind, result.reply.data(), result.reply.size());
        if (result.reply.size() >= result.expectedLength)
            break;

        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            result.status = Status::Timeout;
            result.latencyMs = millisBetween(written, now);
            if (trace_.received)
                trace_.received(result);
            return result;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (!port_.waitForReadyRead(static_cast<int>(left.count()))) {
            // Running out of time is judged at the top of the loop; any other failure means
            // the port itself is gone, and waiting on it again would only spin.
            if (port_.error() != QSerialPort::TimeoutError)
                return portLost(std::move(result));
            port_.clearError();
        }
    }

    // Bytes past the expected length belong to no answer; the next request discards them.
    result.reply.resize(result.expectedLength);
    result.latencyMs = millisBetween(written, lastByte);
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
    if (trace_.received)
        trace_.received(result);
    return result;
}

} // namespace cli
