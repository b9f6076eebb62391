// Rule trees built by hand: node counts and release.
#include <gtest/gtest.h>

#include <cstdlib>

#include "pktfilt/trule.h"

namespace {

using zeriza::count_trule_nodes;
using zeriza::free_trules;
using zeriza::trule;

trule *add_kid(trule *parent, int32_t tok = 0)
{
    llist_elem *e = llist_insert_a(&parent->kids, parent->kids.tail, nullptr, sizeof(trule));
    EXPECT_TRUE(e);
    trule *kid = zeriza::kid_rule(e);
    kid->tok = tok;
    return kid;
}

// Owns a hand-built root the way the compiler does: free_trules, then free.
struct Root {
    trule *r = static_cast<trule *>(std::calloc(1, sizeof(trule)));
    ~Root() { free_trules(r), std::free(r); }
};

TEST(Trule, EveryRecordIsCountedAndReleased)
{
    Root atom;
    atom.r->tok = 23;
    EXPECT_EQ(count_trule_nodes(atom.r), 1);
    free_trules(atom.r); // an empty list stays empty
    EXPECT_EQ(atom.r->kids.count, 0);
    for (int n = 2; n <= 5; ++n) {
        Root group;
        for (int i = 0; i < n; ++i)
            add_kid(group.r, 23);
        EXPECT_EQ(count_trule_nodes(group.r), n + 1);
    }
    // ((((TCP)))) before optimisation: root, three inner groups, the atom.
    Root chain;
    add_kid(add_kid(add_kid(add_kid(chain.r))), 23);
    EXPECT_EQ(count_trule_nodes(chain.r), 5);
    // ((TCP) & (ARP)) | (UDP) | ((IP) & (ICMP) & (IGMP))
    Root root;
    trule *a = add_kid(root.r);
    add_kid(a, 23), add_kid(a, 19), add_kid(root.r, 24);
    trule *b = add_kid(root.r);
    for (int32_t tok : {21, 22, 26})
        add_kid(b, tok);
    EXPECT_EQ(root.r->kids.count, 3);
    EXPECT_EQ(count_trule_nodes(root.r), 1 + 3 + 2 + 3);
    EXPECT_EQ(count_trule_nodes(b), 4);
    free_trules(root.r);
    EXPECT_EQ(root.r->kids.count, 0);
    EXPECT_EQ(root.r->kids.head, nullptr);
}

} // namespace
