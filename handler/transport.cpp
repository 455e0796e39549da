/* handler/transport.cpp: REQ socket exchanges with bounded, sliced waits */
#include "transport.hpp"

#include <cerrno>

namespace kinra {

namespace {

using Clock = std::chrono::steady_clock;

/// Waits until `socket` reports `events`, the deadline passes or `abandon` says stop.
enum class Readiness { ready, timed_out, abandoned };

Readiness wait_for(zmq::socket_t& socket, short events, Clock::time_point deadline, const AbandonCheck& abandon) {
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) return Readiness::timed_out;
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        zmq::pollitem_t item{socket.handle(), 0, events, 0};
        try {
            zmq::poll(&item, 1, std::min(remaining, wait_slice));
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
        if (item.revents & events) return Readiness::ready;
        if (abandon && abandon()) return Readiness::abandoned;
    }
}

}  // namespace

std::string tcp_endpoint(std::string_view address, int port) {
    return "tcp://" + std::string(address) + ":" + std::to_string(port);
}

RequestSocket::RequestSocket(zmq::context_t& context, const std::string& endpoint)
    : socket_(context, zmq::socket_type::req) {
    socket_.set(zmq::sockopt::immediate, 1);
    socket_.set(zmq::sockopt::sndtimeo, static_cast<int>(request_timeout.count()));
    socket_.set(zmq::sockopt::rcvtimeo, static_cast<int>(request_timeout.count()));
    socket_.set(zmq::sockopt::linger, 0);  // closing must never wait for a server that is gone
    socket_.connect(endpoint);
}

RequestSocket::Outcome RequestSocket::exchange(std::string_view request, std::string& reply, std::string& error,
                                               const AbandonCheck& abandon) {
    const std::string timed_out = zmq_strerror(EAGAIN);
    try {
        switch (wait_for(socket_, ZMQ_POLLOUT, Clock::now() + request_timeout, abandon)) {
            case Readiness::abandoned: return Outcome::abandoned;
            case Readiness::timed_out: error = timed_out; return Outcome::send_failed;
            case Readiness::ready: break;
        }
        if (!socket_.send(zmq::const_buffer(request.data(), request.size()), zmq::send_flags::dontwait)) {
            error = timed_out;
            return Outcome::send_failed;
        }
    } catch (const zmq::error_t& e) {
        error = e.what();
        return Outcome::send_failed;
    }
    try {
        switch (wait_for(socket_, ZMQ_POLLIN, Clock::now() + request_timeout, abandon)) {
            case Readiness::abandoned: return Outcome::abandoned;
            case Readiness::timed_out: error = timed_out; return Outcome::receive_failed;
            case Readiness::ready: break;
        }
        zmq::message_t message;
        if (!socket_.recv(message, zmq::recv_flags::dontwait)) {
            error = timed_out;
            return Outcome::receive_failed;
        }
        reply.assign(static_cast<const char*>(message.data()), message.size());
        // A reply of several frames is not a record; collect the rest so the socket stays in step.
        while (message.more()) {
            if (!socket_.recv(message, zmq::recv_flags::dontwait)) break;
            reply.append(static_cast<const char*>(message.data()), message.size());
        }
    } catch (const zmq::error_t& e) {
        error = e.what();
        return Outcome::receive_failed;
    }
    return Outcome::replied;
}

RequestPair::RequestPair(std::shared_ptr<zmq::context_t> context) : context_(std::move(context)) {}

void RequestPair::set_endpoints(std::string action_endpoint, std::string log_endpoint) {
    std::lock_guard lock(endpoints_mutex_);
    action_endpoint_ = std::move(action_endpoint);
    log_endpoint_ = std::move(log_endpoint);
}

bool RequestPair::init(bool reset, std::string& error) {
    std::lock_guard action_lock(action_mutex_);  // always the action lock first
    std::lock_guard log_lock(log_mutex_);
    return init_locked(reset, error);
}

bool RequestPair::init_locked(bool reset, std::string& error) {
    std::string action_endpoint, log_endpoint;
    {
        std::lock_guard lock(endpoints_mutex_);
        action_endpoint = action_endpoint_;
        log_endpoint = log_endpoint_;
    }
    try {
        if (reset) {
            action_socket_.reset();
            log_socket_.reset();
        }
        action_socket_ = std::make_unique<RequestSocket>(*context_, action_endpoint);
        log_socket_ = std::make_unique<RequestSocket>(*context_, log_endpoint);
    } catch (const zmq::error_t& e) {
        error = e.what();
        return false;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
    action_ok_ = true;
    log_ok_ = true;
    return true;
}

std::unique_ptr<RequestSocket>& RequestPair::socket(Channel channel) noexcept {
    return channel == Channel::action ? action_socket_ : log_socket_;
}

bool RequestPair::status(Channel channel) const noexcept {
    return channel == Channel::action ? action_ok_.load() : log_ok_.load();
}

RequestPair::Exchange RequestPair::exchange(Channel channel, std::string_view request, const AbandonCheck& abandon) {
    Exchange result;
    std::unique_lock own(channel == Channel::action ? action_mutex_ : log_mutex_);
    if (!status(channel)) {
        // Replacing the sockets needs both locks, always taken action lock first.
        std::unique_lock<std::mutex> other;
        if (channel == Channel::action) {
            other = std::unique_lock(log_mutex_);
        } else {
            own.unlock();
            other = std::unique_lock(action_mutex_);
            own.lock();
        }
        if (!status(channel)) {
            std::string error;
            if (!init_locked(true, error)) result.reset_error = std::move(error);
        }
    }
    std::unique_ptr<RequestSocket>& sock = socket(channel);
    if (!sock) {
        result.outcome = RequestSocket::Outcome::send_failed;
        result.error = zmq_strerror(ENOTSOCK);
    } else {
        result.outcome = sock->exchange(request, result.reply, result.error, abandon);
    }
    if (result.outcome != RequestSocket::Outcome::replied) {
        (channel == Channel::action ? action_ok_ : log_ok_) = false;
    }
    return result;
}

}  // namespace kinra
