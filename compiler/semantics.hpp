/* compiler/semantics.hpp: the semantic actions that turn a script's parse nodes into actions and blocks */
#pragma once

#include <nanobind/nanobind.h>

namespace vemo {

namespace nb = nanobind;

/// The state of one VemoSemantics: the script's declarations by name, and what the block rule returned.
/// A parser reduces the following block first, so a block rule meets a chain whose rest an earlier rule
/// built. A standard block it returned (`settled`) is resolved and checked with the rest of its chain: the
/// later rule resolves and checks only its own part. An async or compete block it returned in place of a
/// reference to a declared one (`fresh`) is a copy that nothing else holds: a later rule that folds it
/// into its own copy takes it as it is instead of copying it again. Chains of n blocks so compile in time
/// linear in n.
struct Semantics {
    nb::object global_zone;
    nb::object settled;
    nb::object fresh;
};

/// The names scripts may use as module kinds, and the block kinds the rules build, fixed at load.
struct Namespace {
    nb::object names;                       // dict: public name -> object, later modules replacing earlier
    nb::object standard, run_except, async, compete;
};

/// Reads one field of a parse node: any mapping with `get`, a missing field reading as None.
nb::object field(nb::handle node, nb::handle name);
/// Whether the node's set of field names holds `name`.
bool has_field(nb::handle node, nb::handle name);

// Term rules: each receives the matched token text.
nb::object number(nb::handle text);
nb::object identifier(nb::handle text);
nb::object extern_str(nb::handle text);
nb::object module(const Namespace &ns, nb::handle text);

// Action rules.
nb::object io(nb::handle node);
nb::object move(nb::handle node);
nb::object transfer(nb::handle node);
nb::object external(nb::handle node);

// Block rules.
nb::object block(Semantics &self, const Namespace &ns, nb::handle node);
nb::object loop(const Namespace &ns, nb::handle node);
nb::object actionclause(const Namespace &ns, nb::handle node);
nb::object asyncblock(const Namespace &ns, nb::handle node);
nb::object competeblock(const Namespace &ns, nb::handle node);

// Declarations and the program.
nb::object declaration(Semantics &self, nb::handle node);
nb::object action(Semantics &self, nb::handle node);

} // namespace vemo
