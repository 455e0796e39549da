/* core/action.hpp: the abstract action's data and the operations other subsystems call directly */
#pragma once

#include <nanobind/nanobind.h>

#include "core/event.hpp"
#include "core/identifier.hpp"
#include "core/python_support.hpp"

namespace vemo {

/// The fields of a VemoAction. Every field is a Python object, so hosts may read and replace them.
struct Action {
    nb::object state;
    nb::object finish_signal;
    nb::object module;
    nb::object dependency;
    nb::object script_dep;
    nb::object params;
};

/// The VemoAction class and its own operations, looked up once per extension module that uses them,
/// to tell whether a host kind overrides an operation.
struct ActionClass {
    nb::object type;
    nb::object run, copy, dependency_is_resolved, add_dependencies, wait_signals;
    static const ActionClass &get();
};

inline bool is_action(nb::handle h) { return is_instance<Action>(h); }
inline Action &action_of(nb::handle h) { return *nb::inst_ptr<Action>(h); }
inline bool is_identifier(nb::handle h) { return is_instance<Identifier>(h); }

/// True when the class of `self` provides its own operation `name` instead of `base_fn`. `name` must be
/// a string literal: the answer is cached per class and name.
bool overrides(nb::handle self, const char *name, nb::handle base_fn);

/// Python's copy.deepcopy, with a fast path for the plain values, lists, tuples and dicts that
/// configurations are made of.
nb::object deep_copy(nb::handle value);

bool dependency_is_resolved(const Action &action);
void resolve_dependencies(Action &action, nb::handle declaration_table);

/// The base `copy`: a fresh instance of the action's own class, built from its module and params.
nb::object copy_action(nb::handle self);
/// `self.copy()`, calling the base operation directly unless the class overrides it.
nb::object call_copy(nb::handle self);

/// The base `run`: checks that no identifier is left, waits for the signals, then calls `execute`.
void run_action(nb::handle self);
/// `self.run()`, calling the base operation directly unless the class overrides it.
void call_run(nb::handle self);

/// Waits on one finish signal: a native event with the GIL released, anything else through its `wait`.
template <class Abort>
bool wait_signal(nb::handle signal, Abort &&abort) {
    if (is_instance<Event>(signal))
        return wait_event(*nb::inst_ptr<Event>(signal), true, std::nullopt, abort) == WaitResult::reached;
    signal.attr("wait")();
    return true;
}

/// Waits on the finish signal of every dependency of `self`, then on its script-order signal. Returns
/// false as soon as `abort()` turns true.
template <class Abort>
bool wait_action_signals(nb::handle self, Abort &&abort) {
    nb::object dependency, script_dep;
    if (is_action(self)) {
        dependency = action_of(self).dependency;
        script_dep = action_of(self).script_dep;
    } else {
        dependency = self.attr("dependency");
        script_dep = self.attr("script_dep");
    }
    for (size_t i = 0; i < nb::len(dependency); ++i) {
        nb::object entry = dependency[i];
        nb::object signal = is_action(entry) ? action_of(entry).finish_signal : entry.attr("finish_signal");
        if (!wait_signal(signal, abort))
            return false;
    }
    if (script_dep.is_valid() && !script_dep.is_none())
        return wait_signal(script_dep, abort);
    return true;
}

} // namespace vemo
