// bridge: the window's COMn relayed to a sensor elsewhere. The window opens only COM1-COM16;
// bridge gives it a pseudo-terminal behind COMn and passes each request it writes there to the
// endpoint as one transaction, and the answer back, until Ctrl-C or SIGTERM.

#include "cli/verbs.h"

#include "logger/stopsignal.h"
#include "modbus/crc16.h"
#include "modbus/hextext.h"
#include "platform/text.h"
#include "serial/comlink.h"
#include "serial/comport.h"
#include "serial/filepath.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace cli {

#ifdef _WIN32

int bridgeCommand(Context& context) {
    // A Windows program cannot make a COM port of its own: that takes a virtual null-modem
    // driver, which the bridge does not install.
    return context.usage("bridge is not part of the Windows build: it needs a virtual null-modem "
                         "pair (com0com or the like) to give the window a COM port; run the "
                         "bridge on Linux, or point the window at the sensor's port itself");
}

#else

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRequestLength = std::tuple_size_v<protocol::Frame>;
// Bytes of a request that stop coming for this long are noise, not the start of a request.
constexpr auto kPartialRequestLimit = std::chrono::milliseconds(100);
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLongestRetry = std::chrono::milliseconds(10000);
// How long one wait lasts at most, so that a reconnection falls due on time.
constexpr int kLongestWaitMs = 200;

// The window's side: a pseudo-terminal in raw mode. The bridge keeps the other side open too,
// so that it sees no hang-up while the window has the port closed.
class WindowSide {
public:
    WindowSide() = default;
    WindowSide(const WindowSide&) = delete;
    WindowSide& operator=(const WindowSide&) = delete;
    ~WindowSide() {
        for (const int fd : {master_, slaveHold_})
            if (fd >= 0)
                ::close(fd);
    }

    // The reason when it cannot be made.
    std::string open() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return std::strerror(errno);
        const char* name = ::ptsname(master_);
        if (!name)
            return std::strerror(errno);
        slave_ = name;
        slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (slaveHold_ < 0 || ::tcgetattr(slaveHold_, &t) != 0)
            return std::strerror(errno);
        // No echo and no translation: the window's frames pass as they are.
        ::cfmakeraw(&t);
        if (::tcsetattr(slaveHold_, TCSANOW, &t) != 0)
            return std::strerror(errno);
        return {};
    }

    int fd() const { return master_; }
    const std::string& device() const { return slave_; }

    // Everything the window has written since the last call.
    void readInto(std::vector<std::uint8_t>& bytes) {
        std::uint8_t buffer[512];
        for (;;) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                bytes.insert(bytes.end(), buffer, buffer + n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
    }

    // The answer, as a serial line hands it to the window. A window that does not read it
    // leaves it in the terminal's buffer, which the next request of the window discards.
    void write(const std::vector<std::uint8_t>& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return;
        }
    }

private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string slave_;
};

protocol::ReplyKind replyKindOf(const protocol::Frame& request) {
    switch (request[1]) {
    case protocol::kFunctionWriteRegister:
        return protocol::ReplyKind::WriteEcho;
    case protocol::kFunctionReadAddress:
        return protocol::ReplyKind::Address;
    default:
        return protocol::ReplyKind::Registers;
    }
}

double secondsSince(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

} // namespace

int bridgeCommand(Context& context) {
    const std::vector<std::string> words = context.arguments();
    if (words.size() != 2)
        return context.usage("bridge takes COMn and an endpoint, such as 'bridge COM5 "
                             "tcp://192.0.2.10:502'; see qf7320 help bridge");
    const std::optional<int> port = serial::parseComPortName(words.at(0));
    if (!port)
        return context.usage(text::format("'%1' is not a port: COM1 to COM255", {words.at(0)}));
    const std::optional<Line> endpoint = context.lineFor(words.at(1));
    if (!endpoint)
        return kExitUsage;
    const std::string dir =
        context.isSet("dir") ? context.value("dir") : context.common().programDir;
    std::error_code notADirectory;
    if (!std::filesystem::is_directory(serial::filepath::toNative(dir), notADirectory))
        return context.usage(text::format("--dir %1 is not a directory", {dir}));

    // The window's side first: an endpoint that is down now is waited for, a COMn that cannot
    // be made is not.
    WindowSide window;
    if (const std::string error = window.open(); !error.empty()) {
        context.out().message("qf7320: cannot make a pseudo-terminal: " + error);
        return kExitPort;
    }
    const serial::LinkResult link =
        serial::linkComPortTo(dir, *port, window.device(), context.isSet("force"));
    const std::string& entry = link.entry;
    if (link.outcome != serial::LinkResult::Outcome::Done) {
        context.out().message("qf7320: " + link.message);
        return kExitUsage;
    }
    const logger::StopSignal stop;
    Output& out = context.out();
    const std::string name = "COM" + std::to_string(*port);
    const std::string& where = endpoint->port;
    out.message(text::format("qf7320 bridge: %1 (%2) relays to %3; Ctrl-C ends it",
                             {serial::filepath::nativeSeparators(entry), window.device(), where}));

    Engine& engine = context.engine();
    engine.setRetries(0); // the window decides whether to ask again
    bool connected = false;
    bool everConnected = false;
    bool saidDown = false;
    Clock::time_point lostAt = Clock::now();
    Clock::time_point nextAttempt = Clock::now();
    auto retryAfter = kFirstRetry;
    const auto connect = [&] {
        if (engine.open(*endpoint)) {
            connected = true;
            retryAfter = kFirstRetry;
            if (!everConnected)
                out.message("qf7320 bridge: connected to " + where);
            else
                out.message(text::format("qf7320 bridge: %1 is back after %2 s",
                                         {where, text::number(secondsSince(lostAt), 'f', 1)}));
            everConnected = true;
            saidDown = false;
            return;
        }
        if (!saidDown)
            out.message("qf7320 bridge: " + engine.openErrorText() + "; trying again");
        saidDown = true;
        nextAttempt = Clock::now() + retryAfter;
        retryAfter = std::min(retryAfter * 2, kLongestRetry);
    };

    std::vector<std::uint8_t> pending;
    Clock::time_point lastByte = Clock::now();
    while (!stop.requested()) {
        if (!connected && Clock::now() >= nextAttempt)
            connect();

        int waitMs = kLongestWaitMs;
        if (!connected)
            waitMs = static_cast<int>(std::clamp<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(nextAttempt - Clock::now()).count(), 0,
                kLongestWaitMs));
        pollfd fds[2] = {{window.fd(), POLLIN, 0}, {stop.wakeDescriptor(), POLLIN, 0}};
        if (::poll(fds, 2, waitMs) < 0 && errno != EINTR)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;

        if (Clock::now() - lastByte > kPartialRequestLimit)
            pending.clear(); // the rest of that request never came
        window.readInto(pending);
        lastByte = Clock::now();

        // Every whole request in turn; a request the CRC does not seal is noise on the
        // window's side and goes nowhere, as a sensor would ignore it.
        while (pending.size() >= kRequestLength) {
            protocol::Frame request{};
            std::copy_n(pending.begin(), kRequestLength, request.begin());
            pending.erase(pending.begin(), pending.begin() + kRequestLength);
            const std::uint16_t crc = modbus::crc16(request.data(), kRequestLength - 2);
            if (request[6] != modbus::crcLowByte(crc) || request[7] != modbus::crcHighByte(crc)) {
                if (context.common().trace)
                    out.message(text::format("qf7320 bridge: dropped %1: its CRC does not match",
                                             {modbus::frameText(request.data(), request.size())}));
                pending.clear();
                break;
            }
            if (!connected)
                continue; // the window sees a sensor that does not answer
            const Result result = engine.transact(request, replyKindOf(request));
            if (result.status == Status::PortLost) {
                out.message(text::format("qf7320 bridge: lost %1 (%2); reconnecting",
                                         {where, result.portError}));
                engine.close();
                connected = false;
                lostAt = Clock::now();
                nextAttempt = lostAt;
                continue;
            }
            window.write(result.reply);
        }
    }

    // The link goes only when it is still the one made here.
    if (serial::filepath::linkTarget(entry) == window.device())
        serial::removeComPortLink(dir, *port);
    out.message(text::format("qf7320 bridge: %1 removed", {name}));
    return kExitOk;
}

#endif

} // namespace cli
