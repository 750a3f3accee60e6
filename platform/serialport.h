#pragma once

// A serial device opened the way every serial program on the machine expects: 8 data bits, no
// parity, one stop bit, no flow control, raw bytes, and held exclusively (a lock file in the
// system's lock directory, as Qt, minicom and the modem tools use, and the tty's exclusive mode)
// so that the window and the command line never share a line by accident. Every wait has a
// deadline; nothing is buffered behind the caller's back.
//
// One interface, two implementations: termios and poll() on Linux (serialport_posix.cpp), the
// Win32 serial API on Windows (serialport_win32.cpp).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using Clock = std::chrono::steady_clock;

class SerialPort {
public:
    // Why open() failed.
    enum class OpenError {
        None,
        NotFound,   // no such device, or a link whose device has gone
        Permission, // this user may not open it
        Busy,       // another program holds it
        Settings,   // it opened, but would not take the rate or 8N1 (not a serial device)
        Other,      // anything else: errorText() says what
    };

    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort() { close(); }

    // Opens the device (a path on Linux; COMn or \\.\COMn on Windows) at `baud`, 8N1, and
    // discards what was waiting in it. On failure it stays closed; openError() and errorText()
    // say why.
    bool open(const std::string& device, int baud);
    void close();
    bool isOpen() const;
    OpenError openError() const { return openError_; }

    // A new rate; false when the device refuses it (the old one stays).
    bool setBaud(int baud);

    // Drops what has arrived and not been read. False when the device has gone.
    bool discardInput();

    // Writes every byte by the deadline. False when the device failed (errorText()).
    bool write(const std::uint8_t* bytes, std::size_t size, Clock::time_point deadline);

    enum class Read {
        Data,    // `got` bytes (at least one) are in `into`
        Timeout, // nothing came by the deadline
        Lost,    // the device failed: unplugged, hung up (errorText())
    };
    // Reads what has arrived, at most `most` bytes, waiting until the deadline for the first.
    Read read(std::uint8_t* into, std::size_t most, std::size_t& got, Clock::time_point deadline);

    // What the last failure was, in the system's words.
    const std::string& errorText() const { return errorText_; }

private:
    bool fail(OpenError error, const std::string& text);

#ifdef _WIN32
    void* handle_ = nullptr;            // HANDLE
    bool setReadTime(unsigned long ms); // how long a read waits for its first byte
    unsigned long readTimeMs_ = 0;
#else
    int fd_ = -1;
    int lockFd_ = -1;
    std::string lockPath_;
    // The driver held nothing more when last read: the next read waits for the line first
    // rather than asking it again at once (a reply arrives a byte at a time).
    bool drained_ = false;
#endif
    OpenError openError_ = OpenError::None;
    std::string errorText_;
};

} // namespace platform
