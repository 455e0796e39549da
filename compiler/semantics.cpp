/* compiler/semantics.cpp: the rule operations of VemoSemantics, working on parse nodes and blocks */
#include "compiler/semantics.hpp"

#include "blocks/python_ops.hpp"
#include "core/python_support.hpp"

namespace vemo {

namespace {

nb::object call_kw(nb::handle callable, nb::handle args, nb::handle kwargs = nb::handle()) {
    PyObject *result = PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object tuple_of(std::initializer_list<nb::handle> items) {
    nb::object tuple = nb::steal(PyTuple_New((Py_ssize_t) items.size()));
    Py_ssize_t i = 0;
    for (nb::handle h : items)
        PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(h).release().ptr());
    return tuple;
}

nb::object ident_name(nb::handle ident) { return get_attr(ident, VEMO_NAME("id")); }

/// A new list holding `value`, or `value` itself when it is a list already.
nb::object as_list(nb::handle value) {
    if (PyList_Check(value.ptr()))
        return nb::borrow(value);
    nb::object list = nb::steal(PyList_New(0));
    append(list, value);
    return list;
}

void check(bool condition) {
    if (!condition && assertions_enabled())
        raise_assertion();
}

/// The first action of `block.evaluate()`'s module name, as the compete rules name a competition's module.
nb::object first_module_name(nb::handle block) {
    nb::object first_action = item(call_method(block, VEMO_NAME("evaluate")), 0);
    return get_attr(get_attr(first_action, VEMO_NAME("module")), VEMO_NAME("name"));
}

/// The members of an async or compete rule: the right-hand blocks (the caller's list itself when it is
/// one) with the left-hand block appended last. None when there is no right-hand side.
nb::object members_of(nb::handle node, nb::handle left_name, nb::handle right_name) {
    nb::object right = field(node, right_name);
    if (right.is_none() || !truthy(right))
        return nb::none();
    nb::object members = as_list(right);
    append(members, field(node, left_name));
    return members;
}

bool contains(nb::handle set, nb::handle block) {
    int found = PySet_Contains(set.ptr(), block.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

nb::object resolve_alone(nb::handle block) {
    return call_method(block, VEMO_NAME("resolve_local"), call_method(block, VEMO_NAME("get_local_variables_map")));
}

} // namespace

nb::object field(nb::handle node, nb::handle name) {
    if (PyDict_CheckExact(node.ptr())) {
        PyObject *value = PyDict_GetItemWithError(node.ptr(), name.ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return value ? nb::borrow(value) : nb::none();
    }
    nb::object get = get_attr(node, VEMO_NAME("get"));
    return call_kw(get, tuple_of({name, Py_None}));
}

bool has_field(nb::handle node, nb::handle name) {
    int contained = PySequence_Contains(node.ptr(), name.ptr());
    if (contained < 0)
        throw nb::python_error();
    return contained != 0;
}

nb::object number(nb::handle text) {
    PyObject *value = PyNumber_Long(text.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

nb::object identifier(nb::handle text) {
    static std::atomic<PyObject *> identifier_type{nullptr};
    return call(kept(identifier_type, [] { return nb::module_::import_("_vemoprimitives").attr("VemoId"); }), text);
}

nb::object extern_str(nb::handle text) {
    nb::object quotes = nb::steal(PySlice_New(nb::int_(1).ptr(), nb::int_(-1).ptr(), nullptr));
    PyObject *inner = PyObject_GetItem(text.ptr(), quotes.ptr());
    if (!inner)
        throw nb::python_error();
    return nb::steal(inner);
}

nb::object module(const Namespace &ns, nb::handle text) {
    nb::object name = call_kw(get_attr(text, VEMO_NAME("replace")), tuple_of({nb::str("@"), nb::str("")}));
    PyObject *kind = PyDict_GetItemWithError(ns.names.ptr(), name.ptr());
    if (!kind) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(kind);
}

nb::object io(nb::handle node) {
    nb::object mod = field(node, VEMO_NAME("mod"));
    nb::object name = ident_name(field(node, VEMO_NAME("ident")));
    return call_kw(get_attr(mod, VEMO_NAME("io_action")), tuple_of({name, field(node, VEMO_NAME("status"))}));
}

nb::object move(nb::handle node) {
    nb::object mod = field(node, VEMO_NAME("mod"));
    nb::object name = ident_name(field(node, VEMO_NAME("ident")));
    return call(get_attr(mod, VEMO_NAME("move_action")), name);
}

nb::object transfer(nb::handle node) {
    nb::object mod = field(node, VEMO_NAME("mod"));
    nb::object name = ident_name(field(node, VEMO_NAME("ident")));
    return call_kw(get_attr(mod, VEMO_NAME("tray_action")), tuple_of({field(node, VEMO_NAME("tray")), name}));
}

nb::object external(nb::handle node) {
    nb::object mod = field(node, VEMO_NAME("mod"));
    nb::object operation = ident_name(field(node, VEMO_NAME("ident")));
    nb::object args = nb::steal(PyList_New(0));
    nb::object left = field(node, VEMO_NAME("argLeft"));
    if (!left.is_none()) {
        append(args, left);
        nb::object right = field(node, VEMO_NAME("argRight"));
        if (PyList_Check(right.ptr()))
            for_each(right, [&](nb::handle arg) { append(args, arg); });
        else if (!right.is_none())
            append(args, right);
    }
    nb::object instance = call(mod);
    nb::object bound = get_attr(instance, operation);
    return call_kw(bound, nb::steal(PyList_AsTuple(args.ptr())));
}

nb::object block(Semantics &self, const Namespace &ns, nb::handle node) {
    nb::object ident = field(node, VEMO_NAME("ident"));
    nb::object kwargs = nb::steal(PyDict_New());
    if (PyDict_SetItem(kwargs.ptr(), VEMO_NAME("identifier").ptr(),
                       ident.is_none() ? Py_None : ident_name(ident).ptr()) != 0)
        throw nb::python_error();
    nb::object result = call_kw(ns.standard, nb::steal(PyTuple_New(0)), kwargs);
    call_method(result, VEMO_NAME("add"), as_list(field(node, VEMO_NAME("primary"))));

    if (!field(node, VEMO_NAME("wait")).is_none()) {
        nb::object head = call_method(result, VEMO_NAME("first"));
        nb::object add_dependencies = get_attr(head, VEMO_NAME("add_dependencies"));
        nb::object dependency = field(node, VEMO_NAME("dependency"));
        if (!dependency.is_none()) {
            call(add_dependencies, dependency);
        } else {
            call(add_dependencies, field(node, VEMO_NAME("dependLeft")));
            nb::object right = field(node, VEMO_NAME("dependRight"));
            if (PyList_Check(right.ptr()))
                for_each(right, [&](nb::handle dep) { call(add_dependencies, dep); });
            else if (!right.is_none()) // a wait on one block names no second one
                call(add_dependencies, right);
        }
    }
    set_attr(result, VEMO_NAME("next_block"), field(node, VEMO_NAME("others")));
    auto settled = [&](nb::handle block) { return contains(self.settled, block); };
    auto reusable = [&](nb::handle block) {
        if (!contains(self.fresh, block))
            return false;
        if (PySet_Discard(self.fresh.ptr(), block.ptr()) < 0)
            throw nb::python_error();
        return true;
    };
    resolve_global(result, self.global_zone, settled, reusable);

    for (nb::handle name : {VEMO_NAME("isAsync"), VEMO_NAME("isCompete")}) {
        if (!flag(result, name))
            continue;
        nb::object replacement =
            get_attr(result, name.is(VEMO_NAME("isAsync")) ? VEMO_NAME("tmp_async_block") : VEMO_NAME("tmp_compete_block"));
        if (PySet_Add(self.fresh.ptr(), replacement.ptr()) != 0)
            throw nb::python_error();
        return replacement;
    }
    if (assertions_enabled())
        check(is_module_consistent(result, settled));
    if (PySet_Add(self.settled.ptr(), result.ptr()) != 0)
        throw nb::python_error();
    return result;
}

nb::object loop(const Namespace &ns, nb::handle node) {
    nb::object rounds_wanted = number(field(node, VEMO_NAME("cnt")));
    const Py_ssize_t count = PyLong_AsSsize_t(rounds_wanted.ptr());
    if (count == -1 && PyErr_Occurred())
        throw nb::python_error();
    nb::object body = field(node, VEMO_NAME("iterateBlock"));
    if (flag(body, VEMO_NAME("isAsync"))) {
        // Each module's block is flattened into a standard block of its evaluated actions, then the
        // further rounds are copies appended module by module.
        nb::object map = get_attr(body, VEMO_NAME("async_block_map"));
        for_each(snapshot(map), [&](nb::handle key) {
            nb::object flat = call(ns.standard);
            nb::object member = nb::steal(PyObject_GetItem(map.ptr(), key.ptr()));
            if (!member.is_valid())
                throw nb::python_error();
            call_method(flat, VEMO_NAME("add"), call_method(member, VEMO_NAME("evaluate")));
            if (PyObject_SetItem(map.ptr(), key.ptr(), flat.ptr()) != 0)
                throw nb::python_error();
        });
        nb::object rounds = nb::steal(PyList_New(0));
        for (Py_ssize_t i = 1; i < count; ++i)
            append(rounds, call_method(body, VEMO_NAME("async_copy")));
        call_method(body, VEMO_NAME("async_concat"), rounds);
        return body;
    }
    nb::object result = call(ns.standard);
    for (Py_ssize_t i = 0; i < count; ++i)
        call_method(result, VEMO_NAME("add"), call_method(body, VEMO_NAME("copy")));
    return result;
}

nb::object actionclause(const Namespace &ns, nb::handle node) {
    nb::object primary = field(node, VEMO_NAME("primary"));
    if (flag(primary, VEMO_NAME("isAsync")) || flag(primary, VEMO_NAME("isCompete")))
        return primary;
    nb::object result = has_field(node, VEMO_NAME("exception"))
                            ? call(ns.run_except, field(node, VEMO_NAME("exception")))
                            : call(ns.standard);
    call_method(result, VEMO_NAME("add"), primary);
    return result;
}

nb::object asyncblock(const Namespace &ns, nb::handle node) {
    nb::object members = members_of(node, VEMO_NAME("asyncleft"), VEMO_NAME("asyncright"));
    nb::object result, resolved;
    if (!members.is_none()) {
        result = call(ns.async, members);
        resolved = call_method(result, VEMO_NAME("resolve_parallel"));
    } else {
        result = field(node, VEMO_NAME("asyncleft"));
        resolved = resolve_alone(result);
    }
    check(truthy(resolved));
    return result;
}

nb::object competeblock(const Namespace &ns, nb::handle node) {
    nb::object members = members_of(node, VEMO_NAME("competeleft"), VEMO_NAME("competeright"));
    nb::object result, resolved;
    if (!members.is_none()) {
        nb::object module_name = first_module_name(field(node, VEMO_NAME("competeleft")));
        result = call(ns.compete, members);
        set_attr(result, VEMO_NAME("module_name"), module_name);
        resolved = call_method(result, VEMO_NAME("resolve_within_competition"));
    } else {
        result = field(node, VEMO_NAME("competeleft"));
        resolved = resolve_alone(result);
    }
    check(truthy(resolved));
    return result;
}

nb::object declaration(Semantics &self, nb::handle node) {
    nb::object declared = field(node, VEMO_NAME("action"));
    nb::object name = ident_name(field(node, VEMO_NAME("ident")));
    set_attr(declared, VEMO_NAME("id"), name);
    if (PyObject_SetItem(self.global_zone.ptr(), name.ptr(), declared.ptr()) != 0)
        throw nb::python_error();
    return declared;
}

nb::object action(Semantics &self, nb::handle) {
    nb::object main_block = field(self.global_zone, nb::str("main"));
    print_line(nb::str(self.global_zone));
    check(!main_block.is_none());
    return main_block;
}

} // namespace vemo
