#include "platform/serialport.h"

#include "platform/deadline.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

// termios2 sets any rate (14400 has no B constant); <termios.h> cannot be included beside it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

// The lock file of a device, named and placed as the serial programs of the system (Qt's
// QSerialPort among them, which the window uses) look for it: "LCK.." and the device's name
// below /dev with '/' as '_', in the first of the usual lock directories this user may use.
std::string lockFilePath(const std::string& device) {
    std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
    std::replace(name.begin(), name.end(), '/', '_');
    name = "/LCK.." + name;
    static const std::array kDirectories{"/var/lock",         "/etc/locks", "/var/spool/locks",
                                         "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                         "/var/lock/lockdev", "/run/lock"};
    for (const char* directory : kDirectories) {
        const std::string path = directory + name;
        if (::access(directory, R_OK) != 0)
            continue;
        if (::access(path.c_str(), F_OK) == 0 || ::access(directory, W_OK) == 0)
            return path;
    }
    return {};
}

// The name this process goes by, as a lock file records it for others to check.
std::string programName() {
    std::array<char, 4096> self{};
    const ssize_t size = ::readlink("/proc/self/exe", self.data(), self.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= self.size())
        return "qf7320";
    const std::string_view path(self.data(), static_cast<std::size_t>(size));
    return std::string(path.substr(path.rfind('/') + 1));
}

std::string hostName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0)
        return {};
    return name.data();
}

// Whether the lock file names a process that still runs here.
bool lockIsHeld(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return false;
    long long pid = 0;
    const int fields = std::fscanf(file, "%lld", &pid);
    std::fclose(file);
    if (fields != 1 || pid <= 0 || pid > INT_MAX)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// A rate with a constant of its own is set by it, as every other program (and whatever reads the
// line's settings back) expects; any other rate as a number.
unsigned int rateConstant(int baud) {
    constexpr std::pair<int, unsigned int> kConstants[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& [rate, constant] : kConstants)
        if (rate == baud)
            return constant;
    return BOTHER;
}

// The line's settings through termios2; where TCGETS2 and TCSETS2 are not passed on (qemu-user,
// which runs the arm64 build here, answers ENOSYS) through the plain termios, whose fields are
// termios2's first ones, for a rate that has a constant of its own.
bool getSettings(int fd, termios2& settings) {
    if (::ioctl(fd, TCGETS2, &settings) == 0)
        return true;
    termios plain{};
    if (errno != ENOSYS || ::ioctl(fd, TCGETS, &plain) != 0)
        return false;
    std::memcpy(&settings, &plain, sizeof plain);
    return true;
}
bool setSettings(int fd, const termios2& settings) {
    if (::ioctl(fd, TCSETS2, &settings) == 0)
        return true;
    if (errno != ENOSYS || (settings.c_cflag & CBAUD) == BOTHER)
        return false;
    termios plain{};
    std::memcpy(&plain, &settings, sizeof plain);
    return ::ioctl(fd, TCSETS, &plain) == 0;
}

bool setRate(int fd, int baud) {
    termios2 settings{};
    if (!getSettings(fd, settings))
        return false;
    const unsigned int constant = rateConstant(baud);
    settings.c_cflag &= ~CBAUD;
    settings.c_cflag |= constant;
    settings.c_cflag &= ~(CBAUD << IBSHIFT);
    settings.c_cflag |= constant << IBSHIFT;
    settings.c_ispeed = static_cast<speed_t>(baud);
    settings.c_ospeed = static_cast<speed_t>(baud);
    return setSettings(fd, settings);
}

// Raw bytes, 8N1, no flow control, reads that never block in the driver.
bool configure(int fd, int baud) {
    termios2 settings{};
    if (!getSettings(fd, settings))
        return false;
    settings.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (!setSettings(fd, settings))
        return false;
    return setRate(fd, baud);
}

} // namespace

bool SerialPort::open(const std::string& device, int baud) {
    close();
    openError_ = OpenError::None;
    errorText_.clear();

    // Another program's lock on the device, then ours, before the device is touched.
    lockPath_ = lockFilePath(device);
    if (!lockPath_.empty()) {
        for (int attempt = 0; attempt < 2 && lockFd_ < 0; ++attempt) {
            lockFd_ = ::open(lockPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (lockFd_ >= 0)
                break;
            if (errno != EEXIST)
                break; // a lock directory that takes no file: the tty's own exclusion remains
            if (lockIsHeld(lockPath_)) {
                const std::string path = lockPath_;
                lockPath_.clear();
                return fail(OpenError::Busy,
                            "the device is locked by another program (" + path + ")");
            }
            ::unlink(lockPath_.c_str()); // left by a program that has ended
        }
        if (lockFd_ >= 0) {
            const std::string record =
                std::to_string(::getpid()) + "\n" + programName() + "\n" + hostName() + "\n";
            if (::write(lockFd_, record.data(), record.size()) < 0) {
                // A lock that says nothing still keeps others out while it is there.
            }
            ::flock(lockFd_, LOCK_EX | LOCK_NB);
        } else {
            lockPath_.clear();
        }
    }

    drained_ = false;
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        const OpenError kind = error == ENOENT || error == ENODEV || error == ENXIO
                                   ? OpenError::NotFound
                               : error == EACCES || error == EPERM ? OpenError::Permission
                               : error == EBUSY                    ? OpenError::Busy
                                                                   : OpenError::Other;
        return fail(kind, errnoText(error));
    }
    if (!configure(fd_, baud)) {
        const int error = errno;
        return fail(OpenError::Settings, errnoText(error));
    }
    // No other program may open the tty while it is ours (root is not kept out: the lock file
    // is what tells it).
    ::ioctl(fd_, TIOCEXCL);
    ::ioctl(fd_, TCFLSH, TCIOFLUSH);
    return true;
}

void SerialPort::close() {
    if (fd_ >= 0) {
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }
    if (lockFd_ >= 0) {
        ::unlink(lockPath_.c_str());
        ::close(lockFd_);
        lockFd_ = -1;
    }
    lockPath_.clear();
}

bool SerialPort::isOpen() const {
    return fd_ >= 0;
}

bool SerialPort::setBaud(int baud) {
    if (fd_ < 0 || baud <= 0)
        return false;
    if (!setRate(fd_, baud)) {
        errorText_ = errnoText(errno);
        return false;
    }
    return true;
}

bool SerialPort::discardInput() {
    if (fd_ < 0)
        return false;
    ::ioctl(fd_, TCFLSH, TCIFLUSH);
    // What the driver held before the flush took effect is read and dropped as well.
    std::array<std::uint8_t, 256> sink{};
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = ::read(fd_, sink.data(), sink.size());
        if (n > 0)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            drained_ = true;
            return true;
        }
        if (n < 0) {
            errorText_ = errnoText(errno);
            return false;
        }
        drained_ = true;
        return true; // nothing more
    }
    return true;
}

bool SerialPort::write(const std::uint8_t* bytes, std::size_t size, Clock::time_point deadline) {
    if (fd_ < 0) {
        errorText_ = "not open";
        return false;
    }
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd_, bytes + written, size - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            errorText_ = errnoText(errno);
            return false;
        }
        pollfd waiting{fd_, POLLOUT, 0};
        const int ready = ::poll(&waiting, 1, millisLeft(deadline));
        if (ready == 0) {
            errorText_ = "the device takes no more data";
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            errorText_ = errnoText(errno);
            return false;
        }
        if (ready > 0 && (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
            (waiting.revents & POLLOUT) == 0) {
            errorText_ = errnoText(EIO);
            return false;
        }
    }
    return true;
}

SerialPort::Read SerialPort::read(std::uint8_t* into, std::size_t most, std::size_t& got,
                                  Clock::time_point deadline) {
    got = 0;
    if (fd_ < 0) {
        errorText_ = "not open";
        return Read::Lost;
    }
    for (;;) {
        // Once the driver was found empty, the line is waited on first while there is time to
        // wait; past the deadline it is read once more, for what came just before it.
        const bool readFirst = !drained_ || Clock::now() >= deadline;
        drained_ = false;
        if (readFirst) {
            const ssize_t n = ::read(fd_, into, most);
            if (n > 0) {
                got = static_cast<std::size_t>(n);
                drained_ = got < most;
                return Read::Data;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                // EIO: the adapter was unplugged or the line hung up.
                errorText_ = errnoText(errno);
                return Read::Lost;
            }
            if (Clock::now() >= deadline)
                return Read::Timeout;
        }
        pollfd waiting{fd_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, millisLeft(deadline));
        if (ready < 0 && errno != EINTR) {
            errorText_ = errnoText(errno);
            return Read::Lost;
        }
        // A hung-up line (the adapter unplugged, the far end of a pseudo-terminal closed) reads
        // as empty forever while poll() reports it at once: what is still there is taken, and
        // then it is lost.
        if (ready > 0 && (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            const ssize_t last = ::read(fd_, into, most);
            if (last > 0) {
                got = static_cast<std::size_t>(last);
                return Read::Data;
            }
            errorText_ = (waiting.revents & POLLNVAL) != 0 ? errnoText(EBADF) : errnoText(EIO);
            return Read::Lost;
        }
    }
}

} // namespace platform
