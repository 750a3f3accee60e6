#pragma once

// A TCP connection as plain sockets (POSIX, or Winsock on Windows), waited on with poll() or
// select(): every wait has a deadline, no
// event loop is needed, and nothing is buffered behind the program's back (the reply's bytes
// stay in the kernel until they are asked for), so a peer that floods the connection costs a
// bounded buffer and a peer that stops mid-reply costs at most the reply's deadline.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using Clock = std::chrono::steady_clock;

// Why a connection could not be made.
enum class ConnectFailure {
    None,
    Resolve, // the host name gives no address
    Refused, // nothing listens there
    Timeout, // no answer to the connection within its time
    Other,   // the network says something else: unreachable, ...
};

class TcpConnection {
public:
    TcpConnection() = default;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection() { close(); }

    // Resolves the host (a name, an IPv4 address or an IPv6 one without brackets) and connects
    // to the first of its addresses that accepts, all within timeoutMs. On failure failure()
    // and errorText() say why.
    bool connect(const std::string& host, std::uint16_t port, int timeoutMs);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    ConnectFailure failure() const { return failure_; }

    // Writes all the bytes by the deadline; false when the connection failed (errorText()).
    bool write(const std::uint8_t* bytes, std::size_t size, Clock::time_point deadline);

    enum class Read { Data, Timeout, Closed };
    // Reads what has arrived, at most `most` bytes, waiting until the deadline for the first.
    // Closed: the peer closed or reset the connection (errorText() says which), which is closed
    // on this side too.
    Read read(std::uint8_t* into, std::size_t most, std::size_t& got, Clock::time_point deadline);

    // Reads and drops what has already arrived, at most `most` bytes, without waiting. False
    // when the connection turned out closed.
    bool discard(std::size_t most);

    const std::string& errorText() const { return errorText_; }

private:
    bool lost(const std::string& text);

    std::intptr_t fd_ = -1; // a socket: a descriptor, or a Winsock SOCKET
    ConnectFailure failure_ = ConnectFailure::None;
    std::string errorText_;
};

} // namespace platform
