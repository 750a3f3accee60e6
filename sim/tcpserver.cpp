#include "sim/tcpserver.h"

#include "sim/framing.h"
#include "sim/log.h"
#include "sim/wait.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <stdexcept>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

// Bounds that keep one client from taking memory or turns from the others.
constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kMaxQueued = 4;         // requests waiting; past it the client is not read
constexpr std::size_t kMaxUnsent = 64 * 1024; // answers a client does not read
// A Modbus RTU frame is at most 256 bytes; anything longer is noise.
constexpr std::size_t kMaxFrame = 256;

// "127.0.0.1:502" or "[::1]:502".
std::string endpoint(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    std::string text = address->sa_family == AF_INET6 ? "[" : "";
    text += host;
    text += address->sa_family == AF_INET6 ? "]:" : ":";
    text += port;
    return text;
}

std::string who(unsigned id) {
    return "client " + std::to_string(id);
}

} // namespace

TcpServer::TcpServer(const Options& options, int signals)
    : options_(options), signals_(signals), responder_(options, std::random_device{}()),
      silence_(frameSilence(options.baud)), character_(characterTime(options.baud)),
      start_(Clock::now()) {
    const std::string host = options.listenHost.value_or("127.0.0.1");
    const std::string port = std::to_string(options.listenPort);
    const std::string asked =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
        throw std::runtime_error("listen " + asked + ": " + gai_strerror(rc));
    listener_ = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const bool listening =
        listener_ >= 0 && setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
        bind(listener_, found->ai_addr, found->ai_addrlen) == 0 && listen(listener_, 16) == 0;
    const int error = errno;
    freeaddrinfo(found);
    if (!listening) {
        if (listener_ >= 0)
            close(listener_);
        throw std::runtime_error("listen " + asked + ": " + std::strerror(error));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
    address_ = endpoint(reinterpret_cast<sockaddr*>(&bound), length);
}

TcpServer::~TcpServer() {
    for (auto& [id, client] : clients_)
        close(client.fd);
    close(listener_);
}

int TcpServer::run() {
    for (;;) {
        const auto now = Clock::now();
        std::vector<unsigned> ids;
        for (const auto& [id, client] : clients_)
            ids.push_back(id);
        for (const unsigned id : ids) // cutting a bad request off may drop its client
            if (const auto c = clients_.find(id); c != clients_.end())
                cutRequests(id, c->second, now);
        if (turn_ && now >= turn_->due)
            finishTurn();
        if (!turn_)
            startTurn(now);
        // A request left unanswered frees the line at once: the next one may start.
        if (!turn_ && std::any_of(clients_.begin(), clients_.end(),
                                  [](const auto& c) { return !c.second.requests.empty(); }))
            continue;

        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(signals_, &readable);
        int highest = std::max(signals_, listener_);
        if (clients_.size() < kMaxClients)
            FD_SET(listener_, &readable);
        for (const auto& [id, client] : clients_) {
            if (client.requests.size() < kMaxQueued)
                FD_SET(client.fd, &readable);
            if (!client.out.empty())
                FD_SET(client.fd, &writable);
            highest = std::max(highest, client.fd);
        }
        const Wake wake = waitForEvents(highest, readable, writable, signals_, nextEvent());
        if (wake == Wake::Again)
            continue;
        if (wake != Wake::Ready)
            return wake == Wake::Stopped ? 0 : 1;
        // Collected first: receiving or writing may drop a client from the map.
        std::vector<unsigned> toRead;
        std::vector<unsigned> toWrite;
        for (const auto& [id, client] : clients_) {
            if (FD_ISSET(client.fd, &readable))
                toRead.push_back(id);
            if (FD_ISSET(client.fd, &writable))
                toWrite.push_back(id);
        }
        for (const unsigned id : toWrite)
            if (const auto c = clients_.find(id); c != clients_.end())
                flush(id, c->second);
        for (const unsigned id : toRead)
            if (clients_.contains(id))
                receive(id);
        if (FD_ISSET(listener_, &readable))
            accept();
    }
}

std::optional<TcpServer::Clock::time_point> TcpServer::nextEvent() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (turn_)
        consider(turn_->due);
    if (options_.framing == Framing::rtu)
        for (const auto& [id, client] : clients_)
            if (!client.in.empty() && client.requests.size() < kMaxQueued)
                consider(client.lastRx + silence_);
    return next;
}

void TcpServer::accept() {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return; // gone before it was taken, or out of descriptors: the listener stays
    const std::string peer = endpoint(reinterpret_cast<sockaddr*>(&address), length);
    if (fd >= FD_SETSIZE) {
        close(fd);
        logLine("refused " + peer + ": too many descriptors open");
        return;
    }
    // An echo and its answer are two small writes: without this the second would wait for the
    // first one's acknowledgement.
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    const unsigned id = nextId_++;
    Client& client = clients_[id];
    client.fd = fd;
    client.peer = peer;
    logLine(who(id) + " connected from " + peer);
}

void TcpServer::receive(unsigned id) {
    Client& client = clients_.at(id);
    std::uint8_t buffer[512];
    const ssize_t n = read(client.fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        std::string why = n == 0 ? "closed" : std::string("lost: ") + std::strerror(errno);
        if (!client.in.empty())
            why += ", " + std::to_string(client.in.size()) + " bytes of a request dropped";
        drop(id, why);
        return;
    }
    client.in.insert(client.in.end(), buffer, buffer + n);
    client.lastRx = Clock::now();
    cutRequests(id, client, client.lastRx);
}

// Cuts the whole requests off the front of what a client sent.
void TcpServer::cutRequests(unsigned id, Client& client, Clock::time_point now) {
    while (!client.in.empty() && client.requests.size() < kMaxQueued) {
        std::size_t length = 0;
        if (options_.framing == Framing::mbap) {
            const MbapFrame frame = mbapFrame(client.in);
            if (frame.state == MbapFrame::State::bad) {
                logFrame(who(id) + " rx",
                         std::span(client.in).first(
                             std::min<std::size_t>(client.in.size(), kMbapHeader)),
                         "not a Modbus TCP header");
                drop(id, "closed by the gateway");
                return;
            }
            if (frame.state == MbapFrame::State::incomplete)
                return;
            length = frame.length;
        } else {
            // A request ends at its length, which holds however TCP cuts or joins the stream, or
            // when the line would have fallen silent, as a serial line ends any frame.
            const auto expected = rtuRequestLength(client.in);
            if (expected && client.in.size() >= *expected)
                length = *expected;
            else if (now >= client.lastRx + silence_ || client.in.size() > kMaxFrame)
                length = client.in.size();
            else
                return;
            if (length > kMaxFrame) {
                logFrame(who(id) + " rx", std::span(client.in).first(kMaxFrame),
                         "ignored: longer than " + std::to_string(kMaxFrame) + " bytes");
                client.in.clear();
                return;
            }
        }
        client.requests.emplace_back(client.in.begin(), client.in.begin() + length);
        client.in.erase(client.in.begin(), client.in.begin() + length);
    }
}

TcpServer::Clock::duration TcpServer::answerTime(std::size_t bytes, int extraDelayMs) const {
    Clock::duration wait = std::chrono::milliseconds(extraDelayMs);
    // Paced, the answer crosses the serial line behind the port before it is sent on, whole.
    if (options_.pace)
        wait += std::chrono::milliseconds(options_.delayMs) + character_ * static_cast<int>(bytes);
    return wait;
}

// Takes the next request, from the client after the one served last, onto the line.
void TcpServer::startTurn(Clock::time_point now) {
    auto next = clients_.upper_bound(lastServed_);
    auto waiting = [](const auto& c) { return !c.second.requests.empty(); };
    next = std::find_if(next, clients_.end(), waiting);
    if (next == clients_.end())
        next = std::find_if(clients_.begin(), clients_.end(), waiting);
    if (next == clients_.end())
        return;
    const unsigned id = next->first;
    Client& client = next->second;
    lastServed_ = id;
    const Bytes request = std::move(client.requests.front());
    client.requests.pop_front();
    const double seconds = std::chrono::duration<double>(now - start_).count();

    if (options_.framing == Framing::rtu) {
        Response response = responder_.respond(request, seconds);
        logFrame(who(id) + " rx", request, response.heard);
        if (!response.echo.empty())
            deliver(id, client, response.echo, "echo; fault echo");
        if (response.send)
            turn_ = Turn{id, now + answerTime(response.answer.size(), response.extraDelayMs),
                         std::move(response.answer), std::move(response.note)};
        return;
    }

    // The gateway puts the request on its serial line and sends back what it can check.
    const std::uint16_t transaction = mbapTransaction(request);
    const std::uint8_t unit = request[6];
    const std::uint8_t function = request[7];
    Response response = responder_.respond(mbapToRtu(request), seconds);
    logFrame(who(id) + " rx", request, response.heard);
    if (unit == 0)
        return; // a broadcast: nobody answers, the gateway neither
    std::optional<Bytes> reply;
    std::string note = response.note;
    if (response.send) {
        reply = rtuToMbap(transaction, response.answer);
        if (!reply)
            note += "; the gateway drops an answer that fails its CRC";
    }
    if (!reply) {
        if (options_.absentSilent) {
            logLine(who(id) + ": unit " + std::to_string(unit) + " gave no valid answer; no reply");
            return;
        }
        reply = mbapException(transaction, unit, function, kGatewayTargetFailed);
        note = (note.empty() ? "" : note + "; ") +
               "exception 0B (gateway target device failed to respond)";
    }
    const std::size_t serialBytes = response.send ? response.answer.size() : 0;
    turn_ = Turn{id, now + answerTime(serialBytes, response.send ? response.extraDelayMs : 0),
                 std::move(*reply), std::move(note)};
}

void TcpServer::finishTurn() {
    Turn turn = std::move(*turn_);
    turn_.reset();
    const auto c = clients_.find(turn.client);
    if (c == clients_.end()) {
        logFrame(who(turn.client) + " tx", turn.reply, turn.note + "; dropped: client gone");
        return;
    }
    deliver(turn.client, c->second, turn.reply, turn.note);
}

void TcpServer::deliver(unsigned id, Client& client, const Bytes& bytes, const std::string& note) {
    logFrame(who(id) + " tx", bytes, note);
    if (client.out.size() + bytes.size() > kMaxUnsent) {
        drop(id, "dropped: it does not read its answers");
        return;
    }
    client.out.insert(client.out.end(), bytes.begin(), bytes.end());
    flush(id, client);
}

void TcpServer::flush(unsigned id, Client& client) {
    while (!client.out.empty()) {
        const ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0) {
            drop(id, std::string("lost: ") + std::strerror(errno));
            return;
        }
        client.out.erase(client.out.begin(), client.out.begin() + n);
    }
}

void TcpServer::drop(unsigned id, const std::string& why) {
    const auto c = clients_.find(id);
    if (c == clients_.end())
        return;
    logLine(who(id) + " " + why);
    close(c->second.fd);
    clients_.erase(c);
}

} // namespace sim
