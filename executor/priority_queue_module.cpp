/* executor/priority_queue_module.cpp: module entry of _vemopq (VemoPriorityQueue, VemoPriority) */
#include <nanobind/nanobind.h>

#include "executor/priority_queue.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

enum class Priority : long { Error = 0, Standard = 1 };

int queue_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<vemo::PriorityQueue>(self)->traverse([&](PyObject *item) { return visit(item, arg); });
}

int queue_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<vemo::PriorityQueue>(self)->clear();
    return 0;
}

PyType_Slot queue_slots[] = {{Py_tp_traverse, (void *) queue_traverse},
                             {Py_tp_clear, (void *) queue_clear},
                             {0, nullptr}};

} // namespace

NB_MODULE(_vemopq, m) {
    m.doc() = "The default priority queue of the Vemo module executor.";

    nb::enum_<Priority>(m, "VemoPriority", nb::is_arithmetic(),
                        "Priority values; a lower value leaves the queue first.")
        .value("Error", Priority::Error)
        .value("Standard", Priority::Standard);

    nb::class_<vemo::PriorityQueue>(m, "VemoPriorityQueue", nb::type_slots(queue_slots),
                                    "Pending actions by priority; equal priorities leave in insertion order.")
        .def(nb::init<>())
        .def("add", &vemo::PriorityQueue::add, "action"_a, "priority"_a)
        .def("peek", &vemo::PriorityQueue::peek, "The next action, left in the queue; None when empty.")
        .def("pop", &vemo::PriorityQueue::pop, "Removes and returns the next action.")
        .def("__len__", &vemo::PriorityQueue::size);
}
