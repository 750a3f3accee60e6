#include "serial/deviceaccess.h"

#include "platform/text.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace serial {

#ifdef _WIN32

DeviceAccess checkDeviceAccess(const std::string& /*path*/) {
    DeviceAccess result;
    result.state = DeviceAccess::State::Ok;
    return result;
}

#else

DeviceAccess checkDeviceAccess(const std::string& path) {
    DeviceAccess result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        result.state = DeviceAccess::State::NotFound;
        return result;
    }
    if (const group* owner = ::getgrgid(info.st_gid))
        result.group = text::validUtf8(owner->gr_name);
    result.state = ::access(path.c_str(), R_OK | W_OK) == 0 ? DeviceAccess::State::Ok
                                                            : DeviceAccess::State::NoPermission;
    return result;
}

#endif

std::string permissionAdvice(const std::string& group) {
    const std::string name = group.empty() ? std::string("dialout") : group;
    return text::format("add your user to the group '%1': sudo adduser $USER %1, then log out "
                        "and in again",
                        {name});
}

} // namespace serial
