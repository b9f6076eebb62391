// Keyword lookup, token rendering and the consistency of the keyword tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

#include "pktfilt/protocols.h"

namespace {

using namespace zeriza;

struct Keywords : testing::Test {
    void SetUp() override { ASSERT_EQ(build_keywords(), 0); }
    void TearDown() override { destroy_keywords(); }

    static int32_t lookup(const std::string &text)
    {
        return keyword_token(text.c_str(), keyword_span(text.c_str()));
    }
};

TEST_F(Keywords, EveryKeywordInAnyCaseIsItsToken)
{
    for (int tok = 1; tok <= kNumKeywords; ++tok)
        for (int mode : {0, 1, 2}) { // as written, lower case, every second letter lowered
            std::string w(fktokmap[tok - 1]);
            for (size_t i = 0; i < w.size(); ++i)
                if (mode == 1 || (mode == 2 && i % 2))
                    w[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(w[i])));
            EXPECT_EQ(lookup(w), tok) << w;
            EXPECT_EQ(lookup(w + "=80"), tok) << "a word ends where the alphabet ends";
            EXPECT_EQ(lookup(w + " x"), tok);
        }
}

TEST_F(Keywords, WordsThatAreNoKeyword)
{
    const std::pair<const char *, int> cases[] = {
        {"IP:6", 4},    {"SD:3", 4}, {"TCPX", 4}, {"T", 1},        {"802", 3},
        {"802.3.1", 7}, {"IPV6", 4}, {"", 0},     {"=1.2.3.4", 0}, {"(TCP)", 0}};
    for (auto [text, span] : cases) {
        EXPECT_EQ(keyword_span(text), span) << text;
        EXPECT_EQ(lookup(text), TOK_NONE) << text;
    }
    EXPECT_EQ(keyword_span("SRC=1.2.3.4"), 3);
    EXPECT_EQ(lookup("SRC=1.2.3.4"), TOK_SRC);
    // Rebuilding starts afresh.
    destroy_keywords();
    ASSERT_EQ(build_keywords(), 0);
    EXPECT_EQ(lookup("tcp"), TOK_TCP);
}

TEST(Tables, TokensRenderAndTheTablesAgree)
{
    const std::pair<int32_t, const char *> cases[] = {
        {0, "<0>"},   {-1, "<-1>"}, {23, "TCP"},
        {1, "LEN"},   {8, "SD:2"},  {16, "802.3"},
        {27, "OSPF"}, {28, "<28>"}, {-2147483647 - 1, "<-2147483648>"}};
    for (auto [tok, text] : cases)
        EXPECT_STREQ(tok2txt(tok), text) << tok;
    // Conflicts are symmetric and name real parameters.
    for (const auto &row : parm_map)
        for (int32_t other : row.conflicts) {
            if (!other)
                break;
            const ParmRow *o = parm_row(other);
            ASSERT_NE(o, nullptr) << tok2txt(other);
            EXPECT_NE(std::find(o->conflicts.begin(), o->conflicts.end(), row.token),
                      o->conflicts.end())
                << tok2txt(row.token) << " / " << tok2txt(other);
        }
    // Every protocol has one row; its allowed list holds parameters with rows, or SD:2.
    for (int32_t tok = TOK_ETH; tok <= TOK_OSPF; ++tok)
        EXPECT_NE(proto_row(tok), nullptr) << tok2txt(tok);
    for (int32_t tok = TOK_LEN; tok <= TOK_F; ++tok)
        EXPECT_EQ(parm_row(tok) == nullptr, tok == TOK_SD2) << tok2txt(tok);
    EXPECT_EQ(proto_row(TOK_SRC), nullptr);
    for (const auto &row : proto_map) {
        EXPECT_TRUE(is_protocol(row.token));
        bool ended = false;
        for (int32_t t : row.allowed) {
            EXPECT_FALSE(ended && t) << "entries after the 0 that ends the list";
            EXPECT_TRUE(!t || t == TOK_SD2 || parm_row(t)) << tok2txt(t);
            EXPECT_NE(t, TOK_LEN) << "LEN is allowed everywhere without a list entry";
            ended |= !t;
        }
    }
}

} // namespace
