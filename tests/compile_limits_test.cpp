// Hostile sizes of filter text: deep brackets, many siblings, values longer
// than the message buffer. The depth limit itself and its messages are
// checked with the other messages of the compiler.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/support.h"

namespace {

TEST(CompileLimits, HugeTextFailsCleanly)
{
    // Balanced or not, the compiler stops at the first bracket it refuses. A
    // value longer than the message buffer is quoted, and cut, as every quote is.
    const std::pair<std::string, const char *> cases[] = {
        {zeriza_test::nest(100000, "TCP"),
         "brackets nested too deeply (limit 64), at {((((((((((((((((((((...}"},
        {std::string(100000, '('), "Unterminated bracket, at {((((((((((((((((((((...}"},
        {std::string(100000, ')'), "invalid operator, ')', at {))))))))))))))))))))...}"},
        {"IP SRC=1.2.3.4 SRC=" + std::string(GNL_USRMSG_SIZE, 'y'),
         "Duplicate 'SRC' parameter [at {SRC=yyyyyyyyyyyyyyyyyyyy...}]"},
    };
    for (const auto &[text, message] : cases) {
        EXPECT_EQ(nif_filt_parse(text.c_str(), nullptr), nullptr);
        EXPECT_STREQ(gnl_usrmsg, message);
    }
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

} // namespace
