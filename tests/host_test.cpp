// The reference host layer: word tree, list, string routines, log channels.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support.h"

namespace {

using WtreePtr = std::unique_ptr<wtree, void (*)(wtree *)>;

constexpr char kAlpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:";

WtreePtr tree_of(std::initializer_list<std::pair<const char *, int>> words, int nocase = 1)
{
    WtreePtr t(wtree_create(kAlpha, 38, nocase), wtree_destroy);
    for (auto [w, id] : words)
        EXPECT_EQ(wtree_add_word(t.get(), w, static_cast<int>(std::strlen(w)), id), 0) << w;
    return t;
}

// The word `text` is in the tree, or 0.
int find(const WtreePtr &t, const char *text)
{
    return wtree_find_word(t.get(), text, static_cast<int>(std::strlen(text)));
}

TEST(Wtree, ExactCaseBlindLookupAndRefusals)
{
    // Whole words in any case, prefixes, longer words and words cut by the
    // length are looked up through the compiler's keyword tree, all 27 words
    // (compile_messages_test.cpp). What it never asks: a character outside
    // the alphabet, and a prefix that ends in ':'.
    auto t = tree_of({{"IP", 21}, {"SD:1", 7}, {"TCP", 23}});
    for (const char *text : {"IP#", "SD:"})
        EXPECT_EQ(find(t, text), 0) << text;
    auto exact = tree_of({{"TCP", 23}}, 0);
    EXPECT_EQ(find(exact, "TCP"), 23);
    EXPECT_EQ(find(exact, "tcp"), 0) << "a case-sensitive tree keeps case";
    // Refused words and alphabets.
    EXPECT_LT(wtree_add_word(t.get(), "tcp", 3, 5), 0) << "same word in another case";
    EXPECT_LT(wtree_add_word(t.get(), "A-B", 3, 1), 0) << "character outside the alphabet";
    EXPECT_LT(wtree_add_word(t.get(), "UDP", 3, 0), 0) << "id 0 means no word";
    EXPECT_LT(wtree_add_word(t.get(), "", 0, 1), 0);
    EXPECT_EQ(find(t, "TCP"), 23);
    EXPECT_EQ(find(t, "UDP"), 0);
    EXPECT_EQ(wtree_create("ABA", 3, 1), nullptr);
    EXPECT_EQ(wtree_create(kAlpha, 0, 1), nullptr);
    EXPECT_EQ(wtree_create(nullptr, 3, 1), nullptr);
    wtree_destroy(nullptr);
}

std::vector<int> values(const llist &l)
{
    std::vector<int> out;
    for (llist_elem *e = l.head; e; e = e->next)
        out.push_back(*static_cast<int *>(e->data));
    return out;
}

llist_elem *push(llist &l, llist_elem *after, int v)
{
    llist_elem *e = llist_insert_a(&l, after, nullptr, sizeof(int));
    EXPECT_TRUE(e);
    *static_cast<int *>(e->data) = v;
    return e;
}

TEST(Llist, InsertClearAndBlocks)
{
    llist l{};
    llist_elem *a = push(l, nullptr, 1); // first into an empty list
    llist_elem *c = push(l, a, 3);       // after the tail
    push(l, a, 2);                       // in the middle
    push(l, nullptr, 0);                 // null "after" puts it first
    EXPECT_EQ(values(l), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(l.count, 4);
    EXPECT_TRUE(l.tail == c && !c->next && !l.head->prev);
    // Owned blocks are zero-filled, even where a released block had data;
    // caller data is carried, not freed.
    std::memset(llist_insert_a(&l, nullptr, nullptr, 128)->data, 0xAB, 128);
    llist_clear(&l);
    EXPECT_TRUE(!l.head && !l.tail && l.count == 0);
    llist_elem *owned = llist_insert_a(&l, nullptr, nullptr, 128);
    ASSERT_TRUE(owned);
    const std::array<unsigned char, 128> zero{};
    EXPECT_EQ(std::memcmp(owned->data, zero.data(), zero.size()), 0);
    int mine = 42;
    llist_elem *e = llist_insert_a(&l, nullptr, &mine, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->data, &mine);
    llist_clear(&l); // would be a bad free under the sanitizer if it freed &mine
    EXPECT_EQ(mine, 42);
}

TEST(Strings, Routines)
{
    for (const char *s : {"0", "80", "0123456789"})
        EXPECT_NE(isdecstr(s), 0) << '"' << s << '"';
    for (const char *s : {"", "-1", "+1", " 1", "1 ", "1a", "0x10", "1.5", (const char *)nullptr})
        EXPECT_EQ(isdecstr(s), 0) << '"' << (s ? s : "null") << '"';
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"  a b  ", "a b  ", "  a b"},
        {"\t\n x", "x", "\t\n x"},
        {"x \t\r\n", "x \t\r\n", "x"},
        {"   ", "", ""},
        {"", "", ""}};
    for (auto [in, left, right] : cases) {
        std::string l = in, r = in;
        EXPECT_STREQ(stripl(l.data(), 0), left) << '"' << in << '"';
        EXPECT_STREQ(stript(r.data(), 0), right) << '"' << in << '"';
    }
    // buf_hton: the low `count` bytes, most significant first, and nothing after them.
    const std::tuple<int64_t, int, std::vector<unsigned char>> hton[] = {
        {0x12345678, 2, {0x56, 0x78}},
        {0x00000C, 3, {0x00, 0x00, 0x0C}},
        {-1, 2, {0xFF, 0xFF}},
        {0x0102030405060708, 8, {1, 2, 3, 4, 5, 6, 7, 8}}};
    for (const auto &[value, count, bytes] : hton) {
        std::array<unsigned char, 9> out;
        out.fill(0xEE);
        EXPECT_EQ(buf_hton(value, out.data(), count), 0);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin())) << value;
        EXPECT_EQ(out[count], 0xEE) << "wrote past " << count << " bytes";
    }
    unsigned char b[2] = {};
    EXPECT_EQ(buf_hton(1, b, 0), -1);
    EXPECT_EQ(buf_hton(1, b, 9), -1);
}

TEST(Channels, SinkReceivesLinesAndCanBeRemoved)
{
    {
        zeriza_test::LogCapture cap;
        gnl_msglog("apply_atom: parm=%s, missing proto=%d.%d case", "F", 4, 17);
        dbgtrc(1, 0, "Failed to stat niflog (errno=%d) - assume full buffering", 9);
        ASSERT_EQ(cap.lines.size(), 2u);
        EXPECT_EQ(cap.lines[0], "apply_atom: parm=F, missing proto=4.17 case");
        EXPECT_EQ(cap.sources, (std::vector<int>{GNL_MSGLOG, GNL_DBGTRC}));
    }
    testing::internal::CaptureStderr();
    gnl_msglog("to stderr %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr 1\n");
}

} // namespace
