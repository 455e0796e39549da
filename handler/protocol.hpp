/* handler/protocol.hpp: the codes of the handler protocol, shared by the client and the simulator */
#pragma once

#include <cstdint>

namespace kinra::protocol {

/// Motor states reported as slave status (values of the client's KinraConditionEnum).
enum class MotorState : std::int32_t {
    need_homing = -2,
    not_motor = -1,
    controllable = 0,
    start_moving = 1,
    moving = 2,
    end_moving = 3,
    start_homing = 4,
    homing = 5,
    end_homing = 6,
    stop = 7,
};

/// Function codes of a drive, relative to the family's base (0 for Festo, 50 for Akribis).
enum class DriveCommand : std::int32_t {
    set_io = 0,  // Festo numbering only, addressed to the IO station
    move_abs = 1,
    move_rel = 2,
    home = 3,
    stop = 4,
    reset = 5,
    disable = 6,
    enable = 7,
};
inline constexpr std::int32_t akribis_code_base = 50;

/// Condition codes: module_id 0, func_id = condition_start + codes_per_module * (KinraID - 1) + kind.
inline constexpr std::int32_t blank_condition = 150;
inline constexpr std::int32_t condition_start = 151;
inline constexpr std::int32_t codes_per_module = 10;
inline constexpr std::int32_t festo_spawned = 502;
inline constexpr std::int32_t akribis_spawned = 503;

enum class ConditionKind : std::int32_t {
    slave_status = 0,
    error_state = 1,
    position = 2,
    output = 3,
    input = 4,
    thermal = 5,
    static_time = 6,
};

/// Comparison modes: positions (first four) and IO images (DIGITAL and the analog ones).
enum class PositionMode : std::int32_t { greater = 0, equal = 1, near = 2, less = 3 };
enum class ImageMode : std::int32_t { digital = 0, analog_greater = 1, analog_equal = 2, analog_less = 3 };

/// Data items of a log request (the client's KinraDataIdxEnum).
enum class DataItem : std::int32_t {
    slave_status = 0,
    error_state = 1,
    position = 2,
    output = 3,
    input = 4,
    thermal = 5,
    static_time = 6,
    move_time = 7,
};

inline constexpr int code(auto value) { return static_cast<int>(value); }

}  // namespace kinra::protocol
