#pragma once

// The poll's web server: the live page at /, its script and style, its updates as Server-Sent
// Events at /events, Prometheus's /metrics and the state as JSON at /api/v1/stations; read-only,
// on a thread of its own, so that the poll never waits for a client. Boost.Beast on Asio, kept in
// one source file behind this header.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace logger::http {

class State;

struct ServerSettings {
    std::string address = "127.0.0.1"; // numeric, IPv4 or IPv6
    unsigned short port = 9320;        // 0: a free one, said in Server::where()
    std::optional<std::string> token;  // when given, required as a bearer token on every path
};

// The server's own figures: requests answered by status class and clients turned away. Nothing
// else of a request is kept or said.
struct ServerCounts {
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> refused{0}; // 4xx and 5xx answers, and clients dropped
};

class Server {
public:
    // At most this many clients at once; one more gets 503 and is closed.
    static constexpr int kMostClients = 16;
    // A request's line and headers, at most.
    static constexpr std::size_t kMostHeaderBytes = 8 * 1024;
    // A client that has not sent its whole request in this time is dropped.
    static constexpr int kIdleSeconds = 10;
    // A reply (or an event) that the client has not taken in this time ends its connection.
    static constexpr int kWriteSeconds = 30;

    explicit Server(State& state);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens, then serves on a thread of its own; false with the reason in `error`.
    bool start(const ServerSettings& settings, std::string& error);
    // Where it listens: http://127.0.0.1:9320/ or http://[::1]:9320/.
    std::string where() const;
    const ServerCounts& counts() const;

    class Impl; // with its connections, in server.cpp

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace logger::http
