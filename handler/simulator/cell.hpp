/* handler/simulator/cell.hpp: the simulated cell: drives, IO modules and the handler's request queue */
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "cell_layout.hpp"
#include "motion.hpp"
#include "protocol.hpp"  // the handler core's protocol codes

namespace vemo::sim {

using namespace kinra::protocol;

/// Codes of the axis's error state: the reason of the last refused command, 0 after a success.
enum class AxisFault : std::int32_t {
    none = 0,
    beyond_limits = 1,
    disabled = 2,
    not_homed = 3,
    busy = 4,
    interrupted = 5,
};

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

/// One action request as it came off the wire.
struct Request {
    std::int32_t module_id = 0;
    std::int32_t func_id = 0;
    std::array<std::int32_t, 6> args{-1, -1, -1, -1, -1, -1};
    std::string cmd_id;
    std::array<std::string, 4> dependencies;  // the four fields as sent; empty ones name nothing
};

/// A request that has finished; `ok` becomes the result field of its published record.
struct Completion {
    Request request;
    bool ok = false;
};

/// Whether a request was taken into the queue; `reason` says why not.
struct Verdict {
    bool accepted = false;
    std::string reason;
};

struct CellOptions {
    double time_scale = 1.0;            // simulated seconds per wall-clock second
    double condition_timeout_s = 60.0;  // wall seconds a condition may wait before it fails; 0: forever
    double static_time_ms = 200.0;      // simulated standstill that satisfies a static-time condition
    std::size_t history_limit = 20'000;  // finished requests remembered as dependency targets
    bool start_unhomed = false;         // axes start in NEED_HOMING and refuse moves until homed
};

/// The handler's view of the cell. Single-threaded: the server calls it from its one loop, always
/// with a non-decreasing `now`. Motion runs on simulated time, `time_scale` times faster than `now`.
class Cell {
public:
    Cell(CellSpec spec, CellOptions options, TimePoint now);

    /// Checks and queues a request. An accepted request runs once all its dependencies have finished.
    Verdict submit(Request request, TimePoint now);

    /// Finishes motions and settles conditions that are due at `now`.
    void advance(TimePoint now);

    /// Requests that finished since the last call, in the order they finished.
    std::vector<Completion> take_completions();

    /// When advance() next has work to do (a motion end, a condition check or deadline).
    std::optional<TimePoint> next_wakeup() const;

    /// The text of a log request's reply, or nullopt when the module has no such data item.
    std::optional<std::string> read(std::int32_t kinra_id, std::int32_t idx, TimePoint now);

    /// Sets one bit of an IO module's input image, as a sensor wired to it would; conditions on it
    /// are settled at `now`. Returns why not when the module has no such input of its own.
    std::optional<std::string> set_input(int kinra_id, int pin, bool value, TimePoint now);

    std::optional<MotorState> motor_state(int kinra_id, TimePoint now);
    std::optional<double> position(int kinra_id, TimePoint now);  // drive units
    std::size_t unfinished_count() const noexcept { return unfinished_; }
    const CellSpec& spec() const noexcept { return spec_; }

private:
    struct Operation {
        bool homing = false;
        std::string cmd_id;
        double from = 0, to = 0;  // drive units
        Trapezoid profile;        // user units, simulated seconds
        double settle_s = 0;      // simulated seconds after the profile (homing's reference search)
        TimePoint start, end;
    };
    struct Axis {
        AxisSpec spec;
        bool enabled = true;
        bool homed = true;
        MotorState rest_state = MotorState::controllable;
        AxisFault fault = AxisFault::none;
        double position = 0;  // drive units, while no operation runs
        std::optional<Operation> op;
        std::uint64_t generation = 0;  // changes whenever a motion starts or ends
        TimePoint still_since;
        double last_move_ms = 0;
    };
    struct IoModule {
        IoModuleSpec spec;
        std::vector<std::uint8_t> outputs;
        std::vector<std::uint8_t> inputs;
        std::vector<TimePoint> next_arrival;  // per rule of spec.rules: when its next part arrives
    };
    /// An input change that a follows rule has scheduled.
    struct PendingInput {
        TimePoint at;
        std::size_t module = 0;
        int pin = 0;
        bool value = false;
    };
    enum class Type { drive, io_set, condition, immediate };
    struct Command {
        Type type = Type::immediate;
        int target = -1;  // index into axes_ or io_
        bool on_axis = false;  // a condition's target is an axis (else an IO module)
        DriveCommand drive = DriveCommand::stop;
        ConditionKind condition = ConditionKind::slave_status;
        int bit = 0;       // io_set: bit of the module's output image
        bool value = false;
    };
    enum class Phase { waiting, active, done };
    struct Entry {
        Request request;
        Command command;
        Phase phase = Phase::waiting;
        bool ok = false;
        std::uint64_t serial = 0;
        std::size_t unmet = 0;
        std::vector<std::string> dependents;
        std::optional<TimePoint> deadline;
        std::optional<TimePoint> scheduled;  // a position condition's computed crossing time
        std::uint64_t scheduled_generation = 0;
        std::optional<TimePoint> next_check;
    };
    struct Evaluation {
        bool holds = false;
        std::optional<TimePoint> next_check;
    };

    std::optional<std::string> classify(const Request& r, Command& out) const;
    void settle(TimePoint now);
    void finish_due_operations(TimePoint now);
    void activate(const std::string& id, TimePoint now);
    void run_drive_command(Entry& e, const std::string& id, TimePoint now);
    void finish(const std::string& id, bool ok);
    bool evaluate_conditions(TimePoint now);
    Evaluation evaluate(Entry& e, TimePoint now);
    void halt(Axis& axis, TimePoint now);
    void schedule(TimePoint t);
    void trim_history();
    bool apply_input_rules(TimePoint now);
    void output_changed(int kinra_id, int pin, bool value, TimePoint now);
    void motion_ended(const Axis& axis, double to, TimePoint now);
    static bool write_input(IoModule& m, int pin, bool value);

    double position_at(const Axis& axis, TimePoint now) const;
    MotorState state_at(const Axis& axis, TimePoint now) const;
    double static_ms(const Axis& axis, TimePoint now) const;
    std::vector<std::uint8_t> input_image(const IoModule& m) const;
    double seconds(TimePoint from, TimePoint to) const;  // simulated seconds between two instants
    TimePoint after(TimePoint from, double sim_seconds) const;

    CellSpec spec_;
    CellOptions options_;
    std::vector<Axis> axes_;
    std::vector<IoModule> io_;
    std::unordered_map<int, int> axis_by_kinra_, axis_by_festo_slave_, io_by_kinra_;
    std::unordered_map<std::string, Entry> entries_;
    std::deque<std::pair<std::string, std::uint64_t>> finished_order_;
    std::deque<std::string> ready_;
    std::vector<std::string> active_conditions_;
    std::vector<Completion> completions_;
    std::vector<PendingInput> pending_inputs_;  // in the order they were scheduled
    std::priority_queue<TimePoint, std::vector<TimePoint>, std::greater<>> timers_;
    std::uint64_t next_serial_ = 1;
    std::size_t unfinished_ = 0;
};

}  // namespace vemo::sim
