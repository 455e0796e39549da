/* handler/transport.hpp: request/reply exchanges with the handler server over ZeroMQ REQ sockets */
#pragma once

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kinra {

using namespace std::chrono_literals;

/// Polled between the slices of a wait; returning true abandons the wait (the operator's interrupt).
using AbandonCheck = std::function<bool()>;

inline constexpr std::chrono::milliseconds request_timeout = 1000ms;
inline constexpr std::chrono::milliseconds wait_slice = 100ms;

/// "tcp://address:port"
std::string tcp_endpoint(std::string_view address, int port);

/// One REQ socket with IMMEDIATE, SNDTIMEO and RCVTIMEO set, connected to one endpoint.
class RequestSocket {
public:
    enum class Outcome { replied, send_failed, receive_failed, abandoned };

    /// Throws zmq::error_t when the socket cannot be created or connected.
    RequestSocket(zmq::context_t& context, const std::string& endpoint);

    /// Sends `request` and receives the reply, each step bounded by `request_timeout`. The wait runs in
    /// slices of `wait_slice` so that `abandon` is consulted regularly. On failure `error` says why.
    Outcome exchange(std::string_view request, std::string& reply, std::string& error, const AbandonCheck& abandon);

private:
    zmq::socket_t socket_;
};

/// The action and log request sockets of one client, each guarded by its own lock. A failed exchange
/// marks its socket unusable, and the next exchange on it first replaces both sockets while holding
/// both locks (action lock first), so a request in flight on the other socket is never disturbed.
class RequestPair {
public:
    enum class Channel { action, log };

    struct Exchange {
        RequestSocket::Outcome outcome = RequestSocket::Outcome::send_failed;
        std::string reply;
        std::string error;
        std::optional<std::string> reset_error;  // set when the sockets had to be replaced and could not be
    };

    explicit RequestPair(std::shared_ptr<zmq::context_t> context);

    void set_endpoints(std::string action_endpoint, std::string log_endpoint);

    /// Creates (with `reset`: replaces) both sockets. Returns false with `error` set on failure, leaving
    /// the status flags as they were.
    bool init(bool reset, std::string& error);

    Exchange exchange(Channel channel, std::string_view request, const AbandonCheck& abandon);

    bool status(Channel channel) const noexcept;

private:
    bool init_locked(bool reset, std::string& error);
    std::unique_ptr<RequestSocket>& socket(Channel channel) noexcept;

    std::shared_ptr<zmq::context_t> context_;
    std::mutex action_mutex_;
    std::mutex log_mutex_;
    mutable std::mutex endpoints_mutex_;
    std::string action_endpoint_;
    std::string log_endpoint_;
    std::unique_ptr<RequestSocket> action_socket_;
    std::unique_ptr<RequestSocket> log_socket_;
    std::atomic<bool> action_ok_{false};
    std::atomic<bool> log_ok_{false};
};

}  // namespace kinra
