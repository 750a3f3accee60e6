#include "sim/responder.h"

namespace sim {

Responder::Responder(const Options& options, std::uint32_t seed)
    : bus_(options.stations, options.mute), faults_(options.fault, options.faultEvery, seed) {
    bus_.fixLux(options.lux);
    bus_.skewWrites(options.writeSkew);
    for (std::size_t i = 0; i < bus_.size(); ++i)
        setUpSensor(bus_.sensor(i), options, i);
}

Response Responder::respond(std::span<const std::uint8_t> request, double seconds) {
    Response r;
    r.echo = faults_.hear(request);
    BusOutcome outcome = bus_.handle(request, seconds);
    r.heard = std::move(outcome.action);
    if (!outcome.addressed || outcome.answer.empty())
        return r;
    Delivery delivery = faults_.deliver(outcome.answer);
    if (!delivery.send) {
        r.heard += "; " + delivery.note;
        return r;
    }
    r.send = true;
    r.answer = std::move(delivery.bytes);
    r.extraDelayMs = delivery.extraDelayMs;
    r.note = delivery.note.empty() ? outcome.answerNote : outcome.answerNote + "; " + delivery.note;
    return r;
}

} // namespace sim
