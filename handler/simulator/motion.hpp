/* handler/simulator/motion.hpp: trapezoidal velocity profiles of the simulated drives */
#pragma once

namespace vemo::sim {

/// A point-to-point motion over `distance` (>= 0) that accelerates at `accel` up to at most `speed`,
/// cruises, and decelerates at `decel` to a stop. Short moves never reach `speed` and become
/// triangular. Units are whatever the caller uses consistently (user units and seconds here).
class Trapezoid {
public:
    /// Requires speed, accel and decel > 0 and distance >= 0.
    static Trapezoid plan(double distance, double speed, double accel, double decel);

    double duration() const noexcept { return t_accel_ + t_cruise_ + t_decel_; }
    double accel_time() const noexcept { return t_accel_; }
    double peak_speed() const noexcept { return peak_; }
    double distance() const noexcept { return distance_; }

    /// Distance covered `t` seconds after the start, clamped to [0, distance()].
    double travelled(double t) const noexcept;

    /// The earliest time at which travelled() reaches `s` (0 for s <= 0, duration() beyond the end).
    double time_to_reach(double s) const noexcept;

private:
    double distance_ = 0, accel_ = 1, decel_ = 1, peak_ = 0;
    double t_accel_ = 0, t_cruise_ = 0, t_decel_ = 0;
};

}  // namespace vemo::sim
