/* core/action_module.cpp: module entry of _vemoaction (the abstract VemoAction) */
#include <nanobind/nanobind.h>

#include "core/action.hpp"
#include "core/gc_slots.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vemo::Action;

namespace {

using ActionGc = vemo::GcSlots<Action, vemo::InstanceDict::none, &Action::state, &Action::finish_signal,
                                &Action::module, &Action::dependency, &Action::script_dep, &Action::params>;


/// A new unset event, made without going through a Python call.
nb::object new_event(nb::handle event_type) {
    nb::object event = nb::inst_alloc(event_type);
    new (nb::inst_ptr<vemo::Event>(event)) vemo::Event();
    nb::inst_mark_ready(event);
    return event;
}

} // namespace

NB_MODULE(_vemoaction, m) {
    m.doc() = "The abstract action of the Vemo runtime.";
    nb::module_ primitives = nb::module_::import_("_vemoprimitives");
    nb::object not_executed = primitives.attr("VemoState").attr("NotExecuted");
    nb::object event_type = primitives.attr("Event");

    auto cls = nb::class_<Action>(
        m, "VemoAction", nb::type_slots(ActionGc::slots),
        "The basic action of the script: it stores the current state (VemoState), gives finish_signal, and is\n"
        "blocking: running it waits until the previous or dependent signals are all resolved. Concrete actions\n"
        "implement setup (initial setup of all parameters) and execute (called when the action is run; it is\n"
        "responsible for the finish signal and the state transitions).");
    nb::handle base = cls;
    vemo::def_field_not_none(cls, "state", &Action::state);
    vemo::def_field_not_none(cls, "finish_signal", &Action::finish_signal);
    vemo::def_field_not_none(cls, "dependency", &Action::dependency);
    vemo::def_field_not_none(cls, "params", &Action::params);

    cls.def("__init__",
            [not_executed, event_type, base](nb::pointer_and_handle<Action> self, nb::object module,
                                              nb::kwargs configs) {
                vemo::check_concrete(self.h, base, {"execute", "setup"});
                new (self.p) Action{not_executed, new_event(event_type), std::move(module), nb::list(), nb::none(),
                                    vemo::deep_copy(configs)};
                nb::inst_mark_ready(self.h);
                nb::object setup = self.h.attr("setup");
                if (!nb::steal(PyObject_Call(setup.ptr(), nb::tuple().ptr(), configs.ptr())).is_valid())
                    throw nb::python_error();
            },
            "module"_a.none(), "configs"_a)
        .def_rw("module", &Action::module, nb::for_setter("value"_a.none()))
        .def_rw("script_dep", &Action::script_dep, nb::for_setter("value"_a.none()))
        .def("run", [](nb::handle self) { vemo::run_action(self); },
             "Waits for every dependency and the script-order signal, then executes the action.")
        .def("copy", [](nb::handle self) { return vemo::copy_action(self); },
             "A new action of the same kind, module and parameters, with the same dependencies.")
        .def("dependency_is_resolved", [](Action &self) { return vemo::dependency_is_resolved(self); },
             "True when no dependency is still an identifier.")
        .def("resolve_dependencies",
             [](Action &self, nb::handle table) { vemo::resolve_dependencies(self, table); },
             "declaration_table"_a,
             "Replaces each identifier dependency found in the table by the last action of its sequence.")
        .def("add_dependencies",
             [](Action &self, nb::handle dep) { vemo::append_dependencies(self.dependency, dep); }, "dep"_a,
             "Appends a list of dependencies (the first ';' removed from it) or one entry.")
        .def("set_script_dep", [](Action &self, nb::object dep) { self.script_dep = std::move(dep); }, "dep"_a.none())
        .def("wait_signals", [](nb::handle self) { vemo::wait_action_signals(self, nullptr); },
             "Waits on the finish signal of every dependency, then on the script-order signal.")
        .def("setup", [](nb::handle, nb::kwargs) { return nb::borrow(Py_NotImplemented); }, "configs"_a,
             "Initial setup of the concrete action from its named settings (abstract).")
        .def("execute", [](nb::handle) { return nb::borrow(Py_NotImplemented); },
             "Performs the action (abstract).")
        .def("__repr__", [](nb::handle self) {
            Action &a = vemo::action_of(self);
            nb::str kind = nb::str(nb::handle((PyObject *) Py_TYPE(self.ptr())).attr("__name__"));
            nb::list items;
            if (PyDict_Check(a.params.ptr()))
                for (auto [key, value] : nb::borrow<nb::dict>(a.params))
                    items.append(nb::str("{}={!r}").format(key, value));
            return nb::str("{}({})").format(kind, nb::str(", ").attr("join")(items));
        });
}
