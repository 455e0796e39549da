/* executor/executor.cpp: sequence and lane modes, the executor loop, failure report and parking */
#include "executor/executor.hpp"

#include "core/action.hpp"
#include "core/python_support.hpp"
#include "executor/priority_queue.hpp"

namespace vemo {

ExecutorImports &ExecutorImports::get() {
    static ExecutorImports imports;
    return imports;
}

namespace {

// Queue operations: direct for the default queue, through Python for a host's own.

bool is_native(nb::handle queue) {
    PyTypeObject *native = ExecutorImports::get().native_queue_type;
    return native && Py_TYPE(queue.ptr()) == native;
}

void queue_add(nb::handle queue, nb::handle action, long priority) {
    if (is_native(queue))
        nb::inst_ptr<PriorityQueue>(queue)->add(nb::borrow(action), priority);
    else
        queue.attr("add")(action, priority);
}

nb::object queue_peek(nb::handle queue) {
    if (is_native(queue))
        return nb::inst_ptr<PriorityQueue>(queue)->peek();
    return queue.attr("peek")();
}

nb::object queue_pop(nb::handle queue) {
    if (is_native(queue))
        return nb::inst_ptr<PriorityQueue>(queue)->pop();
    return queue.attr("pop")();
}

bool signal_is_set(nb::handle signal) {
    if (is_instance<Event>(signal))
        return nb::inst_ptr<Event>(signal)->is_set();
    return nb::cast<bool>(signal.attr("is_set")());
}

// The executor reads the module's fields afresh at each use, through strong references: a host thread
// may replace any of them whenever the loop calls Python code or waits with the GIL released.

bool running(const Module &module) {
    nb::object run_event = module.run_event;
    return signal_is_set(run_event);
}

/// Sleeps up to `seconds`, waking early when the module is stopped. Ctrl-C raises on the main thread.
void pause_unless_stopped(Module &module, double seconds) {
    nb::object run_event = module.run_event; // kept alive while the wait runs without the GIL
    if (is_instance<Event>(run_event)) {
        wait_event(*nb::inst_ptr<Event>(run_event), false, seconds);
        return;
    }
    Event never; // a host's own run_event can only be polled
    wait_event(never, true, seconds, [&] { return !running(module); });
}

/// A lane's head may be served when every dependency has finished; script order is its own wait.
bool head_ready(nb::handle head) {
    nb::object dependency = is_action(head) ? action_of(head).dependency : head.attr("dependency");
    for (nb::handle entry : dependency) {
        nb::object signal = is_action(entry) ? action_of(entry).finish_signal : entry.attr("finish_signal");
        if (!signal_is_set(signal))
            return false;
    }
    return true;
}

bool in_round(nb::handle round, nb::handle key) {
    int found = PySet_Contains(round.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found;
}

void leave_round(nb::handle round, nb::handle key) {
    if (PySet_Discard(round.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

void refill_round(nb::handle round, nb::handle lanes) {
    for (nb::handle key : lanes)
        if (PySet_Add(round.ptr(), key.ptr()) != 0)
            throw nb::python_error();
}

/// True when no lane still in the round could be served now.
bool round_is_blocked(nb::handle round, nb::handle lanes) {
    for (nb::handle key : nb::list(round)) {
        nb::object lane = lanes[key];
        nb::object head = queue_peek(lane);
        if (!head.is_none() && head_ready(head))
            return false;
    }
    return true;
}

nb::object next_lane_action(nb::handle self, Module &module) {
    for (;;) {
        nb::object lanes = module.queue, round = module.round_robin_set;
        if (!PyDict_Check(lanes.ptr()) || !PyAnySet_Check(round.ptr()))
            throw nb::type_error("VemoModule.get_next_queue_action(): lane mode needs a dict of queues and a set");
        if (PySet_GET_SIZE(round.ptr()) == 0)
            refill_round(round, lanes);
        for (auto [lane_key, lane_queue] : nb::borrow<nb::dict>(lanes)) {
            // The dict holds its entries only until the next Python call, which may replace them.
            nb::object key = nb::borrow(lane_key), queue = nb::borrow(lane_queue);
            nb::object head = queue_peek(queue);
            if (head.is_none()) {
                leave_round(round, key);
                continue;
            }
            if (!in_round(round, key))
                continue;
            if (head_ready(head)) {
                leave_round(round, key);
                return queue_pop(queue);
            }
            // Every lane left in this round waits: start a new round, so that lanes which have had
            // their turn may be served again while these wait.
            if (round_is_blocked(round, lanes))
                refill_round(round, lanes);
        }
        if (!running(module))
            return nb::none();
        pause_unless_stopped(module, nb::cast<double>(self.attr("COMPETE_LOOP_WAIT_TIME_SEC")));
    }
}

/// Waits for the dependencies and the script-order signal of the next action before it runs, so that
/// stopping the module also ends this wait. False when the module was stopped meanwhile.
bool wait_until_startable(Module &module, nb::handle action) {
    if (!is_action(action) || !dependency_is_resolved(action_of(action)))
        return true; // its own run reports what is wrong
    return wait_action_signals(action, [&] { return !running(module); });
}

/// Reports a failed action and parks the module until it is stopped or the operator interrupts.
void report_and_park(nb::handle self, Module &module, nb::handle action, nb::python_error &error) {
    nb::object exception_block = module.exception_block;
    if (exception_block.is_valid() && !exception_block.is_none() && nb::len(exception_block) > 0)
        self.attr("add_action_seq")(exception_block);
    print_line(nb::str("[ERROR] Exception occurred in {} action: {}").format(self.attr("name"), action));
    print_line(nb::str(error.value()));
    while (running(module))
        pause_unless_stopped(module, 1.0);
}

} // namespace

void construct_module(nb::handle self, Module &module, nb::handle action_seq, nb::kwargs configs) {
    const ExecutorImports &imports = ExecutorImports::get();
    if (PyList_Check(action_seq.ptr())) {
        module.queue = imports.queue_type();
    } else if (PyDict_Check(action_seq.ptr())) {
        module.round_robin_set = nb::steal(PySet_New(action_seq.ptr()));
        if (!module.round_robin_set.is_valid())
            throw nb::python_error();
        nb::dict lanes;
        for (nb::handle key : action_seq)
            lanes[key] = imports.queue_type();
        module.queue = lanes;
    } else {
        print_line("[ERROR] Action Seq data type incorrect error");
        PyErr_SetString(PyExc_Exception, "Action Seq data type incorrect error");
        throw nb::python_error();
    }
    self.attr("add_action_seq")(action_seq);
    nb::object exception_block = nb::none();
    if (configs.contains("exception_block"))
        exception_block = configs["exception_block"];
    module.exception_block = exception_block;
    module.run_event = imports.event_type();
    nb::object setup = self.attr("setup");
    if (!nb::steal(PyObject_Call(setup.ptr(), nb::tuple().ptr(), configs.ptr())).is_valid())
        throw nb::python_error();
}

void add_action_seq(Module &module, nb::handle action_seq) {
    const long priority = ExecutorImports::get().standard_priority;
    if (PyDict_Check(action_seq.ptr())) {
        for (auto [key, actions] : nb::borrow<nb::dict>(action_seq)) {
            nb::object lane = module.queue[key];
            for (nb::handle action : actions)
                queue_add(lane, action, priority);
        }
        return;
    }
    // A snapshot, so that a list that grows while it is queued cannot keep the loop going.
    nb::object actions = nb::steal(PySequence_List(action_seq.ptr()));
    if (!actions.is_valid())
        throw nb::python_error();
    for (nb::handle action : actions)
        queue_add(module.queue, action, priority);
}

bool queue_cleared(Module &module) {
    if (!module.round_robin_set.is_valid())
        return queue_peek(module.queue).is_none();
    for (nb::handle lane : nb::borrow<nb::dict>(module.queue).values())
        if (!queue_peek(lane).is_none())
            return false;
    return true;
}

nb::object get_next_queue_action(nb::handle self, Module &module) {
    if (!module.round_robin_set.is_valid())
        return queue_pop(module.queue);
    return next_lane_action(self, module);
}

void execute_sequence(nb::handle self, Module &module) {
    nb::handle base = ExecutorImports::get().module_type;
    auto own = [&](const char *name) { return !self.type().attr(name).is(base.attr(name)); };
    const bool own_cleared = own("queue_cleared"), own_next = own("get_next_queue_action");
    try {
        for (;;) {
            bool cleared = own_cleared ? nb::cast<bool>(self.attr("queue_cleared")()) : queue_cleared(module);
            if (cleared || !running(module))
                return;
            nb::object action =
                own_next ? self.attr("get_next_queue_action")() : get_next_queue_action(self, module);
            if (action.is_none() || !wait_until_startable(module, action))
                return;
            try {
                call_run(action);
            } catch (nb::python_error &error) {
                if (!error.matches(PyExc_Exception))
                    throw;
                report_and_park(self, module, action, error);
                return;
            }
        }
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_KeyboardInterrupt))
            throw;
        print_line("Terminate Vemo Execution with Ctrl-C ...");
    }
}

} // namespace vemo
