#pragma once

#include "serial/devicelist.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serial {

// A port name as people write it: "COM3", "com3" or "3", for ports 1-255 (the numbers the
// serial component accepts).
std::optional<int> parseComPortName(std::string_view written);

// What became of making or removing a COMn link.
struct LinkResult {
    enum class Outcome {
        Done,
        NoSuchDevice, // the device named does not exist
        NotSerial,    // it exists but is not a serial device (or is an empty UART slot)
        EntryExists,  // COMn is already there and replacing it was not asked for
        NoEntry,      // nothing to remove
        NotALink,     // COMn is there but is not a link, so it is left alone
        Failed,       // the file system refused
    };
    Outcome outcome = Outcome::Failed;
    std::string entry;   // the COMn entry made or removed
    std::string target;  // where the link points (made) or pointed (removed)
    SerialDevice device; // the device linked to, with its access
    std::string message; // for a person, when not done
};

// Makes COMn a link to `device` (a path, or a name in tree.devDir such as "ttyUSB0"), in the
// program's directory or, when that cannot be written, in the user's folder
// (serial/settingsfolder.h; made when missing). The link names the device by its
// /dev/serial/by-id name when it has one, so that COMn stays the same adapter whichever USB
// socket it is plugged into; otherwise by the device itself. An existing COMn is replaced only
// when `force` is set, and then in one step: the new link is made beside it and renamed over it.
// On Windows, where COMn always opens the system's own port, no link is made (Failed).
LinkResult linkComPort(const std::string& programDir, int port, const std::string& device,
                       bool force, const std::vector<SerialDevice>& devices,
                       const DeviceTree& tree = {});

// Makes COMn, where linkComPort makes it, a link to `target` as it stands, with no look at what
// it is: for a pseudo-terminal this program made itself. `force` as above.
LinkResult linkComPortTo(const std::string& programDir, int port, const std::string& target,
                         bool force);

// Removes the COMn link the window would open (serial::comPortEntry); an entry that is not a
// link is kept.
LinkResult removeComPortLink(const std::string& programDir, int port);

} // namespace serial
