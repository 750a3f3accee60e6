#include "client/transport.h"

#include "client/modbustcp.h"
#include "client/rtu.h"
#include "platform/tcp.h"
#include "platform/text.h"

namespace client {

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

std::string endpointText(const Endpoint& endpoint) {
    if (endpoint.kind == Kind::Serial)
        return endpoint.device;
    const std::string host = endpoint.host.find(':') != std::string::npos
                                 ? "[" + endpoint.host + "]"
                                 : endpoint.host;
    return text::format("%1://%2:%3",
                        {endpoint.kind == Kind::ModbusTcp ? "tcp" : "rtu+tcp", host, endpoint.port});
}

OpenFailure connectFailure(const platform::TcpConnection& connection) {
    OpenFailure failure;
    switch (connection.failure()) {
    case platform::ConnectFailure::None:
        return failure;
    case platform::ConnectFailure::Resolve:
        failure.reason = OpenFailure::Reason::Resolve;
        break;
    case platform::ConnectFailure::Refused:
        failure.reason = OpenFailure::Reason::Refused;
        break;
    case platform::ConnectFailure::Timeout:
        failure.reason = OpenFailure::Reason::Timeout;
        break;
    case platform::ConnectFailure::Other:
        failure.reason = OpenFailure::Reason::Network;
        break;
    }
    failure.text = connection.errorText();
    return failure;
}

} // namespace client
