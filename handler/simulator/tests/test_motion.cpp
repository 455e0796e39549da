/* handler/simulator/tests/test_motion.cpp: trapezoidal profiles */
#include <gtest/gtest.h>

#include "motion.hpp"

using vemo::sim::Trapezoid;

TEST(Trapezoid, LongMoveCruisesAtSpeed) {
    // 100 units at 10 u/s with 10 u/s^2: 1 s up, 9 s cruise, 1 s down.
    const Trapezoid p = Trapezoid::plan(100, 10, 10, 10);
    EXPECT_DOUBLE_EQ(p.peak_speed(), 10);
    EXPECT_DOUBLE_EQ(p.accel_time(), 1);
    EXPECT_DOUBLE_EQ(p.duration(), 11);
    EXPECT_DOUBLE_EQ(p.travelled(1), 5);
    EXPECT_DOUBLE_EQ(p.travelled(6), 55);
    EXPECT_DOUBLE_EQ(p.travelled(11), 100);
}

TEST(Trapezoid, ShortMoveIsTriangularWithUnequalRamps) {
    // 3 units, accel 2, decel 1: peak sqrt(2*3*2*1/3) = 2, 1 s up, 2 s down.
    const Trapezoid p = Trapezoid::plan(3, 100, 2, 1);
    EXPECT_DOUBLE_EQ(p.peak_speed(), 2);
    EXPECT_DOUBLE_EQ(p.duration(), 3);
    EXPECT_DOUBLE_EQ(p.travelled(1), 1);
    EXPECT_NEAR(p.travelled(2), 2.5, 1e-12);
}

TEST(Trapezoid, ZeroDistanceTakesNoTime) {
    const Trapezoid p = Trapezoid::plan(0, 10, 10, 10);
    EXPECT_EQ(p.duration(), 0);
    EXPECT_EQ(p.travelled(5), 0);
}

TEST(Trapezoid, TimeToReachInvertsTravelledInEveryPhase) {
    for (const Trapezoid& p : {Trapezoid::plan(100, 10, 10, 5), Trapezoid::plan(2, 10, 3, 7)}) {
        for (double f : {0.01, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99}) {
            const double s = f * p.distance();
            EXPECT_NEAR(p.travelled(p.time_to_reach(s)), s, 1e-9) << "fraction " << f;
        }
        EXPECT_EQ(p.time_to_reach(-1), 0);
        EXPECT_EQ(p.time_to_reach(p.distance() + 1), p.duration());
    }
}

TEST(Trapezoid, TravelledIsMonotonicAndClamped) {
    const Trapezoid p = Trapezoid::plan(50, 7, 3, 11);
    double last = 0;
    for (double t = -1; t <= p.duration() + 1; t += 0.01) {
        const double s = p.travelled(t);
        EXPECT_GE(s, last - 1e-12);
        EXPECT_LE(s, 50);
        last = s;
    }
    EXPECT_EQ(last, 50);
}
