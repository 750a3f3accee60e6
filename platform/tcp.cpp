#include "platform/tcp.h"

#include "platform/deadline.h"
#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

// The few calls that differ between POSIX sockets and Winsock, each once.
#ifdef _WIN32

using Socket = SOCKET;
constexpr int kInterrupted = WSAEINTR;
constexpr int kTimedOut = WSAETIMEDOUT;
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kReset = WSAECONNRESET;
constexpr int kBrokenPipe = WSAESHUTDOWN;

int lastError() {
    return WSAGetLastError();
}

bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

bool connectPending(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

std::string socketErrorText(int error) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string result = length > 0 ? std::string(buffer, length) : std::string();
    if (buffer)
        LocalFree(buffer);
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result.empty() ? text::format("network error %1", {error}) : result;
}

// Winsock is started once, for the life of the program.
void startNetwork() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

Socket openSocket(const addrinfo* address) {
    const Socket socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket == INVALID_SOCKET)
        return socket;
    u_long nonBlocking = 1;
    ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    return socket;
}

void closeSocket(std::intptr_t socket) {
    ::closesocket(static_cast<Socket>(socket));
}

// Whether the socket is ready to write (or read) within the time; -1 on a failure. select()
// rather than WSAPoll, which does not report a connection that failed.
int waitFor(std::intptr_t socket, bool writing, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<Socket>(socket), &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(static_cast<Socket>(socket), &failed);
    timeval time{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, writing ? nullptr : &set, writing ? &set : nullptr, &failed, &time);
}

long long sendSome(std::intptr_t socket, const std::uint8_t* bytes, std::size_t size) {
    return ::send(static_cast<Socket>(socket), reinterpret_cast<const char*>(bytes),
                  static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
}

long long receiveSome(std::intptr_t socket, std::uint8_t* into, std::size_t most) {
    return ::recv(static_cast<Socket>(socket), reinterpret_cast<char*>(into),
                  static_cast<int>(std::min<std::size_t>(most, 1 << 20)), 0);
}

#else

using Socket = int;
constexpr Socket INVALID_SOCKET = -1;
constexpr int kInterrupted = EINTR;
constexpr int kTimedOut = ETIMEDOUT;
constexpr int kRefused = ECONNREFUSED;
constexpr int kReset = ECONNRESET;
constexpr int kBrokenPipe = EPIPE;

int lastError() {
    return errno;
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool connectPending(int error) {
    return error == EINPROGRESS;
}

std::string socketErrorText(int error) {
    return std::strerror(error);
}

void startNetwork() {}

Socket openSocket(const addrinfo* address) {
    return ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    address->ai_protocol);
}

void closeSocket(std::intptr_t socket) {
    ::close(static_cast<Socket>(socket));
}

// Whether the socket is ready to write (or read) within the time; -1 on a failure.
int waitFor(std::intptr_t socket, bool writing, int timeoutMs) {
    pollfd waiting{static_cast<Socket>(socket), static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    return ::poll(&waiting, 1, timeoutMs);
}

long long sendSome(std::intptr_t socket, const std::uint8_t* bytes, std::size_t size) {
    return ::send(static_cast<Socket>(socket), bytes, size, MSG_NOSIGNAL);
}

long long receiveSome(std::intptr_t socket, std::uint8_t* into, std::size_t most) {
    return ::recv(static_cast<Socket>(socket), into, most, 0);
}

#endif

struct AddressList {
    addrinfo* head = nullptr;
    int error = 0; // getaddrinfo's, 0 when it gave addresses
    ~AddressList() {
        if (head)
            freeaddrinfo(head);
    }
};

// A name lookup still running when its time is up carries on in a thread of its own and cleans
// up after itself: getaddrinfo cannot be interrupted.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    AddressList addresses;
};

// The addresses of the host within the time, or why there are none (an EAI_ code, or
// EAI_AGAIN when the time ran out).
std::shared_ptr<Lookup> resolve(const std::string& host, std::uint16_t port, int timeoutMs) {
    auto lookup = std::make_shared<Lookup>();
    // Names under .invalid never exist, and are answered so without asking a name server.
    if (text::endsWithNoCase(host, ".invalid") || text::equalNoCase(host, "invalid")) {
        lookup->addresses.error = EAI_NONAME;
        lookup->finished = true;
        return lookup;
    }
    const std::string name = host;
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;

    // An address written out needs no lookup at all.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (getaddrinfo(name.c_str(), service.c_str(), &hints, &lookup->addresses.head) == 0) {
        lookup->finished = true;
        return lookup;
    }
    lookup->addresses.head = nullptr;

    // One lookup of a name at a time: a connection tried again while a hung name server still
    // holds the last lookup waits for that one instead of starting another thread, so that
    // months of reconnecting never pile up threads.
    static std::mutex inFlightLock;
    static std::weak_ptr<Lookup> inFlight;
    static std::string inFlightKey;
    const std::string key = name + '\n' + service;
    {
        const std::lock_guard guard(inFlightLock);
        if (const auto running = inFlight.lock(); running && inFlightKey == key) {
            std::unique_lock wait(running->lock);
            if (!running->finished) {
                if (!running->done.wait_for(wait, std::chrono::milliseconds(timeoutMs),
                                            [&] { return running->finished; }))
                    return nullptr;
                return running;
            }
        }
        inFlight = lookup;
        inFlightKey = key;
    }

    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    std::thread([lookup, name, service, hints] {
        addrinfo* head = nullptr;
        const int error = getaddrinfo(name.c_str(), service.c_str(), &hints, &head);
        const std::lock_guard guard(lookup->lock);
        lookup->addresses.head = head;
        lookup->addresses.error = error;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock guard(lookup->lock);
    if (!lookup->done.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                               [&] { return lookup->finished; }))
        return nullptr;
    return lookup;
}

} // namespace

bool TcpConnection::connect(const std::string& host, std::uint16_t port, int timeoutMs) {
    close();
    startNetwork();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    const std::shared_ptr<Lookup> lookup = resolve(host, port, timeoutMs);
    if (!lookup) {
        failure_ = ConnectFailure::Timeout;
        errorText_ = text::format("the name %1 was not resolved within %2 ms", {host, timeoutMs});
        return false;
    }
    if (lookup->addresses.error != 0 || !lookup->addresses.head) {
        failure_ = ConnectFailure::Resolve;
        errorText_ = text::format("the host name %1 cannot be resolved (%2)",
                                  {host, gai_strerror(lookup->addresses.error)});
        return false;
    }

    // Each address in turn with the time that is left: a name with an IPv6 and an IPv4 address
    // may listen on only one of them. The first failure other than a refusal is the one told.
    failure_ = ConnectFailure::Refused;
    int firstError = 0;
    for (const addrinfo* address = lookup->addresses.head; address; address = address->ai_next) {
        const Socket fd = openSocket(address);
        if (fd == INVALID_SOCKET) {
            firstError = firstError ? firstError : lastError();
            continue;
        }
        int error = 0;
        if (::connect(fd, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
            error = lastError();
            if (connectPending(error)) {
                const int ready = waitFor(fd, true, millisLeft(deadline));
                if (ready == 0) {
                    error = kTimedOut;
                } else {
                    socklen_t length = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                                     &length) != 0)
                        error = lastError();
                }
            }
        }
        if (error == 0) {
            const int one = 1;
            // A request is one small write, sent at once rather than held back for more.
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                         sizeof one);
            fd_ = static_cast<std::intptr_t>(fd);
            failure_ = ConnectFailure::None;
            errorText_.clear();
            return true;
        }
        closeSocket(static_cast<std::intptr_t>(fd));
        if (error == kTimedOut) {
            failure_ = ConnectFailure::Timeout;
            errorText_ = text::format("no answer to the connection within %1 ms", {timeoutMs});
            return false;
        }
        if (error != kRefused && !firstError)
            firstError = error;
        if (Clock::now() >= deadline)
            break;
    }
    if (firstError) {
        failure_ = ConnectFailure::Other;
        errorText_ = socketErrorText(firstError);
    } else {
        errorText_ = text::format("connection refused (nothing listens on port %1)", {port});
    }
    return false;
}

void TcpConnection::close() {
    if (fd_ >= 0)
        closeSocket(fd_);
    fd_ = -1;
}

bool TcpConnection::lost(const std::string& text) {
    errorText_ = text;
    close();
    return false;
}

bool TcpConnection::write(const std::uint8_t* bytes, std::size_t size, Clock::time_point deadline) {
    if (fd_ < 0)
        return lost(errorText_.empty() ? std::string("not connected") : errorText_);
    std::size_t done = 0;
    while (done < size) {
        const long long n = sendSome(fd_, bytes + done, size - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        const int error = n < 0 ? lastError() : 0;
        if (n < 0 && error == kInterrupted)
            continue;
        if (n < 0 && wouldBlock(error)) {
            if (waitFor(fd_, true, millisLeft(deadline)) <= 0)
                return lost(std::string("the connection takes no more data"));
            continue;
        }
        return lost(n < 0 && error == kBrokenPipe
                        ? std::string("the connection was closed by the far end")
                        : "the connection failed: " + socketErrorText(error));
    }
    return true;
}

TcpConnection::Read TcpConnection::read(std::uint8_t* into, std::size_t most, std::size_t& got,
                                        Clock::time_point deadline) {
    got = 0;
    if (fd_ < 0) {
        lost(errorText_.empty() ? std::string("not connected") : errorText_);
        return Read::Closed;
    }
    for (;;) {
        const long long n = receiveSome(fd_, into, most);
        if (n > 0) {
            got = std::size_t(n);
            return Read::Data;
        }
        if (n == 0) {
            lost(std::string("the connection was closed by the far end"));
            return Read::Closed;
        }
        const int error = lastError();
        if (error == kInterrupted)
            continue;
        if (!wouldBlock(error)) {
            lost(error == kReset ? std::string("the connection was reset by the far end")
                                 : "the connection failed: " + socketErrorText(error));
            return Read::Closed;
        }
        const int ready = waitFor(fd_, false, millisLeft(deadline));
        if (ready == 0)
            return Read::Timeout;
        if (ready < 0 && lastError() != kInterrupted) {
            lost("the connection failed: " + socketErrorText(lastError()));
            return Read::Closed;
        }
    }
}

bool TcpConnection::discard(std::size_t most) {
    std::uint8_t chunk[512];
    std::size_t dropped = 0;
    while (fd_ >= 0 && dropped < most) {
        std::size_t got = 0;
        // A deadline already passed: only what has arrived is read.
        if (read(chunk, std::min(sizeof chunk, most - dropped), got, Clock::now()) != Read::Data)
            break;
        dropped += got;
    }
    return fd_ >= 0;
}

} // namespace platform
