#include "platform/serialport.h"

namespace platform {

// What both platforms do with an open that failed: nothing left open, and the reason kept.
bool SerialPort::fail(OpenError error, const std::string& text) {
    close();
    openError_ = error;
    errorText_ = text;
    return false;
}

} // namespace platform
