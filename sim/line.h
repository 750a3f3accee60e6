#pragma once

// The serial line the sensor sits on: a pseudo-terminal behind a symbolic link, or a real port.

#include <string>

namespace sim {

class Line {
public:
    // A pseudo-terminal whose slave device the symbolic link at linkPath points to.
    // Throws std::runtime_error on failure.
    static Line pseudoTerminal(const std::string& linkPath, int baud);
    // A serial device, set to 8N1 raw at the baud rate. Throws std::runtime_error on failure.
    static Line serialPort(const std::string& device, int baud);

    Line(Line&& other) noexcept;
    Line& operator=(Line&&) = delete;
    Line(const Line&) = delete;
    ~Line();

    // Non-blocking descriptor the sensor reads requests from and writes answers to.
    int fd() const { return fd_; }
    // The device a client opens: the pseudo-terminal's slave or the port itself.
    const std::string& device() const { return device_; }
    const std::string& link() const { return link_; }

    // The rate the line is set to now. A pseudo-terminal's two ends share one setting, so this
    // is the rate the client chose; 0 when it is none of the supported rates.
    int baud() const;

private:
    Line() = default;

    int fd_ = -1;
    // The sensor's own hold on the slave side: without it the master reports a hang-up, over
    // and over, whenever no client has the port open.
    int slaveHold_ = -1;
    std::string device_;
    std::string link_;
};

} // namespace sim
