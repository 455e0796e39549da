/* handler/completion_hub.cpp: the client's completion subscriber thread and the routing of completions to waiters */
#include "completion_hub.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace kinra {

namespace {

using Clock = CompletionHub::Clock;

std::atomic<unsigned long> monitor_serial{0};

/// Every live hub, so that they can be stopped at exit.
struct LiveHubs {
    std::mutex mutex;
    std::vector<CompletionHub*> hubs;
};

LiveHubs& live_hubs() {
    static LiveHubs* hubs = new LiveHubs;  // outlives every hub, also those destroyed during exit
    return *hubs;
}

/// The topic text: ASCII with every NUL removed; throws for other bytes.
std::string decode_topic(const std::string& raw) {
    std::string topic;
    topic.reserve(raw.size());
    for (std::size_t k = 0; k < raw.size(); ++k) {
        const auto byte = static_cast<unsigned char>(raw[k]);
        if (byte > 127) {
            static const char hex[] = "0123456789abcdef";
            throw std::runtime_error(std::string("'ascii' codec can't decode byte 0x") + hex[byte >> 4] + hex[byte & 15] +
                                     " in position " + std::to_string(k) + ": ordinal not in range(128)");
        }
        if (byte != 0) topic.push_back(static_cast<char>(byte));
    }
    return topic;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// --- Waiter ---------------------------------------------------------------------------------------

CompletionHub::Waiter::Waiter(std::string target, std::vector<std::string> topics, bool exact,
                              std::set<std::string> sending)
    : target_(std::move(target)), topics_(std::move(topics)), exact_(exact), sending_(std::move(sending)) {}

bool CompletionHub::Waiter::matches(const std::string& raw_topic, const std::string& topic) const {
    for (const std::string& wanted : topics_)
        if (exact_ ? topic == wanted : starts_with(raw_topic, wanted)) return true;
    return false;
}

void CompletionHub::Waiter::deliver(const std::string& topic, const std::string& body, Clock::time_point now) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(messages_.begin(), messages_.end(), [&](const auto& entry) { return entry.first == topic; });
        if (it != messages_.end())
            it->second = body;
        else
            messages_.emplace_back(topic, body);
        if (topic == target_) target_arrived_ = true;
        last_message_ = now;
    }
    changed_.notify_all();
}

void CompletionHub::Waiter::fail(const std::string& error) {
    {
        std::lock_guard lock(mutex_);
        errors_.push_back(error);
    }
    changed_.notify_all();
}

bool CompletionHub::Waiter::ended_locked(Clock::time_point now) const {
    return cancelled_ || target_arrived_ || !errors_.empty() ||
           (!messages_.empty() && now - last_message_ >= quiet_period);
}

bool CompletionHub::Waiter::wait_ended(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto until = Clock::now() + timeout;
    for (;;) {
        const auto now = Clock::now();
        if (ended_locked(now)) return true;
        if (now >= until) return false;
        auto wake = until;
        if (!messages_.empty()) wake = std::min(wake, last_message_ + quiet_period);
        changed_.wait_until(lock, wake);
    }
}

bool CompletionHub::Waiter::target_arrived() const {
    std::lock_guard lock(mutex_);
    return target_arrived_;
}

CompletionHub::Messages CompletionHub::Waiter::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> CompletionHub::Waiter::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

void CompletionHub::Waiter::on_cancel() noexcept {
    // A readiness wait sleeps on the hub's condition variable: wake it under the hub's lock so the
    // cancellation cannot slip between its check and its sleep.
    CompletionHub* hub = hub_.load();
    if (hub == nullptr) return;
    { std::lock_guard lock(hub->mutex_); }
    hub->changed_.notify_all();
}

// --- CompletionHub --------------------------------------------------------------------------------

CompletionHub::CompletionHub(std::shared_ptr<zmq::context_t> context, std::string endpoint, std::string base_topic)
    : context_(std::move(context)),
      endpoint_(std::move(endpoint)),
      base_topic_(std::move(base_topic)),
      subscriber_(*context_, zmq::socket_type::sub),
      monitor_(*context_, zmq::socket_type::pair) {
    subscriber_.set(zmq::sockopt::linger, 0);
    // Nothing may be dropped under a burst of completions: a dropped one is a wait that never ends.
    subscriber_.set(zmq::sockopt::rcvhwm, 0);
    subscriber_.set(zmq::sockopt::subscribe, base_topic_);
    const std::string monitor_endpoint = "inproc://kinra-hub-monitor-" + std::to_string(++monitor_serial);
    if (zmq_socket_monitor(subscriber_.handle(), monitor_endpoint.c_str(),
                           ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED) != 0)
        throw zmq::error_t();
    monitor_.set(zmq::sockopt::linger, 0);
    monitor_.connect(monitor_endpoint);
    subscriber_.connect(endpoint_);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw zmq::error_t();
    {
        LiveHubs& live = live_hubs();
        std::lock_guard lock(live.mutex);
        live.hubs.push_back(this);
    }
    thread_ = std::thread([this] { run(); });
}

CompletionHub::~CompletionHub() {
    {
        LiveHubs& live = live_hubs();
        std::lock_guard lock(live.mutex);
        live.hubs.erase(std::find(live.hubs.begin(), live.hubs.end(), this));
    }
    stop();
    if (thread_.joinable()) thread_.join();
    zmq_socket_monitor(subscriber_.handle(), nullptr, 0);
    close(wake_fd_);
}

void CompletionHub::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    wake();
}

void CompletionHub::stop_all() noexcept {
    LiveHubs& live = live_hubs();
    std::lock_guard lock(live.mutex);
    for (CompletionHub* hub : live.hubs) hub->stop();
    for (CompletionHub* hub : live.hubs)
        if (hub->thread_.joinable()) hub->thread_.join();
}

void CompletionHub::wake() noexcept {
    const std::uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
}

bool CompletionHub::covered_by_base(const std::string& topic) const { return starts_with(topic, base_topic_); }

void CompletionHub::add(Waiter& waiter) {
    bool new_subscription = false;
    {
        std::lock_guard lock(mutex_);
        waiter.hub_.store(this);
        waiters_.push_back(&waiter);
        for (const std::string& topic : waiter.topics_) {
            if (covered_by_base(topic)) continue;
            if (wanted_[topic]++ == 0 && !applied_.count(topic)) new_subscription = true;
        }
        const auto now = Clock::now();
        for (const auto& [when, raw, topic, body] : kept_) {
            if (now - when > retention) continue;
            if (waiter.sending_.count(topic) || !waiter.matches(raw, topic)) continue;
            waiter.deliver(topic, body, now);
        }
    }
    if (new_subscription) wake();
}

void CompletionHub::remove(Waiter& waiter) noexcept {
    bool unsubscribe = false;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(waiters_.begin(), waiters_.end(), &waiter);
        if (it == waiters_.end()) return;
        waiters_.erase(it);
        for (const std::string& topic : waiter.topics_) {
            if (covered_by_base(topic)) continue;
            auto wanted = wanted_.find(topic);
            if (wanted != wanted_.end() && --wanted->second == 0) {
                wanted_.erase(wanted);
                unsubscribe = true;
            }
        }
    }
    waiter.hub_.store(nullptr);
    if (unsubscribe) wake();
}

std::optional<Clock::time_point> CompletionHub::ready_at(const Waiter& waiter) const {
    if (!connected_at_) return std::nullopt;
    Clock::time_point latest = *connected_at_;
    for (const std::string& topic : waiter.topics_) {
        if (covered_by_base(topic)) continue;
        const auto it = applied_.find(topic);
        if (it == applied_.end()) return std::nullopt;
        latest = std::max(latest, it->second);
    }
    return latest + subscription_settle;
}

bool CompletionHub::wait_ready(const Waiter& waiter, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto until = Clock::now() + timeout;
    for (;;) {
        const auto now = Clock::now();
        const auto at = ready_at(waiter);
        if ((at && now >= *at) || stop_ || waiter.cancelled()) return true;
        if (now >= until) return false;
        changed_.wait_until(lock, at ? std::min(*at, until) : until);
    }
}

bool CompletionHub::wait_subscribed_done() const noexcept {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (connected_at_) return now >= *connected_at_ + subscription_settle;
    return stop_ || now >= unconnected_since_ + handshake_grace;
}

bool CompletionHub::wait_subscribed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto until = Clock::now() + timeout;
    for (;;) {
        const auto now = Clock::now();
        if (connected_at_ && now >= *connected_at_ + subscription_settle) {
            settled_.store(true, std::memory_order_release);
            return true;
        }
        const auto give_up = unconnected_since_ + handshake_grace;
        if (stop_ || (!connected_at_ && now >= give_up)) return true;
        if (now >= until) return false;
        changed_.wait_until(lock, std::min(until, connected_at_ ? *connected_at_ + subscription_settle : give_up));
    }
}

void CompletionHub::apply_subscriptions() {
    std::vector<std::string> subscribe, unsubscribe;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [topic, count] : wanted_)
            if (!applied_.count(topic)) subscribe.push_back(topic);
        for (const auto& [topic, when] : applied_)
            if (!wanted_.count(topic)) unsubscribe.push_back(topic);
        /* Forgotten before the socket drops them: a waiter that wants one of them again from now on
           neither counts it as in place nor misses waking this thread to subscribe it anew. */
        for (const std::string& topic : unsubscribe) applied_.erase(topic);
    }
    for (const std::string& topic : unsubscribe) subscriber_.set(zmq::sockopt::unsubscribe, topic);
    for (const std::string& topic : subscribe) subscriber_.set(zmq::sockopt::subscribe, topic);
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (const std::string& topic : subscribe) applied_[topic] = now;
    }
    changed_.notify_all();
}

void CompletionHub::read_monitor() {
    for (;;) {
        zmq::message_t event;
        if (!monitor_.recv(event, zmq::recv_flags::dontwait)) return;
        zmq::message_t address;
        if (event.more()) (void)monitor_.recv(address, zmq::recv_flags::none);
        if (event.size() < sizeof(std::uint16_t)) continue;
        std::uint16_t kind;
        std::memcpy(&kind, event.data(), sizeof kind);
        {
            std::lock_guard lock(mutex_);
            if (kind == ZMQ_EVENT_HANDSHAKE_SUCCEEDED)
                connected_at_ = Clock::now();
            else if (kind == ZMQ_EVENT_DISCONNECTED && connected_at_) {
                connected_at_.reset();
                settled_.store(false, std::memory_order_release);
                unconnected_since_ = Clock::now();
            }
        }
        changed_.notify_all();
    }
}

void CompletionHub::fail_waiters(const std::string& raw_topic, const std::optional<std::string>& topic,
                                 const std::string& error) {
    std::lock_guard lock(mutex_);
    for (Waiter* waiter : waiters_)
        if (!topic || waiter->matches(raw_topic, *topic)) waiter->fail(error);
}

void CompletionHub::route(const std::string& raw_topic, std::string topic, std::string body, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    for (Waiter* waiter : waiters_)
        if (waiter->matches(raw_topic, topic)) waiter->deliver(topic, body, now);
    while (!kept_.empty() && (kept_.size() >= retention_limit || now - std::get<0>(kept_.front()) > retention))
        kept_.pop_front();
    kept_.emplace_back(now, raw_topic, std::move(topic), std::move(body));
}

void CompletionHub::receive(zmq::socket_t& subscriber) {
    for (;;) {
        zmq::message_t topic_frame;
        if (!subscriber.recv(topic_frame, zmq::recv_flags::dontwait)) return;
        std::string raw(static_cast<const char*>(topic_frame.data()), topic_frame.size());
        // The frames of one message arrive together, so the rest is already here.
        std::vector<zmq::message_t> rest;
        bool more = topic_frame.more();
        while (more) {
            zmq::message_t frame;
            if (!subscriber.recv(frame, zmq::recv_flags::dontwait)) break;
            more = frame.more();
            rest.push_back(std::move(frame));
        }
        std::string topic;
        try {
            topic = decode_topic(raw);
        } catch (const std::exception& e) {
            fail_waiters(raw, std::nullopt, e.what());
            continue;
        }
        if (rest.empty()) {
            fail_waiters(raw, topic, "completion message for '" + topic + "' has no body frame");
            continue;
        }
        route(raw, std::move(topic), std::string(static_cast<const char*>(rest[0].data()), rest[0].size()), Clock::now());
    }
}

void CompletionHub::run() noexcept {
    for (;;) {
        zmq::pollitem_t items[] = {{subscriber_.handle(), 0, ZMQ_POLLIN, 0},
                                   {monitor_.handle(), 0, ZMQ_POLLIN, 0},
                                   {nullptr, wake_fd_, ZMQ_POLLIN, 0}};
        try {
            zmq::poll(items, 3, std::chrono::milliseconds(-1));
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR) continue;
            fail_waiters("", std::nullopt, e.what());
            return;
        }
        try {
            if (items[2].revents & ZMQ_POLLIN) {
                std::uint64_t count;
                (void)!read(wake_fd_, &count, sizeof count);
                {
                    std::lock_guard lock(mutex_);
                    if (stop_) return;
                }
                apply_subscriptions();
            }
            if (items[1].revents & ZMQ_POLLIN) read_monitor();
            if (items[0].revents & ZMQ_POLLIN) receive(subscriber_);
        } catch (const std::exception& e) {
            fail_waiters("", std::nullopt, e.what());
        }
    }
}

}  // namespace kinra
