/* blocks/blocks_module.cpp: module entry of blocks (StandardBlock, RunExceptBlock, AsyncBlock, CompeteBlock) */
#include <nanobind/nanobind.h>

#include "blocks/kinds.hpp"
#include "blocks/python_ops.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

/// Class flags are plain class attributes, so that an instance or a subclass can override them.
void set_flags(nb::handle cls, bool is_async, bool is_compete) {
    cls.attr("isAsync") = nb::bool_(is_async);
    cls.attr("isCompete") = nb::bool_(is_compete);
}

/// Installs `fn(cls, ...)` as a class method, so that it builds the class it is called on.
template <class Fn, class... Extra>
void def_classmethod(nb::handle cls, const char *name, Fn &&fn, const char *doc, const Extra &...extra) {
    nb::object function = nb::cpp_function(std::forward<Fn>(fn), nb::name(name), nb::scope(cls), nb::is_method(),
                                           extra..., doc);
    cls.attr(name) = nb::steal(PyClassMethod_New(function.ptr()));
}

void no_setup(nb::handle, nb::kwargs) {}

} // namespace

NB_MODULE(blocks, m) {
    m.doc() = "The block kinds of the Vemo runtime: standard, run-except, async and compete blocks.";
    nb::module_ block_module = nb::module_::import_("_vemoblock");
    nb::handle base = block_module.attr("VemoBlock");
    m.attr("VemoBlock") = base;

    auto standard = nb::class_<vemo::StandardBlock>(
        m, "StandardBlock", base, nb::type_slots(vemo::BlockGc::slots),
        "The ordinary block of script text: a sequence of actions run one after the other.");
    standard
        .def("__init__",
             [](nb::pointer_and_handle<vemo::StandardBlock> self, nb::object identifier, nb::kwargs configs) {
                 vemo::construct_block(self, std::move(identifier), configs);
             },
             "identifier"_a = nb::none(), "configs"_a)
        .def("setup", &no_setup, "configs"_a, "Accepts and ignores every named setting.");
    set_flags(standard, false, false);
    nb::handle standard_type = standard;

    auto run_except = nb::class_<vemo::RunExceptBlock>(
        m, "RunExceptBlock", base, nb::type_slots(vemo::BlockGc::slots),
        "A standard block that also carries an exception clause, stored as exception_block.");
    run_except
        .def("__init__",
             [](nb::pointer_and_handle<vemo::RunExceptBlock> self, nb::object exception_block,
                nb::object identifier, nb::kwargs configs) {
                 vemo::construct_block(self, std::move(identifier), configs);
                 vemo::set_attr(self.h, VEMO_NAME("exception_block"), exception_block);
             },
             "exception_block"_a.none(), "identifier"_a = nb::none(), "configs"_a)
        .def("setup", &no_setup, "configs"_a, "Accepts and ignores every named setting.");
    set_flags(run_except, false, false);

    auto async = nb::class_<vemo::AsyncBlock>(
        m, "AsyncBlock", base, nb::type_slots(vemo::BlockGc::slots),
        "Blocks of several modules run in parallel: one standard block per module in async_block_map.");
    async
        .def("__init__",
             [](nb::pointer_and_handle<vemo::AsyncBlock> self, nb::object async_blocks, nb::object identifier,
                nb::kwargs configs) {
                 vemo::construct_block(self, std::move(identifier), configs);
                 vemo::set_attr(self.h, VEMO_NAME("async_blocks"), async_blocks);
                 nb::object map = nb::steal(PyDict_New());
                 vemo::for_each(async_blocks, [&](nb::handle block) {
                     nb::object module = vemo::get_attr(block, VEMO_NAME("module_name"));
                     if (PyDict_SetItem(map.ptr(), module.ptr(), block.ptr()) != 0)
                         throw nb::python_error();
                 });
                 vemo::set_attr(self.h, VEMO_NAME("async_block_map"), map);
             },
             "async_blocks"_a.none(), "identifier"_a = nb::none(), "configs"_a)
        .def("setup", &no_setup, "configs"_a, "Accepts and ignores every named setting.")
        .def("resolve_parallel",
             [](nb::handle self) {
                 vemo::fields(self);
                 nb::object map = vemo::get_attr(self, VEMO_NAME("async_block_map"));
                 return vemo::resolve_members(vemo::call_method(map, VEMO_NAME("values")));
             },
             "Resolves every module's block locally against the named blocks of all modules.")
        .def("async_copy",
             [](nb::handle self) {
                 vemo::fields(self);
                 if (vemo::assertions_enabled() && !vemo::flag(self, VEMO_NAME("isAsync")))
                     vemo::raise_assertion();
                 nb::object map = vemo::get_attr(self, VEMO_NAME("async_block_map"));
                 return vemo::copy_members(self, vemo::call_method(map, VEMO_NAME("values")), true);
             },
             "A new async block of the same class with copies of every module's actions.")
        .def("async_concat",
             [](nb::handle self, nb::handle blocks) {
                 vemo::fields(self);
                 vemo::async_concat(self, blocks);
             },
             "async_block_list"_a.none(), "Appends, module by module, the sequences of the given async blocks.")
        .def("async_evaluate",
             [](nb::handle self) { return vemo::chain_list(self, nb::type<vemo::AsyncBlock>(), "async_evaluate"); },
             "The async blocks of the chain, this one first.");
    set_flags(async, true, false);
    def_classmethod(
        async, "create_from_action_lists",
        [standard_type](nb::handle cls, nb::handle action_list) {
            return vemo::create_from_action_lists(cls, standard_type, action_list);
        },
        "A new block of this class with one new StandardBlock per list of actions.", "action_list"_a.none());
    def_classmethod(
        async, "create_async_from_standard",
        [](nb::handle cls, nb::handle standard_block) {
            nb::object members = nb::steal(PyList_New(0));
            vemo::append(members, standard_block);
            return vemo::call(cls, members);
        },
        "A new block of this class whose only module block is the given standard block.",
        "standard_block"_a.none());

    auto compete = nb::class_<vemo::CompeteBlock>(
        m, "CompeteBlock", base, nb::type_slots(vemo::BlockGc::slots),
        "Competing sequences of one module; evaluates to a map from competitor index to action list.");
    compete
        .def("__init__",
             [](nb::pointer_and_handle<vemo::CompeteBlock> self, nb::object compete_blocks, nb::object identifier,
                nb::kwargs configs) {
                 vemo::construct_block(self, std::move(identifier), configs);
                 vemo::set_attr(self.h, VEMO_NAME("compete_blocks"), compete_blocks);
             },
             "compete_blocks"_a.none(), "identifier"_a = nb::none(), "configs"_a)
        .def("setup", &no_setup, "configs"_a, "Accepts and ignores every named setting.")
        .def("resolve_within_competition",
             [](nb::handle self) {
                 vemo::fields(self);
                 return vemo::resolve_members(vemo::get_attr(self, VEMO_NAME("compete_blocks")));
             },
             "Resolves every competitor locally against the named blocks of all competitors.")
        .def("compete_copy",
             [](nb::handle self) {
                 vemo::fields(self);
                 if (vemo::assertions_enabled() && !vemo::flag(self, VEMO_NAME("isCompete")))
                     vemo::raise_assertion();
                 return vemo::copy_members(self, vemo::get_attr(self, VEMO_NAME("compete_blocks")), false);
             },
             "A new compete block of the same class with copies of every competitor's actions.")
        .def("compete_concat",
             [](nb::handle self, nb::handle blocks) {
                 vemo::fields(self);
                 vemo::compete_concat(self, blocks);
             },
             "compete_block_list"_a.none(), "Appends competitor by competitor the given compete blocks.")
        .def("compete_evaluate",
             [](nb::handle self) { return vemo::chain_list(self, nb::type<vemo::CompeteBlock>(), "compete_evaluate"); },
             "The compete blocks of the chain, this one first.");
    set_flags(compete, false, true);
    def_classmethod(
        compete, "create_from_action_lists",
        [standard_type](nb::handle cls, nb::handle action_list) {
            return vemo::create_from_action_lists(cls, standard_type, action_list);
        },
        "A new block of this class with one new StandardBlock per list of actions.", "action_list"_a.none());
}
