/* core/primitives_module.cpp: module entry of _vemoprimitives (VemoState, VemoId, Event) */
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "core/gc_slots.hpp"
#include "core/identifier.hpp"
#include "core/python_support.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using IdentifierGc = vemo::GcSlots<vemo::Identifier, vemo::InstanceDict::none, &vemo::Identifier::id,
                                   &vemo::Identifier::dependency>;

enum class State { NotExecuted = 1, Executing = 2, Finished = 3, Error = 4 };


} // namespace

NB_MODULE(_vemoprimitives, m) {
    m.doc() = "Action states, script identifiers and the event type of the Vemo runtime.";

    nb::enum_<State>(m, "VemoState", "The enumeration that defines the action states.")
        .value("NotExecuted", State::NotExecuted)
        .value("Executing", State::Executing)
        .value("Finished", State::Finished)
        .value("Error", State::Error);

    auto identifier = nb::class_<vemo::Identifier>(m, "VemoId", nb::type_slots(IdentifierGc::slots),
                                                   "The class that represents an identifier of the language.");
    vemo::def_field_not_none(identifier, "dependency", &vemo::Identifier::dependency);
    identifier
        .def("__init__",
             [](vemo::Identifier *self, nb::object identifier) {
                 new (self) vemo::Identifier{std::move(identifier), nb::list()};
             },
             "identifier"_a.none())
        .def_rw("id", &vemo::Identifier::id, nb::for_setter("value"_a.none()))
        .def("add_dependencies",
             [](vemo::Identifier &self, nb::handle dep) {
                 vemo::append_dependencies(self.dependency, dep);
             },
             "dep"_a, "Appends a list of dependencies (the first ';' removed from it) or one entry.")
        .def("__repr__", [](vemo::Identifier &self) {
            return nb::str("VemoId({!r})").format(self.id);
        });

    nb::class_<vemo::Event>(m, "Event",
                            "A thread-safe flag with the interface of threading.Event; waits release the GIL.")
        .def(nb::init<>())
        .def("set", &vemo::Event::set)
        .def("clear", &vemo::Event::clear)
        .def("is_set", &vemo::Event::is_set)
        .def("wait",
             [](vemo::Event &self, std::optional<double> timeout) {
                 return vemo::wait_event(self, true, timeout) == vemo::WaitResult::reached;
             },
             "timeout"_a = nb::none(),
             "Blocks until the flag is set or `timeout` seconds have passed; returns the flag.")
        .def("__repr__", [](vemo::Event &self) {
            return self.is_set() ? "<Event: set>" : "<Event: unset>";
        });
}
