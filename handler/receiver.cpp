/* handler/receiver.cpp: completion subscriber with handshake-based readiness and a polled receive loop */
#include "receiver.hpp"

#include <algorithm>
#include <optional>
#include <thread>

namespace kinra {

namespace {

using Clock = std::chrono::steady_clock;

/// The threads started by CompletionReceiver::start() that have not returned yet, and their receivers.
struct RunningThreads {
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<CompletionReceiver*> receivers;  // each kept alive by its thread while listed
    std::size_t count = 0;

    void enter(CompletionReceiver* receiver) {
        std::lock_guard lock(mutex);
        receivers.push_back(receiver);
        ++count;
    }
    /// Takes `receiver` off the list while its thread still holds it, before it may be destroyed.
    void unlist(CompletionReceiver* receiver) {
        std::lock_guard lock(mutex);
        receivers.erase(std::find(receivers.begin(), receivers.end(), receiver));
    }
    void leave() {
        std::lock_guard lock(mutex);
        if (--count == 0) idle.notify_all();
    }
};

RunningThreads& running_threads() {
    static RunningThreads* threads = new RunningThreads;  // outlives every detached thread
    return *threads;
}

std::atomic<unsigned long> monitor_serial{0};

/// The topic text: ASCII with every NUL removed.
std::string decode_topic(const zmq::message_t& frame) {
    const auto* bytes = static_cast<const unsigned char*>(frame.data());
    std::string topic;
    topic.reserve(frame.size());
    for (std::size_t k = 0; k < frame.size(); ++k) {
        if (bytes[k] > 127) {
            static const char hex[] = "0123456789abcdef";
            throw std::runtime_error(std::string("'ascii' codec can't decode byte 0x") + hex[bytes[k] >> 4] +
                                     hex[bytes[k] & 15] + " in position " + std::to_string(k) +
                                     ": ordinal not in range(128)");
        }
        if (bytes[k] != 0) topic.push_back(static_cast<char>(bytes[k]));
    }
    return topic;
}

}  // namespace

CompletionReceiver::CompletionReceiver(std::shared_ptr<zmq::context_t> context, std::string endpoint,
                                       std::string target, std::vector<std::string> topics, ErrorSink sink)
    : context_(std::move(context)),
      endpoint_(std::move(endpoint)),
      target_(std::move(target)),
      topics_(std::move(topics)),
      sink_(std::move(sink)) {}

void CompletionReceiver::start() {
    bool expected = false;
    if (!started_.compare_exchange_strong(expected, true)) throw std::logic_error("receiver started twice");
    running_threads().enter(this);
    try {
        std::thread([self = shared_from_this()]() mutable {
            self->run();
            running_threads().unlist(self.get());
            self.reset();
            running_threads().leave();
        }).detach();
    } catch (...) {
        running_threads().unlist(this);
        running_threads().leave();
        throw;
    }
}

bool CompletionReceiver::stop_running_threads(std::chrono::milliseconds timeout) {
    RunningThreads& threads = running_threads();
    std::unique_lock lock(threads.mutex);
    for (CompletionReceiver* receiver : threads.receivers) receiver->stop();
    return threads.idle.wait_for(lock, timeout, [&] { return threads.count == 0; });
}

void CompletionReceiver::set_flag(std::atomic<bool>& flag) {
    {
        std::lock_guard lock(mutex_);
        flag.store(true, std::memory_order_release);
    }
    changed_.notify_all();
}

void CompletionReceiver::stop() noexcept {
    stop_.store(true, std::memory_order_release);
}

bool CompletionReceiver::wait_ready_or_finished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ready() || finished(); });
}

bool CompletionReceiver::wait_finished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finished(); });
}

CompletionReceiver::Messages CompletionReceiver::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

void CompletionReceiver::await_handshake(zmq::socket_t& subscriber) {
    // The monitor reports when the subscriber's connection has completed its handshake; from then on
    // its subscriptions are on their way to the publisher ahead of any request this client sends.
    const std::string monitor_endpoint = "inproc://kinra-receiver-monitor-" + std::to_string(++monitor_serial);
    if (zmq_socket_monitor(subscriber.handle(), monitor_endpoint.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED) != 0)
        throw zmq::error_t();
    zmq::socket_t monitor(*context_, zmq::socket_type::pair);
    monitor.set(zmq::sockopt::linger, 0);
    monitor.connect(monitor_endpoint);
    subscriber.connect(endpoint_);
    const auto deadline = Clock::now() + handshake_grace;
    while (!stop_requested()) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        zmq::pollitem_t item{monitor.handle(), 0, ZMQ_POLLIN, 0};
        try {
            zmq::poll(&item, 1, std::min(remaining, poll_slice));
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
        if (item.revents & ZMQ_POLLIN) {
            std::this_thread::sleep_for(subscription_settle);
            break;
        }
    }
    zmq_socket_monitor(subscriber.handle(), nullptr, 0);
}

void CompletionReceiver::receive_loop(zmq::socket_t& subscriber) {
    Clock::time_point last_message{};
    while (!stop_requested()) {
        {
            std::lock_guard lock(mutex_);
            if (!messages_.empty()) {
                for (const auto& entry : messages_)
                    if (entry.first == target_) return;
                if (Clock::now() - last_message > quiet_period) return;
            }
        }
        zmq::pollitem_t item{subscriber.handle(), 0, ZMQ_POLLIN, 0};
        try {
            zmq::poll(&item, 1, poll_slice);
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR) continue;
            throw;
        }
        if (!(item.revents & ZMQ_POLLIN)) continue;
        zmq::message_t topic_frame;
        if (!subscriber.recv(topic_frame, zmq::recv_flags::dontwait)) continue;
        std::string topic = decode_topic(topic_frame);
        if (!topic_frame.more()) throw std::runtime_error("completion message for '" + topic + "' has no body frame");
        // The frames of one message arrive together, so the body is already here.
        zmq::message_t body;
        if (!subscriber.recv(body, zmq::recv_flags::dontwait))
            throw std::runtime_error("completion message for '" + topic + "' has no body frame");
        zmq::message_t surplus;
        bool more = body.more();
        while (more && subscriber.recv(surplus, zmq::recv_flags::dontwait)) more = surplus.more();
        std::string body_bytes(static_cast<const char*>(body.data()), body.size());
        {
            std::lock_guard lock(mutex_);
            bool replaced = false;
            for (auto& entry : messages_) {
                if (entry.first == topic) {
                    entry.second = std::move(body_bytes);
                    replaced = true;
                    break;
                }
            }
            if (!replaced) messages_.emplace_back(std::move(topic), std::move(body_bytes));
        }
        last_message = Clock::now();
    }
}

void CompletionReceiver::run() noexcept {
    bool expected = false;
    if (!ran_.compare_exchange_strong(expected, true)) return;
    std::optional<zmq::socket_t> subscriber;
    try {
        subscriber.emplace(*context_, zmq::socket_type::sub);
        subscriber->set(zmq::sockopt::linger, 0);
        for (const std::string& topic : topics_) subscriber->set(zmq::sockopt::subscribe, topic);
        await_handshake(*subscriber);
        set_flag(ready_);
        receive_loop(*subscriber);
    } catch (const std::exception& e) {
        if (sink_) sink_(e.what());
    }
    set_flag(finished_);
    if (subscriber) {
        try {
            for (const std::string& topic : topics_) subscriber->set(zmq::sockopt::unsubscribe, topic);
        } catch (const zmq::error_t&) {
            // The socket is closed next anyway.
        }
        subscriber->close();
    }
}

}  // namespace kinra
