#pragma once

// libmodbus servers with a plain map of holding registers: an independent Modbus peer. The RTU
// one serves a pseudo-terminal, the TCP one a port on the loopback interface.
//
// A libmodbus RTU server with a plain map of holding registers from 0, serving the master side
// of a pseudo-terminal on its own thread: an independent Modbus peer. libmodbus checks every
// request's CRC and framing itself and drops what it cannot accept, and answers a register
// outside its map with exception 02, illegal data address. A test that uses it links libmodbus.

#include "tests/support/ptypair.h"

#include <QString>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class ModbusServer {
public:
    QString slaveName;

    // registers: how many holding registers the map has, from address 0. The default reaches
    // the station address register 0x0B00, past the parameters at 0x0A03-0x0A07.
    explicit ModbusServer(int registers = 0x0B01, int station = 1, int baud = 9600) {
        if (pty_.master < 0)
            return;
        slaveName = pty_.slaveName;
        const QByteArray name = slaveName.toLocal8Bit();
        ctx_ = modbus_new_rtu(name.constData(), baud, 'N', 8, 1);
        modbus_set_socket(ctx_, pty_.master);
        modbus_set_slave(ctx_, station);
        modbus_set_indication_timeout(ctx_, 0, 100000);
        registers_ = modbus_mapping_new_start_address(0, 0, 0, 0, 0, registers, 0, 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~ModbusServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (registers_)
            modbus_mapping_free(registers_);
        if (ctx_)
            modbus_free(ctx_);
    }
    void set(int address, std::uint16_t value) {
        const std::lock_guard guard(lock_);
        registers_->tab_registers[address] = value;
    }
    std::uint16_t get(int address) {
        const std::lock_guard guard(lock_);
        return registers_->tab_registers[address];
    }

private:
    void serve() {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int length = modbus_receive(ctx_, query);
            if (length <= 0)
                continue; // timeout, or a request for another station or with a bad CRC
            const std::lock_guard guard(lock_);
            modbus_reply(ctx_, query, length, registers_);
        }
    }

    PtyPair pty_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* registers_ = nullptr;
    std::mutex lock_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// A libmodbus Modbus TCP server on a free port of 127.0.0.1, on its own thread, with the same map
// of holding registers: one client at a time, the next accepted once it hangs up. It answers
// every unit id, as a Modbus TCP device does.
class ModbusTcpServer {
public:
    std::uint16_t port = 0;

    explicit ModbusTcpServer(int registers = 0x0B01) {
        ctx_ = modbus_new_tcp("127.0.0.1", 0);
        listener_ = modbus_tcp_listen(ctx_, 1);
        if (listener_ < 0)
            return;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        modbus_set_indication_timeout(ctx_, 0, 100000);
        registers_ = modbus_mapping_new_start_address(0, 0, 0, 0, 0, registers, 0, 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~ModbusTcpServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            ::close(listener_);
        if (registers_)
            modbus_mapping_free(registers_);
        if (ctx_) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port); }
    void set(int address, std::uint16_t value) {
        const std::lock_guard guard(lock_);
        registers_->tab_registers[address] = value;
    }
    std::uint16_t get(int address) {
        const std::lock_guard guard(lock_);
        return registers_->tab_registers[address];
    }
    int requests() const { return requests_; }

private:
    void serve() {
        std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stop_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0)
                continue;
            int listener = listener_;
            if (modbus_tcp_accept(ctx_, &listener) < 0)
                continue;
            while (!stop_) {
                const int length = modbus_receive(ctx_, query);
                if (length == 0 || (length < 0 && errno == ETIMEDOUT))
                    continue;
                if (length < 0)
                    break; // the client hung up
                ++requests_;
                const std::lock_guard guard(lock_);
                modbus_reply(ctx_, query, length, registers_);
            }
            modbus_close(ctx_);
        }
    }

    modbus_t* ctx_ = nullptr;
    int listener_ = -1;
    modbus_mapping_t* registers_ = nullptr;
    std::mutex lock_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
};
