// qf7320-sim: plays a QF7320 illuminance sensor on a serial line, one request at a time.

#include "sim/line.h"
#include "sim/log.h"
#include "sim/options.h"
#include "sim/responder.h"
#include "sim/tcpserver.h"
#include "sim/wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/select.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using sim::Bytes;
using sim::logFrame;
using sim::logLine;
using sim::waitForEvents;
using sim::Wake;

// A Modbus RTU frame is at most 256 bytes; anything longer is noise.
constexpr std::size_t kMaxFrame = 256;

struct Pending {
    Bytes bytes;
    std::size_t sent = 0;
    Clock::time_point due;
    std::string note;
    bool logged = false;
    bool whole = false; // goes out in one piece even when answers are paced: the echo
};

// Commands that take sensors off the line and put new ones on it while the line is served, one
// a line: from standard input, or from a FIFO that any number of writers may open and close.
class Control {
public:
    explicit Control(const std::string& path) : path_(path) {
        if (path.empty())
            return;
        if (path == "-") {
            fd_ = STDIN_FILENO;
            return;
        }
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            if (mkfifo(path.c_str(), 0600) != 0)
                fail("mkfifo " + path);
            made_ = true;
        } else if (!S_ISFIFO(st.st_mode)) {
            throw std::runtime_error("--control " + path + " exists and is not a FIFO");
        }
        fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // Held open for writing too, so that a writer closing its end is no end of the input.
        if (fd_ >= 0)
            keepOpen_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0 || keepOpen_ < 0)
            fail("open " + path);
    }
    ~Control() {
        if (keepOpen_ >= 0)
            close(keepOpen_);
        if (fd_ > STDIN_FILENO)
            close(fd_);
        if (made_)
            unlink(path_.c_str());
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // The descriptor to wait on; -1 when there is nothing (more) to read.
    int fd() const { return fd_; }

    // Reads what has come (once: standard input is left blocking, as its owner set it) and
    // carries out every whole line on the bus.
    void serve(sim::Bus& bus) {
        char buffer[512];
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            sim::logLine("control: end of input");
            fd_ = -1;
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            carryOut(line, bus);
        }
        if (pending_.size() > sizeof buffer)
            pending_.clear(); // no command is that long
    }

private:
    [[noreturn]] static void fail(const std::string& what) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }

    static void carryOut(std::string_view line, sim::Bus& bus) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
        while (!line.empty() && line.front() == ' ')
            line.remove_prefix(1);
        if (line.empty())
            return;
        const std::size_t blank = line.find(' ');
        const std::string_view verb = line.substr(0, blank);
        std::optional<std::uint8_t> station;
        if (blank != std::string_view::npos) {
            const std::string digits(line.substr(blank + 1));
            char* end = nullptr;
            const long value = std::strtol(digits.c_str(), &end, 10);
            if (digits.empty() || *end != '\0' || value < 1 || value > 247) {
                sim::logLine("control: ignored '" + std::string(line) + "': station 1-247");
                return;
            }
            station = static_cast<std::uint8_t>(value);
        }
        if (verb == "connect") {
            bus.connect(station.value_or(1));
            sim::logLine("control: connected a sensor at station " +
                         std::to_string(station.value_or(1)) + ", " + onTheLine(bus));
        } else if (verb == "remove") {
            const std::size_t removed = bus.remove(station);
            sim::logLine("control: took " + std::to_string(removed) +
                         (removed == 1 ? " sensor" : " sensors") + " off the line" +
                         (station ? " at station " + std::to_string(*station) : std::string()) +
                         ", " + onTheLine(bus));
        } else {
            sim::logLine("control: ignored '" + std::string(line) +
                         "': connect [STATION] or remove [STATION]");
        }
    }

    static std::string onTheLine(const sim::Bus& bus) {
        return std::to_string(bus.size()) + " on the line";
    }

    std::string path_;
    int fd_ = -1;
    int keepOpen_ = -1;
    bool made_ = false;
    std::string pending_;
};

class Server {
public:
    Server(const sim::Options& options, sim::Line& line, int signals, Control& control)
        : options_(options), line_(line), signals_(signals), control_(control),
          responder_(options, std::random_device{}()), silence_(sim::frameSilence(options.baud)),
          character_(sim::characterTime(options.baud)), start_(Clock::now()) {}

    // Serves until a signal arrives (0) or the line fails (1).
    int run() {
        for (;;) {
            const auto now = Clock::now();
            if (!rx_.empty() && now >= lastRx_ + silence_)
                answer(now);
            const bool blocked = send(now);

            fd_set readable;
            fd_set writable;
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            FD_SET(signals_, &readable);
            FD_SET(line_.fd(), &readable);
            if (blocked)
                FD_SET(line_.fd(), &writable);
            const int control = control_.fd();
            if (control >= 0)
                FD_SET(control, &readable);
            const Wake wake = waitForEvents(std::max({signals_, line_.fd(), control}), readable,
                                            writable, signals_, nextEvent(blocked));
            if (wake == Wake::Again)
                continue;
            if (wake != Wake::Ready)
                return wake == Wake::Stopped ? 0 : 1;
            if (control >= 0 && FD_ISSET(control, &readable))
                control_.serve(responder_.bus());
            // A hang-up or an error also shows as readable; receive() tells them apart.
            if (FD_ISSET(line_.fd(), &readable) && !receive())
                return 1;
        }
    }

private:
    std::optional<Clock::time_point> nextEvent(bool blocked) const {
        std::optional<Clock::time_point> next;
        if (!rx_.empty())
            next = lastRx_ + silence_;
        if (!out_.empty() && !blocked && (!next || out_.front().due < *next))
            next = out_.front().due;
        return next;
    }

    // Reads what the line has; false when the line is gone.
    bool receive() {
        std::uint8_t buffer[512];
        for (;;) {
            const ssize_t n = read(line_.fd(), buffer, sizeof buffer);
            if (n > 0) {
                for (ssize_t i = 0; i < n; ++i)
                    if (rx_.size() <= kMaxFrame)
                        rx_.push_back(buffer[i]);
                lastRx_ = Clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            logLine("stopped: " + std::string(n == 0 ? "end of line" : std::strerror(errno)) +
                    " on " + line_.device());
            return false;
        }
    }

    void answer(Clock::time_point now) {
        Bytes request;
        request.swap(rx_);
        if (request.size() > kMaxFrame) {
            request.resize(kMaxFrame);
            logFrame("rx", request, "ignored: longer than " + std::to_string(kMaxFrame) + " bytes");
            return;
        }
        if (options_.strictBaud) {
            if (const int heard = line_.baud(); heard != options_.baud) {
                logFrame(
                    "rx", request,
                    "ignored: the line is set to " +
                        (heard ? std::to_string(heard) + " baud" : std::string("another rate")) +
                        ", not " + std::to_string(options_.baud));
                return;
            }
        }
        const double seconds = std::chrono::duration<double>(now - start_).count();
        sim::Response response = responder_.respond(request, seconds);
        logFrame("rx", request, response.heard);
        // A converter with local echo hands the request back as it goes out, so the echo is
        // complete by the time the request has ended.
        if (!response.echo.empty()) {
            Pending echo;
            echo.bytes = std::move(response.echo);
            echo.due = now;
            echo.note = "echo; fault echo";
            echo.whole = true;
            out_.push_back(std::move(echo));
        }
        if (!response.send)
            return;
        Pending p;
        p.bytes = std::move(response.answer);
        p.due = options_.pace ? std::max(now, lastRx_ + std::chrono::milliseconds(options_.delayMs))
                              : now;
        // A USB adapter collects what the line brings and hands it over when the line falls
        // silent: the whole answer at the moment its last character would have arrived.
        if (options_.burst && !p.bytes.empty())
            p.due += character_ * static_cast<int>(p.bytes.size() - 1);
        p.due += std::chrono::milliseconds(response.extraDelayMs);
        p.note = std::move(response.note);
        out_.push_back(std::move(p));
    }

    // Sends what is due; true when the line cannot take more now.
    bool send(Clock::time_point now) {
        while (!out_.empty() && out_.front().due <= now) {
            Pending& p = out_.front();
            if (!p.logged) {
                logFrame("tx", p.bytes, p.note);
                p.logged = true;
            }
            if (p.bytes.empty()) {
                out_.pop_front();
                continue;
            }
            const std::size_t chunk =
                options_.pace && !options_.burst && !p.whole ? 1 : p.bytes.size() - p.sent;
            const ssize_t n = write(line_.fd(), p.bytes.data() + p.sent, chunk);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return true;
                logLine(std::string("answer dropped: ") + std::strerror(errno));
                out_.pop_front();
                continue;
            }
            p.sent += static_cast<std::size_t>(n);
            if (p.sent >= p.bytes.size())
                out_.pop_front();
            else if (options_.pace && !options_.burst && !p.whole)
                p.due += character_;
        }
        return false;
    }

    const sim::Options& options_;
    sim::Line& line_;
    int signals_;
    Control& control_;
    sim::Responder responder_;
    const Clock::duration silence_;
    const Clock::duration character_;
    const Clock::time_point start_;
    Bytes rx_;
    Clock::time_point lastRx_;
    std::deque<Pending> out_;
};

template <typename T> std::string listText(const std::vector<T>& values) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            text += ',';
        text += std::to_string(values[i]);
    }
    return text;
}

// The first line printed, which tells a test or a person where to reach the sensors:
// "ready on LINK -> DEVICE at 9600 baud, station 1", "ready on DEVICE at ...", or
// "ready on tcp 127.0.0.1:40123 (mbap) at 9600 baud, station 1,2,3".
std::string describe(const sim::Options& o, const std::string& where) {
    std::string text = "ready on " + where;
    text += " at " + std::to_string(o.baud) + " baud, station " + listText(o.stations);
    if (!o.mute.empty())
        text += ", mute " + listText(o.mute);
    if (!o.lux.empty())
        text += ", " + listText(o.lux) + " lx";
    if (o.pace)
        text += ", paced with " + std::to_string(o.delayMs) + " ms delay";
    if (o.burst)
        text += ", answers in one piece";
    if (o.fault.kind != sim::FaultKind::none)
        text += ", fault " + sim::faultName(o.fault) + " every " + std::to_string(o.faultEvery);
    if (o.strictBaud)
        text += ", strict rate";
    if (o.writeSkew != 0)
        text += ", writes stored with " + std::to_string(o.writeSkew) + " added";
    if (o.absentSilent)
        text += ", no reply for an absent unit";
    if (!o.control.empty())
        text += ", control on " + (o.control == "-" ? std::string("standard input") : o.control);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "qf7320-sim";
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const sim::ParsedArguments parsed = sim::parseArguments(args);
    if (!parsed.options) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), parsed.error.c_str(),
                     sim::usage(program).c_str());
        return 2;
    }
    const sim::Options& options = *parsed.options;
    if (options.version) {
        std::puts(sim::versionText().c_str());
        return 0;
    }
    if (options.help) {
        std::fputs(sim::usage(program).c_str(), stdout);
        return 0;
    }

    // Signals arrive as readable data on a descriptor the loop polls, so none is lost between
    // a check and the wait. Blocked before the link exists, so none can leave it behind.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopping, nullptr) != 0) {
        std::perror("sigprocmask");
        return 1;
    }
    const int signals = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        std::perror("signalfd");
        return 1;
    }
    // A reader of the log that goes away must not take the sensor down with it.
    std::signal(SIGPIPE, SIG_IGN);

    int status = 1;
    try {
        if (options.listenHost) {
            sim::TcpServer server(options, signals);
            std::printf("%s\n", describe(options, "tcp " + server.address() + " (" +
                                                      sim::framingName(options.framing) + ")")
                                    .c_str());
            std::fflush(stdout);
            status = server.run();
        } else {
            sim::Line line = options.link.empty()
                                 ? sim::Line::serialPort(options.port, options.baud)
                                 : sim::Line::pseudoTerminal(options.link, options.baud);
            // Ready for commands by the time the first line says so.
            Control control(options.control);
            const std::string where =
                options.link.empty() ? line.device() : options.link + " -> " + line.device();
            std::printf("%s\n", describe(options, where).c_str());
            std::fflush(stdout);
            Server server(options, line, signals, control);
            status = server.run();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        status = 1;
    }
    close(signals);
    return status;
}
