/* executor/module_entry.cpp: module entry of _vemomodule (the abstract VemoModule) */
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "core/gc_slots.hpp"
#include "core/python_support.hpp"
#include "executor/executor.hpp"
#include "executor/priority_queue.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vemo::Module;

namespace {

using ModuleGc = vemo::GcSlots<Module, vemo::InstanceDict::none, &Module::queue, &Module::round_robin_set,
                                &Module::exception_block, &Module::run_event>;


/// Builds `kind(cls, **settings, **cls.configs)`; a configs entry that repeats a setting is a TypeError.
nb::object make_action(nb::handle cls, const char *kind, nb::dict settings) {
    nb::object configs = nb::steal(PyDict_New());
    if (PyDict_Merge(configs.ptr(), nb::object(cls.attr("configs")).ptr(), 1) != 0)
        throw nb::python_error();
    for (auto [key, value] : nb::borrow<nb::dict>(configs)) {
        if (settings.contains(key)) {
            PyErr_SetObject(PyExc_TypeError,
                            nb::str("{}() got multiple values for keyword argument '{}'").format(kind, key).ptr());
            throw nb::python_error();
        }
        settings[key] = value;
    }
    nb::object action_type = nb::module_::import_("actions").attr(kind);
    nb::object action = nb::steal(PyObject_Call(action_type.ptr(), nb::make_tuple(cls).ptr(), settings.ptr()));
    if (!action.is_valid())
        throw nb::python_error();
    return action;
}

nb::object classmethod(nb::handle fn) { return nb::module_::import_("builtins").attr("classmethod")(fn); }

} // namespace

NB_MODULE(_vemomodule, m) {
    m.doc() = "The abstract module and executor of the Vemo runtime.";
    nb::module_ pq = nb::module_::import_("_vemopq");
    nb::module_::import_("actions"); // the host's action kinds, built by the factories
    vemo::ExecutorImports &imports = vemo::ExecutorImports::get();
    imports.queue_type = pq.attr("VemoPriorityQueue");
    if (imports.queue_type.is(nb::type<vemo::PriorityQueue>()))
        imports.native_queue_type = (PyTypeObject *) imports.queue_type.ptr();
    imports.standard_priority = nb::cast<long>(nb::int_(pq.attr("VemoPriority").attr("Standard")));
    imports.event_type = nb::module_::import_("_vemoprimitives").attr("Event");

    auto cls = nb::class_<Module>(
        m, "VemoModule", nb::type_slots(ModuleGc::slots),
        "The basic module of the script: it stores all its actions in a priority queue and executes the\n"
        "sequence of actions based on priority. Concrete modules implement setup (initial setup of all\n"
        "parameters) and run (the body executed when the module is run; it calls execute_sequence).");
    imports.module_type = cls;
    nb::handle base = cls;
    vemo::def_field_not_none(cls, "queue", &Module::queue);
    vemo::def_field_not_none(cls, "run_event", &Module::run_event);

    cls.def("__init__",
            [base](nb::pointer_and_handle<Module> self, nb::object action_seq, nb::kwargs configs) {
                vemo::check_concrete(self.h, base, {"run", "setup"});
                new (self.p) Module{};
                nb::inst_mark_ready(self.h);
                vemo::construct_module(self.h, *self.p, action_seq.is_none() ? nb::list() : action_seq, configs);
            },
            "action_seq"_a = nb::none(), "configs"_a)
        .def_prop_rw(
            "round_robin_set",
            [](Module &self) {
                if (!self.round_robin_set.is_valid())
                    throw nb::attribute_error("'VemoModule' in sequence mode has no attribute 'round_robin_set'");
                return self.round_robin_set;
            },
            [](nb::handle self, nb::handle value) {
                if (value.is_none())
                    throw nb::type_error(nb::str("{}.round_robin_set cannot be None")
                                             .format(nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__name__"))
                                             .c_str());
                nb::inst_ptr<Module>(self)->round_robin_set = nb::borrow(value);
            },
            nb::for_setter("value"_a.none()))
        .def_rw("exception_block", &Module::exception_block, nb::for_setter("value"_a.none()))
        .def("async_run",
             [](nb::handle self) {
                 nb::object event = nb::getattr(self, "run_event");
                 event.attr("set")();
                 nb::object thread = nb::module_::import_("threading").attr("Thread")("target"_a = self.attr("run"));
                 thread.attr("start")();
                 return thread;
             },
             "Sets run_event and starts a thread running the module's run(); returns the thread.")
        .def("queue_cleared", [](Module &self) { return vemo::queue_cleared(self); },
             "True when no action is left in the queue (in any lane).")
        .def("get_next_queue_action",
             [](nb::handle self) { return vemo::get_next_queue_action(self, *nb::inst_ptr<Module>(self)); },
             "Removes and returns the next action: the queue's next, or the next ready lane's in round robin.")
        .def("execute_sequence",
             [](nb::handle self) { vemo::execute_sequence(self, *nb::inst_ptr<Module>(self)); },
             "Runs the queued actions one at a time until the queue is empty or run_event is cleared.")
        .def("add_action_seq", [](Module &self, nb::handle seq) { vemo::add_action_seq(self, seq); },
             "action_seq"_a, "Queues a list of actions, or a map of lane key to list in lane mode.")
        .def("setup", [](nb::handle, nb::kwargs) { return nb::borrow(Py_NotImplemented); }, "configs"_a,
             "Initial setup of the concrete module from its named settings (abstract).")
        .def("run", [](nb::handle) { return nb::borrow(Py_NotImplemented); },
             "The module's body, run on the thread that async_run starts (abstract).");

    cls.attr("io_action") = classmethod(nb::cpp_function(
        [](nb::handle cls, nb::object identifier, nb::object status) {
            nb::dict settings;
            settings["io_id"] = identifier;
            settings["status"] = status;
            return make_action(cls, "IOAction", settings);
        },
        "cls"_a, "identifier"_a.none(), "status"_a.none(), ("A new IOAction of this module kind.")));
    cls.attr("move_action") = classmethod(nb::cpp_function(
        [](nb::handle cls, nb::object identifier) {
            nb::dict settings;
            settings["position"] = identifier;
            return make_action(cls, "Move", settings);
        },
        "cls"_a, "identifier"_a.none(), ("A new Move of this module kind.")));
    cls.attr("tray_action") = classmethod(nb::cpp_function(
        [](nb::handle cls, nb::object tray_id, nb::object identifier) {
            nb::dict settings;
            settings["tray_id"] = tray_id;
            settings["position_seq"] = identifier;
            return make_action(cls, "MoveTray", settings);
        },
        "cls"_a, "tray_id"_a.none(), "identifier"_a.none(), ("A new MoveTray of this module kind.")));
    cls.attr("COMPETE_LOOP_WAIT_TIME_SEC") = 1;
}
