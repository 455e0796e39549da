/* core/action.cpp: operations of the abstract action shared by the action, block and module code */
#include "core/action.hpp"

#include <atomic>
#include <memory>
#include <unordered_map>

namespace vemo {

namespace {
struct PairHash {
    size_t operator()(const std::pair<PyTypeObject *, const char *> &key) const noexcept {
        return std::hash<const void *>()(key.first) * 31 + std::hash<const void *>()(key.second);
    }
};
} // namespace

const ActionClass &ActionClass::get() {
    // Kept for the life of the process (the class outlives every caller), and made without a
    // function-local static for the reason `kept` gives.
    static std::atomic<const ActionClass *> kept_class{nullptr};
    if (const ActionClass *cls = kept_class.load(std::memory_order_acquire))
        return *cls;
    nb::object type = nb::module_::import_("_vemoaction").attr("VemoAction");
    auto made = std::make_unique<const ActionClass>(ActionClass{type, type.attr("run"), type.attr("copy"),
                                                                type.attr("dependency_is_resolved"),
                                                                type.attr("add_dependencies"),
                                                                type.attr("wait_signals")});
    const ActionClass *expected = nullptr;
    if (kept_class.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
        return *made.release();
    return *expected;
}

bool overrides(nb::handle self, const char *name, nb::handle base_fn) {
    // Looked up on every call of run, copy and the executor loop, so the answer is kept per class and
    // operation, until the class changes (its version tag then changes too).
    struct Answer {
        unsigned int version;
        bool own;
    };
    static std::unordered_map<std::pair<PyTypeObject *, const char *>, Answer, PairHash> answers;
    PyTypeObject *type = Py_TYPE(self.ptr());
    auto key = std::make_pair(type, name);
    if (auto it = answers.find(key); it != answers.end() && it->second.version == type->tp_version_tag &&
                                      type->tp_version_tag != 0)
        return it->second.own;
    PyObject *found = PyObject_GetAttrString((PyObject *) type, name);
    if (!found)
        throw nb::python_error();
    bool own = found != base_fn.ptr();
    Py_DECREF(found);
    answers[key] = {type->tp_version_tag, own};
    return own;
}

namespace {

bool is_atomic(PyObject *v) {
    return v == Py_None || v == Py_Ellipsis || v == Py_NotImplemented || PyBool_Check(v) ||
           PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v) ||
           PyBytes_CheckExact(v) || PyComplex_CheckExact(v) || PyType_Check(v) ||
           PyFunction_Check(v) || PyCFunction_Check(v);
}

/// Copies plain values, lists, tuples and dicts, keeping shared sub-objects shared as deepcopy does.
/// Returns null (with no error set) when it meets anything else.
class FastDeepCopy {
public:
    PyObject *copy(PyObject *v, int depth = 0) {
        if (is_atomic(v))
            return Py_NewRef(v);
        if (depth > 100)
            return nullptr;
        if (auto it = memo_.find(v); it != memo_.end())
            return Py_NewRef(it->second.ptr());
        if (PyDict_CheckExact(v)) {
            nb::object out = nb::steal(PyDict_New());
            memo_.emplace(v, out);
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(v, &pos, &key, &value)) {
                nb::object k = nb::steal(copy(key, depth + 1)), val = nb::steal(copy(value, depth + 1));
                if (!k.is_valid() || !val.is_valid() || PyDict_SetItem(out.ptr(), k.ptr(), val.ptr()) != 0)
                    return nullptr;
            }
            return out.release().ptr();
        }
        if (PyList_CheckExact(v)) {
            nb::object out = nb::steal(PyList_New(0));
            memo_.emplace(v, out);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                nb::object item = nb::steal(copy(PyList_GET_ITEM(v, i), depth + 1));
                if (!item.is_valid() || PyList_Append(out.ptr(), item.ptr()) != 0)
                    return nullptr;
            }
            return out.release().ptr();
        }
        if (PyTuple_CheckExact(v)) {
            Py_ssize_t n = PyTuple_GET_SIZE(v);
            nb::object out = nb::steal(PyTuple_New(n));
            bool changed = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *item = copy(PyTuple_GET_ITEM(v, i), depth + 1);
                if (!item)
                    return nullptr;
                changed |= item != PyTuple_GET_ITEM(v, i);
                PyTuple_SET_ITEM(out.ptr(), i, item);
            }
            nb::object result = changed ? out : nb::borrow(v);
            memo_.emplace(v, result);
            return result.release().ptr();
        }
        return nullptr;
    }

private:
    std::unordered_map<PyObject *, nb::object> memo_;
};

} // namespace

nb::object deep_copy(nb::handle value) {
    if (PyDict_CheckExact(value.ptr())) {
        // The common configuration: a flat dict of plain values.
        PyObject *key, *item;
        Py_ssize_t pos = 0;
        bool flat = true;
        while (flat && PyDict_Next(value.ptr(), &pos, &key, &item))
            flat = is_atomic(key) && is_atomic(item);
        if (flat)
            return nb::steal(PyDict_Copy(value.ptr()));
    }
    FastDeepCopy fast;
    if (PyObject *copied = fast.copy(value.ptr()))
        return nb::steal(copied);
    if (PyErr_Occurred())
        throw nb::python_error();
    static std::atomic<PyObject *> deepcopy{nullptr};
    return kept(deepcopy, [] { return nb::module_::import_("copy").attr("deepcopy"); })(value);
}

bool dependency_is_resolved(const Action &action) {
    const nb::object &deps = action.dependency;
    if (PyList_Check(deps.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(deps.ptr()); ++i)
            if (is_identifier(PyList_GET_ITEM(deps.ptr(), i)))
                return false;
        return true;
    }
    for (nb::handle entry : deps)
        if (is_identifier(entry))
            return false;
    return true;
}

void resolve_dependencies(Action &action, nb::handle declaration_table) {
    if (dependency_is_resolved(action))
        return;
    nb::object deps = action.dependency;
    const size_t count = nb::len(deps);
    for (size_t i = 0; i < count; ++i) {
        nb::object entry = deps[i];
        if (!is_identifier(entry))
            continue;
        nb::object name = nb::inst_ptr<Identifier>(entry)->id;
        int present = PySequence_Contains(declaration_table.ptr(), name.ptr());
        if (present < 0)
            throw nb::python_error();
        if (present) {
            nb::object sequence = declaration_table[name];
            // Waiting on a name means waiting for the end of what the name stands for.
            deps[i] = sequence[-1];
        }
    }
}

nb::object copy_action(nb::handle self) {
    Action &action = action_of(self);
    nb::object params = action.params;
    if (!PyDict_Check(params.ptr())) {
        params = nb::steal(PyDict_New());
        if (PyDict_Merge(params.ptr(), action.params.ptr(), 1) != 0)
            throw nb::python_error();
    }
    nb::object args = nb::make_tuple(action.module);
    nb::object fresh = nb::steal(PyObject_Call((PyObject *) Py_TYPE(self.ptr()), args.ptr(), params.ptr()));
    if (!fresh.is_valid())
        throw nb::python_error();
    const ActionClass &cls = ActionClass::get();
    if (is_action(fresh) && !overrides(fresh, "add_dependencies", cls.add_dependencies))
        append_dependencies(action_of(fresh).dependency, action.dependency);
    else
        fresh.attr("add_dependencies")(action.dependency);
    return fresh;
}

nb::object call_copy(nb::handle self) {
    if (is_action(self) && !overrides(self, "copy", ActionClass::get().copy))
        return copy_action(self);
    return self.attr("copy")();
}

void run_action(nb::handle self) {
    const ActionClass &cls = ActionClass::get();
    if (assertions_enabled()) {
        bool resolved = overrides(self, "dependency_is_resolved", cls.dependency_is_resolved)
                            ? nb::cast<bool>(self.attr("dependency_is_resolved")())
                            : dependency_is_resolved(action_of(self));
        if (!resolved)
            raise_assertion();
    }
    if (overrides(self, "wait_signals", cls.wait_signals))
        self.attr("wait_signals")();
    else
        wait_action_signals(self, nullptr);
    self.attr("execute")();
}

void call_run(nb::handle self) {
    if (is_action(self) && !overrides(self, "run", ActionClass::get().run))
        run_action(self);
    else
        self.attr("run")();
}

} // namespace vemo
