/* handler/simulator/cell_layout.hpp: the simulated cell as described by a handler settings file */
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings.hpp"

namespace vemo::sim {

enum class DriveFamily { festo, akribis };

/// One motor axis. Factors convert user units to drive units, as the client applies them.
struct AxisSpec {
    std::string name;
    int kinra_id = 0;
    int slave_no = -1;  // Festo drives are addressed by it; -1 when the entry has none
    DriveFamily family = DriveFamily::festo;
    double distance_factor = 1, speed_factor = 1, accel_factor = 1;
    // Simulation settings in user units (optional `Sim` map of the module entry).
    double default_speed = 100, default_accel = 1000;
    double home_position = 0, start_position = 0;
    std::optional<double> min_position, max_position;
    double homing_settle_s = 0.2;  // extra time a homing spends searching its reference
    double temperature = 25;
};

/// Where an input rule looks: an output pin of an IO module, or (with `position`) an axis that ends a
/// motion within `tolerance` of a position (user units).
struct RuleSource {
    int kinra_id = 0;
    int pin = -1;
    std::optional<double> position;
    double tolerance = 0.5;
};

/// A simulated sensor on one input pin (`Sim/Inputs`), one of two kinds:
/// - follows: the input takes the level of an output pin `delay_s` simulated seconds after it changes
///   (a vacuum switch after its valve);
/// - arrivals: the input turns on every `every_s` simulated seconds, and off when `taken_by` says the part
///   was taken: its output pin turns on, or its axis ends a motion at its position (a feeder's nest).
struct InputRule {
    int pin = 0;
    std::optional<RuleSource> follows;
    double delay_s = 0;
    double every_s = 0;
    std::optional<RuleSource> taken_by;
};

/// One IO module of the IO station, with its blocks in the concatenated process images.
struct IoModuleSpec {
    std::string name;
    int kinra_id = 0;
    int slot = 0;
    int input_bytes = 0, output_bytes = 0;
    int input_start = -1, output_start = -1;  // -1: the module has no such image
    std::optional<int> loopback;               // KinraID whose outputs this module's inputs mirror
    std::vector<InputRule> rules;              // simulated sensors on its inputs, at most one per pin
};

struct CellSpec {
    std::vector<AxisSpec> axes;
    std::optional<int> io_station_slave;  // xan_handler/IOModule/SlaveNo
    std::vector<IoModuleSpec> io_modules;  // in slot order
    int input_image_bytes = 0, output_image_bytes = 0;
};

struct CellSpecError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Finds every module entry (a map with `KinraID`) the way the client does: an entry below a key
/// `IOModule` is an IO module, below a key `Akribis` an Akribis drive, anything else a Festo drive.
/// Throws CellSpecError for what the simulator cannot run: duplicate KinraIDs or drive addresses,
/// non-integer identifiers, non-positive factors, IO modules without Slot or byte counts.
CellSpec cell_from_settings(const kinra::SettingValue& root);

}  // namespace vemo::sim
