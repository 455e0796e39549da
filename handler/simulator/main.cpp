/* handler/simulator/main.cpp: vemo-sim, a handler server that simulates a cell's drives and IO modules
 *
 * Endpoints on --address (loopback in practice): XPUB 5001 publishes [cmd_id, record] when a request
 * finishes; ROUTER 5002 answers 216-byte action records, ROUTER 5003 answers 88-byte log records. One
 * thread serves all three, so replies to any number of REQ clients go back in arrival order to the
 * peer that asked, and no state is shared between threads.
 *
 * Action requests (reply: the request echoed with result 1 = accepted, 0 = refused):
 *   - Festo drive: module_id = SlaveNo, func_id 1..7 (move abs, move rel, home, stop, reset, disable,
 *     enable); Akribis drive: module_id = KinraID, func_id 51..57 in the same order.
 *   - IO set: module_id = the IO station's SlaveNo, func_id 0, args (pin, output start byte, value 0/1);
 *     the start byte selects the module, the pin is a bit of that module's output block.
 *   - Condition: module_id 0, func_id 151 + 10 * (KinraID - 1) + kind; 150 is the blank condition,
 *     502/503 the drives' spawned state. Kinds and their args: 0 slave status (state), 1 error state
 *     (code), 2 position (mode, drive units, tolerance), 3/4 output/input image (mode, pin or byte,
 *     value), 5 thermal (mode, degrees), 6 static time (milliseconds, -1: the default).
 *   Refused: wrong length, non-ASCII ids, empty cmd_id, a cmd_id still queued, unknown module or code,
 *   bad arguments, a dependency that names no request seen before (or itself).
 * Accepted requests wait until every dependency has finished ("502"/"503" and empty fields name none).
 * A request whose dependency failed fails at once. Motions and homings finish (result 1) when the
 * motion ends; they fail (result 0) when the axis is busy, disabled, not homed or the target lies
 * beyond the axis limits, or when a stop or disable interrupts them. Conditions finish with 1 when
 * they hold and with 0 after --condition-timeout seconds. A result stays available for
 * --replay-window seconds: a subscription to exactly its cmd_id made after it was published gets it
 * again, so a client whose subscription is still being set up does not miss a fast result.
 *
 * Log requests (idx of the client's data items): 0 motor state, 1 error state, 2 position in drive
 * units, 3/4 output/input image as hex (byte 0 first), 5 temperature, 6 static time in ms, 7 last motion
 * time in ms; an item the module lacks, or an unknown module, gives an empty text.
 *
 * Commands on standard input (with --watch-stdin; only the process that started the simulator holds that
 * pipe): "input KINRAID PIN 0|1" sets a bit of an IO module's input image as a wired sensor would, and
 * prints "input KINRAID PIN VALUE" once it is set, or "refused input: REASON".
 *
 * Motion: trapezoidal profile over the distance in user units (drive units / DistanceFactor), speed
 * / SpeedFactor, acceleration / AccelerationFactor; -1 takes the axis's Sim defaults. Simulated time
 * runs --time-scale times faster than the wall clock.
 */
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cell.hpp"
#include "server.hpp"
#include "settings.hpp"

namespace {

constexpr const char* usage =
    "usage: vemo-sim [--address ADDR] [--settings FILE] [--time-scale F] [--condition-timeout S]\n"
    "                [--static-time MS] [--replay-window S] [--start-unhomed] [--watch-stdin] [--verbose]\n";

struct Arguments {
    vemo::sim::ServerOptions server;
    vemo::sim::CellOptions cell;
    std::string settings = "/opt/xan/configs/handler_settings.yaml";
    bool watch_stdin = false;  // stop at the end of standard input: the launcher's pipe closes when it dies
};

[[noreturn]] void bad_usage(const std::string& message) {
    std::fprintf(stderr, "vemo-sim: %s\n%s", message.c_str(), usage);
    std::exit(2);
}

double number(std::string_view option, const char* text, double min) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno || end == text || *end != '\0' || !(value >= min) || value > 1e9)
        bad_usage(std::string(option) + " needs a number of at least " + std::to_string(min) + ", not '" + text + "'");
    return value;
}

Arguments parse(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) bad_usage(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--address") a.server.address = value();
        else if (arg == "--settings") a.settings = value();
        else if (arg == "--time-scale") a.cell.time_scale = number(arg, value(), 1e-6);
        else if (arg == "--condition-timeout") a.cell.condition_timeout_s = number(arg, value(), 0);
        else if (arg == "--static-time") a.cell.static_time_ms = number(arg, value(), 0);
        else if (arg == "--replay-window") a.server.replay_window_s = number(arg, value(), 0);
        else if (arg == "--start-unhomed") a.cell.start_unhomed = true;
        else if (arg == "--verbose") a.server.verbose = true;
        else if (arg == "--watch-stdin") a.watch_stdin = true;
        else if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else bad_usage("unknown option " + std::string(arg));
    }
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Arguments args = parse(argc, argv);

    vemo::sim::CellSpec spec;
    try {
        spec = vemo::sim::cell_from_settings(kinra::load_settings(args.settings));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vemo-sim: cannot use settings %s: %s\n", args.settings.c_str(), e.what());
        return 2;
    }

    // Blocked before the ZeroMQ context starts its threads, so the signals reach only the signalfd.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (stop_fd < 0) {
        std::fprintf(stderr, "vemo-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    const auto now = vemo::sim::Clock::now();
    vemo::sim::Cell cell(spec, args.cell, now);
    zmq::context_t context;
    try {
        vemo::sim::Server server(context, cell, args.server, stdout);
        std::printf("vemo-sim ready on %s: publisher %d, actions %d, logs %d; %zu axes, %zu IO modules; time scale %g\n",
                    args.server.address.c_str(), args.server.publisher_port, args.server.action_port,
                    args.server.log_port, spec.axes.size(), spec.io_modules.size(), args.cell.time_scale);
        if (server.run(stop_fd, args.watch_stdin ? STDIN_FILENO : -1) == vemo::sim::Server::Stop::watched_fd_closed) {
            std::printf("vemo-sim stopped: standard input closed\n");
            return 0;
        }
    } catch (const zmq::error_t& e) {
        std::fprintf(stderr, "vemo-sim: %s on %s\n", e.what(), args.server.address.c_str());
        return 1;
    }
    signalfd_siginfo info{};
    const ssize_t got = read(stop_fd, &info, sizeof info);
    std::printf("vemo-sim stopped by %s\n",
                got == static_cast<ssize_t>(sizeof info) && info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
    close(stop_fd);
    return 0;
}
