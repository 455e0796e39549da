/* handler/simulator/server.cpp: the simulator's sockets and its single event loop */
#include "server.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "wire.hpp"

namespace vemo::sim {

namespace {

constexpr int batch_limit = 256;  // requests taken from one socket before the others get a turn
constexpr std::size_t command_limit = 256;  // longest command line on the watched descriptor

std::string endpoint(const std::string& address, int port) { return "tcp://" + address + ":" + std::to_string(port); }

}  // namespace

Server::Server(zmq::context_t& context, Cell& cell, ServerOptions options, std::FILE* log)
    : cell_(cell),
      options_(std::move(options)),
      log_(log),
      publisher_(context, zmq::socket_type::xpub),
      actions_(context, zmq::socket_type::router),
      logs_(context, zmq::socket_type::router) {
    for (zmq::socket_t* s : {&publisher_, &actions_, &logs_}) {
        s->set(zmq::sockopt::linger, 0);
        // No request or subscription comes near this; a peer that sends more is disconnected.
        s->set(zmq::sockopt::maxmsgsize, int64_t{4096});
    }
    // Every subscription reaches us, also a second one to a topic, so each late subscriber gets its replay.
    publisher_.set(zmq::sockopt::xpub_verbose, 1);
    publisher_.set(zmq::sockopt::sndhwm, 100'000);
    publisher_.bind(endpoint(options_.address, options_.publisher_port));
    actions_.bind(endpoint(options_.address, options_.action_port));
    logs_.bind(endpoint(options_.address, options_.log_port));
}

Server::Stop Server::run(int stop_fd, int watch_fd) {
    for (;;) {
        std::vector<zmq::pollitem_t> items = {
            {publisher_.handle(), 0, ZMQ_POLLIN, 0},
            {actions_.handle(), 0, ZMQ_POLLIN, 0},
            {logs_.handle(), 0, ZMQ_POLLIN, 0},
            {nullptr, stop_fd, ZMQ_POLLIN, 0},
        };
        if (watch_fd >= 0) items.push_back({nullptr, watch_fd, ZMQ_POLLIN, 0});
        std::chrono::milliseconds timeout{-1};
        if (const auto wake = cell_.next_wakeup()) {
            const auto left = *wake - Clock::now();
            timeout = std::max(std::chrono::milliseconds{0}, std::chrono::ceil<std::chrono::milliseconds>(left));
        }
        try {
            zmq::poll(items, timeout);
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR) continue;
            throw;
        }
        if (items[3].revents & ZMQ_POLLIN) return Stop::signal;
        if (watch_fd >= 0 && (items[4].revents & (ZMQ_POLLIN | ZMQ_POLLERR))) {
            char chunk[256];
            const ssize_t got = read(watch_fd, chunk, sizeof chunk);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return Stop::watched_fd_closed;
            if (got > 0) commands_.append(chunk, static_cast<std::size_t>(got));
        }
        cell_.advance(Clock::now());
        serve_commands();
        publish_completions();
        if (items[0].revents & ZMQ_POLLIN) serve_subscriptions();
        if (items[1].revents & ZMQ_POLLIN) serve_requests(actions_, true);
        if (items[2].revents & ZMQ_POLLIN) serve_requests(logs_, false);
    }
}

void Server::serve_requests(zmq::socket_t& socket, bool actions) {
    for (int n = 0; n < batch_limit; ++n) {
        std::vector<zmq::message_t> frames;
        zmq::message_t frame;
        if (!socket.recv(frame, zmq::recv_flags::dontwait)) return;
        frames.push_back(std::move(frame));
        while (frames.back().more()) {
            zmq::message_t next;
            (void)socket.recv(next, zmq::recv_flags::none);  // the rest of a message is already here
            frames.push_back(std::move(next));
        }
        // A REQ peer's message is [identity, empty delimiter, body]; anything after the delimiter
        // other than a single frame is not a record and gets an empty body, hence a refusal.
        std::size_t delimiter = 0;
        while (delimiter < frames.size() && frames[delimiter].size() != 0) ++delimiter;
        std::size_t envelope_end = delimiter < frames.size() ? delimiter + 1 : 1;
        envelope_end = std::min(envelope_end, frames.size());
        std::string_view body;
        if (frames.size() == envelope_end + 1) body = frames.back().to_string_view();

        const TimePoint now = Clock::now();
        std::string reply;
        if (actions) {
            ActionReply r = handle_action_record(cell_, body, now);
            if (!r.verdict.accepted) {
                std::fprintf(log_, "refused %s: %s\n", r.request.cmd_id.empty() ? "(no cmd_id)" : r.request.cmd_id.c_str(),
                             r.verdict.reason.c_str());
            } else {
                replay_.erase(r.request.cmd_id);  // a reused identifier must not replay the old result
                if (options_.verbose)
                    std::fprintf(log_, "accepted %s: module %d function %d\n", r.request.cmd_id.c_str(),
                                 r.request.module_id, r.request.func_id);
            }
            reply = std::move(r.record);
        } else {
            reply = handle_log_record(cell_, body, now);
        }
        for (std::size_t i = 0; i < envelope_end; ++i)
            (void)socket.send(std::move(frames[i]), zmq::send_flags::sndmore | zmq::send_flags::dontwait);
        (void)socket.send(zmq::buffer(reply), zmq::send_flags::dontwait);
        publish_completions();
    }
}

void Server::serve_commands() {
    std::size_t end;
    while ((end = commands_.find('\n')) != std::string::npos) {
        run_command(std::string_view(commands_).substr(0, end));
        commands_.erase(0, end + 1);
    }
    if (commands_.size() > command_limit) {
        std::fprintf(log_, "refused input: a command line longer than %zu bytes\n", command_limit);
        commands_.clear();
    }
}

void Server::run_command(std::string_view line) {
    int kinra_id = 0, pin = 0, value = 0;
    char extra = 0;
    const std::string text(line);
    if (std::sscanf(text.c_str(), "input %d %d %d %c", &kinra_id, &pin, &value, &extra) != 3 || (value != 0 && value != 1)) {
        std::fprintf(log_, "refused input: expected 'input KINRAID PIN 0|1', got '%s'\n", text.c_str());
        return;
    }
    if (const auto why = cell_.set_input(kinra_id, pin, value == 1, Clock::now())) {
        std::fprintf(log_, "refused input: %s\n", why->c_str());
        return;
    }
    std::fprintf(log_, "input %d %d %d\n", kinra_id, pin, value);
}

void Server::serve_subscriptions() {
    const TimePoint now = Clock::now();
    forget_expired(now);
    for (int n = 0; n < batch_limit; ++n) {
        zmq::message_t message;
        if (!publisher_.recv(message, zmq::recv_flags::dontwait)) return;
        const std::string_view data = message.to_string_view();
        if (data.size() < 2 || data[0] != 1) continue;  // unsubscriptions and "everything" get no replay
        const auto it = replay_.find(std::string(data.substr(1)));
        if (it != replay_.end()) publish(it->first, it->second.record);
    }
}

void Server::publish_completions() {
    const TimePoint now = Clock::now();
    for (const Completion& c : cell_.take_completions()) {
        const std::string record = completion_record(c);
        publish(c.request.cmd_id, record);
        if (options_.verbose)
            std::fprintf(log_, "finished %s: result %d\n", c.request.cmd_id.c_str(), c.ok ? 1 : 0);
        if (options_.replay_window_s > 0) {
            const TimePoint expires = now + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(options_.replay_window_s));
            replay_.insert_or_assign(c.request.cmd_id, Replay{record, expires});
            replay_order_.emplace_back(c.request.cmd_id, expires);
        }
    }
    forget_expired(now);
}

void Server::publish(const std::string& topic, const std::string& record) {
    (void)publisher_.send(zmq::buffer(topic), zmq::send_flags::sndmore | zmq::send_flags::dontwait);
    (void)publisher_.send(zmq::buffer(record), zmq::send_flags::dontwait);
}

void Server::forget_expired(TimePoint now) {
    while (!replay_order_.empty() && replay_order_.front().second <= now) {
        const auto it = replay_.find(replay_order_.front().first);
        if (it != replay_.end() && it->second.expires == replay_order_.front().second) replay_.erase(it);
        replay_order_.pop_front();
    }
}

}  // namespace vemo::sim
