// The MQTT publisher, built as the plugin qf7320-mqtt.so: Eclipse Paho's asynchronous client
// (libpaho-mqtt3as, with OpenSSL for mqtts) for the protocol, and a store of its own on disk for
// every sample until the broker has acknowledged it (QoS 1).
//
// The poll's thread only appends a sample to the store and wakes the sender; the sender thread
// connects, reads the store in order and hands the records to Paho, at most kWindow at a time;
// Paho's threads report connections, acknowledgements and Home Assistant's status. So a broker
// that is down, slow or refusing never holds the poll up, and a sample is let go only once the
// broker has it.

#include "logger/publish/publisher.h"
#include "logger/publish/store.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace logger::publish {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWindow = 64; // records handed to Paho and not yet acknowledged
constexpr int kQos = 1;
constexpr std::chrono::milliseconds kFirstRetry{500};
constexpr std::chrono::milliseconds kLongestRetry{10000};
constexpr std::chrono::seconds kFirstAnswer{5}; // how long start() waits for the broker
constexpr int kConnectTimeoutSeconds = 5;
constexpr int kKeepAliveSeconds = 30;

std::string jsonText(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

// Letters, digits, _ and -: what Home Assistant takes in an object id.
std::string idText(const std::string& text) {
    std::string id;
    for (const char c : text)
        id += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return id;
}

// What a failed connection's code and message mean to a user, and whether trying again can help
// (a refusal of the credentials or of the certificate will be refused again).
struct ConnectFailure {
    std::string text;
    bool refused = false;
};

ConnectFailure connectFailure(int code, const char* message, const std::string& tlsError,
                              const Settings& settings) {
    const std::string broker = settings.host + ":" + std::to_string(settings.port);
    const std::string said = !tlsError.empty() ? tlsError : message ? message : "";
    switch (code) {
    case 1:
        return {"the broker " + broker + " does not speak MQTT 3.1.1", true};
    case 2:
        return {"the broker " + broker + " refused the client id", true};
    case 4:
    case 5:
        return {"the broker " + broker + " refused " +
                    (settings.user.empty() ? std::string("a connection without a user")
                                           : "the user " + settings.user + " and its password") +
                    ": check the user in --mqtt and the password (QF7320_MQTT_PASSWORD or "
                    "--mqtt-password-file)",
                true};
    default:
        break;
    }
    // Paho says nothing more specific than a failed TCP/TLS connect; a failed certificate check
    // is told apart by OpenSSL's reason.
    if (settings.tls && said.find("certificate verify failed") != std::string::npos)
        return {"the certificate of " + broker + " does not verify (" + said +
                    "): give the CA that signed it with --mqtt-ca, or --mqtt-insecure to accept "
                    "it unverified",
                true};
    return {"cannot reach the broker " + broker + (said.empty() ? "" : " (" + said + ")"), false};
}

class MqttPublisher final : public Publisher {
public:
    explicit MqttPublisher(Settings settings) : settings_(std::move(settings)) {}
    ~MqttPublisher() override {
        stopSender();
        if (client_)
            MQTTAsync_destroy(&client_);
    }

    Start start(std::string& error) override;
    void publish(const Sample& sample) override;
    void finish(std::chrono::milliseconds time) override;
    std::vector<std::string> summary() const override;
    long long waiting() const override;

private:
    struct InFlight {
        std::uint64_t index = 0;
        SampleStore::Cursor after; // the place past this record
        bool acknowledged = false;
    };

    std::string statusTopic() const { return settings_.prefix + "/status"; }
    std::string haStatusTopic() const { return settings_.haPrefix + "/status"; }
    std::string stateTopic(int station) const {
        return settings_.prefix + "/" + std::to_string(station) + "/state";
    }
    void say(const std::string& text) const {
        if (settings_.say)
            settings_.say("qf7320: " + text);
    }

    void connect();
    void send();
    void sendLoop();
    void stopSender();
    void announce(); // status online, and Home Assistant's configs
    bool sendRaw(const std::string& topic, const std::string& payload, bool track,
                 std::uint64_t index = 0, SampleStore::Cursor after = {});

    // Paho's callbacks, on its threads.
    static void onConnected(void* self, MQTTAsync_successData* response);
    static void onConnectFailed(void* self, MQTTAsync_failureData* response);
    static void onConnectionLost(void* self, char* cause);
    static int onMessage(void* self, char* topic, int topicLength, MQTTAsync_message* message);
    static void onDelivered(void* self, MQTTAsync_successData* response);
    static void onNotDelivered(void* self, MQTTAsync_failureData* response);
    void acknowledged(int token); // under the lock
    void storeWaiting();          // under the lock

    Settings settings_;
    SampleStore store_;
    MQTTAsync client_ = nullptr;
    std::thread sender_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool connected_ = false;
    bool connecting_ = false;
    bool everConnected_ = false;
    bool outOfReach_ = false; // said that the broker cannot be reached; said when it is back
    bool announceDue_ = false;
    std::optional<ConnectFailure> firstFailure_;
    Clock::time_point nextAttempt_;
    std::chrono::milliseconds retry_ = kFirstRetry;
    SampleStore::Cursor sendCursor_;
    std::deque<InFlight> inFlight_;
    std::unordered_map<int, std::uint64_t> tokens_; // Paho's token -> record index
    std::unordered_set<int> early_;                 // acknowledged before their token was known
    std::uint64_t delivered_ = 0;
    std::uint64_t dropped_ = 0;
    bool droppingSaid_ = false;
    // Samples the store could not take yet (its disk full), the oldest first.
    static constexpr std::size_t kMostUnstoredBytes = 8 << 20;
    std::deque<std::string> unstored_;
    std::size_t unstoredBytes_ = 0;
    std::uint64_t unstoredLost_ = 0;
    bool unstoredSaid_ = false;
    std::string tlsError_; // OpenSSL's last reason during this connection attempt
};

Publisher::Start MqttPublisher::start(std::string& error) {
    if (!store_.open(settings_.storeDir, std::uint64_t(settings_.buffer), error))
        return Start::StoreUnusable;
    sendCursor_ = store_.begin();

    const std::string uri = std::string(settings_.tls ? "ssl://" : "tcp://") + settings_.host +
                            ":" + std::to_string(settings_.port);
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.MQTTVersion = MQTTVERSION_3_1_1;
    // Paho keeps nothing of its own: the store holds every sample until it is acknowledged.
    if (MQTTAsync_createWithOptions(&client_, uri.c_str(), settings_.clientId.c_str(),
                                    MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                    &create) != MQTTASYNC_SUCCESS) {
        error = "cannot set up an MQTT client for " + uri;
        return Start::Refused;
    }
    MQTTAsync_setCallbacks(client_, this, onConnectionLost, onMessage, nullptr);

    std::unique_lock lock(mutex_);
    nextAttempt_ = Clock::now();
    sender_ = std::thread([this] { sendLoop(); });
    wake_.wait_for(lock, kFirstAnswer, [this] { return everConnected_ || firstFailure_; });
    if (!everConnected_ && firstFailure_ && firstFailure_->refused) {
        error = firstFailure_->text;
        lock.unlock();
        stopSender();
        return Start::Refused;
    }
    if (!everConnected_) {
        outOfReach_ = true;
        say((firstFailure_ ? firstFailure_->text
                           : "no answer yet from the broker " + settings_.host + ":" +
                                 std::to_string(settings_.port)) +
            "; samples wait in " + store_.dir() + " until it answers");
    }
    return Start::Started;
}

void MqttPublisher::sendLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!connected_ && !connecting_ && Clock::now() >= nextAttempt_) {
            connecting_ = true;
            lock.unlock();
            connect();
            lock.lock();
            continue;
        }
        if (connected_ && announceDue_) {
            announceDue_ = false;
            lock.unlock();
            announce();
            lock.lock();
            continue;
        }
        if (connected_ && inFlight_.size() < kWindow) {
            std::string record;
            SampleStore::Cursor cursor = sendCursor_;
            if (store_.read(cursor, record)) {
                const std::uint64_t index = cursor.index - 1;
                sendCursor_ = cursor;
                inFlight_.push_back({index, cursor, false});
                lock.unlock();
                const std::size_t tab = record.find('\t');
                sendRaw(record.substr(0, tab), record.substr(tab + 1), true, index, cursor);
                lock.lock();
                continue;
            }
        }
        if (!connected_ && !connecting_)
            wake_.wait_until(lock, nextAttempt_);
        else
            wake_.wait(lock);
    }
}

void MqttPublisher::connect() {
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.keepAliveInterval = kKeepAliveSeconds;
    options.cleansession = 1;
    options.connectTimeout = kConnectTimeoutSeconds;
    options.onSuccess = onConnected;
    options.onFailure = onConnectFailed;
    options.context = this;
    if (!settings_.user.empty())
        options.username = settings_.user.c_str();
    if (!settings_.password.empty())
        options.password = settings_.password.c_str();

    const std::string willTopic = statusTopic();
    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = willTopic.c_str();
    will.message = "offline";
    will.retained = 1;
    will.qos = kQos;
    options.will = &will;

    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (settings_.tls) {
        // No trust store given: OpenSSL's default paths, the system's certificates.
        ssl.trustStore = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
        ssl.enableServerCertAuth = settings_.insecure ? 0 : 1;
        ssl.verify = settings_.insecure ? 0 : 1; // the host name against the certificate
        // OpenSSL's reasons, which Paho's failure does not carry.
        ssl.ssl_error_context = this;
        ssl.ssl_error_cb = [](const char* text, std::size_t length, void* self) {
            auto* publisher = static_cast<MqttPublisher*>(self);
            std::lock_guard lock(publisher->mutex_);
            publisher->tlsError_.assign(text, length);
            while (!publisher->tlsError_.empty() && publisher->tlsError_.back() == '\n')
                publisher->tlsError_.pop_back();
            return 0;
        };
        options.ssl = &ssl;
    }
    if (MQTTAsync_connect(client_, &options) != MQTTASYNC_SUCCESS) {
        MQTTAsync_failureData failure{};
        failure.code = MQTTASYNC_FAILURE;
        onConnectFailed(this, &failure);
    }
}

void MqttPublisher::onConnected(void* self, MQTTAsync_successData*) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(publisher->mutex_);
    publisher->connected_ = true;
    publisher->connecting_ = false;
    publisher->retry_ = kFirstRetry;
    // What was handed over on the last connection and not acknowledged goes again.
    publisher->sendCursor_ = publisher->store_.begin();
    publisher->inFlight_.clear();
    publisher->tokens_.clear();
    publisher->early_.clear();
    publisher->announceDue_ = true;
    if (publisher->outOfReach_) {
        publisher->outOfReach_ = false;
        publisher->say("the broker " + publisher->settings_.host + ":" +
                       std::to_string(publisher->settings_.port) + " answers; " +
                       std::to_string(publisher->store_.held()) + " samples waiting go now");
    }
    publisher->everConnected_ = true;
    publisher->wake_.notify_all();
}

void MqttPublisher::onConnectFailed(void* self, MQTTAsync_failureData* response) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(publisher->mutex_);
    const ConnectFailure failure = connectFailure(response ? response->code : MQTTASYNC_FAILURE,
                                                  response ? response->message : nullptr,
                                                  publisher->tlsError_, publisher->settings_);
    publisher->tlsError_.clear();
    publisher->connecting_ = false;
    if (!publisher->firstFailure_)
        publisher->firstFailure_ = failure;
    publisher->nextAttempt_ = Clock::now() + publisher->retry_;
    publisher->retry_ = std::min(publisher->retry_ * 2, kLongestRetry);
    if (publisher->everConnected_ && !publisher->outOfReach_) {
        publisher->outOfReach_ = true;
        publisher->say(failure.text + "; samples wait in " + publisher->store_.dir() +
                       " until it answers");
    }
    publisher->wake_.notify_all();
}

void MqttPublisher::onConnectionLost(void* self, char* cause) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(publisher->mutex_);
    publisher->connected_ = false;
    publisher->connecting_ = false;
    publisher->nextAttempt_ = Clock::now() + kFirstRetry;
    publisher->retry_ = kFirstRetry;
    if (!publisher->outOfReach_) {
        publisher->outOfReach_ = true;
        publisher->say("lost the broker " + publisher->settings_.host + ":" +
                       std::to_string(publisher->settings_.port) +
                       (cause ? std::string(" (") + cause + ")" : std::string()) +
                       "; samples wait in " + publisher->store_.dir() + " until it answers");
    }
    publisher->wake_.notify_all();
}

int MqttPublisher::onMessage(void* self, char* topic, int topicLength, MQTTAsync_message* message) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    const std::string name =
        topicLength > 0 ? std::string(topic, std::size_t(topicLength)) : std::string(topic);
    const std::string payload(static_cast<const char*>(message->payload),
                              std::size_t(std::max(message->payloadlen, 0)));
    // Home Assistant started again: it has forgotten every entity not retained... and is told
    // again.
    if (name == publisher->haStatusTopic() && payload == "online") {
        std::lock_guard lock(publisher->mutex_);
        publisher->announceDue_ = true;
        publisher->wake_.notify_all();
    }
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

void MqttPublisher::onDelivered(void* self, MQTTAsync_successData* response) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(publisher->mutex_);
    publisher->acknowledged(response ? response->token : -1);
}

void MqttPublisher::acknowledged(int token) {
    const auto found = tokens_.find(token);
    // The acknowledgement came before sendRaw() knew the token: it is taken when it does.
    if (found == tokens_.end()) {
        early_.insert(token);
        return;
    }
    const std::uint64_t index = found->second;
    tokens_.erase(found);
    for (InFlight& record : inFlight_)
        if (record.index == index)
            record.acknowledged = true;
    // The store lets go of what the broker has, in order.
    std::optional<SampleStore::Cursor> released;
    while (!inFlight_.empty() && inFlight_.front().acknowledged) {
        released = inFlight_.front().after;
        inFlight_.pop_front();
        ++delivered_;
    }
    if (released)
        store_.release(*released);
    wake_.notify_all();
}

void MqttPublisher::onNotDelivered(void* self, MQTTAsync_failureData*) {
    // The connection is going; what was not acknowledged goes again on the next one.
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(publisher->mutex_);
    publisher->wake_.notify_all();
}

bool MqttPublisher::sendRaw(const std::string& topic, const std::string& payload, bool track,
                            std::uint64_t index, SampleStore::Cursor) {
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    response.context = this;
    if (track) {
        response.onSuccess = onDelivered;
        response.onFailure = onNotDelivered;
    }
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = kQos;
    message.retained = 1;
    // Paho is never called under the lock its callbacks take, so neither waits for the other.
    const int rc = MQTTAsync_sendMessage(client_, topic.c_str(), &message, &response);
    if (rc != MQTTASYNC_SUCCESS || !track)
        return rc == MQTTASYNC_SUCCESS;
    std::lock_guard lock(mutex_);
    tokens_[response.token] = index;
    if (early_.erase(response.token))
        acknowledged(response.token);
    return true;
}

void MqttPublisher::announce() {
    sendRaw(statusTopic(), "online", false);
    if (!settings_.homeAssistant)
        return;
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    MQTTAsync_subscribe(client_, haStatusTopic().c_str(), kQos, &response);
    const std::string host = idText(settings_.hostname);
    for (const int station : settings_.stations) {
        const std::string id = "qf7320_" + host + "_" + std::to_string(station);
        const std::string topic = settings_.haPrefix + "/sensor/" + id + "/lux/config";
        const std::string config =
            "{\"name\":\"Illuminance\",\"device_class\":\"illuminance\","
            "\"unit_of_measurement\":\"lx\",\"state_class\":\"measurement\","
            "\"state_topic\":" +
            jsonText(stateTopic(station)) +
            ",\"value_template\":\"{{ value_json.lux }}\","
            "\"json_attributes_topic\":" +
            jsonText(stateTopic(station)) + ",\"unique_id\":" + jsonText(id + "_lux") +
            ",\"availability_topic\":" + jsonText(statusTopic()) +
            ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
            "\"device\":{\"identifiers\":[" +
            jsonText(id) + "],\"name\":" +
            jsonText("QF7320 " + settings_.hostname + " station " + std::to_string(station)) +
            ",\"model\":\"QF7320\"},\"origin\":{\"name\":\"qf7320\",\"sw_version\":" +
            jsonText(settings_.version) + "}}";
        sendRaw(topic, config, false);
    }
}

void MqttPublisher::publish(const Sample& sample) {
    char latency[32] = "null";
    if (sample.latencyMs >= 0)
        std::snprintf(latency, sizeof latency, "%.1f", sample.latencyMs);
    std::lock_guard lock(mutex_);
    const std::uint64_t seq = store_.nextSeq(sample.station);
    const std::string payload =
        "{\"time\":" + jsonText(sample.time) + ",\"seq\":" + std::to_string(seq) +
        ",\"station\":" + std::to_string(sample.station) +
        ",\"lux\":" + (sample.lux >= 0 ? std::to_string(sample.lux) : std::string("null")) +
        ",\"status\":" + jsonText(sample.status) + ",\"latency_ms\":" + latency + "}";
    unstored_.push_back(stateTopic(sample.station) + '\t' + payload);
    unstoredBytes_ += unstored_.back().size();
    storeWaiting();
    wake_.notify_all();
}

// Under the lock: the samples waiting in memory go into the store, the oldest first. While the
// store's disk takes nothing (full), they wait, up to kMostUnstoredBytes; beyond that the oldest
// are lost, and counted.
void MqttPublisher::storeWaiting() {
    while (!unstored_.empty()) {
        const std::uint64_t dropped = store_.append(unstored_.front());
        if (const int error = store_.appendError()) {
            if (!unstoredSaid_) {
                unstoredSaid_ = true;
                say("cannot write the store " + store_.dir() + ": " + std::strerror(error) +
                    "; samples wait in memory until it takes them again");
            }
            while (unstoredBytes_ > kMostUnstoredBytes) {
                unstoredBytes_ -= unstored_.front().size();
                unstored_.pop_front();
                ++unstoredLost_;
            }
            return;
        }
        unstoredBytes_ -= unstored_.front().size();
        unstored_.pop_front();
        if (dropped) {
            dropped_ += dropped;
            if (!droppingSaid_) {
                droppingSaid_ = true;
                say("the store " + store_.dir() + " holds its most, " +
                    std::to_string(settings_.buffer) +
                    " samples (--mqtt-buffer): the oldest are dropped while the broker cannot "
                    "take them");
            }
        }
    }
    if (unstoredSaid_) {
        unstoredSaid_ = false;
        say("writing the store " + store_.dir() + " again");
    }
}

void MqttPublisher::finish(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    storeWaiting();
    const bool delivered = wake_.wait_for(
        lock, time, [this] { return !connected_ || (inFlight_.empty() && store_.held() == 0); });
    const bool online = connected_;
    lock.unlock();
    if (online && delivered) {
        // A clean end: the status says so, as the last will would have after a crash.
        sendRaw(statusTopic(), "offline", false);
        MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
        options.timeout = 1000;
        options.context = this;
        options.onSuccess = [](void* self, MQTTAsync_successData*) {
            auto* publisher = static_cast<MqttPublisher*>(self);
            std::lock_guard lock(publisher->mutex_);
            publisher->connected_ = false;
            publisher->wake_.notify_all();
        };
        options.onFailure = [](void* self, MQTTAsync_failureData*) {
            auto* publisher = static_cast<MqttPublisher*>(self);
            std::lock_guard lock(publisher->mutex_);
            publisher->connected_ = false;
            publisher->wake_.notify_all();
        };
        lock.lock();
        // Nothing more is sent or connected meanwhile.
        stopping_ = true;
        lock.unlock();
        if (MQTTAsync_disconnect(client_, &options) == MQTTASYNC_SUCCESS) {
            lock.lock();
            wake_.wait_for(lock, std::chrono::milliseconds(1500), [this] { return !connected_; });
            lock.unlock();
        }
    }
    stopSender();
}

void MqttPublisher::stopSender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (sender_.joinable())
        sender_.join();
}

long long MqttPublisher::waiting() const {
    std::lock_guard lock(mutex_);
    return static_cast<long long>(store_.held());
}

std::vector<std::string> MqttPublisher::summary() const {
    std::lock_guard lock(mutex_);
    std::string line = "mqtt " + settings_.host + ":" + std::to_string(settings_.port) + ": " +
                       std::to_string(delivered_) + " delivered, " + std::to_string(store_.held()) +
                       " waiting in " + store_.dir();
    if (dropped_)
        line += ", " + std::to_string(dropped_) + " dropped (store full)";
    if (const std::uint64_t lost = unstoredLost_ + unstored_.size())
        line += ", " + std::to_string(lost) + " not stored (its disk full)";
    return {line};
}

} // namespace

} // namespace logger::publish

extern "C" __attribute__((visibility("default"))) logger::publish::Publisher*
qf7320_create_publisher(const logger::publish::Settings& settings) {
    return new logger::publish::MqttPublisher(settings);
}
