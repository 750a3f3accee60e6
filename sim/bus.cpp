#include "sim/bus.h"

#include <algorithm>

namespace sim {

Bus::Bus(std::span<const std::uint8_t> stations, std::span<const std::uint8_t> mute) {
    for (const std::uint8_t station : stations) {
        sensors_.emplace_back(station);
        muted_.push_back(std::find(mute.begin(), mute.end(), station) != mute.end());
    }
}

void Bus::fixLux(std::span<const std::uint32_t> lux) {
    if (lux.empty())
        return;
    if (lux.size() == 1)
        luxForAll_ = lux[0];
    for (std::size_t i = 0; i < sensors_.size(); ++i)
        sensors_[i].fixLux(lux.size() == 1 ? lux[0] : lux[std::min(i, lux.size() - 1)]);
}

void Bus::skewWrites(int by) {
    for (Sensor& sensor : sensors_)
        sensor.skewWrites(by);
}

void Bus::connect(std::uint8_t station) {
    Sensor sensor(station);
    if (luxForAll_)
        sensor.fixLux(*luxForAll_);
    sensors_.push_back(sensor);
    muted_.push_back(false);
}

std::size_t Bus::remove(std::optional<std::uint8_t> station) {
    std::size_t removed = 0;
    for (std::size_t i = sensors_.size(); i-- > 0;) {
        if (station && sensors_[i].station() != *station)
            continue;
        sensors_.erase(sensors_.begin() + static_cast<std::ptrdiff_t>(i));
        muted_.erase(muted_.begin() + static_cast<std::ptrdiff_t>(i));
        ++removed;
    }
    return removed;
}

BusOutcome Bus::handle(std::span<const std::uint8_t> request, double seconds) {
    BusOutcome out;
    std::vector<Bytes> answers;
    std::vector<std::string> answered; // "station N: what it did", one a sensor that answered
    std::vector<std::string> ignored;  // what the others made of it, each text once
    auto note = [&ignored](std::string text) {
        if (std::find(ignored.begin(), ignored.end(), text) == ignored.end())
            ignored.push_back(std::move(text));
    };
    std::string mutedNote; // a request meant for a dead sensor is logged as such
    const bool several = sensors_.size() > 1;
    for (std::size_t i = 0; i < sensors_.size(); ++i) {
        const std::string who = "station " + std::to_string(sensors_[i].station());
        if (muted_[i]) {
            // A dead sensor changes nothing; a copy says whether the request was meant for it.
            Sensor copy = sensors_[i];
            const Outcome o = copy.handle(request, seconds);
            if (o.addressed)
                mutedNote = "ignored: " + who + " is mute";
            continue;
        }
        Outcome o = sensors_[i].handle(request, seconds);
        if (o.answer.empty()) {
            note(std::move(o.action));
            continue;
        }
        answers.push_back(std::move(o.answer));
        answered.push_back(several ? who + ": " + o.action : o.action);
        if (answers.size() == 1)
            out.answerNote = std::move(o.answerNote);
    }

    out.answering = static_cast<int>(answers.size());
    out.addressed = !answers.empty();
    if (answers.empty() && !mutedNote.empty()) {
        out.action = std::move(mutedNote);
        return out;
    }
    if (sensors_.empty()) {
        out.action = "ignored: no sensor on the line";
        return out;
    }
    if (answers.empty() && ignored.empty()) {
        out.action = "ignored: every sensor is mute";
        return out;
    }
    if (answers.empty()) {
        for (std::size_t i = 0; i < ignored.size(); ++i)
            out.action += (i ? "; " : "") + ignored[i];
        return out;
    }
    if (answers.size() == 1) {
        out.answer = std::move(answers.front());
        out.action = std::move(answered.front());
        return out;
    }
    out.answer = collide(answers);
    for (std::size_t i = 0; i < answered.size(); ++i)
        out.action += (i ? "; " : "") + answered[i];
    out.answerNote = "collision of " + std::to_string(answers.size()) + " answers";
    return out;
}

Bytes collide(std::span<const Bytes> answers) {
    Bytes mix;
    for (const Bytes& answer : answers) {
        if (answer.size() > mix.size())
            mix.resize(answer.size(), 0);
        for (std::size_t i = 0; i < answer.size(); ++i)
            mix[i] |= answer[i];
    }
    if (answers.size() > 1 && crcMatches(mix)) {
        mix[mix.size() - 2] ^= 0xFF;
        mix[mix.size() - 1] ^= 0xFF;
    }
    return mix;
}

} // namespace sim
