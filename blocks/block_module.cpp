/* blocks/block_module.cpp: module entry of _vemoblock (the abstract VemoBlock) */
#include <nanobind/nanobind.h>

#include "blocks/block.hpp"
#include "blocks/python_ops.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vemo::Block;

NB_MODULE(_vemoblock, m) {
    m.doc() = "The abstract block of the Vemo runtime: action sequences, chains, resolution and evaluation.";
    nb::module_ primitives = nb::module_::import_("_vemoprimitives");
    nb::module_ action = nb::module_::import_("_vemoaction");
    nb::module_ queue = nb::module_::import_("_vemopq");
    m.attr("VemoId") = primitives.attr("VemoId");
    m.attr("VemoAction") = action.attr("VemoAction");
    m.attr("VemoPriorityQueue") = queue.attr("VemoPriorityQueue");
    m.attr("VemoPriority") = queue.attr("VemoPriority");

    // resolve_global without a table uses this one map, made once with the class.
    nb::dict no_declarations;

    nb::class_<Block>(
        m, "VemoBlock", nb::dynamic_attr(), nb::type_slots(vemo::BlockGc::slots),
        "The abstract block: an ordered action sequence of one module, chained to a next block.\n"
        "Concrete kinds define the class flags isAsync and isCompete and implement setup.")
        .def("__init__",
             [](nb::pointer_and_handle<Block> self, nb::object identifier, nb::kwargs configs) {
                 vemo::construct_block(self, std::move(identifier), configs);
             },
             "identifier"_a = nb::none(), "configs"_a)
        .def_rw("action_seq", &Block::action_seq, "The block's own sequence of actions and identifiers.")
        .def_rw("next_block", &Block::next_block, nb::arg("value").none(), "The next block of the chain, or None.")
        .def_rw("id", &Block::id, nb::arg("value").none(), "The name the script declared the block under.")
        .def_rw("module_name", &Block::module_name, nb::arg("value").none(),
                "The module name every action of the block shares, or None.")
        .def("_check_module_name",
             [](nb::handle self, nb::handle default_name) { vemo::check_module_name(self, default_name); },
             "default_name"_a.none(), "Takes the first module name; asserts that every later one equals it.")
        .def("add", [](nb::handle self, nb::handle item) { vemo::add(self, item); }, "item"_a.none(),
             "Appends the evaluated actions of a block, or the elements of a list, skipping ';'.")
        .def("copy", [](nb::handle self) { vemo::fields(self); return vemo::copy(self); },
             "A block of the same kind holding copies of the evaluated chain, dependencies re-pointed.")
        .def("evaluate", [](nb::handle self) { return vemo::evaluate(self); },
             "The actions of this block and of every later block of the chain, linked in script order;\n"
             "for a compete block a map from competitor index to action list.")
        .def("resolve_local",
             [](nb::handle self, nb::handle local_dep) { return vemo::resolve_local(self, local_dep); },
             "local_dep"_a.none(), "Resolves waits on named blocks of the chain into action dependencies.")
        .def("resolve_global",
             [](nb::handle self, nb::handle table) { return vemo::resolve_global(self, table); },
             "extern_declaration"_a.none() = no_declarations,
             "Replaces references to declared blocks by fresh copies of them.")
        .def("is_resolved", [](nb::handle self) { return vemo::is_resolved(vemo::field_or_none(vemo::fields(self).action_seq)); },
             "True when every element of the block's own sequence is an action.")
        .def("is_module_consistent", [](nb::handle self) { return vemo::is_module_consistent(self); },
             "True when all actions of the evaluated chain share one module.")
        .def("first", [](nb::handle self) { return vemo::first(self); },
             "The first element of this block's own sequence, or None.")
        .def("last", [](nb::handle self) { return vemo::last(self); },
             "The last element of the last block of the chain.")
        .def("get_local_variables_map", [](nb::handle self) { return vemo::local_variables_map(self); },
             "A map from block identifier to that block's own sequence, over the chain.")
        .def("setup", [](nb::handle, nb::kwargs) { return nb::borrow(Py_NotImplemented); }, "configs"_a,
             "Initial setup of the concrete block from its named settings (abstract).");
}
