#include "platform/serialport.h"

#include "platform/deadline.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>

#include <windows.h>

namespace platform {

namespace {

HANDLE handleOf(void* handle) {
    return static_cast<HANDLE>(handle);
}

// The system's words for an error code, on one line.
std::string systemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string result = length > 0 ? narrow(std::wstring(buffer, length)) : std::string();
    if (buffer)
        LocalFree(buffer);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == '.' || result.back() == ' '))
        result.pop_back();
    if (result.empty())
        result = text::format("system error %1", {static_cast<unsigned long>(error)});
    return result;
}

// COM1-COM9 open by name, COM10 and above only as \\.\COM10: the device namespace works for
// every port, so every COMn is opened through it.
std::string devicePath(const std::string& device) {
    if (text::startsWithNoCase(device, "COM") && device.size() > 3 &&
        text::wholeNumber(device.substr(3), 1, 255))
        return "\\\\.\\" + device;
    return device;
}

} // namespace

bool SerialPort::open(const std::string& device, int baud) {
    close();
    openError_ = OpenError::None;
    errorText_.clear();

    HANDLE handle = CreateFileW(wide(devicePath(device)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A COM port that another program holds answers "access denied": Windows has no device
        // permissions a user could lack for it.
        const OpenError kind =
            error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND     ? OpenError::NotFound
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? OpenError::Busy
                                                                               : OpenError::Other;
        return fail(kind, systemText(error));
    }
    handle_ = handle;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return fail(OpenError::Settings, systemText(GetLastError()));
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb))
        return fail(OpenError::Settings, systemText(GetLastError()));

    // Every field set, whatever the last program left (setTimeouts): a read returns at once with
    // what has arrived, else with the first byte to arrive within its time; a write gives up
    // after a second.
    if (!setReadTime(1))
        return fail(OpenError::Settings, systemText(GetLastError()));
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return true;
}

void SerialPort::close() {
    if (handle_) {
        CloseHandle(handleOf(handle_));
        handle_ = nullptr;
    }
}

bool SerialPort::isOpen() const {
    return handle_ != nullptr;
}

bool SerialPort::setBaud(int baud) {
    if (!handle_ || baud <= 0)
        return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handleOf(handle_), &dcb))
        return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    if (!SetCommState(handleOf(handle_), &dcb)) {
        errorText_ = systemText(GetLastError());
        return false;
    }
    return true;
}

bool SerialPort::discardInput() {
    if (!handle_)
        return false;
    if (!PurgeComm(handleOf(handle_), PURGE_RXCLEAR)) {
        errorText_ = systemText(GetLastError());
        return false;
    }
    return true;
}

bool SerialPort::setReadTime(unsigned long ms) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(ms);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(handleOf(handle_), &timeouts))
        return false;
    readTimeMs_ = ms;
    return true;
}

bool SerialPort::write(const std::uint8_t* bytes, std::size_t size, Clock::time_point deadline) {
    (void)deadline; // the write's own timeout (a second) bounds it
    if (!handle_) {
        errorText_ = "not open";
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), bytes, static_cast<DWORD>(size), &written, nullptr)) {
        errorText_ = systemText(GetLastError());
        return false;
    }
    if (written != size) {
        errorText_ = "the device takes no more data";
        return false;
    }
    return true;
}

SerialPort::Read SerialPort::read(std::uint8_t* into, std::size_t most, std::size_t& got,
                                  Clock::time_point deadline) {
    got = 0;
    if (!handle_) {
        errorText_ = "not open";
        return Read::Lost;
    }
    for (;;) {
        // Windows returns such a read as soon as its first byte has come (with whatever came
        // with it); some drivers, and Wine, wait out the whole time instead. So the wait is cut
        // into short slices up to the deadline, which costs nothing where the first byte ends
        // the read and keeps the latency within a slice where it does not.
        constexpr DWORD kSliceMs = 5;
        const DWORD left = std::clamp<DWORD>(static_cast<DWORD>(millisLeft(deadline)), 1, kSliceMs);
        if (left != readTimeMs_ && !setReadTime(left)) {
            errorText_ = systemText(GetLastError());
            return Read::Lost;
        }
        DWORD n = 0;
        if (!ReadFile(handleOf(handle_), into, static_cast<DWORD>(most), &n, nullptr)) {
            // ERROR_ACCESS_DENIED or ERROR_GEN_FAILURE: the adapter was pulled out.
            errorText_ = systemText(GetLastError());
            return Read::Lost;
        }
        if (n > 0) {
            got = n;
            return Read::Data;
        }
        if (Clock::now() >= deadline)
            return Read::Timeout;
    }
}

} // namespace platform
