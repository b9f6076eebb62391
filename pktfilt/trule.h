// The rule tree: the filter between its text and its compiled form.
#pragma once

#include <cstddef>

#include "zeriza.h"
#include "zeriza_host.h"

namespace zeriza {

// One rule: an atom (protocol and parameters, no children) or a group of
// bracketed subrules. The atom block is copied byte for byte into the first
// 104 bytes of the rule's compiled node.
struct trule {
    NIF_ATOM_BLOCK;
    llist kids; // each element carries one child trule as its owned block
};

static_assert(offsetof(trule, kids) == NIF_ATOM_SIZE, "atom block comes first");
static_assert(offsetof(trule, flags) == offsetof(filt_node, flags));
static_assert(offsetof(trule, src) == offsetof(filt_node, src));
static_assert(sizeof(void *) != 8 || sizeof(trule) == 128, "128 bytes on a 64-bit machine");

// The child rule carried by a list element.
inline trule *kid_rule(const llist_elem *e)
{
    return static_cast<trule *>(e->data);
}

// Release every descendant of `rule` and empty its list; `rule` itself stays.
void free_trules(trule *rule);

// Number of compiled nodes the tree under `rule` needs, `rule` included.
int count_trule_nodes(const trule *rule);

} // namespace zeriza
