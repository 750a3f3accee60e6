#pragma once

// The sensors behind a TCP port: as a transparent serial device server (RTU frames, CRC and all,
// in the stream) or as a Modbus TCP gateway (MBAP header, unit id = station, no CRC). Several
// clients may be connected; their requests are served one transaction at a time, in turn, as
// the one serial line behind the port allows.

#include "sim/options.h"
#include "sim/responder.h"

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace sim {

class TcpServer {
public:
    // Listens at once, so that the address is known before the first line is printed. Throws
    // std::runtime_error when the address cannot be had.
    TcpServer(const Options& options, int signals);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // "127.0.0.1:40123" or "[::1]:40123": where clients connect, the port picked if 0 was asked.
    const std::string& address() const { return address_; }

    // Serves until a signal arrives (0) or the listening socket fails (1).
    int run();

private:
    using Clock = std::chrono::steady_clock;

    struct Client {
        int fd = -1;
        std::string peer;
        Bytes in; // bytes of a request not yet whole
        Clock::time_point lastRx;
        std::deque<Bytes> requests; // whole requests waiting for their turn, as received
        Bytes out;                  // what the socket has not taken yet
    };

    // The transaction under way: its answer goes to `client` at `due`.
    struct Turn {
        unsigned client = 0;
        Clock::time_point due;
        Bytes reply;
        std::string note;
    };

    void accept();
    void receive(unsigned id);
    void cutRequests(unsigned id, Client& client, Clock::time_point now);
    void startTurn(Clock::time_point now);
    void finishTurn();
    void deliver(unsigned id, Client& client, const Bytes& bytes, const std::string& note);
    void flush(unsigned id, Client& client);
    void drop(unsigned id, const std::string& why);
    std::optional<Clock::time_point> nextEvent() const;
    Clock::duration answerTime(std::size_t bytes, int extraDelayMs) const;

    const Options& options_;
    int signals_;
    int listener_ = -1;
    std::string address_;
    Responder responder_;
    const Clock::duration silence_;
    const Clock::duration character_;
    const Clock::time_point start_;
    std::map<unsigned, Client> clients_; // by id, which counts up: the order of their turns
    unsigned nextId_ = 1;
    unsigned lastServed_ = 0;
    std::optional<Turn> turn_;
};

} // namespace sim
