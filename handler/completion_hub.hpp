/* handler/completion_hub.hpp: one long-lived completion subscriber per client, routing completions to waiters */
#pragma once

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "wait_registry.hpp"

namespace kinra {

using namespace std::chrono_literals;

/// Subscribes once to the completions of a client's requests (every identifier under `base_topic`) and
/// keeps the connection for the client's life, so that a wait costs no socket, thread or handshake of
/// its own. A waiter registers the topics it wants before its requests are sent; the hub's thread hands
/// each completion to every waiter whose topics match it. Topics outside `base_topic` are subscribed
/// while a waiter wants them, with the settle period a new subscription needs.
///
/// Completions are also kept for `retention`, so a waiter registered after its completion arrived (a
/// request enqueued earlier, waited for later) still receives it; a waiter does not take a kept
/// completion whose identifier it is about to send, since that one belongs to an earlier request.
class CompletionHub {
public:
    using Clock = std::chrono::steady_clock;
    using Messages = std::vector<std::pair<std::string, std::string>>;  // topic -> body, first-arrival order

    static constexpr std::chrono::milliseconds handshake_grace = 500ms;
    /* libzmq publishers take in new subscribers and subscriptions through commands that a sending socket
       processes at most about once a millisecond (3M TSC ticks). A completion published sooner after a
       subscription reaches the publisher's connection than that can miss it, so readiness waits this
       much longer after the handshake or after a new subscription. */
    static constexpr std::chrono::milliseconds subscription_settle = 2ms;
    static constexpr std::chrono::milliseconds quiet_period = 5000ms;
    static constexpr std::chrono::milliseconds retention = 10000ms;
    static constexpr std::size_t retention_limit = 20000;

    /// One wait for completions. Ends when the target's completion arrives, a receiving error concerns
    /// it, it is cancelled, or `quiet_period` passes without a message after a first one.
    class Waiter : public CancellableWait {
    public:
        /// `exact`: a topic matches only when equal to one of `topics` (otherwise by prefix, as
        /// subscriptions match). `sending`: identifiers of the requests this wait is about to send.
        Waiter(std::string target, std::vector<std::string> topics, bool exact, std::set<std::string> sending);

        /// Waits up to `timeout` until the wait has ended; returns whether it has.
        bool wait_ended(std::chrono::milliseconds timeout);
        bool target_arrived() const;
        Messages messages() const;
        /// The receiving failures that concerned this wait, in order.
        std::vector<std::string> errors() const;
        const std::string& target() const noexcept { return target_; }

    private:
        friend class CompletionHub;
        bool matches(const std::string& raw_topic, const std::string& topic) const;
        void deliver(const std::string& topic, const std::string& body, Clock::time_point now);
        void fail(const std::string& error);
        bool ended_locked(Clock::time_point now) const;
        void on_cancel() noexcept override;

        std::string target_;
        std::vector<std::string> topics_;
        bool exact_;
        std::set<std::string> sending_;
        /* Set while added to a hub. The hub outlives the wait's registration with the client, so a
           cancellation that read it may still use it. */
        std::atomic<CompletionHub*> hub_{nullptr};

        Messages messages_;
        std::vector<std::string> errors_;
        bool target_arrived_ = false;
        Clock::time_point last_message_{};
    };

    /// Connects and subscribes to `base_topic`; throws zmq::error_t when the endpoint is unusable.
    CompletionHub(std::shared_ptr<zmq::context_t> context, std::string endpoint, std::string base_topic);
    CompletionHub(const CompletionHub&) = delete;
    CompletionHub& operator=(const CompletionHub&) = delete;
    ~CompletionHub();

    const std::string& endpoint() const noexcept { return endpoint_; }

    /// Starts routing to `waiter` (and hands it the kept completions it matches). Remove it before it dies.
    void add(Waiter& waiter);
    void remove(Waiter& waiter) noexcept;

    /// Waits up to `timeout` until the subscriptions `waiter` needs have reached the publisher (handshake
    /// and settle period), it is cancelled or the hub stopped. Returns whether one of those happened.
    bool wait_ready(const Waiter& waiter, std::chrono::milliseconds timeout);

    /// For a request sent outside a wait: waits up to `timeout` until the base subscription has reached
    /// the publisher, but only within `handshake_grace` of the hub's start or of its last lost
    /// connection, so that a server that stays away does not slow every request. Returns whether the
    /// wait is over (settled, given up, or the hub stopped).
    bool wait_subscribed(std::chrono::milliseconds timeout);
    /// Whether wait_subscribed would return at once; cheap enough for every request.
    bool subscribed_or_given_up() const noexcept {
        return settled_.load(std::memory_order_acquire) || wait_subscribed_done();
    }

    /// Ends the receiving thread; waiters added later receive nothing. Idempotent.
    void stop() noexcept;

    /// Stops every hub of the process: at exit nobody is left to take a completion.
    static void stop_all() noexcept;

private:
    void run() noexcept;
    void receive(zmq::socket_t& subscriber);
    void read_monitor();
    void apply_subscriptions();
    void route(const std::string& raw_topic, std::string topic, std::string body, Clock::time_point now);
    void fail_waiters(const std::string& raw_topic, const std::optional<std::string>& topic, const std::string& error);
    bool covered_by_base(const std::string& topic) const;
    std::optional<Clock::time_point> ready_at(const Waiter& waiter) const;  // under mutex_
    void wake() noexcept;
    bool wait_subscribed_done() const noexcept;

    std::shared_ptr<zmq::context_t> context_;
    std::string endpoint_;
    std::string base_topic_;
    zmq::socket_t subscriber_;
    zmq::socket_t monitor_;
    int wake_fd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::optional<Clock::time_point> connected_at_;  // the last completed handshake, while connected
    Clock::time_point unconnected_since_ = Clock::now();  // start, or the last lost connection
    std::atomic<bool> settled_{false};  // connected, and the base subscription has settled
    std::map<std::string, int> wanted_;               // topics outside the base -> waiters wanting them
    std::map<std::string, Clock::time_point> applied_;  // subscriptions set on the socket, and when
    std::vector<Waiter*> waiters_;
    std::deque<std::tuple<Clock::time_point, std::string, std::string, std::string>> kept_;  // time, raw, topic, body

    std::thread thread_;
};

}  // namespace kinra
