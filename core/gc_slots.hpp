/* core/gc_slots.hpp: garbage-collector support for bound types whose fields hold Python objects */
#pragma once

#include <nanobind/nanobind.h>

namespace vemo {

namespace nb = nanobind;

enum class InstanceDict { none, own };

/// The traverse and clear slots of a type `T` whose `Fields` are Python objects. A type bound with
/// nb::dynamic_attr() owns its instance dictionary and visits it (InstanceDict::own); for other types a
/// Python subclass adds the dictionary and visits it itself, so visiting it here would count it twice.
/// Clearing leaves None in the fields, never a null the bindings would hand out.
template <class T, InstanceDict Dict, nb::object T::*... Fields>
struct GcSlots {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if constexpr (Dict == InstanceDict::own) {
            if (PyObject **dict = _PyObject_GetDictPtr(self))
                Py_VISIT(*dict);
        }
        if (!nb::inst_ready(self))
            return 0;
        T *instance = nb::inst_ptr<T>(self);
        for (PyObject *field : {(instance->*Fields).ptr()...})
            Py_VISIT(field);
        return 0;
    }

    static int clear(PyObject *self) {
        if constexpr (Dict == InstanceDict::own) {
            if (PyObject **dict = _PyObject_GetDictPtr(self))
                Py_CLEAR(*dict);
        }
        if (nb::inst_ready(self)) {
            T *instance = nb::inst_ptr<T>(self);
            ((instance->*Fields = nb::none()), ...);
        }
        return 0;
    }

    static inline PyType_Slot slots[] = {{Py_tp_traverse, (void *) traverse},
                                         {Py_tp_clear, (void *) clear},
                                         {0, nullptr}};
};

/// Visits one field in a hand-written traverse slot.
#define VEMO_VISIT(field)                                                                              \
    do {                                                                                               \
        if ((field).ptr())                                                                             \
            Py_VISIT((field).ptr());                                                                   \
    } while (0)

} // namespace vemo
