/* handler/py_commands.cpp: conditions, motor and IO commands and composite motions of KinraClient */
#include "py_client.hpp"
#include "py_support.hpp"

namespace kinra::py {

namespace {

nb::object text_of_int(int value) { return nb::str(std::to_string(value).c_str()); }

void append(nb::handle list, nb::handle value) {
    if (PyList_Check(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) != 0) throw nb::python_error();
    } else {
        list.attr("append")(value);
    }
}

/// int(value), as the wire wants scaled quantities truncated toward zero.
nb::object truncate(nb::handle value) {
    nb::object number = nb::steal(PyNumber_Long(value.ptr()));
    if (!number.is_valid()) throw nb::python_error();
    return number;
}

nb::object factor(nb::handle module, const char* name) { return module["Params"][name]; }

bool equals(nb::handle a, long value) { return nb::borrow(a).equal(nb::int_(value)); }

/// The pause entry of a batch: receive_dequeue_action sleeps this many seconds before going on.
nb::object pause_entry() { return nb::make_tuple("wait", 2); }

[[noreturn]] void raise_error(PyObject* kind, const std::string& message) {
    PyErr_SetString(kind, message.c_str());
    throw nb::python_error();
}

std::string module_name(nb::handle kinra_id) { return std::string("module ") + nb::repr(kinra_id).c_str(); }

std::string kind_of(nb::handle module) {
    return PySequence_Contains(module.ptr(), nb::str("IOModule").ptr()) == 1 ? "an IO module" : "a motor";
}

/// The configuration of module `kinra_id` as `getKinraDict` gives it; a KeyError naming the module and the
/// settings file when no module carries that identifier, instead of the first key a command misses.
nb::object known_module(KinraClient& client, nb::handle kinra_id, const char* command) {
    nb::object module = client.getKinraDict(kinra_id);
    const Py_ssize_t size = PyObject_Length(module.ptr());
    if (size < 0) throw nb::python_error();
    if (size == 0) {
        raise_error(PyExc_KeyError, std::string(command) + ": no module with KinraID " + nb::repr(kinra_id).c_str() +
                                  " in the handler settings " + nb::str(client.config_fp).c_str());
    }
    return module;
}

/// A unit factor of a module that a motion needs; a KeyError naming the module, its kind and the missing
/// key when its settings lack it (an IO module has none).
nb::object motion_factor(nb::handle module, const char* name, nb::handle kinra_id, const char* command) {
    const int has_params = PySequence_Contains(module.ptr(), nb::str("Params").ptr());
    if (has_params < 0) throw nb::python_error();
    nb::object params = has_params == 1 ? nb::object(module["Params"]) : nb::object();
    const int has_factor = params.is_valid() ? PySequence_Contains(params.ptr(), nb::str(name).ptr()) : 0;
    if (has_factor < 0) throw nb::python_error();
    if (has_factor == 0) {
        raise_error(PyExc_KeyError, std::string(command) + ": " + module_name(kinra_id) + " is " + kind_of(module) +
                                  " without Params / " + name + " in the handler settings, so it cannot move");
    }
    return params[name];
}

nb::object cmd_id_of(nb::handle action, const char* what, nb::handle kinra_id = nb::handle()) {
    if (!is_action(action)) {
        const std::string which = kinra_id.is_valid() ? " for " + module_name(kinra_id) : std::string();
        const std::string why =
            equals(action, -2) ? " (-2: it is not a motor)" : " (got " + std::string(nb::repr(action).c_str()) + ")";
        raise_error(PyExc_TypeError,
                    std::string(what) + ": a request could not be built" + which + why + ", so nothing was sent");
    }
    return as_action(action).cmd_id;
}

}  // namespace

nb::object KinraClient::generate_condition(nb::handle kinra_id, nb::handle func_id, nb::handle condition_type_name,
                                           nb::handle arg_list, nb::handle dep_list) {
    nb::object args = new_list_if_none(arg_list);
    nb::object deps = new_list_if_none(dep_list);
    const bool scale_distances =
        PyUnicode_Check(condition_type_name.ptr()) && nb::borrow(condition_type_name).equal(nb::str("KINRA_ID_POS_CONDITION"));
    try {
        nb::object code = nb::borrow(func_id);
        if (code.is_none()) {
            code = enum_value(enumerations().condition, condition_type_name);
            if (code < nb::int_(condition_start)) {
                code = code + (nb::borrow(kinra_id) - nb::int_(1)) * nb::int_(each_kinra_condition_num) +
                       nb::int_(condition_start);
            }
        }
        const Py_ssize_t count = PyObject_Length(args.ptr());
        if (count < 0) throw nb::python_error();
        for (Py_ssize_t i = 0; i < count; ++i) {
            nb::object element = args[nb::int_(i)];
            if (PyUnicode_Check(element.ptr())) {
                args[nb::int_(i)] = enum_value(enumerations().condition, element);
            } else if (scale_distances && i != 0) {
                args[nb::int_(i)] = element * factor(getKinraDict(kinra_id), "DistanceFactor");
            }
        }
        return new_action(nb::int_(0), code, args, deps, nb::str(generate_func_id().c_str()));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        print_line("Invalid Condition Input" + std::string(nb::str(e.value()).c_str()));
        return nb::int_(-2);
    }
}

nb::object KinraClient::send_or_wait(nb::handle action, bool block) {
    nb::object cmd_id = as_action(action).cmd_id;
    if (block) {
        nb::list actions;
        actions.append(action);
        nb::list topics;
        topics.append(cmd_id);
        return wait_for_own(actions, cmd_id, topics);
    }
    const int result = enqueue(as_action(action));
    return result == 1 ? cmd_id : nb::object(nb::int_(result));
}

nb::object KinraClient::generate_condition_and_send(nb::handle kinra_id, nb::handle func_id,
                                                    nb::handle condition_type_name, nb::handle arg_list,
                                                    nb::handle dep_list, bool block) {
    nb::object action = generate_condition(kinra_id, func_id, condition_type_name, arg_list, dep_list);
    if (!is_action(action)) return action;
    return send_or_wait(action, block);
}

bool KinraClient::check_motor_helper(nb::handle motor_data) {
    const int found = PySequence_Contains(motor_data.ptr(), nb::str("IOModule").ptr());
    if (found < 0) throw nb::python_error();
    return found == 0;
}

bool KinraClient::check_io_helper(nb::handle io_data) { return !check_motor_helper(io_data); }

nb::object KinraClient::generate_motor_action(nb::handle kinra_id, nb::handle func_enum_name, nb::handle arg_list,
                                              nb::handle dep_list) {
    nb::object args = new_list_if_none(arg_list);
    nb::object deps = new_list_if_none(dep_list);
    nb::object motor_data = known_module(*this, kinra_id, nb::str(func_enum_name).c_str());
    if (!check_motor_helper(motor_data)) return nb::int_(-2);
    nb::object func_id, slave;
    if (PySequence_Contains(motor_data.ptr(), nb::str("Akribis").ptr()) == 1) {
        func_id = enum_value(enumerations().akribis_function, func_enum_name);
        slave = motor_data["KinraID"];
        append(deps, text_of_int(admin_akribis_state_spawned));
    } else {
        func_id = enum_value(enumerations().festo_function, func_enum_name);
        slave = motor_data["SlaveNo"];
        append(deps, text_of_int(admin_festo_state_spawned));
    }
    return new_action(slave, func_id, args, deps, nb::str(generate_func_id().c_str()));
}

nb::object KinraClient::motor_action_template(nb::handle kinra_id, nb::handle func_enum_name, nb::handle arg_list,
                                              nb::handle dep_list, bool block) {
    nb::object action = generate_motor_action(kinra_id, func_enum_name, arg_list, dep_list);
    if (!is_action(action)) return action;
    if (!block) return send_or_wait(action, false);

    nb::object cmd_id = as_action(action).cmd_id;
    const bool homing = nb::borrow(func_enum_name).equal(nb::str("MOTOR_HOME"));
    const nb::handle none = nb::none();
    nb::str status_kind("KONRA_ID_SLAVE_STATUS_CONDITION");
    nb::list first_args, end_args, first_deps, end_deps;
    first_args.append(homing ? "START_HOMING" : "START_MOVING");
    end_args.append(homing ? "END_HOMING" : "END_MOVING");
    first_deps.append(cmd_id);
    end_deps.append(cmd_id);
    nb::object first_condition = generate_condition(kinra_id, none, status_kind, first_args, first_deps);
    nb::object block_condition = generate_condition(kinra_id, none, status_kind, end_args, end_deps);
    nb::list static_deps;
    static_deps.append(cmd_id);
    static_deps.append(cmd_id_of(first_condition, "motor_action_template"));
    nb::object static_condition =
        generate_condition(kinra_id, none, nb::str("KINRA_ID_STATIC_TIME_CONDITION"), none, static_deps);
    nb::object block_id = cmd_id_of(block_condition, "motor_action_template");
    nb::list batch;
    batch.append(action);
    batch.append(first_condition);
    batch.append(block_condition);
    batch.append(pause_entry());
    batch.append(static_condition);
    nb::list topics;
    topics.append(block_id);
    topics.append(cmd_id_of(static_condition, "motor_action_template"));
    return wait_for_own(batch, block_id, topics);
}

nb::object KinraClient::simple_motor_command(const char* name, nb::handle kinra_id, nb::handle dep_list,
                                             bool return_action) {
    nb::object deps = new_list_if_none(dep_list);
    if (return_action) return generate_motor_action(kinra_id, nb::str(name), nb::list(), deps);
    return motor_action_template(kinra_id, nb::str(name), nb::list(), deps, false);
}

nb::object KinraClient::motor_move(const char* name, nb::handle kinra_id, nb::handle target, nb::handle vel,
                                   nb::handle acc, nb::handle deacc, nb::handle dep_list, bool block, bool return_action) {
    nb::object deps = new_list_if_none(dep_list);
    const char* command = std::string(name) == "MOTOR_MOVE_ABS" ? "motor_ptp" : "motor_relmv";
    nb::object motor_data = known_module(*this, kinra_id, command);
    auto scaled = [&](nb::handle value, const char* factor_name, bool always) -> nb::object {
        if (!always && equals(value, -1)) return nb::int_(-1);
        return truncate(nb::borrow(value) * motion_factor(motor_data, factor_name, kinra_id, command));
    };
    nb::list args;
    args.append(scaled(target, "DistanceFactor", true));
    args.append(scaled(vel, "SpeedFactor", false));
    args.append(scaled(acc, "AccelerationFactor", false));
    args.append(scaled(deacc, "AccelerationFactor", false));
    if (return_action) return generate_motor_action(kinra_id, nb::str(name), args, deps);
    return motor_action_template(kinra_id, nb::str(name), args, deps, block);
}

nb::object KinraClient::motor_home(nb::handle kinra_id, nb::handle homing_method, nb::handle dep_list, bool block,
                                   bool return_action) {
    nb::object deps = new_list_if_none(dep_list);
    nb::object motor_data = known_module(*this, kinra_id, "motor_home");
    nb::object method = nb::borrow(homing_method);
    if (PySequence_Contains(motor_data.ptr(), nb::str("Akribis").ptr()) == 1 && equals(method, 17)) method = nb::int_(0);
    nb::list args;
    args.append(method);
    if (return_action) return generate_motor_action(kinra_id, nb::str("MOTOR_HOME"), args, deps);
    return motor_action_template(kinra_id, nb::str("MOTOR_HOME"), args, deps, block);
}

nb::object KinraClient::motor_monitor(nb::handle kinra_id) {
    nb::object motor_data = known_module(*this, kinra_id, "motor_monitor");
    if (!check_motor_helper(motor_data)) return nb::int_(-2);
    nb::object distance = motion_factor(motor_data, "DistanceFactor", kinra_id, "motor_monitor");
    nb::object reply = get_logger(kinra_id, nb::int_(2));
    // A failed exchange yields the connection-error code, which must not pass for a position.
    if (PyLong_Check(reply.ptr())) return reply;
    nb::object drive_units = truncate(reply);
    return drive_units * nb::float_(1.0) / distance;
}

nb::object KinraClient::io_set(nb::handle kinra_id, nb::handle tgtpin, nb::handle tgtval, nb::handle dep_list,
                               bool block, bool return_action) {
    nb::object deps = new_list_if_none(dep_list);
    nb::object io_data = getKinraDict(kinra_id);
    if (!check_io_helper(io_data)) return nb::int_(-2);
    nb::object func_id = enum_value(enumerations().festo_function, nb::str("IO_SET_IO"));
    nb::object slave = io_data["IOModule"]["SlaveNo"];
    append(deps, text_of_int(admin_festo_state_spawned));
    // The module's place in slot order, so that slot numbers with gaps still find its own block.
    nb::object slot = io_data["Slot"];
    const Py_ssize_t place = PySequence_Index(io_slot_order.ptr(), slot.ptr());
    if (place < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_IndexError, ("io_set(): no IO module in slot " + std::string(nb::repr(slot).c_str())).c_str());
        throw nb::python_error();
    }
    nb::object tgtbyte = output_start_byte[nb::int_(place)];
    if (equals(tgtbyte, -1)) return nb::int_(-2);
    nb::list args;
    args.append(tgtpin);
    args.append(tgtbyte);
    args.append(tgtval);
    nb::object action = new_action(slave, func_id, args, deps, nb::str(generate_func_id().c_str()));
    if (return_action) return action;
    return send_or_wait(action, block);
}

nb::object KinraClient::io_monitor(nb::handle kinra_id, nb::handle datatype) {
    nb::object io_data = getKinraDict(kinra_id);
    if (!check_io_helper(io_data)) return nb::int_(-2);
    return get_logger(kinra_id, enum_value(enumerations().data_index, datatype));
}

bool KinraClient::move_and_check(nb::handle motor_list, nb::handle target_position, nb::handle speed, nb::handle accel,
                                 nb::handle decel, nb::handle tol) {
    const Py_ssize_t number = PyObject_Length(motor_list.ptr());
    if (number < 0) throw nb::python_error();
    for (nb::handle list : {target_position, speed, accel, decel}) {
        const Py_ssize_t length = PyObject_Length(list.ptr());
        if (length < 0) throw nb::python_error();
        if (length != number) {
            print_line("[KinraClient: Move And Check] All of the list type input argument must have same length.");
            return false;
        }
    }
    const nb::handle none = nb::none();
    nb::list motions, targets, statics;
    for (Py_ssize_t i = 0; i < number; ++i) {
        nb::int_ index(i);
        nb::object position = target_position[index];
        if (equals(position, -99)) continue;
        nb::object motor = motor_list[index];
        nb::object action = motor_move("MOTOR_MOVE_ABS", motor, position, nb::object(speed[index]),
                                       nb::object(accel[index]), nb::object(decel[index]), none, false, true);
        nb::object action_id = cmd_id_of(action, "move_and_check", motor);
        motions.append(action);
        nb::list pos_args;
        pos_args.append("POS_NEAR");
        pos_args.append(position);
        pos_args.append(tol);
        nb::list pos_deps, static_deps;
        pos_deps.append(action_id);
        static_deps.append(action_id);
        targets.append(generate_condition(motor, none, nb::str("KINRA_ID_POS_CONDITION"), pos_args, pos_deps));
        statics.append(generate_condition(motor, none, nb::str("KINRA_ID_STATIC_TIME_CONDITION"), none, static_deps));
    }
    nb::list target_ids, static_ids;
    for (nb::handle condition : targets) target_ids.append(cmd_id_of(condition, "move_and_check"));
    for (nb::handle condition : statics) static_ids.append(cmd_id_of(condition, "move_and_check"));
    nb::object final_target = generate_condition(nb::int_(0), nb::int_(blank_condition), nb::str(""), none, target_ids);
    nb::object final_static = generate_condition(nb::int_(0), nb::int_(blank_condition), nb::str(""), none, static_ids);
    nb::list batch;
    for (nb::handle a : motions) batch.append(a);
    for (nb::handle a : targets) batch.append(a);
    batch.append(pause_entry());
    for (nb::handle a : statics) batch.append(a);
    batch.append(final_target);
    batch.append(final_static);
    nb::object final_id = cmd_id_of(final_target, "move_and_check");
    nb::list topics;
    topics.append(final_id);
    topics.append(cmd_id_of(final_static, "move_and_check"));
    nb::object result = wait_for_own(batch, final_id, topics);
    return PyLong_Check(result.ptr()) && result.equal(nb::int_(1));
}

bool KinraClient::axis_homing(nb::handle motor_list, nb::handle homing_method_list) {
    const Py_ssize_t number = PyObject_Length(motor_list.ptr());
    if (number < 0) throw nb::python_error();
    nb::object methods = nb::borrow(homing_method_list);
    if (methods.is_none()) {
        nb::list defaults;
        for (Py_ssize_t i = 0; i < number; ++i) defaults.append(17);
        methods = defaults;
    }
    const Py_ssize_t method_count = PyObject_Length(methods.ptr());
    if (method_count < 0) throw nb::python_error();
    if (method_count != number) {
        print_line("[KinraClient: Axis Homing] All of the list type input argument must have same length.");
        return false;
    }
    const nb::handle none = nb::none();
    nb::list homings, targets, statics;
    for (Py_ssize_t i = 0; i < number; ++i) {
        nb::int_ index(i);
        nb::object motor = motor_list[index];
        nb::object action = motor_home(motor, nb::object(methods[index]), none, false, true);
        nb::object action_id = cmd_id_of(action, "axis_homing", motor);
        homings.append(action);
        nb::list end_args, end_deps, static_deps;
        end_args.append("END_HOMING");
        end_deps.append(action_id);
        static_deps.append(action_id);
        targets.append(generate_condition(motor, none, nb::str("KONRA_ID_SLAVE_STATUS_CONDITION"), end_args, end_deps));
        statics.append(generate_condition(motor, none, nb::str("KINRA_ID_STATIC_TIME_CONDITION"), none, static_deps));
    }
    nb::list target_ids, static_ids;
    for (nb::handle condition : targets) target_ids.append(cmd_id_of(condition, "axis_homing"));
    for (nb::handle condition : statics) static_ids.append(cmd_id_of(condition, "axis_homing"));
    nb::object final_target = generate_condition(nb::int_(0), nb::int_(blank_condition), nb::str(""), none, target_ids);
    nb::object final_static = generate_condition(nb::int_(0), nb::int_(blank_condition), nb::str(""), none, static_ids);
    nb::list batch;
    for (nb::handle a : homings) batch.append(a);
    batch.append(pause_entry());
    for (nb::handle a : targets) batch.append(a);
    for (nb::handle a : statics) batch.append(a);
    batch.append(final_target);
    batch.append(final_static);
    nb::object final_id = cmd_id_of(final_target, "axis_homing");
    nb::list topics;
    topics.append(final_id);
    topics.append(cmd_id_of(final_static, "axis_homing"));
    nb::object result = wait_for_own(batch, final_id, topics);
    return PyLong_Check(result.ptr()) && result.equal(nb::int_(1));
}

}  // namespace kinra::py
