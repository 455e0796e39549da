/* core/identifier.hpp: a script identifier and the dependency-list rule shared with actions */
#pragma once

#include <nanobind/nanobind.h>

namespace vemo {

namespace nb = nanobind;

/// One occurrence of a name in a script, with the waits written at that occurrence.
struct Identifier {
    nb::object id;
    nb::object dependency = nb::list();
};

/// Appends `dep` to the dependency list `target`. A list is appended element by element after the first
/// ";" separator has been removed from the caller's list itself; anything else is appended as one entry.
inline void append_dependencies(nb::handle target, nb::handle dep) {
    if (!PyList_Check(dep.ptr())) {
        if (PyList_Check(target.ptr())) {
            if (PyList_Append(target.ptr(), dep.ptr()) != 0)
                throw nb::python_error();
        } else {
            target.attr("append")(dep);
        }
        return;
    }
    static PyObject *separator = PyUnicode_InternFromString(";");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dep.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(dep.ptr(), i));
        int equal = PyObject_RichCompareBool(item.ptr(), separator, Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal) {
            if (PySequence_DelItem(dep.ptr(), i) != 0)
                throw nb::python_error();
            break;
        }
    }
    if (PyList_Check(target.ptr())) {
        // Slice assignment copies first when `dep` is `target` itself, so a list never grows while read.
        Py_ssize_t end = PyList_GET_SIZE(target.ptr());
        if (PyList_SetSlice(target.ptr(), end, end, dep.ptr()) != 0)
            throw nb::python_error();
    } else {
        target.attr("extend")(nb::list(dep));
    }
}

} // namespace vemo
