// nif_filt_check on filters corrupted by hand: each way a stored filter can
// make the matcher loop, recurse without end or leave the array is refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

std::vector<filt_node> compiled(const std::string &text)
{
    int size = 0;
    filt_node *f = nif_filt_parse(text.c_str(), &size);
    EXPECT_NE(f, nullptr) << text << ": " << gnl_usrmsg;
    std::vector<filt_node> v;
    if (f)
        v.assign(f, f + size / NIF_NODE_SIZE);
    nif_filt_free(f);
    return v;
}

int check(const std::vector<filt_node> &v)
{
    return nif_filt_check(v.data(), static_cast<int>(v.size()) * NIF_NODE_SIZE);
}

// ((TCP) & (ARP)) | (UDP): [0] OR of [1..2], [1] AND of [3..4].
const char *const kTree = "((TCP) & (ARP)) | (UDP)";

TEST(FiltCheck, CorruptedTreesAreRefused)
{
    struct Case {
        const char *what;
        std::function<void(std::vector<filt_node> &)> corrupt;
        const char *message;
    } cases[] = {
        {"self child", [](auto &v) { v[1].kid_off = 0; },
         "Filter node 1 has its children at offset 0, they must follow it"},
        {"child before parent", [](auto &v) { v[1].kid_off = -1; },
         "Filter node 1 has its children at offset -1, they must follow it"},
        {"children past the end", [](auto &v) { v[1].kid_off = 3; },
         "Filter node 1 has children 4 to 5 outside the 5-node filter"},
        {"far past the end", [](auto &v) { v[0].kid_off = 2147483647; },
         "Filter node 0 has children 2147483647 to 2147483648 outside the 5-node filter"},
        {"one child", [](auto &v) { v[1].nkids = 1; },
         "Filter node 1 has 1 children, a group needs at least 2"},
        {"negative count", [](auto &v) { v[2].nkids = -3; },
         "Filter node 2 has -3 children, a group needs at least 2"},
        {"skipped node",
         [](auto &v) {
             v[0].kid_off = 2;
             v[0].nkids = 2;
         },
         "Filter node 1 is not reached from the root"},
        {"shared child", [](auto &v) { v[0].nkids = 3; },
         "Filter node 3 is reached more than once"},
        {"unknown flag", [](auto &v) { v[3].flags = 4; },
         "Filter node 3 has unknown flag bits 0x4"},
        {"unreached tail", [](auto &v) { v.push_back(v[2]); },
         "Filter node 5 is not reached from the root"},
    };
    for (const auto &c : cases) {
        std::vector<filt_node> v = compiled(kTree);
        ASSERT_EQ(check(v), 0) << gnl_usrmsg;
        c.corrupt(v);
        EXPECT_EQ(check(v), 1) << c.what;
        EXPECT_STREQ(gnl_usrmsg, c.message) << c.what;
    }
}

TEST(FiltCheck, BadSizesAndPointers)
{
    std::vector<filt_node> v = compiled("(TCP) | (UDP)");
    struct Case {
        int size;
        const char *message;
    } cases[] = {
        {0, "Filter size 0 is not a positive multiple of 112 bytes"},
        {-112, "Filter size -112 is not a positive multiple of 112 bytes"},
        {113, "Filter size 113 is not a positive multiple of 112 bytes"},
        {335, "Filter size 335 is not a positive multiple of 112 bytes"},
        {224, "Filter node 0 has children 1 to 2 outside the 2-node filter"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(nif_filt_check(v.data(), c.size), 1) << c.size;
        EXPECT_STREQ(gnl_usrmsg, c.message) << c.size;
    }
    EXPECT_EQ(nif_filt_check(nullptr, 112), 1);
    std::vector<unsigned char> bytes(113 + 112);
    std::memcpy(bytes.data() + 1, v.data(), 112);
    EXPECT_EQ(nif_filt_check(bytes.data() + 1, 112), 1) << "misaligned nodes";
}

TEST(FiltCheck, DepthLimit)
{
    // A chain of groups, each holding an atom and the next group: 65 levels
    // is what 64 brackets compile to, one more is refused.
    for (int levels : {2, 64, 65, 66, 200}) {
        std::vector<filt_node> v(static_cast<size_t>(2 * levels - 1));
        for (size_t i = 0; i < v.size(); ++i) {
            if (i % 2 == 0 && i + 1 < v.size()) { // group at 2g, children 2g+1, 2g+2
                v[i].nkids = 2;
                v[i].kid_off = 1;
                v[i].flags = NIF_FLAG_OR;
            } else {
                v[i].lyr = 4;
                v[i].proto = 6;
            }
        }
        EXPECT_EQ(check(v), levels > 65 ? 1 : 0) << levels << ": " << gnl_usrmsg;
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
    std::vector<unsigned char> frame = {
        0, 1, 2,  3, 4, 5, 6,  7, 8, 9, 10, 11, 0x08, 0x00, 0x45, 0, 0, 40, 0, 0, 0, 0, 64,   6,
        0, 0, 10, 0, 0, 1, 10, 0, 0, 2, 0,  80, 0,    80,   0,    0, 0, 0,  0, 0, 0, 0, 0x50, 2};
    frame.resize(54);
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
                switch (next() % 3) {
                case 0:
                    n.kid_off += delta;
                    break;
                case 1:
                    n.nkids += delta;
                    break;
                default:
                    n.flags ^= 1u << (next() % 3);
                    break;
                }
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
