#include "sim/line.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

constexpr std::pair<int, speed_t> kSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},    {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};

speed_t speedFor(int baud) {
    for (const auto& [rate, speed] : kSpeeds)
        if (rate == baud)
            return speed;
    errno = EINVAL;
    fail("baud " + std::to_string(baud));
}

// 8N1, no echo, no line editing, no translation: bytes pass as they are. Echo in particular
// would hand the sensor its own answers back as requests.
void makeRaw(int fd, int baud, const std::string& name) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        fail("tcgetattr " + name);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t speed = speedFor(baud);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fail("tcsetattr " + name);
}

void setFlags(int fd, const std::string& name) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        fail("fcntl " + name);
}

std::string readLink(const std::string& path) {
    std::array<char, 4096> target{};
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    return n < 0 ? std::string() : std::string(target.data(), static_cast<std::size_t>(n));
}

// Points the link at target, replacing an older link in one step so that a client never finds
// the name missing. Anything at the path that is not a symbolic link is left alone.
void placeLink(const std::string& path, const std::string& target) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        fail(path + " exists and is not a symbolic link");
    }
    const std::string temporary = path + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0)
        fail("symlink " + path);
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlink(temporary.c_str());
        errno = saved;
        fail("rename " + temporary + " to " + path);
    }
}

} // namespace

Line Line::pseudoTerminal(const std::string& linkPath, int baud) {
    Line line;
    line.fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.fd_ < 0)
        fail("posix_openpt");
    setFlags(line.fd_, "pseudo-terminal");
    if (grantpt(line.fd_) != 0 || unlockpt(line.fd_) != 0)
        fail("unlockpt");
    std::array<char, 256> name{};
    if (ptsname_r(line.fd_, name.data(), name.size()) != 0)
        fail("ptsname");
    line.device_ = name.data();
    line.slaveHold_ = open(line.device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.slaveHold_ < 0)
        fail("open " + line.device_);
    makeRaw(line.slaveHold_, baud, line.device_);
    makeRaw(line.fd_, baud, "pseudo-terminal master");
    placeLink(linkPath, line.device_);
    line.link_ = linkPath;
    return line;
}

Line Line::serialPort(const std::string& device, int baud) {
    Line line;
    line.fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd_ < 0)
        fail("open " + device);
    if (!isatty(line.fd_))
        fail(device + " is not a terminal");
    makeRaw(line.fd_, baud, device);
    tcflush(line.fd_, TCIOFLUSH);
    line.device_ = device;
    return line;
}

int Line::baud() const {
    termios t{};
    if (tcgetattr(fd_, &t) != 0)
        return 0;
    for (const auto& [rate, speed] : kSpeeds)
        if (speed == cfgetispeed(&t))
            return rate;
    return 0;
}

Line::Line(Line&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), slaveHold_(std::exchange(other.slaveHold_, -1)),
      device_(std::move(other.device_)), link_(std::exchange(other.link_, {})) {}

Line::~Line() {
    // Only our own link goes; another sensor may have taken the name over since.
    if (!link_.empty() && readLink(link_) == device_)
        unlink(link_.c_str());
    if (slaveHold_ >= 0)
        close(slaveHold_);
    if (fd_ >= 0)
        close(fd_);
}

} // namespace sim
