#pragma once

// Scripts of exchanges with the simulated sensor, written as hex text, for the tests of its logic
// and of the running program.

#include "sim/sensor.h"
#include "tests/support/testfiles.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

inline sim::Bytes toBytes(const QByteArray& data) {
    return sim::Bytes(data.begin(), data.end());
}
inline QByteArray fromBytes(const sim::Bytes& data) {
    return QByteArray(reinterpret_cast<const char*>(data.data()),
                      static_cast<qsizetype>(data.size()));
}

// One exchange written as "REQUEST -> ANSWER". Hex without CRC gets its CRC appended; "raw "
// before the hex sends or expects the bytes exactly as written; "-" is no answer; "echo" is the
// request itself.
struct Step {
    QByteArray request;
    QByteArray answer;
};

inline QByteArray frameText(const QString& text, const QByteArray& request) {
    const QString t = text.trimmed();
    if (t == QLatin1String("-"))
        return {};
    if (t == QLatin1String("echo"))
        return request;
    if (t.startsWith(QLatin1String("raw ")))
        return QByteArray::fromHex(t.mid(4).toLatin1());
    return withCrc(t.toLatin1().constData());
}

inline Step parseStep(const QString& text) {
    const QStringList parts = text.split(QStringLiteral("->"));
    Q_ASSERT(parts.size() == 2);
    Step step;
    step.request = frameText(parts[0], {});
    step.answer = frameText(parts[1], step.request);
    return step;
}

// The defaults with a fixed 12340 lx: register 0 reads 1234.
inline constexpr std::uint32_t kFixedLux = 12340;
inline const QList<quint16> kDefaults{1234, 2350, 4500, 10000, 0, 700, 4000, 20000};
