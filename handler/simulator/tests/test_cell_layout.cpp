/* handler/simulator/tests/test_cell_layout.cpp: reading the cell out of a settings tree */
#include <gtest/gtest.h>

#include "cell_layout.hpp"

using namespace vemo::sim;

namespace {

CellSpec spec_of(const std::string& yaml) { return cell_from_settings(kinra::parse_settings(yaml)); }

const char* cell_yaml = R"(
xan_handler:
  Params: {DistanceFactor: 7}
  Festo:
    - {Name: x, KinraID: 1, SlaveNo: 4, Params: {DistanceFactor: 1000, SpeedFactor: 100, AccelerationFactor: 10},
       Sim: {Speed: 50, Min: -5, Max: 300}}
    - {KinraID: "2", SlaveNo: 5}
  Akribis:
    - {Name: r, KinraID: 3, SlaveNo: 4}
  IOModule:
    SlaveNo: 9
    Modules:
      - {Name: out16, KinraID: 11, Slot: 2, InputBytes: 0, OutputBytes: 2}
      - {Name: in8, KinraID: 10, Slot: 1, InputBytes: 1, OutputBytes: 0, Sim: {Loopback: 12}}
      - {Name: mixed, KinraID: 12, Slot: 3, InputBytes: 2, OutputBytes: 1}
)";

}  // namespace

TEST(CellSpec, FindsDrivesOfBothFamiliesWithTheirFactors) {
    const CellSpec c = spec_of(cell_yaml);
    ASSERT_EQ(c.axes.size(), 3u);
    EXPECT_EQ(c.axes[0].name, "x");
    EXPECT_EQ(c.axes[0].family, DriveFamily::festo);
    EXPECT_EQ(c.axes[0].slave_no, 4);
    EXPECT_EQ(c.axes[0].distance_factor, 1000);
    EXPECT_EQ(c.axes[0].speed_factor, 100);
    EXPECT_EQ(c.axes[0].default_speed, 50);
    EXPECT_EQ(*c.axes[0].max_position, 300);
    EXPECT_EQ(c.axes[1].kinra_id, 2);  // a KinraID written as text counts, as for the client
    EXPECT_EQ(c.axes[1].distance_factor, 1) << "a Params map beside the path belongs to no entry";
    EXPECT_EQ(c.axes[2].family, DriveFamily::akribis);
    EXPECT_EQ(c.axes[2].slave_no, 4) << "an Akribis SlaveNo does not clash with a Festo one";
}

TEST(CellSpec, IoModulesGetImageOffsetsInSlotOrder) {
    const CellSpec c = spec_of(cell_yaml);
    EXPECT_EQ(c.io_station_slave, 9);
    ASSERT_EQ(c.io_modules.size(), 3u);
    EXPECT_EQ(c.io_modules[0].kinra_id, 10);
    EXPECT_EQ(c.io_modules[0].input_start, 0);
    EXPECT_EQ(c.io_modules[0].output_start, -1);
    EXPECT_EQ(c.io_modules[1].output_start, 0);
    EXPECT_EQ(c.io_modules[2].input_start, 1);
    EXPECT_EQ(c.io_modules[2].output_start, 2);
    EXPECT_EQ(c.input_image_bytes, 3);
    EXPECT_EQ(c.output_image_bytes, 3);
    EXPECT_EQ(c.io_modules[0].loopback, 12);
}

TEST(CellSpec, RejectsCellsItCannotSimulate) {
    const char* broken[] = {
        "a: [{KinraID: 1, SlaveNo: 1}, {KinraID: 1, SlaveNo: 2}]",                    // KinraID twice
        "a: [{KinraID: 1, SlaveNo: 1}, {KinraID: 2, SlaveNo: 1}]",                    // Festo address twice
        "a: [{KinraID: 1}]",                                                          // Festo without SlaveNo
        "a: [{KinraID: x1, SlaveNo: 1}]",                                             // identifier not a number
        "a: [{KinraID: 1, SlaveNo: 1, Params: {DistanceFactor: 0}}]",                 // factor not positive
        "a: [{KinraID: 1, SlaveNo: 1, Sim: {Min: 5, Max: 1}}]",                       // limits crossed
        "IOModule: {SlaveNo: 3, Modules: [{KinraID: 4, InputBytes: 1, OutputBytes: 0}]}",  // no Slot
        "IOModule: {SlaveNo: 3, Modules: [{KinraID: 4, Slot: 1, InputBytes: 41, OutputBytes: 0}]}",
        "IOModule: {SlaveNo: 3, Modules: [{KinraID: 4, Slot: 1, InputBytes: 1, OutputBytes: 0, Sim: {Loopback: 4}}]}",
    };
    for (const char* yaml : broken) EXPECT_THROW(spec_of(yaml), CellSpecError) << yaml;
}

TEST(CellSpec, IgnoresEntriesNestedInsideAModuleEntry) {
    const CellSpec c = spec_of("a: {KinraID: 1, SlaveNo: 1, inner: {KinraID: 2, SlaveNo: 2}}");
    ASSERT_EQ(c.axes.size(), 1u);
    EXPECT_EQ(c.axes[0].kinra_id, 1);
}
