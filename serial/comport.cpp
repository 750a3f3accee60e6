#include "serial/comport.h"

#include <QDir>
#include <QFileInfo>

namespace serial {

QString comPortEntry(const QString& programDir, int port) {
    return QDir(programDir).filePath(QStringLiteral("COM%1").arg(port));
}

QString comPortDevice(const QString& programDir, int port) {
    const QString entry = comPortEntry(programDir, port);
    const QFileInfo info(entry);
    if (info.exists() || info.isSymLink())
        return entry;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

} // namespace serial
