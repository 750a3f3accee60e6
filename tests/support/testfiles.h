#pragma once

// Files and frames the tests prepare: comm.set in a program directory, and frames with their CRC.

#include "modbus/crc16.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

// Writes comm.set with exactly this content into the directory; false when it cannot.
inline bool writeCommSet(const QString& dir, const QByteArray& content) {
    QFile file(QDir(dir).filePath(QStringLiteral("comm.set")));
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}
// The usual line for port `port` at `baud`: "1,9600\r\n".
inline bool writeCommSet(const QString& dir, int port, int baud) {
    return writeCommSet(dir, QStringLiteral("%1,%2\r\n").arg(port).arg(baud).toLatin1());
}

// The CRC-16/MODBUS of the bytes, as it goes on the wire (low-order byte first).
inline QByteArray crcBytes(const QByteArray& bytes) {
    const auto crc = modbus::crc16(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                   static_cast<std::size_t>(bytes.size()));
    QByteArray out;
    out.append(static_cast<char>(modbus::crcLowByte(crc)));
    out.append(static_cast<char>(modbus::crcHighByte(crc)));
    return out;
}
// Hex text ("01 03 02 04D2", blanks ignored) with its CRC appended.
inline QByteArray withCrc(const char* hex) {
    const QByteArray bytes = QByteArray::fromHex(QByteArray(hex));
    return bytes + crcBytes(bytes);
}
// True when the last two bytes are the CRC of the others.
inline bool crcMatches(const QByteArray& frame) {
    return frame.size() >= 2 && crcBytes(frame.left(frame.size() - 2)) == frame.right(2);
}
