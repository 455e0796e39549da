/* blocks/block.hpp: the block's data and the block-core operations shared by _vemoblock and blocks */
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <vector>

#include "core/action.hpp"
#include "core/gc_slots.hpp"

namespace vemo {

/// The fields of a VemoBlock. Everything else a block carries (the kinds' own fields, `tmp_async_block`,
/// `tmp_compete_block`, instance values of the class flags) lives in the instance dictionary.
struct Block {
    nb::object action_seq;
    nb::object next_block;
    nb::object id;
    nb::object module_name;

    Block() = default;
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    ~Block();
};

/// GC slots of every block type: the fields above and the instance dictionary.
using BlockGc = GcSlots<Block, InstanceDict::own, &Block::action_seq, &Block::next_block, &Block::id,
                        &Block::module_name>;

inline bool is_block(nb::handle h) { return is_instance<Block>(h); }
inline Block &block_of(nb::handle h) { return *nb::inst_ptr<Block>(h); }

/// The class that created the block core's types, cached once the module that defines it is loaded.
nb::handle block_base_type();
/// `self.setup(**configs)`.
void call_setup(nb::handle self, nb::handle configs);

/// The constructor of every block kind: the base fields in place, then `self.setup(**configs)`.
template <class T>
void construct_block(nb::pointer_and_handle<T> self, nb::object identifier, nb::handle configs) {
    check_concrete(self.h, block_base_type(), {"isAsync", "isCompete", "setup"});
    T *block = new (self.p) T();
    block->action_seq = nb::list();
    block->next_block = nb::none();
    block->id = std::move(identifier);
    block->module_name = nb::none();
    nb::inst_mark_ready(self.h);
    call_setup(self.h, configs);
}

/// An interned attribute name, made once per call site.
#define VEMO_NAME(text)                                                                                \
    ([]() -> nb::handle {                                                                              \
        static PyObject *interned = PyUnicode_InternFromString(text);                                  \
        return interned;                                                                               \
    }())

/// A class flag read through the object, so that an instance value overrides the class constant.
bool flag(nb::handle self, nb::handle name);

/// A test on a block met on a chain: whether it is settled (resolved and checked with the rest of its
/// chain already) or reusable (a copy only the caller holds), as the operations below use it.
using BlockFilter = std::function<bool(nb::handle)>;

/// The blocks of the chain that starts at `self`, in order. Every later block must be an instance of
/// `kind`; one that is not fails as the call of `op` on it would (AttributeError when it lacks `op`,
/// TypeError otherwise). A chain that loops back on itself raises ValueError. The walk stops before a
/// block that `settled` accepts, which is stored in `rest`.
std::vector<nb::object> chain_of(nb::handle self, nb::handle kind, const char *op,
                                 const BlockFilter &settled = nullptr, nb::object *rest = nullptr);

// The operations of VemoBlock, working on Python objects.
void check_module_name(nb::handle self, nb::handle default_name);
void add(nb::handle self, nb::handle item);
nb::object copy(nb::handle self);
nb::object evaluate(nb::handle self);
/// `evaluate` of the part of the chain before the first settled block, linked to that block, which is
/// stored in `rest`.
nb::object evaluate_until(nb::handle self, const BlockFilter &settled, nb::object *rest);
nb::object resolve_local(nb::handle self, nb::handle local_dep);
/// Settled blocks and the rest of the chain after them are not resolved again. A superseded block whose
/// next block `reusable` accepts takes that block itself where it would take a copy of it.
nb::object resolve_global(nb::handle self, nb::handle extern_declaration, const BlockFilter &settled = nullptr,
                          const BlockFilter &reusable = nullptr);
bool is_resolved(nb::handle sequence);
/// A settled rest of the chain is taken as consistent; only its first action is compared.
bool is_module_consistent(nb::handle self, const BlockFilter &settled = nullptr);
nb::object first(nb::handle self);
nb::object last(nb::handle self);
nb::object local_variables_map(nb::handle self);

/// Deep copies of several action lists: every copy's dependencies point at the copies of the source
/// actions (located through an identity map, the first list and position holding an action winning),
/// the first copy of each list takes the script-order dependency of its source, and every later copy
/// waits on the copy before it. `missing` raises the error for a dependency found in no list;
/// `after_list(m, copies)` runs once list m is re-pointed.
std::vector<nb::object> copy_action_lists(const std::vector<nb::object> &sources,
                                          const std::function<void(nb::handle)> &missing,
                                          const std::function<void(size_t, const std::vector<nb::object> &)>
                                              &after_list = nullptr);

/// `element.set_script_dep(dep)`, directly on the field for an action that keeps the base operation.
void set_script_dep(nb::handle element, nb::handle dep);
/// `element.finish_signal`.
nb::object finish_signal_of(nb::handle element);

} // namespace vemo
