// Folding away the single-child groups that brackets make, so that the
// compiled filter never holds a node with exactly one child.
#include <cstring>

#include "pktfilt/compiler.h"

namespace zeriza {

void optimise_trule(trule *rule)
{
    // Children first: when a rule is looked at, its only child can no longer
    // have exactly one child itself, so one pass collapses a whole chain.
    for (llist_elem *e = rule->kids.head; e; e = e->next)
        optimise_trule(kid_rule(e));
    if (rule->kids.count != 1)
        return;

    llist absorbed = rule->kids;
    const trule *kid = kid_rule(absorbed.head);
    std::memcpy(rule, kid, offsetof(trule, flags)); // tok through parms_neg
    // The child's flags, its negation inverted when the rule was negated;
    // the rule's own OR bit means nothing with one child.
    rule->flags = (rule->flags & NIF_FLAG_NEGATE) ^ kid->flags;
    rule->kids = kid->kids; // the grandchildren now belong to the rule
    llist_clear(&absorbed); // frees the child's element and record only
}

} // namespace zeriza
