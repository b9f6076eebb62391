#include "pktfilt/trule.h"

namespace zeriza {

void free_trules(trule *rule)
{
    // Post-order: each child's own descendants go first, then llist_clear
    // frees the children together with their list elements.
    for (llist_elem *e = rule->kids.head; e; e = e->next)
        free_trules(kid_rule(e));
    llist_clear(&rule->kids);
}

int count_trule_nodes(const trule *rule)
{
    // The stored count for the direct children, as the flattener reserves
    // slots by it; the walk for the levels below.
    int n = rule->kids.count + 1;
    for (const llist_elem *e = rule->kids.head; e; e = e->next)
        n += count_trule_nodes(kid_rule(e)) - 1;
    return n;
}

} // namespace zeriza
