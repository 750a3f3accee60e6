// Beast on std::string_view, as the rest of the program.
#define BOOST_BEAST_USE_STD_STRING_VIEW
#include "logger/http/server.h"

#include "logger/http/page.h"
#include "logger/http/state.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace logger::http {

namespace {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;
using Request = bhttp::request<bhttp::empty_body>;
using Response = bhttp::response<bhttp::string_body>;

// Updates go out to the page at most this often, each with the state as it is then; a
// connection with nothing to say gets a comment, so that a client gone away is noticed.
constexpr auto kTick = std::chrono::milliseconds(500);
constexpr auto kKeepAlive = std::chrono::seconds(15);

// Said to a client beyond the limit, without waiting for it to read.
constexpr std::string_view kBusy = "HTTP/1.1 503 Service Unavailable\r\n"
                                   "Content-Type: text/plain; charset=utf-8\r\n"
                                   "Content-Length: 26\r\nRetry-After: 5\r\n"
                                   "Connection: close\r\n\r\n"
                                   "too many clients at once\r\n";

constexpr std::string_view kEventsHead = "HTTP/1.1 200 OK\r\n"
                                         "Content-Type: text/event-stream\r\n"
                                         "Cache-Control: no-store\r\n"
                                         "Server: qf7320\r\n\r\n"
                                         "retry: 2000\n\n";

// Equal, in a time that does not depend on where they differ.
bool sameSecret(std::string_view given, std::string_view secret) {
    unsigned char diff = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |=
            static_cast<unsigned char>(given[i] ^ secret[secret.empty() ? 0 : i % secret.size()]);
    return diff == 0 && !secret.empty();
}

bool startsWithWord(std::string_view text, std::string_view word) {
    if (text.size() <= word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i])
            return false;
    return text[word.size()] == ' ';
}

// Base64 as HTTP's Basic credentials carry it; nothing for anything else.
std::optional<std::string> fromBase64(std::string_view text) {
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= 'A' && c <= 'Z')
            digit = c - 'A';
        else if (c >= 'a' && c <= 'z')
            digit = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            digit = c - '0' + 52;
        else if (c == '+')
            digit = 62;
        else if (c == '/')
            digit = 63;
        else if (c == '=')
            break;
        else
            return std::nullopt;
        value = (value << 6) | unsigned(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xff);
        }
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

class Server::Impl {
public:
    explicit Impl(State& state) : state(state) {}
    ~Impl() {
        if (thread.joinable()) {
            ioc.stop();
            thread.join();
        }
    }

    void accept();
    void tick();
    bool authorized(const Request& request) const;

    State& state;
    std::optional<std::string> token;
    ServerCounts counts;
    std::string where;
    int clients = 0; // live connections; on the server's thread only
    std::vector<std::weak_ptr<class Session>> streams;
    std::uint64_t seen = 0;
    bool seenAny = false;
    std::chrono::steady_clock::time_point lastEvent;
    std::thread thread;
    // Last, so that it goes first: the connections its handlers hold end while the rest is here.
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer ticker{ioc};
    net::steady_timer pause{ioc};
};

// One client's connection: requests read and answered one after the other, until it closes,
// stays silent too long, or turns into a stream of events.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Server::Impl& server)
        : stream_(std::move(socket)), server_(server), deadline_(server.ioc) {
        ++server_.clients;
    }
    ~Session() { --server_.clients; }

    void start() { readRequest(); }

    // An event for the page; dropped when the last one has not been taken yet, and the page
    // told to fetch the whole state again once it has.
    void event(const std::shared_ptr<const std::string>& text) {
        if (writing_) {
            behind_ = true;
            return;
        }
        send(text);
    }

private:
    void readRequest() {
        parser_.emplace();
        parser_->header_limit(Server::kMostHeaderBytes);
        buffer_.clear();
        stream_.expires_after(std::chrono::seconds(Server::kIdleSeconds));
        bhttp::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code error, std::size_t) { self->read(error); });
    }

    void read(error_code error) {
        if (error == bhttp::error::header_limit || error == bhttp::error::buffer_overflow)
            return answer(bhttp::status::request_header_fields_too_large, "request too large",
                          false);
        if (error == bhttp::error::end_of_stream || error == beast::error::timeout ||
            error == net::error::operation_aborted || error == net::error::connection_reset ||
            error == net::error::eof) {
            if (error == beast::error::timeout)
                ++server_.counts.refused;
            return close();
        }
        if (error)
            return answer(bhttp::status::bad_request, "bad request", false);
        handle(parser_->get());
    }

    void handle(const Request& request) {
        ++server_.counts.requests;
        // A request with a body is answered, and the connection closed rather than the body read.
        const bool bodiless = !request.chunked() && (!request.has_content_length() ||
                                                     request[bhttp::field::content_length] == "0");
        const bool keep = request.keep_alive() && bodiless;
        const bool head = request.method() == bhttp::verb::head;
        if (request.method() != bhttp::verb::get && !head)
            return answer(bhttp::status::method_not_allowed, "read-only: GET and HEAD only", false);
        if (!server_.authorized(request))
            return answer(bhttp::status::unauthorized, "a bearer token is needed", keep);

        std::string_view target = request.target();
        target = target.substr(0, target.find('?'));
        if (target == "/metrics")
            return reply(bhttp::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                         server_.state.metrics(), keep, head);
        if (target == "/api/v1/stations")
            return reply(bhttp::status::ok, "application/json", server_.state.json(true), keep,
                         head);
        if (target == "/events" && !head)
            return startEvents();
        for (std::size_t i = 0; i < page::kAssetCount; ++i)
            if (page::kAssets[i].path == target)
                return reply(bhttp::status::ok, page::kAssets[i].type,
                             std::string(page::kAssets[i].body), keep, head);
        answer(bhttp::status::not_found, "no such page", keep);
    }

    void answer(bhttp::status status, std::string_view text, bool keep) {
        ++server_.counts.refused;
        reply(status, "text/plain; charset=utf-8", std::string(text) + "\r\n", keep, false);
    }

    void reply(bhttp::status status, std::string_view type, std::string body, bool keep,
               bool head) {
        auto response = std::make_shared<Response>(status, 11);
        response->set(bhttp::field::server, "qf7320");
        response->set(bhttp::field::content_type, type);
        response->set(bhttp::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        if (status == bhttp::status::method_not_allowed)
            response->set(bhttp::field::allow, "GET, HEAD");
        if (status == bhttp::status::unauthorized) {
            // Scripts and Prometheus send a bearer token; a browser asks for it as a password.
            response->insert(bhttp::field::www_authenticate, "Bearer realm=\"qf7320\"");
            response->insert(bhttp::field::www_authenticate,
                             "Basic realm=\"qf7320\", charset=\"UTF-8\"");
        }
        response->keep_alive(keep);
        response->content_length(body.size());
        if (!head)
            response->body() = std::move(body);
        stream_.expires_after(std::chrono::seconds(Server::kWriteSeconds));
        bhttp::async_write(
            stream_, *response,
            [self = shared_from_this(), response, keep](error_code error, std::size_t) {
                if (error || !keep)
                    return self->close();
                self->readRequest();
            });
    }

    // The rest of the connection is events: the raw socket from here, its own write deadline,
    // and a read that only waits for the client to go.
    void startEvents() {
        stream_.expires_never();
        server_.streams.push_back(weak_from_this());
        send(std::make_shared<const std::string>(std::string(kEventsHead) +
                                                 "data: " + server_.state.json(false) + "\n\n"));
        watch();
    }

    void watch() {
        stream_.socket().async_read_some(
            net::buffer(sink_), [self = shared_from_this()](error_code error, std::size_t) {
                if (error)
                    return self->close();
                self->watch();
            });
    }

    void send(std::shared_ptr<const std::string> text) {
        writing_ = true;
        deadline_.expires_after(std::chrono::seconds(Server::kWriteSeconds));
        deadline_.async_wait([self = shared_from_this()](error_code error) {
            if (!error)
                self->close();
        });
        net::async_write(
            stream_.socket(), net::buffer(*text),
            [self = shared_from_this(), text](error_code error, std::size_t) {
                self->writing_ = false;
                self->deadline_.cancel();
                if (error)
                    return self->close();
                if (std::exchange(self->behind_, false))
                    self->send(std::make_shared<const std::string>("event: reset\ndata: {}\n\n"));
            });
    }

    void close() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
        deadline_.cancel();
    }

    beast::tcp_stream stream_;
    Server::Impl& server_;
    beast::flat_buffer buffer_{2 * Server::kMostHeaderBytes};
    std::optional<bhttp::request_parser<bhttp::empty_body>> parser_;
    net::steady_timer deadline_;
    std::array<char, 512> sink_{};
    bool writing_ = false;
    bool behind_ = false;
};

bool Server::Impl::authorized(const Request& request) const {
    if (!token)
        return true;
    const auto field = request.find(bhttp::field::authorization);
    if (field == request.end())
        return false;
    const std::string_view value = trimmed(field->value());
    if (startsWithWord(value, "bearer"))
        return sameSecret(trimmed(value.substr(7)), *token);
    if (startsWithWord(value, "basic")) {
        // Any user name; the token is the password.
        const auto credentials = fromBase64(trimmed(value.substr(6)));
        if (!credentials || credentials->find(':') == std::string::npos)
            return false;
        return sameSecret(std::string_view(*credentials).substr(credentials->find(':') + 1),
                          *token);
    }
    return false;
}

void Server::Impl::accept() {
    acceptor.async_accept([this](error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted)
            return;
        if (error) {
            // Out of file descriptors, say: try again a little later rather than spin.
            pause.expires_after(std::chrono::milliseconds(100));
            pause.async_wait([this](error_code failed) {
                if (!failed)
                    accept();
            });
            return;
        }
        if (clients >= Server::kMostClients) {
            ++counts.refused;
            error_code ignored;
            socket.non_blocking(true, ignored);
            socket.write_some(net::buffer(kBusy.data(), kBusy.size()), ignored);
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        } else {
            std::make_shared<Session>(std::move(socket), *this)->start();
        }
        accept();
    });
}

void Server::Impl::tick() {
    std::erase_if(streams, [](const std::weak_ptr<Session>& stream) { return stream.expired(); });
    const std::uint64_t version = state.version();
    const auto now = std::chrono::steady_clock::now();
    std::shared_ptr<const std::string> text;
    if (!streams.empty() && (!seenAny || version != seen)) {
        text = std::make_shared<const std::string>("data: " + state.json(false) + "\n\n");
        seen = version;
        seenAny = true;
    } else if (!streams.empty() && now - lastEvent >= kKeepAlive) {
        text = std::make_shared<const std::string>(": still here\n\n");
    }
    if (text) {
        lastEvent = now;
        for (const std::weak_ptr<Session>& stream : streams)
            if (const auto session = stream.lock())
                session->event(text);
    }
    ticker.expires_after(kTick);
    ticker.async_wait([this](error_code error) {
        if (!error)
            tick();
    });
}

Server::Server(State& state) : impl_(std::make_unique<Impl>(state)) {}

Server::~Server() = default;

bool Server::start(const ServerSettings& settings, std::string& error) {
    error_code failed;
    const auto address = net::ip::make_address(settings.address, failed);
    if (failed) {
        error = settings.address + " is not a numeric address";
        return false;
    }
    const tcp::endpoint endpoint(address, settings.port);
    tcp::acceptor& acceptor = impl_->acceptor;
    const auto say = [&](const char* what) {
        error = std::string(what) + ": " + failed.message();
        return false;
    };
    if (acceptor.open(endpoint.protocol(), failed))
        return say("cannot open a socket");
#ifndef _WIN32
    // Restarted at once, it binds the port its last run left in TIME_WAIT. (On Windows this
    // option would let two programs share the port.)
    acceptor.set_option(tcp::acceptor::reuse_address(true), failed);
#endif
    if (acceptor.bind(endpoint, failed))
        return say("cannot listen there");
    if (acceptor.listen(net::socket_base::max_listen_connections, failed))
        return say("cannot listen there");
    const tcp::endpoint local = acceptor.local_endpoint(failed);
    const std::string host = local.address().is_v6() ? "[" + local.address().to_string() + "]"
                                                     : local.address().to_string();
    impl_->where = "http://" + host + ":" + std::to_string(local.port()) + "/";
    impl_->token = settings.token;
    impl_->accept();
    impl_->tick();
    impl_->thread = std::thread([impl = impl_.get()] {
        for (;;) {
            try {
                impl->ioc.run();
                return;
            } catch (const std::exception&) {
                // A handler that threw (out of memory): the connection it served is gone, the
                // server goes on.
            }
        }
    });
    return true;
}

std::string Server::where() const {
    return impl_->where;
}

const ServerCounts& Server::counts() const {
    return impl_->counts;
}

} // namespace logger::http
