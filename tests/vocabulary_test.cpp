// Keyword lookup, token rendering and the consistency of the keyword tables.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "pktfilt/vocabulary.h"

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

std::string with_case(std::string_view word, int mode)
{
    std::string s(word);
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (mode == 1 || (mode == 2 && i % 2))
            s[i] = static_cast<char>(std::tolower(c));
    }
    return s;
}

TEST_F(Keywords, EveryKeywordInAnyCaseIsItsToken)
{
    for (int tok = 1; tok <= kNumKeywords; ++tok)
        for (int mode : {0, 1, 2}) {
            std::string w = with_case(fktokmap[tok - 1], mode);
            EXPECT_EQ(lookup(w), tok) << w;
            EXPECT_EQ(lookup(w + "=80"), tok) << "a word ends where the alphabet ends";
            EXPECT_EQ(lookup(w + " x"), tok);
        }
}

TEST_F(Keywords, WordsThatAreNoKeyword)
{
    struct Case {
        const char *text;
        int span;
    } cases[] = {
        {"IP:6", 4},    {"SD:3", 4}, {"TCPX", 4}, {"T", 1},        {"802", 3},
        {"802.3.1", 7}, {"IPV6", 4}, {"", 0},     {"=1.2.3.4", 0}, {"(TCP)", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(keyword_span(c.text), c.span) << c.text;
        EXPECT_EQ(lookup(c.text), TOK_NONE) << c.text;
    }
    EXPECT_EQ(keyword_span("SRC=1.2.3.4"), 3);
    EXPECT_EQ(lookup("SRC=1.2.3.4"), TOK_SRC);
}

TEST_F(Keywords, RebuildingStartsAfresh)
{
    destroy_keywords();
    ASSERT_EQ(build_keywords(), 0);
    EXPECT_EQ(lookup("tcp"), TOK_TCP);
}

TEST(Tok2txt, RendersKeywordsAndUnknownTokens)
{
    struct Case {
        int32_t tok;
        const char *text;
    } cases[] = {{0, "<0>"},   {-1, "<-1>"}, {23, "TCP"},
                 {1, "LEN"},   {8, "SD:2"},  {16, "802.3"},
                 {27, "OSPF"}, {28, "<28>"}, {-2147483647 - 1, "<-2147483648>"}};
    for (const auto &c : cases)
        EXPECT_STREQ(tok2txt(c.tok), c.text) << c.tok;
}

TEST(Tables, ConflictsAreSymmetricAndNameRealParameters)
{
    for (const auto &row : parm_map)
        for (int32_t other : row.conflicts) {
            if (!other)
                break;
            const ParmRow *o = parm_row(other);
            ASSERT_NE(o, nullptr) << tok2txt(other);
            bool back = false;
            for (int32_t t : o->conflicts)
                back |= t == row.token;
            EXPECT_TRUE(back) << tok2txt(row.token) << " / " << tok2txt(other);
        }
}

TEST(Tables, AllowedListsHoldParametersWithRowsOrSd2)
{
    for (const auto &row : proto_map) {
        EXPECT_TRUE(is_protocol(row.token));
        bool ended = false;
        for (int32_t t : row.allowed) {
            if (!t) {
                ended = true;
                continue;
            }
            EXPECT_FALSE(ended) << "entries after the 0 that ends the list";
            EXPECT_TRUE(t == TOK_SD2 || parm_row(t)) << tok2txt(t);
            EXPECT_NE(t, TOK_LEN) << "LEN is allowed everywhere without a list entry";
        }
    }
}

TEST(Tables, EveryProtocolKeywordHasOneRow)
{
    for (int32_t tok = TOK_ETH; tok <= TOK_OSPF; ++tok)
        EXPECT_NE(proto_row(tok), nullptr) << tok2txt(tok);
    for (int32_t tok = TOK_LEN; tok <= TOK_F; ++tok)
        EXPECT_EQ(parm_row(tok) == nullptr, tok == TOK_SD2) << tok2txt(tok);
    EXPECT_EQ(proto_row(TOK_SRC), nullptr);
}

} // namespace
