/* handler/simulator/tests/test_input_rules.cpp: simulated sensors: inputs that follow outputs, parts that arrive */
#include <gtest/gtest.h>

#include "cell.hpp"

using namespace vemo::sim;
using namespace std::chrono_literals;

namespace {

// An axis, a valve module (outputs) with its pressure switch on input 0 (30 ms behind output 3), and a
// feeder whose nest sensor (input 0) sees a part every 2 s until the valve grips it; input 1 of the feeder
// sees a part every 2 s until the axis ends a motion at 50 mm.
const char* cell_yaml = R"(
xan_handler:
  Festo:
    - {KinraID: 1, SlaveNo: 4, Params: {DistanceFactor: 1000, SpeedFactor: 1000, AccelerationFactor: 1000},
       Sim: {Speed: 100, Acceleration: 1000}}
  IOModule:
    SlaveNo: 9
    Modules:
      - {KinraID: 11, Slot: 1, InputBytes: 1, OutputBytes: 1,
         Sim: {Inputs: [{Pin: 0, Follows: {Module: 11, Pin: 3}, Delay: 0.03}]}}
      - {KinraID: 12, Slot: 2, InputBytes: 1, OutputBytes: 0,
         Sim: {Inputs: [{Pin: 0, Every: 2, TakenBy: {Module: 11, Pin: 3}},
                        {Pin: 1, Every: 2, TakenBy: {Module: 1, Position: 50}}]}}
)";

constexpr int valves_input_code = 151 + 10 * 10 + 4;  // input condition on KinraID 11

Request req(std::string id, int module, int func, std::array<int, 6> args, std::array<std::string, 4> deps = {"502"}) {
    Request r;
    r.module_id = module;
    r.func_id = func;
    r.args = args;
    r.cmd_id = std::move(id);
    r.dependencies = std::move(deps);
    return r;
}

Request set_output(std::string id, int pin, int value) { return req(std::move(id), 9, 0, {pin, 0, value, -1, -1, -1}); }

struct InputRulesTest : ::testing::Test {
    TimePoint t0 = TimePoint{} + 1000h;
    CellOptions options;
    std::unique_ptr<Cell> cell;

    void SetUp() override { make(); }
    void make() { cell = std::make_unique<Cell>(cell_from_settings(kinra::parse_settings(cell_yaml)), options, t0); }
    void accept(Request r, TimePoint at) { ASSERT_TRUE(cell->submit(std::move(r), at).accepted); }
    int input(int kinra_id, int pin, TimePoint at) {
        const std::string hex = *cell->read(kinra_id, 4, at);
        return (std::stoi(hex.substr(0, 2), nullptr, 16) >> pin) & 1;
    }
};

TEST_F(InputRulesTest, AFollowingInputChangesItsDelayAfterTheOutputAndWakesItsCondition) {
    accept(req("ok", 0, valves_input_code, {0, 0, 1, -1, -1, -1}, {}), t0);
    accept(set_output("on", 3, 1), t0 + 1s);
    EXPECT_EQ(input(11, 0, t0 + 1s + 29ms), 0);
    const auto wake = cell->next_wakeup();
    ASSERT_TRUE(wake);
    EXPECT_LE(*wake, t0 + 1s + 30ms);  // the server sleeps until the change is due, not longer
    cell->take_completions();
    cell->advance(t0 + 1s + 30ms);
    const auto done = cell->take_completions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].request.cmd_id, "ok");
    accept(set_output("off", 3, 0), t0 + 2s);
    EXPECT_EQ(input(11, 0, t0 + 2s + 10ms), 1);
    EXPECT_EQ(input(11, 0, t0 + 2s + 30ms), 0);
}

TEST_F(InputRulesTest, APartArrivesOnTheBeatAndLeavesWhenTheOutputOrTheMotionTakesIt) {
    EXPECT_EQ(input(12, 0, t0 + 1999ms), 0);
    EXPECT_EQ(input(12, 0, t0 + 2s), 1);
    EXPECT_EQ(input(12, 1, t0 + 2s), 1);
    accept(set_output("grip", 3, 1), t0 + 2500ms);
    EXPECT_EQ(input(12, 0, t0 + 2500ms), 0);
    accept(set_output("keep", 3, 1), t0 + 3s);  // no rising edge: nothing is taken
    EXPECT_EQ(input(12, 1, t0 + 3s), 1);
    accept(req("move", 4, 1, {50'000, -1, -1, -1, -1, -1}), t0 + 3s);  // 0.6 s to 50 mm
    EXPECT_EQ(input(12, 1, t0 + 3500ms), 1);
    EXPECT_EQ(input(12, 1, t0 + 3700ms), 0);
    EXPECT_EQ(input(12, 0, t0 + 4s), 1);  // the next beat, with its sensor's part taken before
    EXPECT_EQ(input(12, 1, t0 + 4s), 1);
}

TEST_F(InputRulesTest, ATinyIntervalNeitherSpinsNorFloodsTheServerWithWakeUps) {
    const std::string yaml = std::string(cell_yaml).replace(std::string(cell_yaml).find("Every: 2,"), 9, "Every: 1e-12,");
    cell = std::make_unique<Cell>(cell_from_settings(kinra::parse_settings(yaml)), options, t0);
    EXPECT_EQ(input(12, 0, t0 + 1h), 1);  // an hour of beats in one step
    const auto wake = cell->next_wakeup();
    ASSERT_TRUE(wake);
    EXPECT_GE(*wake, t0 + 1h);
    EXPECT_LE(*wake, t0 + 1h + 1ms);
}

TEST(InputRuleSettings, RefusesRulesTheCellCannotFollow) {
    const std::string head = R"(
xan_handler:
  Festo: [{KinraID: 1, SlaveNo: 4, Params: {DistanceFactor: 1, SpeedFactor: 1, AccelerationFactor: 1}}]
  IOModule:
    SlaveNo: 9
    Modules:
      - {KinraID: 11, Slot: 1, InputBytes: 1, OutputBytes: 1, Sim: {Inputs: [)";
    for (const char* rule : {
             "{Pin: 8, Follows: {Module: 11, Pin: 0}}",                    // beyond the input block
             "{Pin: 0, Follows: {Module: 11, Pin: 8}}",                    // beyond the output block
             "{Pin: 0, Follows: {Module: 1, Pin: 0}}",                     // an axis has no outputs
             "{Pin: 0, Follows: {Module: 11, Pin: 0}, Delay: -1}",
             "{Pin: 0, Every: 0, TakenBy: {Module: 11, Pin: 0}}",
             "{Pin: 0, Every: 1}",                                          // a part nobody takes
             "{Pin: 0, Every: 1, TakenBy: {Module: 7, Position: 3}}",      // no such axis
             "{Pin: 0, Every: 1, TakenBy: {Module: 1, Pin: 0, Position: 3}}",
             "{Pin: 0}",
             "{Pin: 0, Follows: {Module: 11, Pin: 0}}, {Pin: 0, Follows: {Module: 11, Pin: 1}}",
         }) {
        EXPECT_THROW(cell_from_settings(kinra::parse_settings(head + rule + "]}}\n")), CellSpecError) << rule;
    }
    EXPECT_NO_THROW(cell_from_settings(kinra::parse_settings(head + "{Pin: 7, Follows: {Module: 11, Pin: 7}}]}}\n")));
}

}  // namespace
