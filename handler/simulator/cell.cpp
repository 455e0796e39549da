/* handler/simulator/cell.cpp: the simulated cell: drives, IO modules and the handler's request queue */
#include "cell.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace vemo::sim {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
/// The shortest wall-clock interval between two part arrivals of an input rule, whatever the time scale.
constexpr Clock::duration min_beat = std::chrono::milliseconds(1);

/// Motor states come in two runs, moving (1..3) and homing (4..6); a later state of a run implies
/// the earlier ones have been passed in the current or last operation.
int run_of(int state) {
    if (state >= 1 && state <= 3) return 1;
    if (state >= 4 && state <= 6) return 2;
    return 0;
}

bool compare(ImageMode mode, double value, double wanted) {
    switch (mode) {
        case ImageMode::analog_greater: return value > wanted;
        case ImageMode::analog_equal: return std::fabs(value - wanted) < 0.5;
        case ImageMode::analog_less: return value < wanted;
        case ImageMode::digital: return (value != 0) == (wanted != 0);
    }
    return false;
}

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

Cell::Cell(CellSpec spec, CellOptions options, TimePoint now) : spec_(std::move(spec)), options_(options) {
    if (!(options_.time_scale > 0) || !std::isfinite(options_.time_scale))
        throw std::invalid_argument("time scale must be a positive number");
    for (const AxisSpec& s : spec_.axes) {
        Axis a;
        a.spec = s;
        a.position = s.start_position * s.distance_factor;
        a.still_since = now;
        if (options_.start_unhomed) {
            a.homed = false;
            a.rest_state = MotorState::need_homing;
        }
        const int index = static_cast<int>(axes_.size());
        axis_by_kinra_[s.kinra_id] = index;
        if (s.family == DriveFamily::festo) axis_by_festo_slave_[s.slave_no] = index;
        axes_.push_back(std::move(a));
    }
    for (const IoModuleSpec& s : spec_.io_modules) {
        IoModule m;
        m.spec = s;
        m.outputs.assign(static_cast<std::size_t>(s.output_bytes), 0);
        m.inputs.assign(static_cast<std::size_t>(s.input_bytes), 0);
        for (const InputRule& rule : s.rules) {
            m.next_arrival.push_back(rule.every_s > 0 ? after(now, rule.every_s) : TimePoint::max());
            if (rule.every_s > 0) schedule(m.next_arrival.back());
        }
        io_by_kinra_[s.kinra_id] = static_cast<int>(io_.size());
        io_.push_back(std::move(m));
    }
}

double Cell::seconds(TimePoint from, TimePoint to) const {
    return std::chrono::duration<double>(to - from).count() * options_.time_scale;
}

TimePoint Cell::after(TimePoint from, double sim_seconds) const {
    // Capped at about 30 years, far below the clock's range: a crawl at 1 drive unit/s over 2^31
    // units on a slowed-down clock must not overflow it.
    constexpr double longest_wait_s = 1e9;
    const double wall = std::min(sim_seconds / options_.time_scale, longest_wait_s);
    return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wall));
}

void Cell::schedule(TimePoint t) { timers_.push(t); }

std::optional<TimePoint> Cell::next_wakeup() const {
    if (timers_.empty()) return std::nullopt;
    return timers_.top();
}

std::vector<Completion> Cell::take_completions() { return std::exchange(completions_, {}); }

// ---- requests -------------------------------------------------------------------------------------

std::optional<std::string> Cell::classify(const Request& r, Command& out) const {
    const std::int32_t f = r.func_id;
    const auto& a = r.args;
    if (f == blank_condition || f == festo_spawned || f == akribis_spawned) {
        if (r.module_id != 0) return "conditions are addressed to module 0";
        out.type = Type::immediate;
        return std::nullopt;
    }
    if (f >= condition_start) {
        if (r.module_id != 0) return "conditions are addressed to module 0";
        const int kinra_id = (f - condition_start) / codes_per_module + 1;
        const int kind = (f - condition_start) % codes_per_module;
        if (kind > static_cast<int>(ConditionKind::static_time))
            return "condition code " + std::to_string(f) + " names no condition kind";
        out.type = Type::condition;
        out.condition = static_cast<ConditionKind>(kind);
        const auto axis = axis_by_kinra_.find(kinra_id);
        const auto io = io_by_kinra_.find(kinra_id);
        if (axis == axis_by_kinra_.end() && io == io_by_kinra_.end())
            return "condition on KinraID " + std::to_string(kinra_id) + ", which the cell does not have";
        const bool on_axis = axis != axis_by_kinra_.end();
        out.target = on_axis ? axis->second : io->second;
        out.on_axis = on_axis;
        switch (out.condition) {
            case ConditionKind::slave_status:
                if (a[0] < -2 || a[0] > 7) return "slave status condition on unknown state " + std::to_string(a[0]);
                return std::nullopt;
            case ConditionKind::error_state: return std::nullopt;
            case ConditionKind::position:
                if (!on_axis) return "position condition on an IO module";
                if (a[0] < 0 || a[0] > 3) return "unknown position comparison " + std::to_string(a[0]);
                if (a[2] < -1) return "negative position tolerance";
                return std::nullopt;
            case ConditionKind::thermal:
                if (!on_axis) return "thermal condition on an IO module";
                if (a[0] < 1 || a[0] > 3) return "unknown thermal comparison " + std::to_string(a[0]);
                return std::nullopt;
            case ConditionKind::static_time:
                if (!on_axis) return "static time condition on an IO module";
                return std::nullopt;
            case ConditionKind::output:
            case ConditionKind::input: {
                if (on_axis) return "IO condition on a motor";
                const IoModuleSpec& m = io_[static_cast<std::size_t>(out.target)].spec;
                const int bytes = out.condition == ConditionKind::output ? m.output_bytes : m.input_bytes;
                if (bytes == 0) return "IO condition on an image the module does not have";
                if (a[0] < 0 || a[0] > 3) return "unknown IO comparison " + std::to_string(a[0]);
                const int limit = a[0] == static_cast<int>(ImageMode::digital) ? bytes * 8 : bytes;
                if (a[1] < 0 || a[1] >= limit) return "IO condition on pin " + std::to_string(a[1]) + " out of range";
                return std::nullopt;
            }
        }
        return "unknown condition";
    }
    if (f == static_cast<int>(DriveCommand::set_io)) {
        if (!spec_.io_station_slave || r.module_id != *spec_.io_station_slave)
            return "IO_SET_IO is addressed to the IO station, not to module " + std::to_string(r.module_id);
        const auto m = std::find_if(io_.begin(), io_.end(), [&](const IoModule& io) {
            return io.spec.output_bytes > 0 && io.spec.output_start == a[1];
        });
        if (m == io_.end()) return "no IO module's outputs start at byte " + std::to_string(a[1]);
        if (a[0] < 0 || a[0] >= m->spec.output_bytes * 8)
            return "pin " + std::to_string(a[0]) + " is beyond the module's outputs";
        if (a[2] != 0 && a[2] != 1) return "output value must be 0 or 1";
        out.type = Type::io_set;
        out.target = static_cast<int>(m - io_.begin());
        out.bit = a[0];
        out.value = a[2] == 1;
        return std::nullopt;
    }
    int code = 0;
    if (f >= 1 && f <= 7) {
        const auto it = axis_by_festo_slave_.find(r.module_id);
        if (it == axis_by_festo_slave_.end()) return "no Festo drive with SlaveNo " + std::to_string(r.module_id);
        out.target = it->second;
        code = f;
    } else if (f >= akribis_code_base + 1 && f <= akribis_code_base + 7) {
        const auto it = axis_by_kinra_.find(r.module_id);
        if (it == axis_by_kinra_.end() || axes_[static_cast<std::size_t>(it->second)].spec.family != DriveFamily::akribis)
            return "no Akribis drive with KinraID " + std::to_string(r.module_id);
        out.target = it->second;
        code = f - akribis_code_base;
    } else {
        return "unknown function code " + std::to_string(f);
    }
    out.type = Type::drive;
    out.drive = static_cast<DriveCommand>(code);
    if (out.drive == DriveCommand::move_abs || out.drive == DriveCommand::move_rel) {
        for (int i = 1; i <= 3; ++i) {
            if (a[static_cast<std::size_t>(i)] != -1 && a[static_cast<std::size_t>(i)] <= 0)
                return "speed, acceleration and deceleration must be positive or -1";
        }
    }
    return std::nullopt;
}

Verdict Cell::submit(Request request, TimePoint now) {
    settle(now);
    if (request.cmd_id.empty()) return {false, "empty cmd_id"};
    const std::string id = request.cmd_id;
    if (auto it = entries_.find(id); it != entries_.end() && it->second.phase != Phase::done)
        return {false, "cmd_id " + id + " is still queued"};
    Command command;
    if (auto why = classify(request, command)) return {false, *why};

    std::vector<std::string> deps;
    for (const std::string& d : request.dependencies) {
        if (d.empty() || d == "502" || d == "503") continue;  // the drives are always spawned
        if (d == id) return {false, "request depends on itself"};
        if (!entries_.count(d)) return {false, "unknown dependency " + d};
        if (std::find(deps.begin(), deps.end(), d) == deps.end()) deps.push_back(d);
    }

    Entry fresh;
    fresh.request = std::move(request);
    fresh.command = command;
    fresh.serial = next_serial_++;
    bool dependency_failed = false;
    for (const std::string& d : deps) {
        const Entry& dep = entries_.at(d);
        if (dep.phase == Phase::done && !dep.ok) dependency_failed = true;
    }
    entries_.insert_or_assign(id, std::move(fresh));
    ++unfinished_;
    Entry& e = entries_.at(id);
    if (dependency_failed) {
        e.phase = Phase::active;
        finish(id, false);
    } else {
        for (const std::string& d : deps) {
            Entry& dep = entries_.at(d);
            if (dep.phase == Phase::done) continue;
            dep.dependents.push_back(id);
            ++e.unmet;
        }
        if (e.unmet == 0) ready_.push_back(id);
    }
    settle(now);
    return {true, {}};
}

void Cell::advance(TimePoint now) { settle(now); }

void Cell::settle(TimePoint now) {
    while (!timers_.empty() && timers_.top() <= now) timers_.pop();
    for (;;) {
        bool changed = false;
        finish_due_operations(now);
        while (!ready_.empty()) {
            const std::string id = std::move(ready_.front());
            ready_.pop_front();
            activate(id, now);
            changed = true;
        }
        if (apply_input_rules(now)) changed = true;
        if (evaluate_conditions(now)) changed = true;
        if (!changed) break;
    }
    trim_history();
}

void Cell::finish(const std::string& first_id, bool first_ok) {
    std::vector<std::pair<std::string, bool>> work{{first_id, first_ok}};
    while (!work.empty()) {
        auto [id, ok] = std::move(work.back());
        work.pop_back();
        Entry& e = entries_.at(id);
        if (e.phase == Phase::done) continue;
        if (e.phase == Phase::active && e.command.type == Type::condition)
            std::erase(active_conditions_, id);
        e.phase = Phase::done;
        e.ok = ok;
        --unfinished_;
        completions_.push_back({e.request, ok});
        finished_order_.emplace_back(id, e.serial);
        for (const std::string& d : e.dependents) {
            Entry& dependent = entries_.at(d);
            if (dependent.phase != Phase::waiting) continue;
            if (!ok) {
                work.emplace_back(d, false);  // a request whose dependency failed fails too
            } else if (--dependent.unmet == 0) {
                ready_.push_back(d);
            }
        }
        e.dependents.clear();
    }
}

void Cell::trim_history() {
    while (finished_order_.size() > options_.history_limit) {
        auto [id, serial] = std::move(finished_order_.front());
        finished_order_.pop_front();
        auto it = entries_.find(id);
        if (it != entries_.end() && it->second.serial == serial && it->second.phase == Phase::done)
            entries_.erase(it);
    }
}

void Cell::activate(const std::string& id, TimePoint now) {
    Entry& e = entries_.at(id);
    if (e.phase != Phase::waiting) return;
    e.phase = Phase::active;
    switch (e.command.type) {
        case Type::immediate: finish(id, true); return;
        case Type::io_set: {
            IoModule& m = io_[static_cast<std::size_t>(e.command.target)];
            std::uint8_t& byte = m.outputs[static_cast<std::size_t>(e.command.bit / 8)];
            const auto mask = static_cast<std::uint8_t>(1u << (e.command.bit % 8));
            const bool was = (byte & mask) != 0;
            byte = e.command.value ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
            if (was != e.command.value) output_changed(m.spec.kinra_id, e.command.bit, e.command.value, now);
            finish(id, true);
            return;
        }
        case Type::condition:
            if (options_.condition_timeout_s > 0) {
                e.deadline = now + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options_.condition_timeout_s));
                schedule(*e.deadline);
            }
            active_conditions_.push_back(id);
            return;
        case Type::drive: run_drive_command(e, id, now); return;
    }
}

// ---- drives ---------------------------------------------------------------------------------------

void Cell::run_drive_command(Entry& e, const std::string& id, TimePoint now) {
    Axis& a = axes_[static_cast<std::size_t>(e.command.target)];
    const auto& args = e.request.args;
    const auto fail = [&](AxisFault fault) {
        a.fault = fault;
        finish(id, false);
    };
    switch (e.command.drive) {
        case DriveCommand::enable:
            a.enabled = true;
            finish(id, true);
            return;
        case DriveCommand::disable:
            if (a.op) halt(a, now);
            a.enabled = false;
            finish(id, true);
            return;
        case DriveCommand::reset:
            a.fault = AxisFault::none;
            if (a.rest_state == MotorState::stop)
                a.rest_state = a.homed ? MotorState::controllable : MotorState::need_homing;
            finish(id, true);
            return;
        case DriveCommand::stop:
            if (a.op) halt(a, now);
            a.rest_state = MotorState::stop;
            finish(id, true);
            return;
        case DriveCommand::set_io: fail(AxisFault::none); return;  // classify() never lets this through
        case DriveCommand::move_abs:
        case DriveCommand::move_rel:
        case DriveCommand::home: break;
    }
    const bool homing = e.command.drive == DriveCommand::home;
    if (a.op) return fail(AxisFault::busy);
    if (!a.enabled) return fail(AxisFault::disabled);
    if (!homing && !a.homed) return fail(AxisFault::not_homed);

    const AxisSpec& s = a.spec;
    Operation op;
    op.homing = homing;
    op.cmd_id = id;
    op.from = a.position;
    double speed = s.default_speed, accel = s.default_accel, decel = s.default_accel;
    if (homing) {
        op.to = s.home_position * s.distance_factor;
        op.settle_s = s.homing_settle_s;
    } else {
        op.to = e.command.drive == DriveCommand::move_abs ? args[0] : a.position + args[0];
        const double target = op.to / s.distance_factor;
        constexpr double slack = 1e-9;
        if ((s.min_position && target < *s.min_position - slack) || (s.max_position && target > *s.max_position + slack))
            return fail(AxisFault::beyond_limits);
        if (args[1] != -1) speed = args[1] / s.speed_factor;
        if (args[2] != -1) accel = args[2] / s.accel_factor;
        if (args[3] != -1) decel = args[3] / s.accel_factor;
    }
    op.profile = Trapezoid::plan(std::fabs(op.to - op.from) / s.distance_factor, speed, accel, decel);
    op.start = now;
    op.end = after(now, op.profile.duration() + op.settle_s);
    if (homing) a.homed = false;  // the reference is lost until the search completes
    a.fault = AxisFault::none;
    ++a.generation;
    schedule(op.end);
    a.op = std::move(op);
}

void Cell::halt(Axis& a, TimePoint now) {
    const double here = position_at(a, now);
    const std::string id = a.op->cmd_id;
    a.op.reset();
    a.position = here;
    a.still_since = now;
    ++a.generation;
    a.rest_state = MotorState::stop;
    a.fault = AxisFault::interrupted;
    finish(id, false);
}

void Cell::finish_due_operations(TimePoint now) {
    for (;;) {
        Axis* next = nullptr;
        for (Axis& a : axes_) {
            if (a.op && a.op->end <= now && (!next || a.op->end < next->op->end)) next = &a;
        }
        if (!next) return;
        Operation op = std::move(*next->op);
        next->op.reset();
        next->position = op.to;
        next->still_since = op.end;
        next->last_move_ms = seconds(op.start, op.end) * 1000;
        next->rest_state = op.homing ? MotorState::end_homing : MotorState::end_moving;
        if (op.homing) next->homed = true;
        ++next->generation;
        if (!op.homing) motion_ended(*next, op.to, now);
        finish(op.cmd_id, true);
    }
}

double Cell::position_at(const Axis& a, TimePoint now) const {
    if (!a.op) return a.position;
    const Operation& op = *a.op;
    if (now >= op.end) return op.to;
    const double s = op.profile.travelled(seconds(op.start, now)) * a.spec.distance_factor;
    return op.to >= op.from ? op.from + s : op.from - s;
}

MotorState Cell::state_at(const Axis& a, TimePoint now) const {
    if (!a.op) return a.rest_state;
    const Operation& op = *a.op;
    if (now >= op.end) return op.homing ? MotorState::end_homing : MotorState::end_moving;
    const bool starting = now < after(op.start, op.profile.accel_time());
    if (op.homing) return starting ? MotorState::start_homing : MotorState::homing;
    return starting ? MotorState::start_moving : MotorState::moving;
}

double Cell::static_ms(const Axis& a, TimePoint now) const {
    if (a.op && now < a.op->end) return 0;
    const TimePoint since = a.op ? a.op->end : a.still_since;
    return std::max(0.0, seconds(since, now) * 1000);
}

std::vector<std::uint8_t> Cell::input_image(const IoModule& m) const {
    if (!m.spec.loopback) return m.inputs;
    std::vector<std::uint8_t> image(m.inputs.size(), 0);
    const IoModule& source = io_[static_cast<std::size_t>(io_by_kinra_.at(*m.spec.loopback))];
    std::copy_n(source.outputs.begin(), std::min(image.size(), source.outputs.size()), image.begin());
    return image;
}

// ---- conditions -----------------------------------------------------------------------------------

bool Cell::evaluate_conditions(TimePoint now) {
    bool finished_any = false;
    const std::vector<std::string> snapshot = active_conditions_;
    for (const std::string& id : snapshot) {
        auto it = entries_.find(id);
        if (it == entries_.end() || it->second.phase != Phase::active) continue;
        Entry& e = it->second;
        const Evaluation ev = evaluate(e, now);
        if (ev.holds) {
            finish(id, true);
            finished_any = true;
        } else if (e.deadline && now >= *e.deadline) {
            finish(id, false);
            finished_any = true;
        } else if (ev.next_check && ev.next_check != e.next_check) {
            e.next_check = ev.next_check;
            schedule(*ev.next_check);
        }
    }
    return finished_any;
}

Cell::Evaluation Cell::evaluate(Entry& e, TimePoint now) {
    const auto& args = e.request.args;
    const bool on_axis = e.command.on_axis;
    const auto target = static_cast<std::size_t>(e.command.target);
    Evaluation ev;
    switch (e.command.condition) {
        case ConditionKind::slave_status: {
            const int want = args[0];
            if (!on_axis) {
                ev.holds = want == static_cast<int>(MotorState::not_motor);
                return ev;
            }
            const Axis& a = axes_[target];
            const int state = static_cast<int>(state_at(a, now));
            ev.holds = state == want || (run_of(state) != 0 && run_of(state) == run_of(want) && state > want);
            if (!ev.holds && a.op) {
                const TimePoint accel_end = after(a.op->start, a.op->profile.accel_time());
                if (accel_end > now) ev.next_check = accel_end;
            }
            return ev;
        }
        case ConditionKind::error_state: {
            const int want = args[0] == -1 ? 0 : args[0];
            ev.holds = on_axis ? static_cast<int>(axes_[target].fault) == want : want == 0;
            return ev;
        }
        case ConditionKind::thermal:
            ev.holds = compare(static_cast<ImageMode>(args[0]), axes_[target].spec.temperature, args[1]);
            return ev;
        case ConditionKind::static_time: {
            // Compared as instants, the way the wake-up is scheduled, so that rounding cannot leave
            // the condition unsatisfied at its own wake-up time.
            const Axis& a = axes_[target];
            if (a.op) return ev;
            const double wanted = args[0] >= 0 ? args[0] : options_.static_time_ms;
            const TimePoint due = after(a.still_since, wanted / 1000);
            ev.holds = now >= due;
            if (!ev.holds) ev.next_check = due;
            return ev;
        }
        case ConditionKind::output:
        case ConditionKind::input: {
            const IoModule& m = io_[target];
            const std::vector<std::uint8_t> image =
                e.command.condition == ConditionKind::output ? m.outputs : input_image(m);
            const auto mode = static_cast<ImageMode>(args[0]);
            const auto pin = static_cast<std::size_t>(args[1]);
            const double value = mode == ImageMode::digital ? (image[pin / 8] >> (pin % 8)) & 1 : image[pin];
            ev.holds = compare(mode, value, args[2]);
            return ev;
        }
        case ConditionKind::position: break;
    }

    const Axis& a = axes_[target];
    const double want = args[1];
    double lo = -infinity, hi = infinity;
    bool strict = false;
    switch (static_cast<PositionMode>(args[0])) {
        case PositionMode::greater: lo = want; strict = true; break;
        case PositionMode::less: hi = want; strict = true; break;
        case PositionMode::equal: lo = want - 0.5; hi = want + 0.5; break;
        case PositionMode::near: {
            const double tol = std::max(0, args[2]);
            lo = want - tol;
            hi = want + tol;
            break;
        }
    }
    const auto inside = [&](double p) { return strict ? (p > lo && p < hi) : (p >= lo && p <= hi); };
    if (inside(position_at(a, now))) {
        ev.holds = true;
        return ev;
    }
    // A crossing computed earlier counts even when the wake-up came late and the axis has moved on.
    if (e.scheduled && e.scheduled_generation == a.generation && now >= *e.scheduled) {
        ev.holds = true;
        return ev;
    }
    if (a.op && e.scheduled_generation != a.generation) {
        const Operation& op = *a.op;
        const double here = position_at(a, now);
        const double factor = a.spec.distance_factor;
        std::optional<double> travel;  // drive units from the start of the motion to the crossing
        if (op.to > op.from && here < lo && (strict ? op.to > lo : op.to >= lo)) travel = lo - op.from;
        if (op.to < op.from && here > hi && (strict ? op.to < hi : op.to <= hi)) travel = op.from - hi;
        e.scheduled_generation = a.generation;
        e.scheduled.reset();
        if (travel) {
            double t = op.profile.time_to_reach(*travel / factor);
            if (strict) t = std::min(op.profile.duration(), t + 1e-6);
            e.scheduled = after(op.start, t);
        }
    }
    if (e.scheduled && e.scheduled_generation == a.generation) ev.next_check = e.scheduled;
    return ev;
}

// ---- input rules ----------------------------------------------------------------------------------

bool Cell::write_input(IoModule& m, int pin, bool value) {
    const auto mask = static_cast<std::uint8_t>(1u << (pin % 8));
    std::uint8_t& byte = m.inputs[static_cast<std::size_t>(pin / 8)];
    const auto updated = static_cast<std::uint8_t>(value ? byte | mask : byte & ~mask);
    const bool changed = updated != byte;
    byte = updated;
    return changed;
}

bool Cell::apply_input_rules(TimePoint now) {
    bool changed = false;
    // Scheduled in order, so the changes of one pin are applied in the order their outputs changed.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending_inputs_.size(); ++i) {
        const PendingInput p = pending_inputs_[i];
        if (p.at <= now) {
            changed = write_input(io_[p.module], p.pin, p.value) || changed;
        } else {
            pending_inputs_[kept++] = p;
        }
    }
    pending_inputs_.resize(kept);
    for (IoModule& m : io_) {
        for (std::size_t r = 0; r < m.spec.rules.size(); ++r) {
            const InputRule& rule = m.spec.rules[r];
            if (rule.every_s <= 0 || now < m.next_arrival[r]) continue;
            changed = write_input(m, rule.pin, true) || changed;
            // The next arrival after now, on the rule's own beat (arrivals missed meanwhile are one part),
            // counted in one step; a beat shorter than min_beat of wall time would keep the server awake.
            const Clock::duration beat = std::max<Clock::duration>(after(now, rule.every_s) - now, min_beat);
            m.next_arrival[r] += ((now - m.next_arrival[r]) / beat + 1) * beat;
            schedule(m.next_arrival[r]);
        }
    }
    return changed;
}

void Cell::output_changed(int kinra_id, int pin, bool value, TimePoint now) {
    for (std::size_t i = 0; i < io_.size(); ++i) {
        IoModule& m = io_[i];
        for (const InputRule& rule : m.spec.rules) {
            if (rule.follows && rule.follows->kinra_id == kinra_id && rule.follows->pin == pin) {
                if (rule.delay_s <= 0) {
                    write_input(m, rule.pin, value);
                } else {
                    pending_inputs_.push_back({after(now, rule.delay_s), i, rule.pin, value});
                    schedule(pending_inputs_.back().at);
                }
            }
            if (value && rule.taken_by && !rule.taken_by->position && rule.taken_by->kinra_id == kinra_id &&
                rule.taken_by->pin == pin)
                write_input(m, rule.pin, false);
        }
    }
}

void Cell::motion_ended(const Axis& axis, double to, TimePoint) {
    const double where = to / axis.spec.distance_factor;
    for (IoModule& m : io_) {
        for (const InputRule& rule : m.spec.rules) {
            const auto& by = rule.taken_by;
            if (by && by->position && by->kinra_id == axis.spec.kinra_id && std::fabs(where - *by->position) <= by->tolerance)
                write_input(m, rule.pin, false);
        }
    }
}

// ---- readings -------------------------------------------------------------------------------------

std::optional<std::string> Cell::set_input(int kinra_id, int pin, bool value, TimePoint now) {
    const auto it = io_by_kinra_.find(kinra_id);
    if (it == io_by_kinra_.end()) return "KinraID " + std::to_string(kinra_id) + " is no IO module of the cell";
    IoModule& m = io_[static_cast<std::size_t>(it->second)];
    if (m.spec.loopback) return "the inputs of KinraID " + std::to_string(kinra_id) + " mirror another module's outputs";
    if (pin < 0 || pin >= static_cast<int>(m.inputs.size()) * 8)
        return "KinraID " + std::to_string(kinra_id) + " has " + std::to_string(m.inputs.size() * 8) + " inputs, no pin " +
               std::to_string(pin);
    const auto mask = static_cast<std::uint8_t>(1u << (pin % 8));
    std::uint8_t& byte = m.inputs[static_cast<std::size_t>(pin / 8)];
    byte = static_cast<std::uint8_t>(value ? byte | mask : byte & ~mask);
    settle(now);
    return std::nullopt;
}

std::optional<std::string> Cell::read(std::int32_t kinra_id, std::int32_t idx, TimePoint now) {
    settle(now);
    if (auto it = io_by_kinra_.find(kinra_id); it != io_by_kinra_.end()) {
        const IoModule& m = io_[static_cast<std::size_t>(it->second)];
        switch (static_cast<DataItem>(idx)) {
            case DataItem::slave_status: return std::to_string(static_cast<int>(MotorState::not_motor));
            case DataItem::error_state: return "0";
            case DataItem::output: return hex_of(m.outputs);
            case DataItem::input: return hex_of(input_image(m));
            default: return std::nullopt;
        }
    }
    const auto it = axis_by_kinra_.find(kinra_id);
    if (it == axis_by_kinra_.end()) return std::nullopt;
    const Axis& a = axes_[static_cast<std::size_t>(it->second)];
    switch (static_cast<DataItem>(idx)) {
        case DataItem::slave_status: return std::to_string(static_cast<int>(state_at(a, now)));
        case DataItem::error_state: return std::to_string(static_cast<int>(a.fault));
        case DataItem::position: return std::to_string(static_cast<long long>(std::trunc(position_at(a, now))));
        case DataItem::thermal: {
            char text[32];
            std::snprintf(text, sizeof text, "%g", a.spec.temperature);
            return std::string(text);
        }
        case DataItem::static_time: return std::to_string(static_cast<long long>(static_ms(a, now)));
        case DataItem::move_time: return std::to_string(static_cast<long long>(std::llround(a.last_move_ms)));
        default: return std::nullopt;
    }
}

std::optional<MotorState> Cell::motor_state(int kinra_id, TimePoint now) {
    settle(now);
    const auto it = axis_by_kinra_.find(kinra_id);
    if (it == axis_by_kinra_.end()) return std::nullopt;
    return state_at(axes_[static_cast<std::size_t>(it->second)], now);
}

std::optional<double> Cell::position(int kinra_id, TimePoint now) {
    settle(now);
    const auto it = axis_by_kinra_.find(kinra_id);
    if (it == axis_by_kinra_.end()) return std::nullopt;
    return position_at(axes_[static_cast<std::size_t>(it->second)], now);
}

}  // namespace vemo::sim
