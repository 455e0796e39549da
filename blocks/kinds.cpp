/* blocks/kinds.cpp: building, resolving, copying and concatenating async and compete blocks */
#include "blocks/kinds.hpp"

#include "blocks/python_ops.hpp"

namespace vemo {

nb::object create_from_action_lists(nb::handle cls, nb::handle standard_type, nb::handle action_list) {
    nb::object members = nb::steal(PyList_New(0));
    for_each(action_list, [&](nb::handle actions) {
        nb::object block = call(standard_type);
        call_method(block, VEMO_NAME("add"), actions);
        append(members, block);
    });
    return call(cls, members);
}

nb::object resolve_members(nb::handle members) {
    nb::object blocks = snapshot(members);
    nb::object local_var = nb::steal(PyDict_New());
    for_each(blocks, [&](nb::handle block) {
        nb::object frames = call_method(block, VEMO_NAME("get_local_variables_map"));
        if (PyDict_Update(local_var.ptr(), frames.ptr()) != 0)
            throw nb::python_error();
    });
    nb::object result = nb::borrow(Py_True);
    for_each(blocks, [&](nb::handle block) {
        if (truthy(result))
            result = call_method(block, VEMO_NAME("resolve_local"), local_var);
    });
    return result;
}

nb::object copy_members(nb::handle self, nb::handle members, bool report) {
    std::vector<nb::object> sources;
    for_each(snapshot(members),
             [&](nb::handle block) { sources.push_back(snapshot(call_method(block, VEMO_NAME("evaluate")))); });

    nb::object all_copies; // the list of copied lists that the report prints
    auto print_copies = [&](size_t, const std::vector<nb::object> &copies) {
        if (!all_copies.is_valid()) {
            all_copies = nb::steal(PyList_New(0));
            for (const nb::object &list : copies)
                append(all_copies, list);
        }
        print_line(nb::str("new action sequence =  {}").format(all_copies));
    };
    std::vector<nb::object> copies = copy_action_lists(
        sources, [](nb::handle) { raise(PyExc_Exception, "Depedency not exist error"); },
        report ? std::function<void(size_t, const std::vector<nb::object> &)>(print_copies) : nullptr);

    nb::object lists = nb::steal(PyList_New(0));
    for (const nb::object &list : copies)
        append(lists, list);
    nb::object cls = nb::borrow((PyObject *) Py_TYPE(self.ptr()));
    return call_method(cls, VEMO_NAME("create_from_action_lists"), lists);
}

void async_concat(nb::handle self, nb::handle async_block_list) {
    for_each(snapshot(async_block_list), [&](nb::handle other) {
        nb::object own_map = get_attr(self, VEMO_NAME("async_block_map"));
        for_each(snapshot(own_map), [&](nb::handle module) {
            nb::object theirs = nb::steal(
                PyObject_GetItem(get_attr(other, VEMO_NAME("async_block_map")).ptr(), module.ptr()));
            if (!theirs.is_valid())
                throw nb::python_error();
            nb::object mine = nb::steal(PyObject_GetItem(own_map.ptr(), module.ptr()));
            if (!mine.is_valid())
                throw nb::python_error();
            // The other block's sequence of this module starts once this block's has finished.
            nb::object head = call_method(theirs, VEMO_NAME("first"));
            nb::object setter = get_attr(head, VEMO_NAME("set_script_dep"));
            call(setter, finish_signal_of(call_method(mine, VEMO_NAME("last"))));
            call_method(mine, VEMO_NAME("add"), theirs);
        });
    });
}

void compete_concat(nb::handle self, nb::handle compete_block_list) {
    for_each(snapshot(compete_block_list), [&](nb::handle other) {
        nb::object own = get_attr(self, VEMO_NAME("compete_blocks"));
        const Py_ssize_t count = length(own);
        for (Py_ssize_t cidx = 0; cidx < count; ++cidx) {
            nb::object theirs = item(get_attr(other, VEMO_NAME("compete_blocks")), cidx);
            nb::object mine = item(own, cidx);
            nb::object head = call_method(theirs, VEMO_NAME("first"));
            nb::object setter = get_attr(head, VEMO_NAME("set_script_dep"));
            call(setter, finish_signal_of(call_method(mine, VEMO_NAME("last"))));
            call_method(mine, VEMO_NAME("add"), theirs);
        }
    });
}

nb::object chain_list(nb::handle self, nb::handle kind, const char *op) {
    nb::object blocks = nb::steal(PyList_New(0));
    for (const nb::object &block : chain_of(self, kind, op))
        append(blocks, block);
    return blocks;
}

} // namespace vemo
