#include "platform/serialport.h"

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

// Milliseconds left until the deadline, for a wait: 0 once it has passed.
DWORD millisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<DWORD>(std::clamp<long long>(left.count(), 0, 24LL * 3600 * 1000));
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

bool SerialPort::fail(OpenError error, const std::string& text) {
    close();
    openError_ = error;
    errorText_ = text;
    return false;
}

bool SerialPort::open(const std::string& device, int baud) {
    close();
    openError_ = OpenError::None;
    errorText_.clear();

    HANDLE handle = CreateFileW(wide(devicePath(device)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
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
    readEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!readEvent_ || !writeEvent_)
        return fail(OpenError::Other, systemText(GetLastError()));

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

    // Every field set, whatever the last program left: a read returns at once with what has
    // arrived; waiting for a byte is WaitCommEvent's, bounded by each read's deadline.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts) || !SetCommMask(handle, EV_RXCHAR))
        return fail(OpenError::Settings, systemText(GetLastError()));
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return true;
}

void SerialPort::close() {
    if (handle_) {
        CancelIoEx(handleOf(handle_), nullptr);
        CloseHandle(handleOf(handle_));
        handle_ = nullptr;
    }
    for (void** event : {&readEvent_, &writeEvent_})
        if (*event) {
            CloseHandle(handleOf(*event));
            *event = nullptr;
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

bool SerialPort::write(const std::uint8_t* bytes, std::size_t size, Clock::time_point deadline) {
    if (!handle_) {
        errorText_ = "not open";
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = handleOf(writeEvent_);
    ResetEvent(overlapped.hEvent);
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), bytes, static_cast<DWORD>(size), &written, &overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            errorText_ = systemText(error);
            return false;
        }
        if (WaitForSingleObject(overlapped.hEvent, millisLeft(deadline)) != WAIT_OBJECT_0)
            CancelIoEx(handleOf(handle_), &overlapped);
        // Finished either way before `overlapped` goes away.
        if (!GetOverlappedResult(handleOf(handle_), &overlapped, &written, TRUE)) {
            const DWORD failure = GetLastError();
            errorText_ = failure == ERROR_OPERATION_ABORTED ? std::string("the device takes no "
                                                                          "more data")
                                                            : systemText(failure);
            return false;
        }
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
    const HANDLE handle = handleOf(handle_);
    for (;;) {
        // What has arrived is read at once (the timeouts make every read return immediately).
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle, &errors, &status)) {
            // ERROR_ACCESS_DENIED or ERROR_GEN_FAILURE: the adapter was pulled out.
            errorText_ = systemText(GetLastError());
            return Read::Lost;
        }
        if (status.cbInQue > 0) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = handleOf(readEvent_);
            ResetEvent(overlapped.hEvent);
            const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(most, status.cbInQue));
            DWORD n = 0;
            if (!ReadFile(handle, into, wanted, &n, &overlapped)) {
                const DWORD error = GetLastError();
                if (error != ERROR_IO_PENDING ||
                    !GetOverlappedResult(handle, &overlapped, &n, TRUE)) {
                    errorText_ = systemText(error == ERROR_IO_PENDING ? GetLastError() : error);
                    return Read::Lost;
                }
            }
            if (n > 0) {
                got = n;
                return Read::Data;
            }
        }
        if (Clock::now() >= deadline)
            return Read::Timeout;

        // Nothing yet: wait for the next byte, or the deadline. A byte that came between the
        // look above and the start of the wait is caught by looking again once it has started.
        OVERLAPPED overlapped{};
        overlapped.hEvent = handleOf(readEvent_);
        ResetEvent(overlapped.hEvent);
        DWORD events = 0;
        if (!WaitCommEvent(handle, &events, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                errorText_ = systemText(error);
                return Read::Lost;
            }
            DWORD ignored = 0;
            COMSTAT again{};
            const bool arrived = ClearCommError(handle, &ignored, &again) && again.cbInQue > 0;
            if (arrived ||
                WaitForSingleObject(overlapped.hEvent, millisLeft(deadline)) != WAIT_OBJECT_0)
                CancelIoEx(handle, &overlapped);
            // Finished either way before `overlapped` goes away.
            DWORD done = 0;
            if (!GetOverlappedResult(handle, &overlapped, &done, TRUE) &&
                GetLastError() != ERROR_OPERATION_ABORTED) {
                errorText_ = systemText(GetLastError());
                return Read::Lost;
            }
        }
    }
}

} // namespace platform
