#include "serial/comport.h"

#include "platform/text.h"
#include "serial/filepath.h"

namespace serial {

std::string comPortEntry(const std::string& programDir, int port) {
    return filepath::join(programDir, text::format("COM%1", {port}));
}

#ifdef _WIN32

std::string comPortDevice(const std::string& /*programDir*/, int port) {
    return text::format("\\\\.\\COM%1", {port});
}

#else

std::string comPortDevice(const std::string& programDir, int port) {
    const std::string entry = comPortEntry(programDir, port);
    if (filepath::occupied(entry))
        return entry;
    return text::format("/dev/ttyS%1", {port - 1});
}

#endif

} // namespace serial
