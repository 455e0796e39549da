/* handler/kinra_client.cpp: module entry of kinra_client, the client of the hardware handler server */
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "py_client.hpp"
#include "py_support.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kinra::py;

namespace {

/* Enumerations are classes whose members are int subclasses carrying their own name. Python's IntEnum
   would turn members with equal values into aliases of the first one (KinraConditionEnum has several
   names for 0), so each name here keeps its own member. */
const char* const enumeration_source = R"(
import types

class EnumMember(int):
    """A named member of a kinra_client enumeration; equal to its plain integer value."""
    @property
    def value(self):
        return int(self)

class _EnumerationType(type):
    @property
    def __members__(cls):
        return types.MappingProxyType(cls._members)
    def __getitem__(cls, name):
        return cls._members[name]
    def __iter__(cls):
        return iter(cls._members.values())
    def __len__(cls):
        return len(cls._members)
    def __contains__(cls, member):
        return any(member is m for m in cls._members.values())
    def __repr__(cls):
        return "<enum %r>" % cls.__name__

def _make_enumeration(name, pairs, module):
    members = {}
    namespace = {"__module__": module, "_members": members}
    for member_name, value in pairs:
        member = EnumMember(value)
        member.name = member_name
        members[member_name] = member
        namespace[member_name] = member
    return _EnumerationType(name, (), namespace)
)";

using Pairs = std::vector<std::pair<const char*, int>>;

nb::object make_enumeration(nb::handle factory, const char* name, const Pairs& pairs) {
    nb::list items;
    for (const auto& [member, value] : pairs) items.append(nb::make_tuple(member, value));
    return factory(name, items, "kinra_client");
}

template <class T>
int traverse_objects(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    int status = 0;
    nb::inst_ptr<T>(self)->for_each_object([&](nb::object& object) {
        if (status == 0 && object.is_valid()) status = visit(object.ptr(), arg);
    });
    return status;
}

template <class T>
int clear_objects(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    nb::inst_ptr<T>(self)->for_each_object([](nb::object& object) { object = nb::none(); });
    return 0;
}

PyType_Slot action_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<XANAction>)},
                              {Py_tp_clear, reinterpret_cast<void*>(clear_objects<XANAction>)},
                              {0, nullptr}};
PyType_Slot receiver_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<RecvTread>)},
                                {Py_tp_clear, reinterpret_cast<void*>(clear_objects<RecvTread>)},
                                {0, nullptr}};
PyType_Slot client_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<KinraClient>)},
                              {Py_tp_clear, reinterpret_cast<void*>(clear_objects<KinraClient>)},
                              {0, nullptr}};

std::string repr_of(nb::handle value) { return nb::repr(value).c_str(); }

constexpr char reset_name[] = "MOTOR_RESET";
constexpr char enable_name[] = "MOTOR_ENABLE";
constexpr char disable_name[] = "MOTOR_DISABLE";
constexpr char stop_name[] = "MOTOR_STOP";

/// motor_reset, motor_enable, motor_disable and motor_stop differ only in the command name.
template <const char* Name>
nb::object simple_command(KinraClient& client, nb::handle kinra_id, nb::handle dep_list, bool return_action) {
    return client.simple_motor_command(Name, kinra_id, dep_list, return_action);
}

}  // namespace

NB_MODULE(kinra_client, m) {
    m.doc() = "Client of the hardware handler server: action records, conditions, motor and IO commands";
    note_main_thread();

    nb::dict scope;
    scope["__builtins__"] = nb::module_::import_("builtins");
    nb::object ran = nb::steal(PyRun_String(enumeration_source, Py_file_input, scope.ptr(), scope.ptr()));
    if (!ran.is_valid()) throw nb::python_error();
    nb::object factory = scope["_make_enumeration"];
    m.attr("EnumMember") = scope["EnumMember"];
    m.attr("EnumMember").attr("__module__") = "kinra_client";

    using namespace kinra::protocol;
    using C = DriveCommand;
    const int akribis = akribis_code_base;
    nb::object festo_enum = make_enumeration(
        factory, "FestoFunctionEnum",
        {{"IO_SET_IO", code(C::set_io)}, {"MOTOR_MOVE_ABS", code(C::move_abs)}, {"MOTOR_MOVE_REL", code(C::move_rel)},
         {"MOTOR_HOME", code(C::home)}, {"MOTOR_STOP", code(C::stop)}, {"MOTOR_RESET", code(C::reset)},
         {"MOTOR_DISABLE", code(C::disable)}, {"MOTOR_ENABLE", code(C::enable)}});
    nb::object akribis_enum = make_enumeration(
        factory, "AkribisFunctionEnum",
        {{"MOTOR_MOVE_ABS", akribis + code(C::move_abs)}, {"MOTOR_MOVE_REL", akribis + code(C::move_rel)},
         {"MOTOR_HOME", akribis + code(C::home)}, {"MOTOR_STOP", akribis + code(C::stop)},
         {"MOTOR_RESET", akribis + code(C::reset)}, {"MOTOR_DISABLE", akribis + code(C::disable)},
         {"MOTOR_ENABLE", akribis + code(C::enable)}});
    using D = DataItem;
    nb::object data_index = make_enumeration(
        factory, "KinraDataIdxEnum",
        {{"KINRA_ID_SLAVE_STATUS", code(D::slave_status)}, {"KINRA_ID_ERROR_STATE", code(D::error_state)},
         {"KINRA_ID_POS_DATA", code(D::position)}, {"KINRA_ID_OUTPUT_DATA", code(D::output)},
         {"KINRA_ID_INPUT_DATA", code(D::input)}, {"KINRA_ID_THERMAL_DATA", code(D::thermal)},
         {"KINRA_ID_STATIC_TIME_DATA", code(D::static_time)}, {"KINRA_ID_MOVE_TIME_DATA", code(D::move_time)}});
    using K = ConditionKind;
    using P = PositionMode;
    using I = ImageMode;
    using S = MotorState;
    nb::object condition = make_enumeration(
        factory, "KinraConditionEnum",
        {{"KONRA_ID_SLAVE_STATUS_CONDITION", code(K::slave_status)},
         {"KINRA_ID_ERROR_STATE_CONDITION", code(K::error_state)}, {"KINRA_ID_POS_CONDITION", code(K::position)},
         {"KINRA_ID_OUTPUT_CONDITION", code(K::output)}, {"KINRA_ID_INPUT_CONDITION", code(K::input)},
         {"KINRA_ID_THERMAL_CONDITION", code(K::thermal)}, {"KINRA_ID_STATIC_TIME_CONDITION", code(K::static_time)},
         {"POS_GRATER", code(P::greater)}, {"POS_EQUAL", code(P::equal)}, {"POS_NEAR", code(P::near)},
         {"POS_LESSTHAN", code(P::less)}, {"DIGITAL", code(I::digital)}, {"ANALOG_GRATER", code(I::analog_greater)},
         {"ANALOG_EQUAL", code(I::analog_equal)}, {"ANALOG_LESSTHAN", code(I::analog_less)},
         {"ADMIN_FESTO_STATE_SPAWNED", festo_spawned}, {"ADMIN_AKRIBIS_STATE_SPAWNED", akribis_spawned},
         {"NEED_HOMING", code(S::need_homing)}, {"NOTMOTOR", code(S::not_motor)}, {"CONTROLABLE", code(S::controllable)},
         {"START_MOVING", code(S::start_moving)}, {"MOVING", code(S::moving)}, {"END_MOVING", code(S::end_moving)},
         {"START_HOMING", code(S::start_homing)}, {"HOMING", code(S::homing)}, {"END_HOMING", code(S::end_homing)},
         {"STOP", code(S::stop)}});
    m.attr("FestoFunctionEnum") = festo_enum;
    m.attr("AkribisFunctionEnum") = akribis_enum;
    m.attr("KinraDataIdxEnum") = data_index;
    m.attr("KinraConditionEnum") = condition;
    // The module keeps the classes alive for the life of the process; the lookups borrow them.
    enumerations() = {festo_enum.release(), akribis_enum.release(), data_index.release(), condition.release()};

    m.attr("BLANK_CONDITION") = blank_condition;
    m.attr("CONDITION_START") = condition_start;
    m.attr("EACH_KINRA_CONDITION_NUM") = each_kinra_condition_num;
    m.attr("action_datatype") = std::string(kinra::action_layout_text);
    m.attr("log_datatype") = std::string(kinra::log_layout_text);

    nb::class_<XANAction>(m, "XANAction", nb::type_slots(action_slots),
                          "One action request for the handler server, before packing into a 216-byte record.")
        .def(
            "__init__",
            [](XANAction* self, nb::object module_id, nb::object func_id, nb::object arg_list, nb::object dep_list,
               nb::object cmd_id) {
                new (self) XANAction{std::move(module_id), std::move(func_id), new_list_if_none(arg_list), new_list_if_none(dep_list),
                                     std::move(cmd_id)};
            },
            "module_id"_a.none(), "func_id"_a.none(), "arg_list"_a.none() = nb::none(), "dep_list"_a.none() = nb::none(), "cmd_id"_a.none() = "")
        .def_rw("module_id", &XANAction::module_id, nb::for_setter(nb::arg("value").none()))
        .def_rw("func_id", &XANAction::func_id, nb::for_setter(nb::arg("value").none()))
        .def_rw("arg_list", &XANAction::arg_list, nb::for_setter(nb::arg("value").none()))
        .def_rw("dep_list", &XANAction::dep_list, nb::for_setter(nb::arg("value").none()))
        .def_rw("cmd_id", &XANAction::cmd_id, nb::for_setter(nb::arg("value").none()))
        .def("get_transmit_data", &pack_action, "The 216-byte action record of this request.")
        .def("__repr__", [](const XANAction& a) {
            return "XANAction(module_id=" + repr_of(a.module_id) + ", func_id=" + repr_of(a.func_id) +
                   ", arg_list=" + repr_of(a.arg_list) + ", dep_list=" + repr_of(a.dep_list) + ", cmd_id=" +
                   repr_of(a.cmd_id) + ")";
        });

    nb::class_<ContextHandle>(m, "ZmqContext", "The ZeroMQ context of a KinraClient, shared with its receive threads.");

    nb::class_<RecvTread>(m, "RecvTread", nb::type_slots(receiver_slots), "Receiver of the completions the handler server publishes for one batch.")
        .def(
            "__init__",
            [](RecvTread* self, const ContextHandle& ctx, nb::object server_address, int server_port,
               nb::object target_func_id, nb::object topic_list) {
                auto receiver = make_receiver(ctx.context,
                                              kinra::tcp_endpoint(nb::str(server_address).c_str(), server_port),
                                              target_func_id, topic_list);
                new (self) RecvTread{std::move(receiver), nb::cast(ctx), std::move(server_address), nb::int_(server_port),
                                     std::move(target_func_id), std::move(topic_list)};
            },
            "ctx"_a, "server_address"_a.none(), "server_port"_a, "target_func_id"_a.none(), "topic_list"_a.none())
        .def("start", [](RecvTread& t) {
            try {
                t.receiver->start();
            } catch (const std::logic_error&) {
                throw std::runtime_error("threads can only be started once");
            }
        })
        .def("run", [](RecvTread& t) {
            vemo::GilReleased released;
            t.receiver->run();
        })
        .def("check_start_recv", [](RecvTread& t) { return t.receiver->ready(); })
        .def("check_finish", [](RecvTread& t) { return t.receiver->finished(); })
        .def("stop_thread", [](RecvTread& t) { t.receiver->stop(); })
        .def_prop_ro("start_recv_flag", [](RecvTread& t) { return t.receiver->ready(); })
        .def_prop_ro("finish_flag", [](RecvTread& t) { return t.receiver->finished(); })
        .def_prop_ro("stop_flag", [](RecvTread& t) { return t.receiver->stop_requested(); })
        .def_prop_ro("recv_data_dict",
                     [](RecvTread& t) {
                         nb::dict received;
                         for (const auto& [topic, body] : t.receiver->messages())
                             received[nb::str(topic.data(), topic.size())] = nb::bytes(body.data(), body.size());
                         return received;
                     })
        .def_ro("ctx", &RecvTread::ctx)
        .def_ro("server_address", &RecvTread::server_address)
        .def_ro("server_port", &RecvTread::server_port)
        .def_ro("target_func_id", &RecvTread::target_func_id)
        .def_ro("topic_list", &RecvTread::topic_list);

    nb::class_<KinraClient>(m, "KinraClient", nb::type_slots(client_slots), "Client of the hardware handler server.")
        .def(
            "__init__",
            [](KinraClient* self, nb::object config_file_path, nb::kwargs kwargs) {
                nb::object address = kwargs.contains("server_address") ? nb::object(kwargs["server_address"])
                                                                      : nb::object(nb::str("127.0.0.1"));
                new (self) KinraClient(std::move(address), std::move(config_file_path));
                try {
                    self->load_config();
                    self->decode_io_config();
                } catch (...) {
                    self->~KinraClient();
                    throw;
                }
                self->init_socket(false);
            },
            "config_file_path"_a.none() = "/opt/xan/configs/handler_settings.yaml", "kwargs"_a)
        .def_prop_ro("action_dequeue_sub_port", [](const KinraClient&) { return KinraClient::action_dequeue_sub_port; })
        .def_prop_ro("action_enqueue_req_port", [](const KinraClient&) { return KinraClient::action_enqueue_req_port; })
        .def_prop_ro("logger_req_port", [](const KinraClient&) { return KinraClient::logger_req_port; })
        .def_prop_ro("action_req_socket_status", &KinraClient::action_req_socket_status)
        .def_prop_ro("logger_req_socket_status", &KinraClient::logger_req_socket_status)
        .def_prop_rw("server_address", &KinraClient::server_address, &KinraClient::set_server_address,
                     nb::for_setter(nb::arg("value").none()))
        .def_rw("config_fp", &KinraClient::config_fp, nb::for_setter(nb::arg("value").none()))
        .def_rw("config_data", &KinraClient::config_data, nb::for_setter(nb::arg("value").none()))
        .def_rw("module_data_map", &KinraClient::module_data_map, nb::for_setter(nb::arg("value").none()))
        .def_rw("output_start_byte", &KinraClient::output_start_byte, nb::for_setter(nb::arg("value").none()))
        .def_rw("input_start_byte", &KinraClient::input_start_byte, nb::for_setter(nb::arg("value").none()))
        .def_prop_ro("context", [](const KinraClient& c) { return ContextHandle{c.context()}; })
        .def_prop_ro("func_id_prefix", [](KinraClient& c) { return c.ids().prefix(); })
        .def_prop_rw("func_count", [](KinraClient& c) { return c.ids().count(); },
                     [](KinraClient& c, int count) { c.ids().set_count(count); })
        .def("load_config", &KinraClient::load_config)
        .def("decode_io_config", &KinraClient::decode_io_config)
        .def("getKinraDict", &KinraClient::getKinraDict, "target_kinraID"_a.none())
        .def("getKinraDictHelper", &KinraClient::getKinraDictHelper, "input_data"_a.none(), "target_kinraID"_a.none(),
             "input_return_dict"_a.none())
        .def("init_socket", &KinraClient::init_socket, "reset"_a = false)
        .def("generate_func_id", &KinraClient::generate_func_id)
        .def_static("unpack_struct_helper", &unpack_struct_helper, "datatype"_a, "data"_a)
        .def("enqueue_action", &KinraClient::enqueue_action, "xan_action"_a.none())
        .def("get_logger", &KinraClient::get_logger, "kinra_id"_a.none(), "idx"_a.none())
        .def("receive_dequeue_action", &KinraClient::receive_dequeue_action, "action_list"_a.none(), "target_func_id"_a.none(),
             "topic_list"_a.none() = nb::none(), nb::kw_only(), "timeout"_a.none() = nb::none(),
             "Sends the batch and waits for the target's published result. timeout: seconds, None for no limit; "
             "when it passes first, the call returns the topics received, as a wait without the result does. "
             "Returns -3 when cancel_waits() ends the wait.")
        .def("cancel_waits", &KinraClient::cancel_waits,
             "Ends every receive_dequeue_action wait in progress on this client; those calls return -3. "
             "Returns how many waits were ended.")
        .def("generate_condition", &KinraClient::generate_condition, "kinra_id"_a.none(), "func_id"_a.none() = nb::none(),
             "condition_type_name"_a.none() = "", "arg_list"_a.none() = nb::none(), "dep_list"_a.none() = nb::none())
        .def("generate_condition_and_send", &KinraClient::generate_condition_and_send, "kinra_id"_a.none(),
             "func_id"_a.none() = nb::none(), "condition_type_name"_a.none() = "", "arg_list"_a.none() = nb::none(),
             "dep_list"_a.none() = nb::none(), "block"_a = false)
        .def_static("check_motor_helper", &KinraClient::check_motor_helper, "motor_data"_a.none())
        .def_static("check_io_helper", &KinraClient::check_io_helper, "io_data"_a.none())
        .def("generate_motor_action", &KinraClient::generate_motor_action, "kinra_id"_a.none(), "func_enum_name"_a.none(),
             "arg_list"_a.none() = nb::none(), "dep_list"_a.none() = nb::none())
        .def("motor_action_template", &KinraClient::motor_action_template, "kinra_id"_a.none(), "func_enum_name"_a.none(),
             "arg_list"_a.none() = nb::none(), "dep_list"_a.none() = nb::none(), "block"_a = false)
        .def("motor_reset", simple_command<reset_name>, "kinra_id"_a.none(), "dep_list"_a.none() = nb::none(), "return_action"_a = false)
        .def("motor_enable", simple_command<enable_name>, "kinra_id"_a.none(), "dep_list"_a.none() = nb::none(), "return_action"_a = false)
        .def("motor_disable", simple_command<disable_name>, "kinra_id"_a.none(), "dep_list"_a.none() = nb::none(),
             "return_action"_a = false)
        .def("motor_stop", simple_command<stop_name>, "kinra_id"_a.none(), "dep_list"_a.none() = nb::none(), "return_action"_a = false)
        .def(
            "motor_ptp",
            [](KinraClient& c, nb::handle kinra_id, nb::handle tgtpos, nb::handle vel, nb::handle acc, nb::handle deacc,
               nb::handle dep_list, bool block, bool return_action) {
                return c.motor_move("MOTOR_MOVE_ABS", kinra_id, tgtpos, vel, acc, deacc, dep_list, block, return_action);
            },
            "kinra_id"_a.none(), "tgtpos"_a.none(), "vel"_a.none() = -1, "acc"_a.none() = -1, "deacc"_a.none() = -1, "dep_list"_a.none() = nb::none(),
            "block"_a = false, "return_action"_a = false)
        .def(
            "motor_relmv",
            [](KinraClient& c, nb::handle kinra_id, nb::handle relstep, nb::handle vel, nb::handle acc, nb::handle deacc,
               nb::handle dep_list, bool block, bool return_action) {
                return c.motor_move("MOTOR_MOVE_REL", kinra_id, relstep, vel, acc, deacc, dep_list, block, return_action);
            },
            "kinra_id"_a.none(), "relstep"_a.none(), "vel"_a.none() = -1, "acc"_a.none() = -1, "deacc"_a.none() = -1, "dep_list"_a.none() = nb::none(),
            "block"_a = false, "return_action"_a = false)
        .def("motor_home", &KinraClient::motor_home, "kinra_id"_a.none(), "homing_method"_a.none() = 17, "dep_list"_a.none() = nb::none(),
             "block"_a = false, "return_action"_a = false)
        .def("motor_monitor", &KinraClient::motor_monitor, "kinra_id"_a.none())
        .def("io_set", &KinraClient::io_set, "kinra_id"_a.none(), "tgtpin"_a.none(), "tgtval"_a.none(), "dep_list"_a.none() = nb::none(),
             "block"_a = false, "return_action"_a = false)
        .def("io_monitor", &KinraClient::io_monitor, "kinra_id"_a.none(), "datatype"_a = "KINRA_ID_INPUT_DATA")
        .def(
            "move_and_check",
            [](KinraClient& c, nb::handle motor_list, nb::handle target_position, nb::handle speed, nb::handle accel,
               nb::handle decel, nb::handle, nb::handle tol) {
                return c.move_and_check(motor_list, target_position, speed, accel, decel, tol);
            },
            "motor_list"_a.none(), "target_position"_a.none(), "speed"_a.none(), "accel"_a.none(), "decel"_a.none(), "timeout"_a.none() = 60, "tol"_a.none() = 0.07)
        .def("axis_homing", &KinraClient::axis_homing, "motor_list"_a.none(), "homing_method_list"_a.none() = nb::none());

    /* At exit nobody is left to take a completion: the receiving threads are stopped, and the exit waits
       for them only briefly (each notices the stop within one poll slice), so neither a receiver without
       a message nor a client's subscriber holds the process. */
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
        nb::gil_scoped_release release;
        kinra::CompletionHub::stop_all();
        kinra::CompletionReceiver::stop_running_threads(std::chrono::seconds(2));
    }));
}
