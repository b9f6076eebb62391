// Hostile sizes of filter text: deep brackets, many siblings, messages that
// quote long caller text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

std::string nested(int levels, const std::string &inner = "TCP")
{
    return zeriza_test::nest(levels, inner);
}

TEST(CompileLimits, DeepBracketsFailCleanly)
{
    // The 65th '(' is the one refused, and the message quotes from it, up to
    // the end of the bracket that holds it.
    const char *deep = "brackets nested too deeply (limit 64), at {((((((((((((((((((((...}";
    struct Case {
        int levels;
        const char *msg; // null: accepted
    } cases[] = {{1, nullptr},  {63, nullptr},
                 {64, nullptr}, {65, "brackets nested too deeply (limit 64), at {(TCP)...}"},
                 {1000, deep},  {100000, deep}};
    for (const auto &c : cases) {
        int size = 0;
        filt_node *f = nif_filt_parse(nested(c.levels).c_str(), &size);
        EXPECT_EQ(f == nullptr, c.msg != nullptr) << c.levels;
        if (f) {
            EXPECT_EQ(size, NIF_NODE_SIZE) << "every single-child level folds away";
            EXPECT_EQ(f->tok, 23);
        } else {
            EXPECT_STREQ(gnl_usrmsg, c.msg) << c.levels;
        }
        nif_filt_free(f);
    }
    std::string two = nested(64, "(UDP) | (TCP)");
    EXPECT_EQ(nif_filt_parse(two.c_str(), nullptr), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "brackets nested too deeply (limit 64), at {(UDP) | (TCP)...}");
}

TEST(CompileLimits, UnbalancedDeepBracketsAreUnterminated)
{
    std::string text(100000, '(');
    EXPECT_EQ(nif_filt_parse(text.c_str(), nullptr), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "Unterminated bracket, at {((((((((((((((((((((...}");
    text = std::string(100000, ')');
    EXPECT_EQ(nif_filt_parse(text.c_str(), nullptr), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "invalid operator, ')', at {))))))))))))))))))))...}");
}

TEST(CompileLimits, WideFiltersCompile)
{
    // Wide is fine: only depth is bounded.
    const int n = 20000;
    std::string text = "(TCP SD=80)";
    for (int i = 1; i < n; ++i)
        text += " | (UDP SD=" + std::to_string(i % 65536) + ")";
    int size = 0;
    filt_node *f = nif_filt_parse(text.c_str(), &size);
    ASSERT_NE(f, nullptr) << gnl_usrmsg;
    ASSERT_EQ(size, (n + 1) * NIF_NODE_SIZE);
    EXPECT_EQ(f[0].nkids, n);
    EXPECT_EQ(f[0].kid_off, 1);
    EXPECT_EQ(f[n].dst[0] * 256 + f[n].dst[1], (n - 1) % 65536);
    nif_filt_free(f);
}

TEST(CompileLimits, LongQuotedTextIsCutToTheBuffer)
{
    // Messages that quote a value whole are cut at the buffer's end.
    std::string name(5000, 'x');
    std::string text = "ICMP TYPE=" + name;
    gnl_usrmsg[GNL_USRMSG_SIZE - 1] = 'Z';
    EXPECT_EQ(nif_filt_parse(text.c_str(), nullptr), nullptr);
    EXPECT_EQ(std::strlen(gnl_usrmsg), static_cast<size_t>(GNL_USRMSG_SIZE - 1));
    EXPECT_EQ(std::string(gnl_usrmsg).rfind("Unrecognised ICMP type, xxx", 0), 0u);

    // The parameter suffix is appended within the same bound.
    std::string prefix(GNL_USRMSG_SIZE, 'y');
    text = "IP SRC=1.2.3.4 SRC=" + prefix;
    EXPECT_EQ(nif_filt_parse(text.c_str(), nullptr), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "Duplicate 'SRC' parameter [at {SRC=yyyyyyyyyyyyyyyyyyyy...}]");
}

} // namespace
