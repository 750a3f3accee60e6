#include "platform/json.h"

#include "platform/rounding.h"

#include <cmath>

namespace json {

Value number(double value) {
    constexpr double kExactWhole = 9007199254740992.0; // 2^53: beyond it a double skips wholes
    if (std::isfinite(value) && rounding::truncated(value) == value &&
        std::fabs(value) < kExactWhole)
        return static_cast<long long>(value);
    if (!std::isfinite(value))
        return nullptr;
    return value;
}

Value array(const std::vector<std::uint16_t>& numbers) {
    Value result = Value::array();
    for (const std::uint16_t number : numbers)
        result.push_back(number);
    return result;
}

std::string dump(const Value& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace json
