/* handler/receiver.hpp: the subscriber thread that waits for the server to publish finished actions */
#pragma once

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kinra {

using namespace std::chrono_literals;

/// Subscribes to the completion topics of one batch of requests and collects the completions the server
/// publishes, until the target's completion arrives, the publisher has been quiet for `quiet_period`
/// after a first message, it is stopped, or receiving fails. Each completion is a two-frame message:
/// the topic (a cmd_id, possibly NUL-padded) and the finished action record.
class CompletionReceiver : public std::enable_shared_from_this<CompletionReceiver> {
public:
    using Messages = std::vector<std::pair<std::string, std::string>>;  // topic -> body, first-arrival order
    using ErrorSink = std::function<void(const std::string&)>;

    static constexpr std::chrono::milliseconds poll_slice = 20ms;
    static constexpr std::chrono::milliseconds handshake_grace = 500ms;
    /* libzmq publishers take in new subscribers and subscriptions through commands that a sending socket
       processes at most about once a millisecond (3M TSC ticks). A completion published sooner after the
       handshake than that can miss the new subscriber, so readiness waits this much longer. */
    static constexpr std::chrono::milliseconds subscription_settle = 2ms;
    static constexpr std::chrono::milliseconds quiet_period = 5000ms;

    /// `sink` receives the text of a receiving failure, from the receiving thread.
    CompletionReceiver(std::shared_ptr<zmq::context_t> context, std::string endpoint, std::string target,
                       std::vector<std::string> topics, ErrorSink sink);
    CompletionReceiver(const CompletionReceiver&) = delete;
    CompletionReceiver& operator=(const CompletionReceiver&) = delete;

    /// Runs `run()` on a new thread that keeps this object alive until it returns. Starts at most once.
    void start();

    /// The receiving loop on the calling thread; does nothing when it has already run.
    void run() noexcept;

    void stop() noexcept;

    /// Ready: subscriptions are set and the connection to the publisher has completed its handshake
    /// `subscription_settle` ago, or `handshake_grace` has passed since connecting.
    bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_acquire); }

    /// Waits up to `timeout` until ready or finished; returns ready() || finished().
    bool wait_ready_or_finished(std::chrono::milliseconds timeout);
    /// Waits up to `timeout` until finished; returns finished().
    bool wait_finished(std::chrono::milliseconds timeout);

    /// A copy of what has been received so far.
    Messages messages() const;

    const std::string& endpoint() const noexcept { return endpoint_; }
    const std::string& target() const noexcept { return target_; }
    const std::vector<std::string>& topics() const noexcept { return topics_; }

    /// Stops every receiving thread started by `start()` and waits up to `timeout` for all of them to
    /// return; returns whether they did. Each notices the stop within one `poll_slice`.
    static bool stop_running_threads(std::chrono::milliseconds timeout);

private:
    void receive_loop(zmq::socket_t& subscriber);
    void await_handshake(zmq::socket_t& subscriber);
    void set_flag(std::atomic<bool>& flag);

    std::shared_ptr<zmq::context_t> context_;
    std::string endpoint_;
    std::string target_;
    std::vector<std::string> topics_;
    ErrorSink sink_;

    std::atomic<bool> started_{false};
    std::atomic<bool> ran_{false};
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Messages messages_;
};

}  // namespace kinra
