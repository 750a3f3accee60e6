#include "serial/comport.h"

#include "platform/text.h"
#include "serial/filepath.h"
#include "serial/settingsfolder.h"

namespace serial {

std::string comPortEntryIn(const std::string& folder, int port) {
    return filepath::join(folder, text::format("COM%1", {port}));
}

std::string comPortEntry(const std::string& programDir, int port) {
    const std::string name = text::format("COM%1", {port});
    return filepath::join(settingsReadFolder(programDir, name), name);
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
