/* handler/simulator/tests/test_cell.cpp: the cell model: motion timing, states, dependencies, conditions */
#include <gtest/gtest.h>

#include <algorithm>

#include "cell.hpp"

using namespace vemo::sim;
using namespace std::chrono_literals;

namespace {

// One Festo axis in mm (factor 1000), an Akribis axis, and an IO station whose input module
// mirrors the first output byte.
const char* cell_yaml = R"(
xan_handler:
  Festo:
    - {KinraID: 1, SlaveNo: 4, Params: {DistanceFactor: 1000, SpeedFactor: 1000, AccelerationFactor: 1000},
       Sim: {Speed: 10, Acceleration: 10, Min: -5, Max: 300}}
  Akribis:
    - {KinraID: 3, Params: {DistanceFactor: 100, SpeedFactor: 100, AccelerationFactor: 100}}
  IOModule:
    SlaveNo: 9
    Modules:
      - {KinraID: 10, Slot: 1, InputBytes: 1, OutputBytes: 0, Sim: {Loopback: 11}}
      - {KinraID: 11, Slot: 2, InputBytes: 0, OutputBytes: 2}
)";

constexpr int festo_slave = 4;
constexpr int pos_code_axis1 = 153, status_code_axis1 = 151, static_code_axis1 = 157;
constexpr int input_code_module10 = 151 + 10 * 9 + 4;

Request req(std::string id, int module, int func, std::array<int, 6> args = {-1, -1, -1, -1, -1, -1},
            std::array<std::string, 4> deps = {}) {
    Request r;
    r.module_id = module;
    r.func_id = func;
    r.args = args;
    r.cmd_id = std::move(id);
    r.dependencies = std::move(deps);
    return r;
}

Request move_abs(std::string id, int drive_units, std::array<std::string, 4> deps = {"502"}) {
    return req(std::move(id), festo_slave, 1, {drive_units, -1, -1, -1, -1, -1}, std::move(deps));
}

struct CellTest : ::testing::Test {
    TimePoint t0 = TimePoint{} + 1000h;
    CellOptions options = [] {
        CellOptions o;
        o.time_scale = 10;  // the 100 mm move below takes 11 simulated seconds, 1.1 s of wall time
        o.condition_timeout_s = 5;
        return o;
    }();
    std::unique_ptr<Cell> cell;

    void SetUp() override { make(); }
    void make() { cell = std::make_unique<Cell>(cell_from_settings(kinra::parse_settings(cell_yaml)), options, t0); }

    void accept(Request r, TimePoint at) {
        const std::string id = r.cmd_id;
        const Verdict v = cell->submit(std::move(r), at);
        ASSERT_TRUE(v.accepted) << id << ": " << v.reason;
    }
    /// Results that finished by `at`, as id -> ok.
    std::map<std::string, bool> finished(TimePoint at) {
        cell->advance(at);
        std::map<std::string, bool> out;
        for (const Completion& c : cell->take_completions()) out[c.request.cmd_id] = c.ok;
        return out;
    }
    /// Results up to `until`, with the cell woken every 10 ms as the server would be.
    std::map<std::string, bool> run(TimePoint from, TimePoint until) {
        std::map<std::string, bool> out;
        for (TimePoint t = from; t <= until; t += 10ms) out.merge(finished(t));
        return out;
    }
};

}  // namespace

TEST_F(CellTest, MoveFinishesWhenItsTrapezoidEndsOnScaledTime) {
    accept(move_abs("m", 100'000), t0);
    EXPECT_EQ(cell->next_wakeup(), t0 + 1100ms);
    EXPECT_TRUE(finished(t0 + 1099ms).empty());
    EXPECT_EQ(*cell->position(1, t0 + 550ms), 50'000);  // halfway in time is halfway in distance here
    EXPECT_EQ(finished(t0 + 1100ms), (std::map<std::string, bool>{{"m", true}}));
    EXPECT_EQ(cell->read(1, 2, t0 + 1200ms), "100000");
    EXPECT_EQ(cell->read(1, 7, t0 + 1200ms), "11000");  // last motion time, simulated ms
}

TEST_F(CellTest, MotorStateRunsThroughTheMoveAndHomingPhases) {
    accept(move_abs("m", 100'000), t0);
    EXPECT_EQ(cell->motor_state(1, t0 + 50ms), MotorState::start_moving);  // accelerating for 0.1 s
    EXPECT_EQ(cell->motor_state(1, t0 + 500ms), MotorState::moving);
    EXPECT_EQ(cell->motor_state(1, t0 + 1200ms), MotorState::end_moving);
    EXPECT_EQ(cell->read(1, 0, t0 + 1200ms), "3");
    cell->take_completions();
    accept(req("h", festo_slave, 3, {17, -1, -1, -1, -1, -1}, {"502"}), t0 + 1200ms);
    EXPECT_EQ(cell->motor_state(1, t0 + 1210ms), MotorState::start_homing);
    EXPECT_EQ(cell->motor_state(1, t0 + 1800ms), MotorState::homing);
    EXPECT_EQ(finished(t0 + 3000ms), (std::map<std::string, bool>{{"h", true}}));
    EXPECT_EQ(cell->motor_state(1, t0 + 3000ms), MotorState::end_homing);
    EXPECT_EQ(*cell->position(1, t0 + 3000ms), 0);
}

TEST_F(CellTest, RequestWaitsForItsDependenciesButNotForSpawnedState) {
    accept(move_abs("m", 100'000), t0);
    accept(req("io", 9, 0, {3, 0, 1, -1, -1, -1}, {"502", "m"}), t0 + 10ms);
    EXPECT_EQ(cell->read(11, 3, t0 + 500ms), "0000") << "the output must wait for the move";
    EXPECT_EQ(finished(t0 + 500ms).count("io"), 0u);
    const auto done = finished(t0 + 1100ms);
    EXPECT_TRUE(done.at("m"));
    EXPECT_TRUE(done.at("io"));
    EXPECT_EQ(cell->read(11, 3, t0 + 1100ms), "0800");
    EXPECT_EQ(cell->read(10, 4, t0 + 1100ms), "08") << "the input module mirrors the outputs";
}

TEST_F(CellTest, FailureSpreadsToEveryRequestThatDependsOnIt) {
    accept(move_abs("far", 400'000), t0);  // beyond Max 300 mm
    EXPECT_EQ(cell->read(1, 1, t0), "1");
    accept(req("blank", 0, 150, {-1, -1, -1, -1, -1, -1}, {"far"}), t0);
    accept(req("later", 0, 150, {-1, -1, -1, -1, -1, -1}, {"blank"}), t0 + 1ms);
    EXPECT_EQ(finished(t0 + 1ms), (std::map<std::string, bool>{{"far", false}, {"blank", false}, {"later", false}}));
    EXPECT_EQ(cell->unfinished_count(), 0u);
}

TEST_F(CellTest, BlankConditionFinishesWhenAllDependenciesHave) {
    accept(move_abs("m", 10'000), t0);
    accept(req("r", 3, 51, {500, -1, -1, -1, -1, -1}, {"503"}), t0);
    accept(req("all", 0, 150, {-1, -1, -1, -1, -1, -1}, {"m", "r"}), t0);
    EXPECT_EQ(run(t0, t0 + 100ms), (std::map<std::string, bool>{{"r", true}})) << "the short rotary move ends first";
    EXPECT_EQ(run(t0 + 110ms, t0 + 2s), (std::map<std::string, bool>{{"m", true}, {"all", true}}));
    accept(req("again", 0, 150, {-1, -1, -1, -1, -1, -1}, {"m", "r"}), t0 + 2s);
    EXPECT_EQ(finished(t0 + 2s), (std::map<std::string, bool>{{"again", true}})) << "finished dependencies count at once";
}

TEST_F(CellTest, RefusesRequestsItCannotRun) {
    accept(move_abs("busy", 10'000), t0);
    const std::vector<std::pair<Request, std::string>> cases = {
        {req("a", 99, 1), "unknown Festo slave"},
        {req("b", 3, 1), "KinraID of an Akribis drive used as a Festo slave"},
        {req("c", festo_slave, 51), "Festo slave used as an Akribis KinraID"},
        {req("d", festo_slave, 42), "unknown function code"},
        {req("e", 5, 153), "condition not addressed to module 0"},
        {req("f", 0, 151 + 10 * 40), "condition on a missing KinraID"},
        {req("g", 0, 158), "condition kind 7"},
        {req("h", 0, pos_code_axis1, {9, 0, 0, -1, -1, -1}), "unknown position comparison"},
        {req("i", 9, 0, {16, 0, 1, -1, -1, -1}), "pin beyond the module's outputs"},
        {req("j", 9, 0, {0, 1, 1, -1, -1, -1}), "no module's outputs start at that byte"},
        {req("k", 9, 0, {0, 0, 2, -1, -1, -1}), "output value neither 0 nor 1"},
        {req("l", festo_slave, 1, {100, 0, -1, -1, -1, -1}), "speed zero"},
        {req("m", 0, 150, {-1, -1, -1, -1, -1, -1}, {"nobody"}), "unknown dependency"},
        {req("n", 0, 150, {-1, -1, -1, -1, -1, -1}, {"n"}), "depends on itself"},
        {req("busy", 0, 150), "cmd_id still queued"},
        {req("", 0, 150), "empty cmd_id"},
        {req("o", 0, input_code_module10 - 2), "position condition on an IO module"},
    };
    for (const auto& [r, why] : cases) {
        const Verdict v = cell->submit(r, t0);
        EXPECT_FALSE(v.accepted) << why;
        EXPECT_FALSE(v.reason.empty()) << why;
    }
    EXPECT_EQ(cell->unfinished_count(), 1u);
}

TEST_F(CellTest, PositionConditionHoldsAtTheCrossingEvenWhenCheckedLate) {
    accept(move_abs("m", 100'000), t0);
    // Near 50 mm within 1 mm: the axis passes through the window around t0 + 550 ms.
    accept(req("near", 0, pos_code_axis1, {2, 50'000, 1'000, -1, -1, -1}), t0 + 1ms);
    const TimePoint wake = *cell->next_wakeup();
    EXPECT_GT(wake, t0 + 530ms);
    EXPECT_LT(wake, t0 + 550ms);
    EXPECT_TRUE(finished(wake - 1ms).empty());
    EXPECT_EQ(finished(t0 + 800ms), (std::map<std::string, bool>{{"near", true}})) << "window already passed";
}

TEST_F(CellTest, PositionComparisonsOnAStandingAxis) {
    accept(move_abs("m", 20'000), t0);
    finished(t0 + 2s);
    const std::vector<std::pair<std::array<int, 6>, bool>> cases = {
        {{0, 19'999, -1, -1, -1, -1}, true},  {{0, 20'000, -1, -1, -1, -1}, false},   // greater
        {{1, 20'000, -1, -1, -1, -1}, true},  {{1, 20'002, -1, -1, -1, -1}, false},   // equal
        {{2, 20'070, 70, -1, -1, -1}, true},  {{2, 20'071, 70, -1, -1, -1}, false},   // near
        {{3, 20'001, -1, -1, -1, -1}, true},  {{3, 20'000, -1, -1, -1, -1}, false},   // less
    };
    int n = 0;
    for (const auto& [args, holds] : cases) {
        const std::string id = "p" + std::to_string(n++);
        accept(req(id, 0, pos_code_axis1, args), t0 + 2s);
        EXPECT_EQ(finished(t0 + 2s).count(id), holds ? 1u : 0u) << id;
    }
}

TEST_F(CellTest, SlaveStatusConditionsOnAMoveHoldOnceTheMoveHasEnded) {
    accept(move_abs("m", 100'000), t0);
    accept(req("start", 0, status_code_axis1, {1, -1, -1, -1, -1, -1}, {"m"}), t0);
    accept(req("end", 0, status_code_axis1, {3, -1, -1, -1, -1, -1}, {"m"}), t0);
    accept(req("homed", 0, status_code_axis1, {6, -1, -1, -1, -1, -1}), t0);
    EXPECT_TRUE(finished(t0 + 1099ms).empty());
    EXPECT_EQ(finished(t0 + 1100ms), (std::map<std::string, bool>{{"m", true}, {"start", true}, {"end", true}}));
    EXPECT_EQ(finished(t0 + 5s), (std::map<std::string, bool>{{"homed", false}})) << "fails at its timeout";
}

TEST_F(CellTest, StaticTimeConditionWaitsForTheStandstill) {
    accept(move_abs("m", 100'000), t0);
    accept(req("still", 0, static_code_axis1, {-1, -1, -1, -1, -1, -1}, {"m"}), t0);
    finished(t0 + 1100ms);
    EXPECT_EQ(cell->next_wakeup(), t0 + 1120ms);  // 200 simulated ms after the end
    EXPECT_TRUE(finished(t0 + 1119ms).empty());
    EXPECT_EQ(finished(t0 + 1120ms), (std::map<std::string, bool>{{"still", true}}));
    EXPECT_EQ(cell->read(1, 6, t0 + 1200ms), "1000");
}

TEST_F(CellTest, StopInterruptsAMoveAndResetClearsTheStop) {
    accept(move_abs("m", 100'000), t0);
    accept(req("stop", festo_slave, 4, {-1, -1, -1, -1, -1, -1}, {"502"}), t0 + 550ms);
    EXPECT_EQ(finished(t0 + 550ms), (std::map<std::string, bool>{{"m", false}, {"stop", true}}));
    EXPECT_EQ(*cell->position(1, t0 + 2s), 50'000);
    EXPECT_EQ(cell->motor_state(1, t0 + 2s), MotorState::stop);
    EXPECT_EQ(cell->read(1, 1, t0 + 2s), "5");
    accept(req("reset", festo_slave, 5), t0 + 2s);
    EXPECT_EQ(cell->motor_state(1, t0 + 2s), MotorState::controllable);
    EXPECT_EQ(cell->read(1, 1, t0 + 2s), "0");
}

TEST_F(CellTest, MotionOnABusyOrDisabledAxisFails) {
    accept(move_abs("m1", 100'000), t0);
    accept(move_abs("m2", 0), t0 + 10ms);
    EXPECT_EQ(finished(t0 + 10ms), (std::map<std::string, bool>{{"m2", false}}));
    EXPECT_EQ(cell->read(1, 1, t0 + 10ms), "4");
    finished(t0 + 2s);
    accept(req("off", festo_slave, 6), t0 + 2s);
    accept(move_abs("m3", 0), t0 + 2s);
    EXPECT_EQ(finished(t0 + 2s), (std::map<std::string, bool>{{"off", true}, {"m3", false}}));
    accept(req("on", festo_slave, 7), t0 + 2s);
    accept(move_abs("m4", 0), t0 + 2s);
    EXPECT_TRUE(finished(t0 + 4s).at("m4"));
}

TEST_F(CellTest, UnhomedAxisMovesOnlyAfterHoming) {
    options.start_unhomed = true;
    make();
    EXPECT_EQ(cell->read(1, 0, t0), "-2");
    accept(move_abs("m", 1'000), t0);
    EXPECT_EQ(finished(t0), (std::map<std::string, bool>{{"m", false}}));
    accept(req("h", festo_slave, 3, {17, -1, -1, -1, -1, -1}), t0);
    accept(move_abs("m2", 1'000, {"h"}), t0);
    EXPECT_EQ(run(t0, t0 + 1s), (std::map<std::string, bool>{{"h", true}, {"m2", true}}));
}

TEST_F(CellTest, InputConditionHoldsWhenTheMirroredOutputIsSet) {
    accept(req("in", 0, input_code_module10, {0, 3, 1, -1, -1, -1}), t0);
    EXPECT_TRUE(finished(t0 + 1s).empty());
    accept(req("set", 9, 0, {3, 0, 1, -1, -1, -1}, {"502"}), t0 + 1s);
    EXPECT_EQ(finished(t0 + 1s), (std::map<std::string, bool>{{"set", true}, {"in", true}}));
}

TEST_F(CellTest, FinishedIdentifierCanBeReusedAndIsForgottenBeyondTheHistory) {
    options.history_limit = 2;
    make();
    accept(req("a", 0, 150), t0);
    accept(req("a", 0, 150), t0);  // a client's counter wraps around; a finished id may come again
    accept(req("b", 0, 150), t0);
    accept(req("c", 0, 150), t0);
    EXPECT_FALSE(cell->submit(req("d", 0, 150, {-1, -1, -1, -1, -1, -1}, {"a"}), t0).accepted);
    accept(req("e", 0, 150, {-1, -1, -1, -1, -1, -1}, {"c"}), t0);
}

TEST_F(CellTest, EveryWakeUpMakesProgressWhateverTheTimeScale) {
    // Driven only by its own wake-ups, as the server drives it: each wake-up must finish something
    // or lie later than the one before, or the server would spin or stall.
    for (double scale : {1.0, 3.0, 7.3, 113.0}) {
        options.time_scale = scale;
        make();
        accept(move_abs("m", 37'123), t0);
        accept(req("moving", 0, status_code_axis1, {2, -1, -1, -1, -1, -1}), t0);
        accept(req("near", 0, pos_code_axis1, {2, 20'000, 3, -1, -1, -1}), t0);
        accept(req("still", 0, static_code_axis1, {333, -1, -1, -1, -1, -1}, {"m"}), t0);
        std::map<std::string, bool> seen = finished(t0);
        TimePoint last = t0;
        for (int i = 0; i < 50 && seen.size() < 4; ++i) {
            const auto wake = cell->next_wakeup();
            ASSERT_TRUE(wake) << "nothing scheduled while work is pending, scale " << scale;
            const auto now = std::max(*wake, last);
            auto got = finished(now);
            ASSERT_TRUE(!got.empty() || now > last) << "wake-up without progress, scale " << scale;
            seen.merge(got);
            last = now;
        }
        EXPECT_EQ(seen, (std::map<std::string, bool>{{"m", true}, {"moving", true}, {"near", true}, {"still", true}}))
            << "scale " << scale;
    }
}
