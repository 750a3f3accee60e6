#include "serial/deviceaccess.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace serial {

DeviceAccess checkDeviceAccess(const QString& path) {
    DeviceAccess result;
#ifdef Q_OS_WIN
    // Windows has no device groups: whether a COM port opens is only known by opening it.
    result.state = DeviceAccess::State::Ok;
    Q_UNUSED(path);
#else
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0) {
        result.state = DeviceAccess::State::NotFound;
        return result;
    }
    if (const group* owner = ::getgrgid(info.st_gid))
        result.group = QString::fromLocal8Bit(owner->gr_name);
    result.state = ::access(native.constData(), R_OK | W_OK) == 0
                       ? DeviceAccess::State::Ok
                       : DeviceAccess::State::NoPermission;
#endif
    return result;
}

QString permissionAdvice(const QString& group) {
    const QString name = group.isEmpty() ? QStringLiteral("dialout") : group;
    return QStringLiteral("add your user to the group '%1': sudo adduser $USER %1, then log out "
                          "and in again")
        .arg(name);
}

} // namespace serial
