#include "cli/transport/transport.h"

#include "cli/transport/modbustcp.h"
#include "cli/transport/rtu.h"

namespace cli::transport {

std::unique_ptr<Transport> makeTransport(const Endpoint& endpoint) {
    switch (endpoint.kind) {
    case Kind::Serial:
        return std::make_unique<SerialTransport>(endpoint);
    case Kind::RtuOverTcp:
        return std::make_unique<RtuOverTcpTransport>(endpoint);
    case Kind::ModbusTcp:
        return std::make_unique<ModbusTcpTransport>(endpoint);
    }
    return nullptr;
}

QString endpointText(const Endpoint& endpoint) {
    if (endpoint.kind == Kind::Serial)
        return endpoint.device;
    const QString host = endpoint.host.contains(QLatin1Char(':'))
                             ? QStringLiteral("[%1]").arg(endpoint.host)
                             : endpoint.host;
    return QStringLiteral("%1://%2:%3")
        .arg(endpoint.kind == Kind::ModbusTcp ? QStringLiteral("tcp") : QStringLiteral("rtu+tcp"),
             host)
        .arg(endpoint.port);
}

} // namespace cli::transport
