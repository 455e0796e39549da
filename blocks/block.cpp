/* blocks/block.cpp: the block core: concatenation, copies, resolution and evaluation of block chains */
#include "blocks/block.hpp"
#include "blocks/python_ops.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>

namespace vemo {

namespace {

/// The VemoAction operations the block core calls on elements, to tell whether a host kind replaces them.
struct ElementOps {
    nb::handle set_script_dep, resolve_dependencies;
    static ElementOps get() {
        static std::atomic<PyObject *> set_script_dep, resolve_dependencies;
        nb::handle type = ActionClass::get().type;
        return ElementOps{kept(set_script_dep, [&] { return type.attr("set_script_dep"); }),
                          kept(resolve_dependencies, [&] { return type.attr("resolve_dependencies"); })};
    }
};

[[noreturn]] void raise_not_resolved() { raise(PyExc_Exception, "VemoBlock not resolved... Can't evaluate. "); }

nb::object module_name_of(nb::handle element) {
    nb::object module = native_action(element) ? field_or_none(action_of(element).module)
                                               : get_attr(element, VEMO_NAME("module"));
    return get_attr(module, VEMO_NAME("name"));
}

/// True when comparing `element` with ";" cannot call host code: the element's class keeps the
/// comparison every action has, which is identity.
bool compares_by_identity(nb::handle element) {
    return is_action(element) &&
           Py_TYPE(element.ptr())->tp_richcompare == ((PyTypeObject *) ActionClass::get().type.ptr())->tp_richcompare;
}

bool is_separator(nb::handle element) {
    static PyObject *separator = PyUnicode_InternFromString(";");
    if (element.ptr() == separator)
        return true;
    if (compares_by_identity(element))
        return false;
    int equal = PyObject_RichCompareBool(element.ptr(), separator, Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal != 0;
}

/// `table.get(name)`: the declared block, or None.
nb::object lookup(nb::handle table, nb::handle name) {
    if (PyDict_CheckExact(table.ptr())) {
        PyObject *found = PyDict_GetItemWithError(table.ptr(), name.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
        return found ? nb::borrow(found) : nb::none();
    }
    return call_method(table, VEMO_NAME("get"), name);
}

nb::object evaluate_competition(nb::handle self) {
    nb::object competitors = get_attr(self, VEMO_NAME("compete_blocks"));
    const Py_ssize_t count = length(competitors);
    nb::object map = nb::steal(PyDict_New());
    for (Py_ssize_t cidx = 0; cidx < count; ++cidx) {
        nb::object evaluated = call_method(item(competitors, cidx), VEMO_NAME("evaluate"));
        nb::object key = nb::steal(PyLong_FromSsize_t(cidx));
        if (PyDict_SetItem(map.ptr(), key.ptr(), evaluated.ptr()) != 0)
            throw nb::python_error();
    }
    // The field changes only once every competitor has evaluated.
    fields(self).action_seq = map;
    return map;
}

/* A parser reduces a script's following block first, so resolving a chain of n references to declared
   async (or compete) blocks supersedes the last reference first and each earlier one later, and each
   earlier replacement folds everything after it into its own member blocks. The following replacement
   is then a copy that only the compiler holds (`reusable` accepts it): it stands for its own copy,
   detached from its chain as a copy is, and each of its members' lists is taken over whole, with the
   replacement's own actions moved in front, instead of being copied again and appended element by
   element, which made such a chain cost n² copies and appends. The taken member is left empty. */

/// Appends `theirs` (a member of a following block) to `mine`, after linking its first action to mine's
/// last one, as async_concat and compete_concat do; `movable` members give up their list.
void join_member(nb::handle mine, nb::handle theirs, bool movable) {
    nb::object head = call_method(theirs, VEMO_NAME("first"));
    nb::object setter = get_attr(head, VEMO_NAME("set_script_dep"));
    call(setter, finish_signal_of(call_method(mine, VEMO_NAME("last"))));
    auto plain = [](nb::handle block) {
        return is_block(block) && nb::inst_ready(block) && field_or_none(block_of(block).next_block).is_none() &&
               PyList_CheckExact(block_of(block).action_seq.ptr());
    };
    if (!movable || mine.is(theirs) || !plain(mine) || !plain(theirs) ||
        field_or_none(block_of(theirs).module_name).is_none()) {
        call_method(mine, VEMO_NAME("add"), theirs);
        return;
    }
    check_module_name(mine, block_of(theirs).module_name); // every action of theirs has its module name
    nb::object taken = block_of(theirs).action_seq;
    if (PyList_SetSlice(taken.ptr(), 0, 0, block_of(mine).action_seq.ptr()) != 0)
        throw nb::python_error();
    block_of(mine).action_seq = taken;
    block_of(theirs).action_seq = nb::steal(PyList_New(0));
}

/// The members of `replacement` absorb those of the blocks after it on its chain, through the kind's own
/// concatenation unless the only following block is a reused one.
void fold_following(nb::handle replacement, bool reused, bool by_module) {
    nb::object chain = call_method(replacement, by_module ? VEMO_NAME("async_evaluate") : VEMO_NAME("compete_evaluate"));
    nb::object rest = nb::steal(PySequence_GetSlice(chain.ptr(), 1, PY_SSIZE_T_MAX));
    if (!rest.is_valid())
        throw nb::python_error();
    if (!reused || length(rest) != 1) {
        call_method(replacement, by_module ? VEMO_NAME("async_concat") : VEMO_NAME("compete_concat"), rest);
        return;
    }
    nb::object following = item(rest, 0);
    if (by_module) {
        nb::object own = get_attr(replacement, VEMO_NAME("async_block_map"));
        for_each(snapshot(own), [&](nb::handle module) {
            nb::object theirs =
                nb::steal(PyObject_GetItem(get_attr(following, VEMO_NAME("async_block_map")).ptr(), module.ptr()));
            if (!theirs.is_valid())
                throw nb::python_error();
            nb::object mine = nb::steal(PyObject_GetItem(own.ptr(), module.ptr()));
            if (!mine.is_valid())
                throw nb::python_error();
            join_member(mine, theirs, true);
        });
        return;
    }
    nb::object own = get_attr(replacement, VEMO_NAME("compete_blocks"));
    const Py_ssize_t count = length(own);
    for (Py_ssize_t cidx = 0; cidx < count; ++cidx) {
        nb::object theirs = item(get_attr(following, VEMO_NAME("compete_blocks")), cidx);
        join_member(item(own, cidx), theirs, true);
    }
}

/// The block after a superseded one, as its replacement's next block: a copy, or the block itself when
/// `reusable` accepts it (`reused` then says so).
nb::object copy_of_next(nb::handle next, nb::handle copy_operation, const BlockFilter &reusable, bool &reused) {
    reused = reusable && reusable(next);
    if (reused) {
        set_attr(next, VEMO_NAME("next_block"), Py_None);
        return nb::borrow(next);
    }
    return call_method(next, copy_operation);
}

/// A block that resolution meets under a declared async block's name takes a folded copy of it.
void supersede_by_async(nb::handle self, nb::handle declared, const BlockFilter &reusable) {
    nb::object replacement = call_method(declared, VEMO_NAME("async_copy"));
    nb::object next = field_or_none(fields(self).next_block);
    bool reused = false;
    if (!next.is_none())
        set_attr(replacement, VEMO_NAME("next_block"), copy_of_next(next, VEMO_NAME("async_copy"), reusable, reused));
    fold_following(replacement, reused, true);
    set_attr(self, VEMO_NAME("tmp_async_block"), replacement);
    set_attr(self, VEMO_NAME("isAsync"), Py_True);
}

void supersede_by_competition(nb::handle self, nb::handle declared, const BlockFilter &reusable) {
    nb::object replacement = call_method(declared, VEMO_NAME("compete_copy"));
    nb::object next = field_or_none(fields(self).next_block);
    bool reused = false;
    if (!next.is_none())
        set_attr(replacement, VEMO_NAME("next_block"),
                 copy_of_next(next, VEMO_NAME("compete_copy"), reusable, reused));
    fold_following(replacement, reused, false);
    nb::object first_competitor = item(get_attr(declared, VEMO_NAME("compete_blocks")), 0);
    nb::object first_action = item(call_method(first_competitor, VEMO_NAME("evaluate")), 0);
    check_module_name(self, module_name_of(first_action));
    set_attr(self, VEMO_NAME("tmp_compete_block"), replacement);
    set_attr(self, VEMO_NAME("isCompete"), Py_True);
}

/// Global resolution of one block's own sequence. None when the block was superseded.
nb::object resolve_own_global(nb::handle self, nb::handle table, const BlockFilter &reusable) {
    nb::object sequence = field_or_none(fields(self).action_seq);
    const Py_ssize_t count = length(sequence);
    nb::object resolved_sequence = nb::steal(PyList_New(0));
    for (Py_ssize_t aidx = 0; aidx < count; ++aidx) {
        nb::object element = item(sequence, aidx);
        if (!is_identifier(element)) {
            append(resolved_sequence, element);
            continue;
        }
        const Identifier &ident = *nb::inst_ptr<Identifier>(element);
        nb::object name = field_or_none(ident.id);
        nb::object declared = lookup(table, name);
        if (declared.is_none()) {
            print_line(nb::str("[WARN] Global variable: {} doesn't exist in {}").format(name, table));
            continue;
        }
        if (flag(declared, VEMO_NAME("isAsync"))) {
            supersede_by_async(self, declared, reusable);
            return nb::none();
        }
        if (flag(declared, VEMO_NAME("isCompete"))) {
            supersede_by_competition(self, declared, reusable);
            return nb::none();
        }
        nb::object copied = call_method(declared, VEMO_NAME("copy"));
        call_method(call_method(copied, VEMO_NAME("first")), VEMO_NAME("add_dependencies"),
                    field_or_none(ident.dependency));
        nb::object evaluated = call_method(copied, VEMO_NAME("evaluate"));
        nb::object extended = nb::steal(PySequence_InPlaceConcat(resolved_sequence.ptr(), evaluated.ptr()));
        if (!extended.is_valid())
            throw nb::python_error();
        check_module_name(self, module_name_of(item(resolved_sequence, 0)));
    }
    fields(self).action_seq = resolved_sequence;
    return nb::bool_(is_resolved(resolved_sequence));
}

void resolve_element(nb::handle element, nb::handle local_dep) {
    if (native_action(element) &&
        !overrides(element, "resolve_dependencies", ElementOps::get().resolve_dependencies))
        resolve_dependencies(action_of(element), local_dep);
    else
        call_method(element, VEMO_NAME("resolve_dependencies"), local_dep);
}

} // namespace

/* Freeing the head of a long chain would free each next block from inside the destructor of the one
   before it, one stack frame per block. Instead, every next block that only this chain holds gives up
   its own next block before it is freed, so the chain is taken apart in a loop. */
Block::~Block() {
    nb::object next = std::move(next_block);
    while (next.is_valid() && Py_REFCNT(next.ptr()) == 1 && is_block(next) && nb::inst_ready(next)) {
        nb::object after = std::move(block_of(next).next_block);
        next.reset();
        next = std::move(after);
    }
}


nb::handle block_base_type() {
    static std::atomic<PyObject *> type{nullptr};
    return kept(type, [] { return nb::module_::import_("_vemoblock").attr("VemoBlock"); });
}

void call_setup(nb::handle self, nb::handle configs) {
    nb::object setup = get_attr(self, VEMO_NAME("setup"));
    nb::object no_args = nb::steal(PyTuple_New(0));
    if (!nb::steal(PyObject_Call(setup.ptr(), no_args.ptr(), configs.ptr())).is_valid())
        throw nb::python_error();
}

bool flag(nb::handle self, nb::handle name) { return truthy(get_attr(self, name)); }

std::vector<nb::object> chain_of(nb::handle self, nb::handle kind, const char *op, const BlockFilter &settled,
                                 nb::object *rest) {
    fields(self);
    std::vector<nb::object> chain{nb::borrow(self)};
    // Brent's cycle detection: the tortoise jumps to the hare at every power of two.
    nb::handle tortoise = self;
    size_t power = 1, steps = 1;
    for (;;) {
        nb::object next = field_or_none(block_of(chain.back()).next_block);
        if (next.is_none())
            break;
        if (settled && settled(next)) {
            if (rest)
                *rest = std::move(next);
            break;
        }
        if (!PyObject_TypeCheck(next.ptr(), (PyTypeObject *) kind.ptr()) || !nb::inst_ready(next)) {
            get_attr(next, nb::str(op)); // a next block without the operation fails as calling it would
            PyErr_Format(PyExc_TypeError, "VemoBlock.%s: next_block must be a %s, not %R", op,
                         ((PyTypeObject *) kind.ptr())->tp_name, next.ptr());
            throw nb::python_error();
        }
        if (next.is(tortoise)) {
            PyErr_Format(PyExc_ValueError, "VemoBlock.%s: the next_block chain loops back to %R", op, next.ptr());
            throw nb::python_error();
        }
        if (power == steps) {
            tortoise = next;
            power *= 2;
            steps = 0;
        }
        ++steps;
        chain.push_back(std::move(next));
    }
    return chain;
}

void check_module_name(nb::handle self, nb::handle default_name) {
    Block &block = fields(self);
    if (!block.module_name.is_valid() || block.module_name.is_none()) {
        block.module_name = nb::borrow(default_name);
        return;
    }
    if (!assertions_enabled())
        return;
    int equal = PyObject_RichCompareBool(block.module_name.ptr(), default_name.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    if (!equal)
        raise_assertion();
}

void add(nb::handle self, nb::handle item_to_add) {
    fields(self);
    nb::object elements =
        snapshot(is_block(item_to_add) ? call_method(item_to_add, VEMO_NAME("evaluate")) : nb::borrow(item_to_add));
    // The elements to keep are appended at once at the end, or up to a failing one. An action class that
    // compares by identity, once seen, needs no second type test and never equals ";"; actions of one
    // module object have one module name, so the check is repeated only when the module changes.
    nb::object kept = nb::steal(PyList_New(0));
    PyTypeObject *plain_action_type = nullptr;
    PyObject *checked_module = nullptr;
    auto keep = [&](nb::handle element) {
        PyTypeObject *type = Py_TYPE(element.ptr());
        bool plain = type == plain_action_type;
        if (plain || is_action(element)) {
            PyObject *module = nb::inst_ready(element) ? action_of(element).module.ptr() : nullptr;
            if (!module || module != checked_module) {
                check_module_name(self, module_name_of(element));
                checked_module = module;
            }
            if (!plain && compares_by_identity(element)) {
                plain_action_type = type;
                plain = true;
            }
        }
        if (!plain && is_separator(element))
            return;
        append(kept, element);
    };
    auto flush = [&] {
        nb::object sequence = field_or_none(block_of(self).action_seq);
        if (PyList_Check(sequence.ptr())) {
            Py_ssize_t end = PyList_GET_SIZE(sequence.ptr());
            if (PyList_SetSlice(sequence.ptr(), end, end, kept.ptr()) != 0)
                throw nb::python_error();
        } else {
            for_each(kept, [&](nb::handle element) { append(sequence, element); });
        }
    };
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.ptr()); ++i)
            keep(PyList_GET_ITEM(elements.ptr(), i));
    } catch (nb::python_error &) {
        flush(); // the elements before the failing one stay appended
        throw;
    }
    flush();
}

void set_script_dep(nb::handle element, nb::handle dep) {
    if (native_action(element) && !overrides(element, "set_script_dep", ElementOps::get().set_script_dep))
        action_of(element).script_dep = nb::borrow(dep);
    else
        call_method(element, VEMO_NAME("set_script_dep"), dep);
}

nb::object finish_signal_of(nb::handle element) {
    if (native_action(element))
        return field_or_none(action_of(element).finish_signal);
    return get_attr(element, VEMO_NAME("finish_signal"));
}

std::vector<nb::object> copy_action_lists(const std::vector<nb::object> &sources,
                                          const std::function<void(nb::handle)> &missing,
                                          const std::function<void(size_t, const std::vector<nb::object> &)>
                                              &after_list) {
    struct Place {
        size_t list, index;
    };
    std::vector<nb::object> copies;
    copies.reserve(sources.size());
    size_t total = 0;
    for (const nb::object &source : sources) {
        const Py_ssize_t n = PyList_GET_SIZE(source.ptr());
        nb::object out = nb::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::handle action = PyList_GET_ITEM(source.ptr(), i);
            nb::object copied = native_action(action) ? call_copy(action) : call_method(action, VEMO_NAME("copy"));
            PyList_SET_ITEM(out.ptr(), i, copied.release().ptr());
        }
        total += (size_t) n;
        copies.push_back(std::move(out));
    }

    // Where each source action stands; the first list and position holding it win. Made on the first
    // dependency met: copies of blocks without dependencies need no map.
    std::unordered_map<PyObject *, Place> places;
    auto place_of = [&](nb::handle dep) -> const Place & {
        if (places.empty()) {
            places.reserve(total);
            for (size_t m = 0; m < sources.size(); ++m)
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sources[m].ptr()); ++i)
                    places.emplace(PyList_GET_ITEM(sources[m].ptr(), i), Place{m, (size_t) i});
        }
        auto found = places.find(dep.ptr());
        if (found == places.end()) {
            missing(dep);
            raise(PyExc_RuntimeError, "VemoBlock: a dependency outside the copied lists");
        }
        return found->second;
    };

    for (size_t m = 0; m < sources.size(); ++m) {
        nb::handle source = sources[m], out = copies[m];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source.ptr()); ++i) {
            nb::handle action = PyList_GET_ITEM(source.ptr(), i);
            nb::handle copied = PyList_GET_ITEM(out.ptr(), i);
            nb::object deps = native_action(action) ? field_or_none(action_of(action).dependency)
                                                    : get_attr(action, VEMO_NAME("dependency"));
            if (PyList_Check(deps.ptr()) && PyList_GET_SIZE(deps.ptr()) == 0 && native_action(copied)) {
                // The copy's own new empty list already is the re-pointed list.
                PyObject *own = action_of(copied).dependency.ptr();
                if (own && PyList_CheckExact(own) && PyList_GET_SIZE(own) == 0 && Py_REFCNT(own) == 1)
                    continue;
            }
            nb::object repointed = nb::steal(PyList_New(0));
            for_each(deps, [&](nb::handle dep) {
                const Place &place = place_of(dep);
                append(repointed, PyList_GET_ITEM(copies[place.list].ptr(), place.index));
            });
            if (native_action(copied))
                action_of(copied).dependency = repointed;
            else
                set_attr(copied, VEMO_NAME("dependency"), repointed);
        }
        if (after_list)
            after_list(m, copies);
        if (PyList_GET_SIZE(out.ptr()) == 0)
            raise(PyExc_IndexError, "list index out of range");
        nb::handle head = PyList_GET_ITEM(source.ptr(), 0);
        nb::object head_dep = native_action(head) ? field_or_none(action_of(head).script_dep)
                                                  : get_attr(head, VEMO_NAME("script_dep"));
        set_script_dep(PyList_GET_ITEM(out.ptr(), 0), head_dep);
    }
    for (const nb::object &out : copies)
        for (Py_ssize_t i = 1; i < PyList_GET_SIZE(out.ptr()); ++i)
            set_script_dep(PyList_GET_ITEM(out.ptr(), i), finish_signal_of(PyList_GET_ITEM(out.ptr(), i - 1)));
    return copies;
}

nb::object copy(nb::handle self) {
    nb::object source = snapshot(evaluate(self));
    auto copies = copy_action_lists({source}, [](nb::handle dep) {
        PyErr_Format(PyExc_ValueError, "%R is not in list", dep.ptr());
        throw nb::python_error();
    });
    nb::object copied_block = call((PyObject *) Py_TYPE(self.ptr()), field_or_none(block_of(self).id));
    call_method(copied_block, VEMO_NAME("add"), copies[0]);
    return copied_block;
}

nb::object evaluate(nb::handle self) { return evaluate_until(self, nullptr, nullptr); }

nb::object evaluate_until(nb::handle self, const BlockFilter &settled, nb::object *rest_out) {
    nb::object rest;
    std::vector<nb::object> chain = chain_of(self, block_base_type(), "evaluate", settled, &rest);
    if (rest_out)
        *rest_out = rest;
    nb::object tail; // what a competition met further down the chain evaluated to
    size_t count = chain.size();
    for (size_t i = 0; i < chain.size(); ++i) {
        nb::handle block = chain[i];
        if (flag(block, VEMO_NAME("isCompete"))) {
            tail = evaluate_competition(block);
            count = i;
            break;
        }
        nb::object sequence = field_or_none(block_of(block).action_seq);
        if (!is_resolved(sequence))
            raise_not_resolved();
        if (i + 1 < chain.size() || rest.is_valid()) {
            // The next block's first action starts only after this block's last action has finished.
            nb::object head = first(i + 1 < chain.size() ? nb::handle(chain[i + 1]) : nb::handle(rest));
            nb::object setter;
            if (!native_action(head) || overrides(head, "set_script_dep", ElementOps::get().set_script_dep))
                setter = get_attr(head, VEMO_NAME("set_script_dep"));
            nb::object signal = finish_signal_of(item(sequence, -1));
            if (setter.is_valid())
                call(setter, signal);
            else
                action_of(head).script_dep = signal;
        }
    }
    if (count == 0)
        return tail;
    if (count == 1 && !tail.is_valid())
        return field_or_none(block_of(self).action_seq);

    bool all_lists = true;
    for (size_t i = 0; i < count; ++i)
        all_lists &= PyList_Check(block_of(chain[i]).action_seq.ptr());
    if (all_lists && (!tail.is_valid() || PyList_Check(tail.ptr()))) {
        nb::object joined = nb::steal(PyList_New(0));
        auto extend = [&](nb::handle part) {
            Py_ssize_t end = PyList_GET_SIZE(joined.ptr());
            if (PyList_SetSlice(joined.ptr(), end, end, part.ptr()) != 0)
                throw nb::python_error();
        };
        for (size_t i = 0; i < count; ++i)
            extend(block_of(chain[i]).action_seq);
        if (tail.is_valid())
            extend(tail);
        return joined;
    }
    // Sequences of other kinds join as `+` joins them, from the end of the chain.
    nb::object joined = tail.is_valid() ? tail : field_or_none(block_of(chain[count - 1]).action_seq);
    for (size_t i = tail.is_valid() ? count : count - 1; i-- > 0;) {
        joined = nb::steal(PyNumber_Add(block_of(chain[i]).action_seq.ptr(), joined.ptr()));
        if (!joined.is_valid())
            throw nb::python_error();
    }
    return joined;
}

nb::object resolve_local(nb::handle self, nb::handle local_dep) {
    std::vector<nb::object> chain = chain_of(self, block_base_type(), "resolve_local");
    for (size_t i = 0;; ++i) {
        nb::handle block = chain[i];
        for_each(field_or_none(block_of(block).action_seq),
                 [&](nb::handle element) { resolve_element(element, local_dep); });
        bool current = is_resolved(field_or_none(block_of(block).action_seq));
        if (!current || i + 1 == chain.size())
            return nb::bool_(current);
    }
}

nb::object resolve_global(nb::handle self, nb::handle extern_declaration, const BlockFilter &settled,
                          const BlockFilter &reusable) {
    std::vector<nb::object> chain = chain_of(self, block_base_type(), "resolve_global", settled);
    for (size_t i = 0;; ++i) {
        nb::object current = resolve_own_global(chain[i], extern_declaration, reusable);
        if (!truthy(current) || i + 1 == chain.size())
            return current;
    }
}

bool is_resolved(nb::handle sequence) {
    if (PyList_Check(sequence.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence.ptr()); ++i)
            if (!is_action(PyList_GET_ITEM(sequence.ptr(), i)))
                return false;
        return true;
    }
    bool resolved = true;
    nb::object iterator = nb::steal(PyObject_GetIter(sequence.ptr()));
    if (!iterator.is_valid())
        throw nb::python_error();
    while (resolved) {
        nb::object next = nb::steal(PyIter_Next(iterator.ptr()));
        if (!next.is_valid())
            break;
        resolved = is_action(next);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return resolved;
}

bool is_module_consistent(nb::handle self, const BlockFilter &settled) {
    nb::object rest;
    nb::object actions = evaluate_until(self, settled, &rest);
    const Py_ssize_t count = length(actions);
    auto module_of = [](nb::handle element) {
        return native_action(element) ? field_or_none(action_of(element).module)
                                      : get_attr(element, VEMO_NAME("module"));
    };
    if (rest.is_valid() && count > 0) {
        // The settled rest shares one module; its first action must share this part's.
        nb::object rest_head = first(rest);
        if (!rest_head.is_none()) {
            int differs = PyObject_RichCompareBool(module_of(rest_head).ptr(),
                                                   module_of(item(actions, count - 1)).ptr(), Py_NE);
            if (differs < 0)
                throw nb::python_error();
            if (differs)
                return false;
        }
    }
    for (Py_ssize_t aidx = 1; aidx < count; ++aidx) {
        nb::object current = module_of(item(actions, aidx)), previous = module_of(item(actions, aidx - 1));
        int differs = PyObject_RichCompareBool(current.ptr(), previous.ptr(), Py_NE);
        if (differs < 0)
            throw nb::python_error();
        if (differs)
            return false;
    }
    return true;
}

nb::object first(nb::handle self) {
    nb::object sequence = field_or_none(fields(self).action_seq);
    if (length(sequence) == 0)
        return nb::none();
    return item(sequence, 0);
}

nb::object last(nb::handle self) {
    std::vector<nb::object> chain = chain_of(self, block_base_type(), "last");
    return item(field_or_none(block_of(chain.back()).action_seq), -1);
}

nb::object local_variables_map(nb::handle self) {
    std::vector<nb::object> chain = chain_of(self, block_base_type(), "get_local_variables_map");
    // Filled from the end of the chain, so that an earlier block's sequence replaces a later one's.
    nb::object frames = nb::steal(PyDict_New());
    for (size_t i = chain.size(); i-- > 0;) {
        const Block &block = block_of(chain[i]);
        nb::object id = field_or_none(block.id);
        if (!id.is_none() && PyDict_SetItem(frames.ptr(), id.ptr(), field_or_none(block.action_seq).ptr()) != 0)
            throw nb::python_error();
    }
    return frames;
}

} // namespace vemo
