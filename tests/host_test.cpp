// The reference host layer: word tree, list, string routines, log channels.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support.h"
#include "zeriza_host.h"

namespace {

struct WtreeDeleter {
    void operator()(wtree *t) const { wtree_destroy(t); }
};
using WtreePtr = std::unique_ptr<wtree, WtreeDeleter>;

constexpr char kAlpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:";

WtreePtr tree_of(std::initializer_list<std::pair<const char *, int>> words, int nocase = 1)
{
    WtreePtr t(wtree_create(kAlpha, 38, nocase));
    for (auto [w, id] : words)
        EXPECT_EQ(wtree_add_word(t.get(), w, static_cast<int>(std::strlen(w)), id), 0) << w;
    return t;
}

int find(const WtreePtr &t, const char *text)
{
    return wtree_find_word(t.get(), text, static_cast<int>(std::strlen(text)));
}

TEST(Wtree, LookupIsExactAndCaseBlind)
{
    auto t = tree_of({{"IP", 21}, {"IPX", 25}, {"SD", 6}, {"SD:1", 7}, {"802.3", 16}});
    struct Case {
        const char *text;
        int id;
    } cases[] = {
        {"IP", 21},    {"ip", 21},  {"iP", 21},  {"IPX", 25},
        {"ipx", 25},   {"I", 0}, // a prefix of a word is not a word
        {"IPXX", 0},   {"SD:1", 7}, {"sd:1", 7}, {"SD:", 0},
        {"802.3", 16}, {"802", 0},  {"IP:6", 0}, // ':' belongs to the alphabet, so this is one word
        {"IP#", 0},                              // a character outside the alphabet never matches
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(find(t, c.text), c.id) << c.text;
}

TEST(Wtree, LengthLimitsTheComparedText)
{
    auto t = tree_of({{"TCP", 23}});
    EXPECT_EQ(wtree_find_word(t.get(), "TCP SD=80", 3), 23);
    EXPECT_EQ(wtree_find_word(t.get(), "TCPX", 3), 23);
    EXPECT_EQ(wtree_find_word(t.get(), "TCP", 2), 0);
}

TEST(Wtree, CaseSensitiveTreeKeepsCase)
{
    auto t = tree_of({{"TCP", 23}}, 0);
    EXPECT_EQ(find(t, "TCP"), 23);
    EXPECT_EQ(find(t, "tcp"), 0);
}

TEST(Wtree, AddRefusesBadWords)
{
    WtreePtr t(wtree_create(kAlpha, 38, 1));
    ASSERT_TRUE(t);
    EXPECT_EQ(wtree_add_word(t.get(), "TCP", 3, 23), 0);
    EXPECT_LT(wtree_add_word(t.get(), "tcp", 3, 5), 0) << "same word in another case";
    EXPECT_LT(wtree_add_word(t.get(), "A-B", 3, 1), 0) << "character outside the alphabet";
    EXPECT_LT(wtree_add_word(t.get(), "UDP", 3, 0), 0) << "id 0 means no word";
    EXPECT_LT(wtree_add_word(t.get(), "", 0, 1), 0);
    EXPECT_EQ(find(t, "TCP"), 23);
    EXPECT_EQ(find(t, "UDP"), 0);
}

TEST(Wtree, CreateRefusesBadAlphabets)
{
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

TEST(Llist, InsertAfterKeepsOrderHeadTailAndCount)
{
    llist l{};
    llist_elem *a = push(l, nullptr, 1); // first into an empty list
    llist_elem *c = push(l, a, 3);       // after the tail
    push(l, a, 2);                       // in the middle
    push(l, nullptr, 0);                 // null "after" puts it first
    EXPECT_EQ(values(l), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(l.count, 4);
    EXPECT_EQ(l.tail, c);
    EXPECT_EQ(l.tail->next, nullptr);
    EXPECT_EQ(l.head->prev, nullptr);
    llist_clear(&l);
    EXPECT_EQ(l.head, nullptr);
    EXPECT_EQ(l.tail, nullptr);
    EXPECT_EQ(l.count, 0);
}

TEST(Llist, OwnedBlocksAreZeroFilledAndAligned)
{
    llist l{};
    for (int i = 0; i < 3; ++i) {
        llist_elem *e = llist_insert_a(&l, l.tail, nullptr, 128);
        ASSERT_TRUE(e);
        std::array<unsigned char, 128> zero{};
        EXPECT_EQ(std::memcmp(e->data, zero.data(), zero.size()), 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(e->data) % alignof(std::max_align_t), 0u);
        std::memset(e->data, 0xAB, 128);
    }
    llist_clear(&l);
}

TEST(Llist, CallerDataIsCarriedNotFreed)
{
    int mine = 42;
    llist l{};
    llist_elem *e = llist_insert_a(&l, nullptr, &mine, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->data, &mine);
    llist_clear(&l); // would be a bad free under the sanitizer if it freed &mine
    EXPECT_EQ(mine, 42);
}

TEST(Llist, DescriptorMovedByCopying)
{
    llist from{};
    llist_elem *last = nullptr;
    for (int v : {7, 8, 9})
        last = push(from, last, v);
    llist moved = from; // what the optimiser does when it lifts a child's list
    from = llist{};
    push(moved, moved.tail, 10);
    EXPECT_EQ(values(moved), (std::vector<int>{7, 8, 9, 10}));
    llist copy = moved; // clearing through a copy releases the same elements
    llist_clear(&copy);
    EXPECT_EQ(copy.count, 0);
    EXPECT_EQ(from.count, 0);
}

TEST(Strings, Isdecstr)
{
    struct Case {
        const char *text;
        bool dec;
    } cases[] = {{"0", true},   {"80", true},    {"0123456789", true}, {"", false},
                 {"-1", false}, {"+1", false},   {" 1", false},        {"1 ", false},
                 {"1a", false}, {"0x10", false}, {"1.5", false}};
    for (const auto &c : cases)
        EXPECT_EQ(isdecstr(c.text) != 0, c.dec) << '"' << c.text << '"';
    EXPECT_EQ(isdecstr(nullptr), 0);
}

TEST(Strings, StripAndLower)
{
    struct Case {
        const char *in, *left, *right;
    } cases[] = {
        {"  a b  ", "a b  ", "  a b"},
        {"\t\n x", "x", "\t\n x"},
        {"x \t\r\n", "x \t\r\n", "x"},
        {"   ", "", ""},
        {"", "", ""},
        {"ab", "ab", "ab"},
    };
    for (const auto &c : cases) {
        std::string l = c.in, r = c.in;
        EXPECT_STREQ(stripl(l.data(), 0), c.left) << '"' << c.in << '"';
        EXPECT_STREQ(stript(r.data(), 0), c.right) << '"' << c.in << '"';
    }
    char mixed[] = "TeLnEt-80:X";
    EXPECT_STREQ(str2lcs(mixed), "telnet-80:x");
}

TEST(Strings, BufHton)
{
    struct Case {
        int64_t value;
        int count;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {0x0800, 2, {0x08, 0x00}},
        {80, 2, {0x00, 0x50}},
        {0x12345678, 2, {0x56, 0x78}}, // only the low bytes
        {16777215, 3, {0xFF, 0xFF, 0xFF}},
        {0x00000C, 3, {0x00, 0x00, 0x0C}},
        {-1, 2, {0xFF, 0xFF}},
        {0x0102030405060708, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto &c : cases) {
        std::array<unsigned char, 9> out{};
        out.fill(0xEE);
        EXPECT_EQ(buf_hton(c.value, out.data(), c.count), 0);
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), out.begin())) << c.value;
        EXPECT_EQ(out[c.count], 0xEE) << "wrote past " << c.count << " bytes";
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
        EXPECT_EQ(cap.sources[0], GNL_MSGLOG);
        EXPECT_EQ(cap.sources[1], GNL_DBGTRC);
    }
    testing::internal::CaptureStderr();
    gnl_msglog("to stderr %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr 1\n");
}

} // namespace
