#include "client/measurement.h"

#include "platform/rounding.h"

#include <string>

namespace client {

protocol::Frame measurementRequest(int station, int count) {
    protocol::Frame request =
        protocol::readRequest(static_cast<std::uint8_t>(station), protocol::kFunctionReadRegisters,
                              0, static_cast<std::uint8_t>(count));
    protocol::sealCrc(request);
    return request;
}

long long luxOf(const Result& result) {
    if (result.status != Status::Ok)
        return -1;
    for (const protocol::FieldText& field :
         protocol::decodeMeasurement(result.reply.data(), result.reply.size(), "0"))
        if (field.index == 0)
            return std::stoll(field.text);
    return -1;
}

double roundedMillis(double ms) {
    return rounding::nearest(ms * 10.0) / 10.0;
}

} // namespace client
