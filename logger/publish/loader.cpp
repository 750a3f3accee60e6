#include "logger/publish/loader.h"

#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#ifdef _WIN32
#include <process.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#ifndef QF7320_VERSION
#error "QF7320_VERSION names the program's version; the build defines it"
#endif

namespace logger::publish {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool isHex(char c) {
    return text::isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isLetterOrDigit(char c) {
    return text::isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A host name or IPv4 address (letters, digits, dots and hyphens), or an IPv6 address in
// brackets.
bool isHost(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        for (const char c : host.substr(1, host.size() - 2))
            if (!isHex(c) && c != ':' && c != '.')
                return false;
        return true;
    }
    if (host.empty())
        return false;
    for (const char c : host)
        if (!isLetterOrDigit(c) && c != '.' && c != '-')
            return false;
    return true;
}

// The machine's name as the network knows it; "localhost" when it has none.
std::string machineHostName() {
#ifdef _WIN32
    std::string name = environment("COMPUTERNAME");
#else
    char buffer[256] = {};
    std::string name;
    if (::gethostname(buffer, sizeof buffer - 1) == 0)
        name = buffer;
#endif
    return name.empty() ? std::string("localhost") : name;
}

long long processId() {
#ifdef _WIN32
    return ::_getpid();
#else
    return ::getpid();
#endif
}

// The plugin beside the program (a portable folder, the build); else where a system-wide install
// keeps it, lib/qf7320 beside the program's bin (/usr/lib/qf7320 for /usr/bin/qf7320). When it is
// in neither, the one beside the program is named.
std::string pluginPath(const std::string& programDir) {
#ifdef _WIN32
    const char* const name = "qf7320-mqtt.dll";
#else
    const char* const name = "qf7320-mqtt.so";
#endif
    if (programDir.empty())
        return name;
    const std::filesystem::path beside = std::filesystem::path(programDir) / name;
    std::error_code error;
    if (std::filesystem::exists(beside, error))
        return beside.string();
    const std::filesystem::path installed =
        std::filesystem::path(programDir).parent_path() / "lib" / "qf7320" / name;
    if (std::filesystem::exists(installed, error))
        return installed.string();
    return beside.string();
}

// The plugin's entry point; nothing with the reason in `error` when it cannot be loaded.
CreatePublisher loadPlugin(const std::string& path, std::string& error) {
#ifdef _WIN32
    error = "this build of qf7320 has no MQTT plugin";
    (void)path;
    return nullptr;
#else
    // Never closed: the publisher's code is the plugin's until the program ends.
    void* const library = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!library) {
        const char* const why = ::dlerror();
        error = text::format("Cannot load library %1: %2",
                             {path, why ? text::format("(%1)", {why}) : std::string()});
        return nullptr;
    }
    void* const symbol = ::dlsym(library, kCreatePublisherSymbol);
    if (!symbol) {
        const char* const why = ::dlerror();
        error = text::format(
            "Cannot resolve symbol \"%1\" in %2: %3",
            {kCreatePublisherSymbol, path, why ? text::format("(%1)", {why}) : std::string()});
        return nullptr;
    }
    return reinterpret_cast<CreatePublisher>(symbol);
#endif
}

} // namespace

std::optional<BrokerAddress> parseBrokerUrl(const std::string& url, std::string& error) {
    // mqtt[s]://[USER@]HOST[:PORT][/PREFIX]: USER without @, / or :; HOST a name or [IPv6];
    // PORT 1-5 digits; PREFIX anything but a line end. One line end after it all is let go.
    const auto form = [&]() -> std::optional<BrokerAddress> {
        BrokerAddress address;
        std::string_view rest = url;
        if (rest.ends_with('\n'))
            rest.remove_suffix(1);
        if (rest.starts_with("mqtt://")) {
            rest.remove_prefix(7);
        } else if (rest.starts_with("mqtts://")) {
            address.tls = true;
            rest.remove_prefix(8);
        } else {
            return std::nullopt;
        }
        const std::size_t slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        const std::string_view path =
            slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (path.find('\n') != std::string_view::npos)
            return std::nullopt;
        if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
            const std::string_view user = authority.substr(0, at);
            if (user.empty() || user.find(':') != std::string_view::npos)
                return std::nullopt;
            address.user = std::string(user);
            authority.remove_prefix(at + 1);
        }
        // The host, up to an IPv6 address's closing bracket or to the first colon; then :PORT.
        const bool bracketed = authority.starts_with('[');
        std::size_t hostEnd = authority.find(bracketed ? ']' : ':');
        if (bracketed && hostEnd != std::string_view::npos)
            ++hostEnd;
        hostEnd = std::min(hostEnd, authority.size());
        const std::string_view host = authority.substr(0, hostEnd);
        const std::string_view port = authority.substr(hostEnd);
        if (!isHost(host))
            return std::nullopt;
        address.host = std::string(host);
        address.port = address.tls ? 8883 : 1883;
        if (!port.empty()) {
            if (port.size() < 2 || port.size() > 6 || port.front() != ':')
                return std::nullopt;
            int value = 0;
            for (const char c : port.substr(1)) {
                if (!text::isDigit(c))
                    return std::nullopt;
                value = value * 10 + (c - '0');
            }
            address.port = value;
        }
        address.prefix = std::string(path);
        return address;
    }();
    if (!form) {
        // The text is not repeated: it may hold a password typed where it does not belong.
        error = text::format("--mqtt takes a broker's address: mqtt://[USER@]HOST[:PORT]"
                             "[/PREFIX] or mqtts://... (the password comes from %1 or "
                             "--mqtt-password-file, never from the address)",
                             {kPasswordVariable});
        return std::nullopt;
    }
    BrokerAddress address = *form;
    if (address.port < 1 || address.port > 65535) {
        error = text::format("--mqtt %1: the port is not 1-65535", {url});
        return std::nullopt;
    }
    std::string& prefix = address.prefix;
    while (!prefix.empty() && prefix.front() == '/')
        prefix.erase(0, 1);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (prefix.find_first_of("#+") != std::string::npos) {
        error = text::format("--mqtt %1: a topic prefix cannot hold # or +", {url});
        return std::nullopt;
    }
    return address;
}

std::string defaultStoreDir() {
    const std::string state = environment("XDG_STATE_HOME");
    if (!state.empty())
        return platform::joinPath(state, "qf7320");
#ifdef _WIN32
    std::string home = environment("USERPROFILE");
#else
    std::string home = environment("HOME");
#endif
    return platform::joinPath(home.empty() ? std::string("/") : home, ".local/state/qf7320");
}

Launch launchPublisher(Settings settings, const std::string& programDir,
                       std::unique_ptr<Publisher>& publisher, std::string& error) {
    settings.hostname = machineHostName();
    if (settings.prefix.empty())
        settings.prefix = "qf7320/" + settings.hostname;
    settings.clientId = "qf7320-" + settings.hostname + "-" + std::to_string(processId());
    settings.version = QF7320_VERSION;

    // Loaded only now, so that no other command pays for the MQTT and TLS libraries.
    const std::string path = pluginPath(programDir);
    std::string why;
    const CreatePublisher create = loadPlugin(path, why);
    if (!create) {
        error = text::format("--mqtt needs the plugin %1 beside qf7320: %2", {path, why});
        return Launch::NoPlugin;
    }
    publisher.reset(create(settings));
    const Publisher::Start started = publisher->start(error);
    if (started == Publisher::Start::Started)
        return Launch::Started;
    publisher.reset();
    return started == Publisher::Start::Refused ? Launch::Refused : Launch::StoreUnusable;
}

} // namespace logger::publish
