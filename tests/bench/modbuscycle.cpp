// The same queries from libmodbus, a plain blocking RTU master, against the same simulator: the
// yardstick for what the line and the simulator allow.

#include "tests/bench/bench.h"

#include <modbus.h>

#include <cerrno>
#include <ctime>

namespace bench {

namespace {

constexpr int kWarmUp = 20;
constexpr int kMaxFailures = 20;

} // namespace

ModbusLoop modbusLoop(const QString& link, int baud, int registers, int cycles) {
    ModbusLoop loop;
    const QByteArray device = link.toLocal8Bit();
    modbus_t* ctx = modbus_new_rtu(device.constData(), baud, 'N', 8, 1);
    if (!ctx) {
        loop.error = std::string("modbus_new_rtu: ") + modbus_strerror(errno);
        return loop;
    }
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    if (modbus_connect(ctx) != 0) {
        loop.error = std::string("modbus_connect: ") + modbus_strerror(errno);
        modbus_free(ctx);
        return loop;
    }

    loop.samples.reserve(std::size_t(cycles));
    std::uint16_t values[8]{};
    Clock::time_point firstSent; // of the first measured cycle
    Clock::time_point lastSent;
    for (int done = 0; done < kWarmUp + cycles && loop.failures <= kMaxFailures;) {
        const Clock::time_point sent = Clock::now();
        const int n = modbus_read_registers(ctx, 0, registers, values);
        const Clock::time_point received = Clock::now();
        if (n != registers) {
            ++loop.failures;
            modbus_flush(ctx);
            continue;
        }
        if (done++ >= kWarmUp) {
            if (loop.samples.empty())
                firstSent = sent;
            lastSent = sent;
            loop.samples.push_back(millis(received - sent));
        }
    }
    modbus_close(ctx);
    modbus_free(ctx);

    if (int(loop.samples.size()) < cycles)
        loop.error = "libmodbus completed only " + std::to_string(loop.samples.size()) + " of " +
                     std::to_string(cycles) + " cycles";
    // Back to back, from the start of the first measured cycle to the start of the last.
    const double spanMs = millis(lastSent - firstSent);
    loop.perSecond = spanMs > 0 ? 1000.0 * double(loop.samples.size() - 1) / spanMs : 0;
    return loop;
}

int modbusCycle(int baud, int registers, int cycles) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() ||
        !sim.start(dir, baud,
                   {QStringLiteral("--pace"), QStringLiteral("--delay"), QStringLiteral("5")}))
        return failure("the simulator did not start: " + sim.log().toStdString());
    const ModbusLoop loop = modbusLoop(dir.link(), baud, registers, cycles);
    if (!loop.error.empty())
        return failure(loop.error);
    resultTimings(loop.samples);
    result("failures", loop.failures);
    result("per_second", loop.perSecond);
    return 0;
}

} // namespace bench

namespace bench {

// libmodbus asking for the registers every 50 ms, as the window's polling does, on the same
// simulator: what the line and this machine's wake-ups cost a master that shows nothing. The
// yardstick for the window's polling CPU.
int modbusLoad(int pollSeconds, int registers, Delivery delivery) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, 9600, simulatorArguments(delivery)))
        return failure("the simulator did not start: " + sim.log().toStdString());
    const QByteArray device = dir.link().toLocal8Bit();
    modbus_t* ctx = modbus_new_rtu(device.constData(), 9600, 'N', 8, 1);
    if (!ctx)
        return failure(std::string("modbus_new_rtu: ") + modbus_strerror(errno));
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 0, 45000);
    if (modbus_connect(ctx) != 0) {
        const std::string error = modbus_strerror(errno);
        modbus_free(ctx);
        return failure("modbus_connect: " + error);
    }
    constexpr long kPeriodNs = 50'000'000;
    const auto advance = [](timespec& t) {
        t.tv_nsec += kPeriodNs;
        if (t.tv_nsec >= 1'000'000'000) {
            t.tv_nsec -= 1'000'000'000;
            ++t.tv_sec;
        }
    };
    std::uint16_t values[8]{};
    int polls = 0;
    int failures = 0;
    const double cpu0 = cpuSeconds();
    const Clock::time_point wall0 = Clock::now();
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (const long long total = 20LL * pollSeconds; polls < total; ++polls) {
        if (modbus_read_registers(ctx, 0, registers, values) != registers)
            ++failures;
        advance(next);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
    const double cpu = cpuSeconds() - cpu0;
    const double wall = millis(Clock::now() - wall0) / 1000.0;
    modbus_close(ctx);
    modbus_free(ctx);
    result("poll_cpu_pct", wall > 0 ? 100.0 * cpu / wall : 0);
    result("polls", polls);
    result("failures", failures);
    return 0;
}

} // namespace bench
