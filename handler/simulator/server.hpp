/* handler/simulator/server.hpp: the simulator's sockets and its single event loop */
#pragma once

#include <cstdio>
#include <deque>
#include <string>
#include <unordered_map>

#include <zmq.hpp>

#include "cell.hpp"

namespace vemo::sim {

struct ServerOptions {
    std::string address = "127.0.0.1";
    int publisher_port = 5001, action_port = 5002, log_port = 5003;
    double replay_window_s = 10.0;  // how long a finished request's result is re-sent to late subscribers
    bool verbose = false;           // one line per accepted and finished request
};

/// Binds the three endpoints on construction (throws zmq::error_t when one is taken) and serves
/// them from one thread: requests are answered in arrival order, results published as they occur.
class Server {
public:
    Server(zmq::context_t& context, Cell& cell, ServerOptions options, std::FILE* log);

    enum class Stop { signal, watched_fd_closed };

    /// Serves until `stop_fd` (a signalfd) becomes readable, which the caller then reads, or until
    /// `watch_fd` (when >= 0) reaches its end, as a pipe does when the process holding its other end
    /// is gone. Lines that arrive on `watch_fd` are simulator commands: "input KINRAID PIN 0|1" sets a
    /// simulated input; each gets one line on the log ("input ..." when done, "refused input: ..." not).
    Stop run(int stop_fd, int watch_fd = -1);

private:
    void serve_requests(zmq::socket_t& socket, bool actions);
    void serve_subscriptions();
    void publish_completions();
    void publish(const std::string& topic, const std::string& record);
    void forget_expired(TimePoint now);
    void serve_commands();
    void run_command(std::string_view line);

    struct Replay {
        std::string record;
        TimePoint expires;
    };

    Cell& cell_;
    ServerOptions options_;
    std::FILE* log_;
    zmq::socket_t publisher_, actions_, logs_;
    std::unordered_map<std::string, Replay> replay_;
    std::deque<std::pair<std::string, TimePoint>> replay_order_;
    std::string commands_;  // what arrived on the watched descriptor and is not a whole line yet
};

}  // namespace vemo::sim
