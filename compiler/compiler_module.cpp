/* compiler/compiler_module.cpp: module entry of compiler (VemoSemantics and the script's module namespace) */
#include <nanobind/nanobind.h>

#include "blocks/python_ops.hpp"
#include "compiler/semantics.hpp"
#include "core/gc_slots.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vemo::Semantics;

namespace {

int semantics_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject **dict = _PyObject_GetDictPtr(self))
        Py_VISIT(*dict);
    if (nb::inst_ready(self)) {
        VEMO_VISIT(nb::inst_ptr<Semantics>(self)->global_zone);
        VEMO_VISIT(nb::inst_ptr<Semantics>(self)->settled);
        VEMO_VISIT(nb::inst_ptr<Semantics>(self)->fresh);
    }
    return 0;
}

int semantics_clear(PyObject *self) {
    if (PyObject **dict = _PyObject_GetDictPtr(self))
        Py_CLEAR(*dict);
    if (nb::inst_ready(self)) {
        nb::inst_ptr<Semantics>(self)->global_zone = nb::dict();
        nb::inst_ptr<Semantics>(self)->settled = nb::set();
        nb::inst_ptr<Semantics>(self)->fresh = nb::set();
    }
    return 0;
}

PyType_Slot semantics_slots[] = {{Py_tp_traverse, (void *) semantics_traverse},
                                 {Py_tp_clear, (void *) semantics_clear},
                                 {0, nullptr}};

/// The public names of `module`, as `from module import *` takes them: its `__all__`, or else every
/// name of its dictionary that does not start with an underscore.
void import_public_names(nb::handle module, nb::handle into) {
    nb::object names;
    if (nb::hasattr(module, "__all__")) {
        names = module.attr("__all__");
    } else {
        names = nb::list();
        for (nb::handle name : nb::borrow<nb::dict>(module.attr("__dict__")).keys())
            if (!nb::borrow<nb::str>(name).attr("startswith")("_").is(Py_True))
                nb::borrow<nb::list>(names).append(name);
    }
    for (nb::handle name : names)
        into[name] = module.attr(name);
}

} // namespace

NB_MODULE(compiler, m) {
    m.doc() = "The semantic actions of the Vemo language: parse nodes become actions, blocks and declarations.";

    // Later modules replace the same names of earlier ones.
    auto *ns = new vemo::Namespace{nb::dict(), {}, {}, {}, {}}; // lives as long as the module's functions
    for (const char *name : {"modules", "blocks", "_vemoaction", "_vemomodule", "_vemoblock", "_vemoprimitives"})
        import_public_names(nb::module_::import_(name), ns->names);
    for (auto [name, value] : nb::borrow<nb::dict>(ns->names))
        m.attr(name) = value;
    nb::module_ blocks = nb::module_::import_("blocks");
    ns->standard = blocks.attr("StandardBlock");
    ns->run_except = blocks.attr("RunExceptBlock");
    ns->async = blocks.attr("AsyncBlock");
    ns->compete = blocks.attr("CompeteBlock");

    nb::class_<Semantics>(
        m, "VemoSemantics", nb::dynamic_attr(), nb::type_slots(semantics_slots),
        "The semantic actions of the language, one per grammar rule, called by the parser bottom-up with each\n"
        "rule's parse node. Note: the semantics do not yet check that identifiers exist.")
        .def("__init__", [](Semantics *self) { new (self) Semantics{nb::dict(), nb::set(), nb::set()}; })
        .def_rw("global_zone", &Semantics::global_zone, "The script's declarations: name -> block.")
        .def("number", [](nb::handle, nb::handle ast) { return vemo::number(ast); }, "ast"_a.none(),
             "The integer a number token denotes.")
        .def("module", [ns](nb::handle, nb::handle ast) { return vemo::module(*ns, ast); }, "ast"_a.none(),
             "The module kind a module token names, every '@' removed.")
        .def("identifier", [](nb::handle, nb::handle ast) { return vemo::identifier(ast); }, "ast"_a.none(),
             "A new VemoId for the token.")
        .def("extern_str", [](nb::handle, nb::handle ast) { return vemo::extern_str(ast); }, "ast"_a.none(),
             "The text of a quoted string token without its quotes.")
        .def("external", [](nb::handle, nb::handle ast) { return vemo::external(ast); }, "ast"_a.none(),
             "Calls the named operation on a new instance of the module kind.")
        .def("io", [](nb::handle, nb::handle ast) { return vemo::io(ast); }, "ast"_a.none(),
             "An IO action built by the module kind.")
        .def("move", [](nb::handle, nb::handle ast) { return vemo::move(ast); }, "ast"_a.none(),
             "A move action built by the module kind.")
        .def("transfer", [](nb::handle, nb::handle ast) { return vemo::transfer(ast); }, "ast"_a.none(),
             "A tray action built by the module kind.")
        .def("block", [ns](Semantics &self, nb::handle ast) { return vemo::block(self, *ns, ast); }, "ast"_a.none(),
             "A standard block of the node's elements, with its waits and next block, resolved against the\n"
             "declarations made so far.")
        .def("loop", [ns](nb::handle, nb::handle ast) { return vemo::loop(*ns, ast); }, "ast"_a.none(),
             "The body repeated `cnt` times.")
        .def("actionclause", [ns](nb::handle, nb::handle ast) { return vemo::actionclause(*ns, ast); },
             "ast"_a.none(), "The block wrapped into a standard or run-except block.")
        .def("asyncblock", [ns](nb::handle, nb::handle ast) { return vemo::asyncblock(*ns, ast); },
             "ast"_a.none(), "Blocks of several modules run in parallel.")
        .def("competeblock", [ns](nb::handle, nb::handle ast) { return vemo::competeblock(*ns, ast); },
             "ast"_a.none(), "Blocks of one module competing for it.")
        .def("declaration", [](Semantics &self, nb::handle ast) { return vemo::declaration(self, ast); },
             "ast"_a.none(), "Files the block under its name.")
        .def("action", [](Semantics &self, nb::handle ast) { return vemo::action(self, ast); }, "ast"_a.none(),
             "The program: prints the declarations and returns the block declared as main.");
}
