// Flattening the rule tree into the compiled filter: one array of nodes in
// which a node finds its children by a relative index.
#include <cstring>

#include "pktfilt/compiler.h"

namespace zeriza {

int transform_trule(const trule *rule, filt_node *nodes, int index, int next_free)
{
    filt_node *node = &nodes[index];
    std::memcpy(node, rule, NIF_ATOM_SIZE);
    node->nkids = rule->kids.count;
    if (node->nkids == 0)
        return next_free;
    // A whole sibling block is reserved when the parent is written, so the
    // children of one node are contiguous.
    node->kid_off = next_free - index;
    int free_slot = next_free + node->nkids;
    int k = 0;
    for (const llist_elem *e = rule->kids.head; e; e = e->next, ++k)
        free_slot = transform_trule(kid_rule(e), nodes, index + node->kid_off + k, free_slot);
    return free_slot;
}

} // namespace zeriza
