/* blocks/python_ops.hpp: small helpers for working on Python objects from the block code */
#pragma once

#include "blocks/block.hpp"

namespace vemo {

inline nb::object get_attr(nb::handle obj, nb::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

inline void set_attr(nb::handle obj, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

inline nb::object call(nb::handle callable) {
    // A non-null argument array even for no arguments: nanobind copies from it without checking.
    PyObject *no_args[1] = {nullptr};
    PyObject *result = PyObject_Vectorcall(callable.ptr(), no_args, 0, nullptr);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

inline nb::object call(nb::handle callable, nb::handle arg) {
    PyObject *result = PyObject_CallOneArg(callable.ptr(), arg.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

inline nb::object call_method(nb::handle obj, nb::handle name) { return call(get_attr(obj, name)); }
inline nb::object call_method(nb::handle obj, nb::handle name, nb::handle arg) { return call(get_attr(obj, name), arg); }

[[noreturn]] inline void raise(PyObject *kind, const char *message) {
    PyErr_SetString(kind, message);
    throw nb::python_error();
}

/// A new list holding the elements of any iterable: the loops below never walk a list they may append to.
inline nb::object snapshot(nb::handle iterable) {
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal(list);
}

inline nb::object item(nb::handle sequence, Py_ssize_t index) {
    PyObject *value;
    if (PyList_CheckExact(sequence.ptr())) {
        value = PyList_GetItem(sequence.ptr(), index < 0 ? PyList_GET_SIZE(sequence.ptr()) + index : index);
        Py_XINCREF(value);
    } else {
        nb::object key = nb::steal(PyLong_FromSsize_t(index));
        value = PyObject_GetItem(sequence.ptr(), key.ptr());
    }
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

inline Py_ssize_t length(nb::handle sized) {
    Py_ssize_t n = PyObject_Size(sized.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

inline void append(nb::handle list, nb::handle value) {
    if (PyList_Check(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) != 0)
            throw nb::python_error();
    } else {
        call_method(list, VEMO_NAME("append"), value);
    }
}

/// An initialised VemoAction, whose fields can be used directly. A half-made one (created without its
/// __init__) goes through Python attribute access, which reports it.
inline bool native_action(nb::handle h) { return is_action(h) && nb::inst_ready(h); }

inline Block &fields(nb::handle self) {
    if (!is_block(self) || !nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "VemoBlock: expected an initialised VemoBlock, got %R", self.ptr());
        throw nb::python_error();
    }
    return block_of(self);
}

inline nb::object field_or_none(const nb::object &value) { return value.is_valid() ? value : nb::none(); }

/// Calls `fn` on each element of `sequence`, reading a list afresh at each step as a for loop does.
template <class Fn>
void for_each(nb::handle sequence, Fn &&fn) {
    if (PyList_Check(sequence.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence.ptr()); ++i)
            fn(nb::borrow(PyList_GET_ITEM(sequence.ptr(), i)));
        return;
    }
    nb::object iterator = nb::steal(PyObject_GetIter(sequence.ptr()));
    if (!iterator.is_valid())
        throw nb::python_error();
    while (PyObject *next = PyIter_Next(iterator.ptr()))
        fn(nb::steal(next));
    if (PyErr_Occurred())
        throw nb::python_error();
}

} // namespace vemo
