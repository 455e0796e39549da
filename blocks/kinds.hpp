/* blocks/kinds.hpp: the operations of the parallel block kinds (async and compete) */
#pragma once

#include "blocks/block.hpp"

namespace vemo {

struct StandardBlock : Block {};
struct RunExceptBlock : Block {};
struct AsyncBlock : Block {};
struct CompeteBlock : Block {};

/// One new StandardBlock per list of `action_list`, handed as one list to `cls`.
nb::object create_from_action_lists(nb::handle cls, nb::handle standard_type, nb::handle action_list);

/// Local resolution over all member blocks at once: a wait in one member may name a block of another.
nb::object resolve_members(nb::handle members);

/// Deep copies of the members' evaluated lists, re-pointing dependencies across members; the copies
/// become a new block of `self`'s own class. `report` prints the copies once each list is re-pointed.
nb::object copy_members(nb::handle self, nb::handle members, bool report);

/// `self.async_concat(blocks)`: each module's block absorbs the same module's block of each async block.
void async_concat(nb::handle self, nb::handle async_block_list);
/// `self.compete_concat(blocks)`: competitor i absorbs competitor i of each compete block.
void compete_concat(nb::handle self, nb::handle compete_block_list);

/// The blocks of the chain, this one first; each must be of `kind`, which provides `op`.
nb::object chain_list(nb::handle self, nb::handle kind, const char *op);

} // namespace vemo
