/* executor/executor.hpp: the module's fields and its executor loop over Python action objects */
#pragma once

#include <nanobind/nanobind.h>

namespace vemo {

namespace nb = nanobind;

/// The fields of a VemoModule. `round_robin_set` is null in sequence mode.
struct Module {
    nb::object queue;
    nb::object round_robin_set;
    nb::object exception_block;
    nb::object run_event;
};

/// What the executor takes from the modules it imports when it loads.
struct ExecutorImports {
    nb::object queue_type;  // _vemopq.VemoPriorityQueue
    PyTypeObject *native_queue_type = nullptr; // queue_type when it is the default queue
    long standard_priority; // int(_vemopq.VemoPriority.Standard)
    nb::object event_type;  // _vemoprimitives.Event
    nb::object module_type; // VemoModule, to tell which operations a host class overrides
    static ExecutorImports &get();
};

void construct_module(nb::handle self, Module &module, nb::handle action_seq, nb::kwargs configs);
void add_action_seq(Module &module, nb::handle action_seq);
bool queue_cleared(Module &module);
/// The next action to execute; in lane mode it waits for a ready lane, and gives None when the module
/// is stopped (its run_event cleared) while no lane is ready.
nb::object get_next_queue_action(nb::handle self, Module &module);
void execute_sequence(nb::handle self, Module &module);

} // namespace vemo
