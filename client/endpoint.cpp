#include "client/endpoint.h"

#include "platform/text.h"

#include <algorithm>
#include <array>

namespace client {

namespace {

constexpr std::array kBauds{1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};

bool allOf(std::string_view text, std::string_view allowed) {
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return allowed.find(c) != std::string_view::npos; });
}

constexpr std::string_view kDigits = "0123456789";

} // namespace

std::span<const int> standardBauds() {
    return kBauds;
}

std::string baudListText() {
    std::vector<std::string> rates;
    for (const int baud : kBauds)
        rates.push_back(std::to_string(baud));
    return text::join(rates, " ");
}

std::optional<int> parseBaud(std::string_view text) {
    if (text.empty() || text.size() > 7 || !allOf(text, kDigits))
        return std::nullopt;
    const int baud = static_cast<int>(*text::wholeNumber(text, 0, 9999999));
    if (std::find(kBauds.begin(), kBauds.end(), baud) == kBauds.end())
        return std::nullopt;
    return baud;
}

Endpoint Line::endpoint() const {
    Endpoint endpoint;
    endpoint.kind = kind;
    endpoint.device = device;
    endpoint.host = host;
    endpoint.port = tcpPort;
    endpoint.baud = baud;
    return endpoint;
}

std::optional<Line> parseNetworkEndpoint(std::string_view text, std::string& error) {
    Line line;
    std::string_view rest;
    if (text::startsWithNoCase(text, "tcp://")) {
        line.kind = Kind::ModbusTcp;
        rest = text.substr(6);
    } else if (text::startsWithNoCase(text, "rtu+tcp://")) {
        line.kind = Kind::RtuOverTcp;
        rest = text.substr(10);
    } else {
        return std::nullopt;
    }
    line.port = std::string(text);
    const std::string form = text::format("--port %1 is not an endpoint: %2://HOST or "
                                          "%2://HOST:PORT, an IPv6 address in brackets "
                                          "([::1]:1502)",
                                          {text, text.substr(0, text.find("://"))});
    // A trailing slash is what a pasted URL often ends with; a path is nothing a gateway has.
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view portText;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            error = form;
            return std::nullopt;
        }
        line.host = std::string(rest.substr(1, close - 1));
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                error = form;
                return std::nullopt;
            }
            portText = after.substr(1);
            if (portText.empty()) {
                error = form;
                return std::nullopt;
            }
        }
        if (line.host.find(':') == std::string::npos) {
            error = form;
            return std::nullopt;
        }
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon != std::string_view::npos && rest.find(':') != colon) {
            error = text::format("--port %1: an IPv6 address goes in brackets, e.g. "
                                 "tcp://[::1]:502",
                                 {text});
            return std::nullopt;
        }
        line.host = std::string(colon != std::string_view::npos ? rest.substr(0, colon) : rest);
        if (colon != std::string_view::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                error = form;
                return std::nullopt;
            }
        }
    }
    if (line.host.empty() ||
        !allOf(line.host, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._:%-")) {
        error = form;
        return std::nullopt;
    }
    if (!portText.empty()) {
        const bool digits = portText.size() <= 5 && allOf(portText, kDigits);
        const long long port = digits ? *text::wholeNumber(portText, 0, 99999) : 0;
        if (!digits || port < 1 || port > 65535) {
            error = text::format("--port %1: the TCP port %2 is not 1-65535", {text, portText});
            return std::nullopt;
        }
        line.tcpPort = static_cast<std::uint16_t>(port);
    }
    return line;
}

} // namespace client
