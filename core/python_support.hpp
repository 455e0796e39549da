/* core/python_support.hpp: what all binding code shares: diagnostics, assertions, GIL-free waits */
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <map>
#include <optional>
#include <string_view>

#include "core/event.hpp"
#include "core/gil.hpp"

namespace vemo {

namespace nb = nanobind;

/// Writes one diagnostic line through Python's sys.stdout, so that hosts and tests can redirect it.
inline void print_line(nb::handle text) {
    PyObject *out = PySys_GetObject("stdout"); // borrowed
    if (out == nullptr || out == Py_None)
        return;
    nb::handle(out).attr("write")(nb::str("{}\n").format(text));
}

inline void print_line(std::string_view text) { print_line(nb::str(text.data(), text.size())); }

/// A Python object looked up on first use and kept for the life of the process, in a `slot` that is
/// a static std::atomic (initialised without a guard). A function-local static would hold its guard
/// while the lookup runs Python code, which may pass the GIL to another thread that then blocks on the
/// guard while holding the GIL. Here each thread that finds the slot empty looks the object up; the
/// first to store it wins and the others drop theirs.
template <class Lookup>
nb::handle kept(std::atomic<PyObject *> &slot, Lookup &&lookup) {
    if (PyObject *value = slot.load(std::memory_order_acquire))
        return value;
    nb::object found = lookup();
    PyObject *expected = nullptr;
    if (slot.compare_exchange_strong(expected, found.ptr(), std::memory_order_acq_rel))
        return found.release();
    return expected;
}

/// False when Python runs with -O: assertion checks are skipped then, as Python's own are.
/// Looked up on first use without a function-local static, for the reason `kept` gives.
inline bool assertions_enabled() {
    static std::atomic<int> optimize{-1};
    int level = optimize.load(std::memory_order_relaxed);
    if (level < 0) {
        level = nb::cast<int>(nb::module_::import_("sys").attr("flags").attr("optimize"));
        optimize.store(level, std::memory_order_relaxed);
    }
    return level == 0;
}

/// isinstance() against a C++ type bound by any of the extension modules. nanobind's own lookup falls back
/// to comparing type names for a type bound by another module, which is too slow for the executor's hot
/// loop; the Python type is looked up once here instead.
template <class T>
bool is_instance(nb::handle h) {
    static PyTypeObject *type = nullptr;
    if (!type) {
        nb::handle bound = nb::type<T>();
        if (!bound)
            return false;
        type = (PyTypeObject *) bound.ptr();
    }
    return PyObject_TypeCheck(h.ptr(), type);
}

/// Refuses an instance whose class lacks one of the `abstract` operations or still has it as `base`
/// defines it, with the TypeError of Python's abstract base classes. A class that passes is remembered
/// until it changes (its version tag changes with it).
inline void check_concrete(nb::handle self, nb::handle base, std::initializer_list<const char *> abstract) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    static std::map<std::pair<PyTypeObject *, PyObject *>, unsigned int> concrete;
    auto key = std::make_pair(type, base.ptr());
    if (auto it = concrete.find(key);
        it != concrete.end() && it->second == type->tp_version_tag && type->tp_version_tag != 0)
        return;
    nb::list missing;
    for (const char *name : abstract) {
        nb::object own = nb::steal(PyObject_GetAttrString((PyObject *) type, name));
        nb::object inherited = nb::steal(PyObject_GetAttrString(base.ptr(), name));
        PyErr_Clear();
        if (!own.is_valid() || (inherited.is_valid() && own.is(inherited)))
            missing.append(name);
    }
    if (nb::len(missing)) {
        nb::str message = nb::str("Can't instantiate abstract class {} with abstract method{} {}")
                              .format(nb::handle((PyObject *) type).attr("__name__"),
                                      nb::len(missing) == 1 ? "" : "s", nb::str(", ").attr("join")(missing));
        PyErr_SetObject(PyExc_TypeError, message.ptr());
        throw nb::python_error();
    }
    concrete[key] = type->tp_version_tag;
}

/// Binds `field`, a Python object that must be present, as property `name`: None is refused with a
/// TypeError that names the field (nanobind's own refusal names none). Fields that may be absent are bound
/// with def_rw and a setter that accepts None.
template <class T, class... Options>
void def_field_not_none(nb::class_<T, Options...> &cls, const char *name, nb::object T::*field) {
    cls.def_prop_rw(
        name, [field](T &self) { return self.*field; },
        [field, name](nb::handle self, nb::handle value) {
            if (value.is_none()) {
                PyErr_Format(PyExc_TypeError, "%s.%s cannot be None", Py_TYPE(self.ptr())->tp_name, name);
                throw nb::python_error();
            }
            nb::inst_ptr<T>(self)->*field = nb::borrow(value);
        },
        nb::for_setter(nb::arg("value").none()));
}

/// Raises AssertionError without a message.
[[noreturn]] inline void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

/// Python delivers the operator's interrupt to the main thread only. Looked up on first use without a
/// function-local static, for the reason `kept` gives (thread identifiers are never 0).
inline bool on_main_thread() {
    static std::atomic<unsigned long> main_ident{0};
    unsigned long ident = main_ident.load(std::memory_order_relaxed);
    if (ident == 0) {
        ident = nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
        main_ident.store(ident, std::memory_order_relaxed);
    }
    return PyThread_get_thread_ident() == ident;
}

enum class WaitResult { reached, timed_out, aborted };

/// Waits with the GIL released until `event` reads `target`, `timeout` seconds pass (none: no limit)
/// or `abort()` turns true. The wait wakes every 100 ms on the main thread, so that Ctrl-C raises
/// KeyboardInterrupt (thrown as nb::python_error), and wherever an abort condition is given.
template <class Abort>
WaitResult wait_event(Event &event, bool target, std::optional<double> timeout, Abort &&abort) {
    using clock = std::chrono::steady_clock;
    constexpr auto slice = std::chrono::milliseconds(100);
    if (event.is_set() == target)
        return WaitResult::reached;

    const bool main_thread = on_main_thread();
    constexpr bool abortable = !std::is_same_v<std::decay_t<Abort>, std::nullptr_t>;
    const bool sliced = main_thread || abortable;
    std::optional<clock::time_point> deadline;
    if (timeout)
        deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                      std::chrono::duration<double>(*timeout > 0 ? *timeout : 0.0));
    for (;;) {
        bool reached;
        if (!sliced && !deadline) {
            GilReleased released;
            event.wait_until(target);
            reached = true;
        } else {
            auto step = sliced ? clock::duration(slice) : clock::duration::max();
            if (deadline) {
                auto remaining = *deadline - clock::now();
                if (remaining <= clock::duration::zero())
                    return event.is_set() == target ? WaitResult::reached : WaitResult::timed_out;
                step = std::min(step, remaining);
            }
            GilReleased released;
            reached = event.wait_until(target, step);
        }
        if (reached)
            return WaitResult::reached;
        if (main_thread && PyErr_CheckSignals() != 0)
            throw nb::python_error();
        if constexpr (abortable) {
            if (abort())
                return WaitResult::aborted;
        }
    }
}

inline WaitResult wait_event(Event &event, bool target, std::optional<double> timeout) {
    return wait_event(event, target, timeout, nullptr);
}

} // namespace vemo
