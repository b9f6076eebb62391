// nif_filt_check on filters corrupted by hand: each way a stored filter can
// make the matcher loop, recurse without end or leave the array is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support.h"

namespace {

using zeriza_test::compiled;

int check(const std::vector<filt_node> &v)
{
    return nif_filt_check(v.data(), static_cast<int>(v.size()) * NIF_NODE_SIZE);
}

// ((TCP) & (ARP)) | (UDP): [0] OR of [1..2], [1] AND of [3..4].
const char *const kTree = "((TCP) & (ARP)) | (UDP)";

TEST(FiltCheck, CorruptedTreesBadSizesAndTooManyLevelsAreRefused)
{
    // Each row sets one field of one node ('o' kid_off, 'k' nkids, 'f' flags;
    // node 5 is a copy of node 2 appended to the array), or checks the filter
    // with another size ('s').
    const std::tuple<size_t, char, int32_t, const char *> cases[] = {
        {1, 'o', 0, "Filter node 1 has its children at offset 0, they must follow it"},
        {1, 'o', -1, "Filter node 1 has its children at offset -1, they must follow it"},
        {1, 'o', 3, "Filter node 1 has children 4 to 5 outside the 5-node filter"},
        {0, 'o', 2147483647,
         "Filter node 0 has children 2147483647 to 2147483648 outside the 5-node filter"},
        {1, 'k', 1, "Filter node 1 has 1 children, a group needs at least 2"},
        {2, 'k', -3, "Filter node 2 has -3 children, a group needs at least 2"},
        {0, 'o', 2, "Filter node 1 is not reached from the root"},
        {0, 'k', 3, "Filter node 3 is reached more than once"},
        {3, 'f', 4, "Filter node 3 has unknown flag bits 0x4"},
        {5, 'f', 0, "Filter node 5 is not reached from the root"},
        {0, 's', 0, "Filter size 0 is not a positive multiple of 112 bytes"},
        {0, 's', -112, "Filter size -112 is not a positive multiple of 112 bytes"},
        {0, 's', 113, "Filter size 113 is not a positive multiple of 112 bytes"},
    };
    for (auto [node, field, value, message] : cases) {
        std::vector<filt_node> v = compiled(kTree);
        ASSERT_EQ(check(v), 0) << gnl_usrmsg;
        if (node == v.size())
            v.push_back(v[2]);
        if (field == 'f')
            v[node].flags = static_cast<uint32_t>(value);
        else if (field != 's')
            (field == 'o' ? v[node].kid_off : v[node].nkids) = value;
        EXPECT_EQ(field == 's' ? nif_filt_check(v.data(), value) : check(v), 1) << message;
        EXPECT_STREQ(gnl_usrmsg, message);
    }
    std::vector<filt_node> v = compiled(kTree);
    EXPECT_EQ(nif_filt_check(nullptr, 112), 1);
    std::vector<unsigned char> bytes(113 + 112);
    std::memcpy(bytes.data() + 1, v.data(), 112);
    EXPECT_EQ(nif_filt_check(bytes.data() + 1, 112), 1) << "misaligned nodes";
    // A chain of groups, each holding an atom and the next group: 65 levels
    // is what 64 brackets compile to, one more is refused.
    for (int levels : {65, 66}) {
        std::vector<filt_node> chain(static_cast<size_t>(2 * levels - 1));
        for (size_t i = 0; i < chain.size(); ++i)
            if (i % 2 == 0 && i + 1 < chain.size()) // group at 2g, children 2g+1, 2g+2
                chain[i].nkids = 2, chain[i].kid_off = 1, chain[i].flags = NIF_FLAG_OR;
            else
                chain[i].lyr = 4, chain[i].proto = 6;
        EXPECT_EQ(check(chain), levels > 65 ? 1 : 0) << levels << ": " << gnl_usrmsg;
        if (levels > 65) {
            EXPECT_STREQ(gnl_usrmsg, "Filter is more than 65 levels deep at node 128");
        }
    }
}

TEST(FiltCheck, WhatPassesCanBeMatchedSafely)
{
    // Random damage to the tree fields of compiled filters: whatever the check
    // lets through must be matched without leaving the array (the sanitizer
    // build sees any read outside it) and without recursing without end.
    const char *texts[] = {kTree, "(TCP SD=80) | (UDP SD=53) | (ARP)",
                           "((IP SRC=10.0.0.0/8) & ^(TCP F=S)) | ((LLC) & (SNAP ORG=0))"};
    const framegen::Bytes frame = zeriza_test::eth_ip(6).tcp(80, 80, framegen::SYN).bytes();
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    int accepted = 0;
    for (const char *text : texts) {
        std::vector<filt_node> good = compiled(text);
        for (int round = 0; round < 3000; ++round) {
            std::vector<filt_node> v = good;
            for (int k = 0; k < 2; ++k) {
                filt_node &n = v[next() % v.size()];
                int32_t delta = static_cast<int32_t>(next() % 7) - 3;
                uint32_t field = next() % 3;
                if (field == 2)
                    n.flags ^= 1u << (next() % 3);
                else
                    (field ? n.nkids : n.kid_off) += delta;
            }
            auto heap = std::make_unique<filt_node[]>(v.size()); // exactly the array
            std::copy(v.begin(), v.end(), heap.get());
            if (nif_filt_check(heap.get(), static_cast<int>(v.size()) * NIF_NODE_SIZE) != 0)
                continue;
            ++accepted;
            nif_filt_match(heap.get(), frame.data(), static_cast<int32_t>(frame.size()), 4, nullptr,
                           nullptr, nullptr, 1);
        }
    }
    EXPECT_GT(accepted, 100) << "the damage should leave some filters well formed";
}

} // namespace
