#include "cli/output.h"

#include "modbus/hextext.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTime>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace cli {

namespace {

QString frameText(const std::uint8_t* data, std::size_t length) {
    return QString::fromStdString(modbus::frameText(data, length));
}

QString clockTime() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

} // namespace

QString isoTimeNow() {
#ifdef Q_OS_WIN
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
#else
    // localtime_r rather than QDateTime: a poll takes its time once a sample, and QDateTime
    // looks at the system's time zone file every time it is asked.
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    QString iso =
        QString::fromLatin1(text) + QStringLiteral(".%1").arg(millis, 3, 10, QLatin1Char('0'));
    const long offset = local.tm_gmtoff / 60;
    if (offset == 0)
        return iso + QLatin1Char('Z');
    return iso + QStringLiteral("%1%2:%3")
                     .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                     .arg(std::labs(offset) / 60, 2, 10, QLatin1Char('0'))
                     .arg(std::labs(offset) % 60, 2, 10, QLatin1Char('0'));
#endif
}

QString traceRequestText(const protocol::Frame& request) {
    return QStringLiteral("> ") + frameText(request.data(), request.size());
}

QString traceReplyText(const Result& attempt) {
    QString text = QStringLiteral("< ");
    text += attempt.reply.empty() ? QStringLiteral("(nothing)")
                                  : frameText(attempt.reply.data(), attempt.reply.size());
    text += QStringLiteral("  %1 ms").arg(attempt.latencyMs, 0, 'f', 1);
    switch (attempt.status) {
    case Status::Ok:
    case Status::PortLost:
        break;
    case Status::Timeout:
        text += QStringLiteral("  timeout");
        if (!attempt.reply.empty())
            text += QStringLiteral(": %1 of %2 bytes")
                        .arg(attempt.reply.size())
                        .arg(attempt.expectedLength);
        break;
    case Status::BadReply:
        text += QStringLiteral("  bad reply: %1").arg(QString::fromStdString(attempt.failedCheck));
        break;
    case Status::Exception:
        text += QStringLiteral("  exception %1 %2")
                    .arg(QString::fromStdString(modbus::byteText(attempt.exceptionCode)),
                         QString::fromStdString(protocol::exceptionName(attempt.exceptionCode)));
        break;
    }
    return text;
}

Output::Output(bool json, bool trace, std::FILE* out, std::FILE* err)
    : json_(json), trace_(trace), out_(out), err_(err) {}

void Output::write(std::FILE* stream, const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void Output::data(const QString& line) {
    write(out_, line);
}

void Output::object(const QJsonObject& object) {
    write(out_, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void Output::message(const QString& text) {
    write(err_, text);
}

Engine::Trace Output::trace() {
    if (!trace_)
        return {};
    return {
        [this](const protocol::Frame& request) {
            write(err_, clockTime() + QLatin1Char(' ') + traceRequestText(request));
        },
        [this](const Result& attempt) {
            write(err_, clockTime() + QLatin1Char(' ') + traceReplyText(attempt));
        },
        [this](const std::string& text) {
            write(err_, clockTime() + QStringLiteral(" - ") + qtext(text));
        }};
}

} // namespace cli
