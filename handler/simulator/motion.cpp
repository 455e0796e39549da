/* handler/simulator/motion.cpp: trapezoidal velocity profiles of the simulated drives */
#include "motion.hpp"

#include <algorithm>
#include <cmath>

namespace vemo::sim {

Trapezoid Trapezoid::plan(double distance, double speed, double accel, double decel) {
    Trapezoid p;
    p.distance_ = std::max(distance, 0.0);
    p.accel_ = accel;
    p.decel_ = decel;
    if (p.distance_ == 0) return p;
    const double ramps = speed * speed / (2 * accel) + speed * speed / (2 * decel);
    if (ramps >= p.distance_) {
        // Triangular: the peak speed where the acceleration and braking ramps meet.
        p.peak_ = std::sqrt(2 * p.distance_ * accel * decel / (accel + decel));
        p.t_accel_ = p.peak_ / accel;
        p.t_decel_ = p.peak_ / decel;
    } else {
        p.peak_ = speed;
        p.t_accel_ = speed / accel;
        p.t_decel_ = speed / decel;
        p.t_cruise_ = (p.distance_ - ramps) / speed;
    }
    return p;
}

double Trapezoid::travelled(double t) const noexcept {
    if (t <= 0) return 0;
    if (t >= duration()) return distance_;
    const double s_accel = 0.5 * accel_ * t_accel_ * t_accel_;
    if (t < t_accel_) return 0.5 * accel_ * t * t;
    if (t < t_accel_ + t_cruise_) return s_accel + peak_ * (t - t_accel_);
    const double left = duration() - t;
    return std::min(distance_, distance_ - 0.5 * decel_ * left * left);
}

double Trapezoid::time_to_reach(double s) const noexcept {
    if (s <= 0) return 0;
    if (s >= distance_) return duration();
    const double s_accel = 0.5 * accel_ * t_accel_ * t_accel_;
    if (s < s_accel) return std::sqrt(2 * s / accel_);
    const double s_cruise = s_accel + peak_ * t_cruise_;
    if (s < s_cruise) return t_accel_ + (s - s_accel) / peak_;
    return duration() - std::sqrt(std::max(0.0, 2 * (distance_ - s) / decel_));
}

}  // namespace vemo::sim
