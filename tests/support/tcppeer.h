#pragma once

// A TCP peer on the loopback interface that plays whatever a test scripts: it reads each
// request whole (8 bytes of RTU, or 12 of Modbus TCP) and answers with the bytes the script
// gives, then, as told, closes the connection or floods it with bytes until the other side
// hangs up. One connection at a time, on its own thread; every wait is bounded so that it
// stops when the test ends.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class TcpPeer {
public:
    struct Answer {
        QByteArray bytes;   // sent at once, in one piece
        bool close = false; // then hang up
        bool flood = false; // then send bytes without end until the other side hangs up
    };
    // The request's bytes and its number on this peer, from 0.
    using Script = std::function<Answer(const QByteArray& request, int index)>;

    std::uint16_t port = 0;

    // On 127.0.0.1, or with ipv6 on ::1.
    TcpPeer(std::size_t requestSize, Script script, bool ipv6 = false)
        : requestSize_(requestSize), script_(std::move(script)), ipv6_(ipv6) {
        listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 address6{};
        address6.sin6_family = AF_INET6;
        address6.sin6_addr = in6addr_loopback;
        sockaddr* bound =
            ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address);
        socklen_t length = ipv6 ? sizeof address6 : sizeof address;
        if (listener_ < 0 || ::bind(listener_, bound, length) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, bound, &length) != 0)
            return;
        port = ntohs(ipv6 ? address6.sin6_port : address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TcpPeer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            ::close(listener_);
    }
    QString url(const char* scheme) const {
        return QStringLiteral("%1://%2:%3")
            .arg(QLatin1String(scheme),
                 ipv6_ ? QStringLiteral("[::1]") : QStringLiteral("127.0.0.1"))
            .arg(port);
    }
    int connections() const { return connections_; }
    int requests() const { return requests_; }

private:
    bool waitFor(int fd, short events) {
        pollfd waiting{fd, events, 0};
        while (!stop_) {
            const int ready = ::poll(&waiting, 1, 50);
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return false;
        }
        return false;
    }
    bool sendAll(int fd, const QByteArray& bytes) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.constData() + done, std::size_t(bytes.size() - done),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                done += n;
            else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!waitFor(fd, POLLOUT))
                    return false;
            } else
                return false;
        }
        return true;
    }
    void converse(int fd) {
        QByteArray request;
        char chunk[256];
        while (!stop_) {
            if (!waitFor(fd, POLLIN))
                return;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            request.append(chunk, n);
            while (std::size_t(request.size()) >= requestSize_) {
                const QByteArray one = request.left(qsizetype(requestSize_));
                request.remove(0, qsizetype(requestSize_));
                const Answer answer = script_(one, requests_++);
                if (!sendAll(fd, answer.bytes) || answer.close)
                    return;
                if (answer.flood) {
                    const QByteArray noise(4096, char(0x5A));
                    while (sendAll(fd, noise)) {
                    }
                    return;
                }
            }
        }
    }
    void serve() {
        while (!stop_) {
            if (!waitFor(listener_, POLLIN))
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++connections_;
            converse(fd);
            ::close(fd);
        }
    }

    std::size_t requestSize_;
    Script script_;
    bool ipv6_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> requests_{0};
};

// A listener on 127.0.0.1 that never accepts, its backlog filled by connections of its own: a
// further connection's handshake goes unanswered, as with a host that does not answer, but
// without leaving the loopback interface.
class FullBacklog {
public:
    std::uint16_t port = 0;
    bool full = false;

    FullBacklog() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        for (int i = 0; i < 16 && !full; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            fillers_.push_back(fd);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
            pollfd waiting{fd, POLLOUT, 0};
            full = ::poll(&waiting, 1, 200) == 0; // this one is not answered
        }
    }
    ~FullBacklog() {
        for (const int fd : fillers_)
            ::close(fd);
        if (listener_ >= 0)
            ::close(listener_);
    }
    QString url(const char* scheme) const {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
    }

private:
    int listener_ = -1;
    std::vector<int> fillers_;
};
