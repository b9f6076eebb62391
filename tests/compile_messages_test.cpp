// What the filter compiler tells its caller: the exact one-line message left
// in gnl_usrmsg for every way filter text can be refused, the bracket depth
// it accepts, and the host:port short form with its expansions and refusals;
// and the keyword tables and lookup that the parser and its messages use.
//
// Messages are part of the interface: capture programs show them to the
// operator as they are, and scripts around those programs match on them. So
// every expected message below is written out in full, quoting rules
// included: at most 20 characters of text, then "...".
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pktfilt/vocabulary.h"
#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using namespace zeriza;
using zeriza_test::nest;

// ---- keyword lookup and token rendering ----------------------------------------------------

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
}

TEST(Tokens, RenderAsKeywordsOrNumbers)
{
    const std::pair<int32_t, const char *> cases[] = {
        {0, "<0>"}, {1, "LEN"}, {27, "OSPF"}, {28, "<28>"}, {-2147483647 - 1, "<-2147483648>"}};
    for (auto [tok, text] : cases)
        EXPECT_STREQ(tok2txt(tok), text) << tok;
}

// ---- refusals ------------------------------------------------------------------------------

constexpr int kUntouched = -7777;

// Compiled after every refusal, this text must give the bytes it gave before
// any: a refused text may leave a half-built tree and half-converted values
// behind it (addresses, prefixes, ports, flags, ICMP names), and none of that
// may reach the next compilation.
const char *const kAfter = "((TCP) & (ARP)) | (UDP) | (ICMP TYPE=3 CODE=port) | "
                           "(IP SRC=10.1.2.3/12) | (ETH SRC=B) | (TCP SD=80 F=A)";

// Compile `text`. With a message, it must be refused with exactly that
// message, `size` left unwritten and nothing left behind; without, it must be
// accepted as `nodes` nodes that a reader of stored filters accepts too.
// Either way the caller's text must come back unchanged.
void expect_compile(const std::string &text, const char *message, int nodes = 0)
{
    static const std::vector<filt_node> before = zeriza_test::compiled(kAfter);
    SCOPED_TRACE("filter '" + text.substr(0, 60) + "'");
    std::string copy = text;
    std::strcpy(gnl_usrmsg, "stale message from an earlier call");
    int size = kUntouched;
    filt_node *f = nif_filt_parse(copy.c_str(), &size);
    EXPECT_STREQ(f ? nullptr : gnl_usrmsg, message);
    EXPECT_EQ(size, f ? nodes * NIF_NODE_SIZE : kUntouched);
    EXPECT_EQ(f ? nif_filt_check(f, size) : 0, 0) << gnl_usrmsg;
    EXPECT_EQ(copy, text) << "the caller's text was changed";
    nif_filt_free(f); // null after a refusal, which must be harmless
    const std::vector<filt_node> after = f ? before : zeriza_test::compiled(kAfter);
    EXPECT_TRUE(after.size() == before.size() &&
                std::memcmp(after.data(), before.data(), after.size() * NIF_NODE_SIZE) == 0)
        << "the refusal left something behind";
}

// Text longer than any buffer.
constexpr int kHuge = 100000;
const std::string kLongValue(2000, 'x'), kPastBuffer(GNL_USRMSG_SIZE, 'y');

// The message of an ICMP name, which shows the name whole, cut at the end of the message buffer.
std::string icmp_name(const char *what)
{
    const std::string m =
        std::string("Unrecognised ICMP ") + what + ", " + kLongValue + ", try using numeric code";
    return m.substr(0, GNL_USRMSG_SIZE - 1);
}

const std::pair<std::string, std::string> kRefusals[] = {
    // Grammar. Nothing to quote at the end of the text.
    {"(TCP) & ()", "rule terminated prematurely, at {...}"},
    // A complete rule can only be followed by '&', '|' or the end.
    {"(TCP)   udp SD=80", "misplaced start-of-rule, at {udp SD=80...}"},
    // Operands of a Boolean must be bracketed. The bracket count is looked at
    // before the word, so an unknown word gets the same message.
    {"(TCP) | FOO", "subrule not in parentheses, at {FOO...}"},
    {"^^TCP", "misplaced Negation, at {^TCP...}"},
    {"& (TCP)", "misplaced Boolean, '&', at {& (TCP)...}"},
    {"(TCP) | | (UDP)", "misplaced Boolean, '|', at {| (UDP)...}"},
    {"(TCP) & (UDP) & (ARP) | (IP)", "conflicting Boolean, '|', at {| (IP)...}"},
    // Inside a bracket the quote stops where the bracket closed.
    {"((TCP) | (UDP) & (ARP)) | (IP)", "conflicting Boolean, '&', at {& (ARP)...}"},
    {"((TCP) | (UDP) & (ARP)", "Unterminated bracket, at {((TCP) | (UDP) & (AR...}"},
    {"!TCP", "invalid operator, '!', at {!TCP...}"},
    // ':' and digits belong to keywords, so this is one unknown word.
    {"IP:6", "unrecognised keyword, at {IP:6...}"},
    // Exactly 20 characters are shown whole; a 21st is cut.
    {"FOOBARBAZQUUXFOOBARB", "unrecognised keyword, at {FOOBARBAZQUUXFOOBARB...}"},
    {"FOOBARBAZQUUXFOOBARBA", "unrecognised keyword, at {FOOBARBAZQUUXFOOBARB...}"},
    // After a protocol, everything up to the end is its parameter list.
    {"TCP & UDP", "unrecognised keyword, at {& UDP...}"},
    // No blank may stand between '^' and the parameter it negates.
    {"TCP ^ SRC=80", "unrecognised keyword, at { SRC=80...}"},
    // Named from the token, whatever the case; quoted from after the blanks.
    {"src = 1.2.3.4", "invalid protocol=SRC, at {= 1.2.3.4...}"},
    // The protocol follows the '#' directly; a name is quoted without what follows.
    {"IP# 6", "invalid protocol-id, after 'IP:' { 6...}"},
    {"IP#6x LEN=1", "Invalid IP protocol (6x...)"},
    {"^ tcp   junk", "parameters supplied for a negated rule, at {junk...}"},
    {"TCP SRC 80", "expected relop, got {80...}"},

    // Parameter checks; keywords are named from their tokens.
    {"udp f=S", "invalid param for protocol=UDP [at {F=S...}]"},
    // The numbered form has no protocol row: LEN only.
    {"IP#6 SRC=1.2.3.4", "invalid param for protocol=<-1> [at {SRC=1.2.3.4...}]"},
    // A protocol keyword where a parameter belongs.
    {"tcp ip = 5", "invalid param for protocol=TCP [at {IP=5...}]"},
    // The value is quoted from its start, not cut at its end.
    {"TCP SRC=80 DST=81 ETYPE=5 HLEN=5", "invalid param for protocol=TCP [at {ETYPE=5 HLEN=5...}]"},
    {"tcp src=80 Src = 81", "Duplicate 'SRC' parameter [at {SRC=81...}]"},
    // The duplicate check comes before the relop check.
    {"IP SRC=1.2.3.4 SRC<5.6.7.8", "Duplicate 'SRC' parameter [at {SRC<5.6.7.8...}]"},
    // SD:2 is checked as SRC, then as DST; the suffix still says SD:2.
    {"TCP SD:2=1 SD:2=2", "Duplicate 'SRC' parameter [at {SD:2=2...}]"},
    {"TCP DST=1 SD:2=2", "Duplicate 'DST' parameter [at {SD:2=2...}]"},
    // The earlier parameter is named first; with several earlier conflicts,
    // the first one on the later parameter's list wins.
    {"TCP DST=1 SRC=2 SD=3", "'SRC' and 'SD' in same rule [at {SD=3...}]"},
    {"UDP SD:1=1 DST=2", "'SD:1' and 'DST' in same rule [at {DST=2...}]"},
    {"IP SD=1.2.3.4 SD:1=5.6.7.8", "'SD' and 'SD:1' in same rule [at {SD:1=5.6.7.8...}]"},
    {"TCP SD=1 SD:2=2", "'SD' and 'SRC' in same rule [at {SD:2=2...}]"},
    // Every parameter but the lengths and addresses takes '=' only.
    {"TCP F<S", "'=' is only valid relop for 'F' parameters [at {F<S...}]"},
    {"ETH ETYPE>2048", "'=' is only valid relop for 'ETYPE' parameters [at {ETYPE>2048...}]"},
    {"ICMP TYPE<3", "'=' is only valid relop for 'TYPE' parameters [at {TYPE<3...}]"},
    {"ICMP TYPE=3 code>1", "'=' is only valid relop for 'CODE' parameters [at {CODE>1...}]"},
    {"LLC C>3", "'=' is only valid relop for 'C' parameters [at {C>3...}]"},
    {"SNAP ORG<5", "'=' is only valid relop for 'ORG' parameters [at {ORG<5...}]"},
    // Addresses of ETH, 802.3, LLC and IP compare for equality only.
    {"ip dst > 1.2.3.4", "'=' is only valid relop for IP 'DST' parameter [at {DST>1.2.3.4...}]"},
    {"IP SD:2<10.0.0.0/8",
     "'=' is only valid relop for IP 'SRC' parameter [at {SD:2<10.0.0.0/8...}]"},
    {"ETH SRC<B", "'=' is only valid relop for ETH 'SRC' parameter [at {SRC<B...}]"},
    {"802.3 SD>M", "'=' is only valid relop for 802.3 'SD' parameter [at {SD>M...}]"},
    {"LLC SD:1>5", "'=' is only valid relop for LLC 'SD:1' parameter [at {SD:1>5...}]"},

    // Values. Lengths are quoted from the value's start, running on past its end.
    {"IP LEN=1x HLEN=5", "expected numeric parameter, at {1x HLEN=5...}"},
    // Addresses quote the value alone.
    {"ETH SRC=zz HLEN=5", "Invalid/unknown ethernet address [zz...]"},
    {"LLC SRC=256", "LLC Address must be numeric, in range 0-255"},
    // Too big for 32 bits: must not wrap round into range.
    {"LLC SD=4294967296", "LLC Address must be numeric, in range 0-255"},
    {"IP SRC=10.0.0.0/0", "IP Address mask must be numeric, in range 1-32 {0...}"},
    {"IP SRC=10.0.0.0/33", "IP Address mask must be numeric, in range 1-32 {33...}"},
    // Neither dotted nor a host name; the prefix is cut off the quote.
    {"IP DST=256.1.1.1/8 HLEN=5", "Invalid/unknown host/network spec [256.1.1.1...]"},
    // telnet is a TCP service only; a name is lowered before the lookup.
    {"UDP DST=telnet", "Invalid udp protocol (telnet...)"},
    {"UDP SD:2=NoSuchSvc", "Invalid udp protocol (nosuchsvc...)"},
    {"TCP SD=abcdefghijklmnopqrstuvwxyz", "Invalid tcp protocol (abcdefghijklmnopqrst...)"},
    {"ETH ETYPE=65536", "Eth-Type must be numeric, in range 0-65535"},
    {"LLC C=256", "LLC Control must be numeric, in range 0-255"},
    {"SNAP ORG=16777216", "SNAP Org must be numeric, in range 0-16777215"},
    // ICMP names are shown whole and as written.
    {"ICMP TYPE=Echoes HLEN=8", "Unrecognised ICMP type, Echoes, try using numeric code"},
    // A code needs a non-zero type before it; the quote is what follows the value.
    {"ICMP CODE=3 TYPE=3", "ICMP code must be qualified by type { TYPE=3...}"},
    {"ICMP TYPE=echorep CODE=0", "ICMP code must be qualified by type {...}"},
    // Code names belong to their type.
    {"ICMP TYPE=5 CODE=port", "Unrecognised ICMP code, port, try using numeric code"},
    {"ICMP TYPE=unreach CODE=Needfragment DLEN=5",
     "Unrecognised ICMP code, Needfragment, try using numeric code"},
    {"TCP F=^^S", "duplicate negation, at {^S...}"},
    // The quote is what follows the whole value.
    {"TCP F=S^ DST=80", "dangling negation in 'F' param, at { DST=80...}"},
    {"IP F=*", "unrecognised IP flag, at {*...}"},
    {"TCP F=S^A1", "unrecognised TCP flag, at {1...}"},
    {"TCP F=*S", "'*' must be last TCP flag {*S...}"},
    // One flag of the same sign before '*' is allowed; two are not.
    {"TCP F=AS*", "Meaningless to combine positive individual TCP flags with '*', {*...}"},
    {"TCP F=^A^S^*", "Meaningless to combine negative individual TCP flags with '^*', {*...}"},
    // The letter is shown upper-cased, then what follows the whole value.
    {"TCP F=s^s", "TCP flag, 'S', specified twice {...}"},
    {"TCP F=^AA DST=80", "TCP flag, 'A', specified twice { DST=80...}"},
    {"TCP F=SS^A DST=80", "Duplicate TCP flag, 'S', at { DST=80...}"},
    // Inside a bracket, what follows the value ends where the bracket closed.
    {"(TCP F=SS) | (IP SRC=10.1.2.3/12)", "Duplicate TCP flag, 'S', at {...}"},

    // Texts longer than the message buffer: the compiler stops at the first
    // bracket it refuses, and quotes, cut, as every quote is.
    {std::string(kHuge, '('), "Unterminated bracket, at {((((((((((((((((((((...}"},
    {std::string(kHuge, ')'), "invalid operator, ')', at {))))))))))))))))))))...}"},
    {"IP SRC=1.2.3.4 SRC=" + kPastBuffer,
     "Duplicate 'SRC' parameter [at {SRC=yyyyyyyyyyyyyyyyyyyy...}]"},
    // These two messages show the whole value: they must be cut at the end
    // of the message buffer, not written past it.
    {"ICMP TYPE=" + kLongValue, icmp_name("type")},
    {"ICMP TYPE=3 CODE=" + kLongValue + " HLEN=5", icmp_name("code")},
};

TEST(CompileMessages, Refusals)
{
    for (const auto &[text, message] : kRefusals)
        expect_compile(text, message.c_str());
}

TEST(CompileMessages, BracketDepthLimit)
{
    // The inner rule is longer than the quote, so the quote is the same
    // whether or not the closing bracket has been cut off yet.
    const std::string rule = "TCP SD=80 HLEN=20 DLEN=30";
    const char *too_deep = "brackets nested too deeply (limit 64), at {(TCP SD=80 HLEN=20 D...}";
    // 64 brackets, plain or negated, compile to the bytes of the bare rule
    // (CompiledTrees.SameBytesAsSimplerText). Depth is counted along one path,
    // not over the whole filter.
    expect_compile("(" + nest(63, "TCP") + ") | (" + nest(63, "UDP") + ")", nullptr, 3);
    expect_compile(nest(32, nest(32, rule) + " & " + nest(32, rule)), nullptr, 3);
    expect_compile(nest(65, rule), too_deep);
    // The quote starts at the 65th '(', not at the innermost one; so deep a
    // text fails before it is parsed any deeper.
    expect_compile(nest(kHuge, rule),
                   "brackets nested too deeply (limit 64), at {((((((((((((((((((((...}");
}

// ---- short form ----------------------------------------------------------------

// Expand `input`, which must give `output`, or be refused with `message` when
// that is not null; the caller's text must stay unchanged either way.
void expect_short(const std::string &input, const std::string &output, const char *message)
{
    SCOPED_TRACE("short form '" + input.substr(0, 40) + "'");
    std::string copy = input;
    std::strcpy(gnl_usrmsg, "stale message from an earlier call");
    const char *out = nif_filt_short(copy.c_str());
    EXPECT_EQ(copy, input) << "the caller's text was changed";
    EXPECT_EQ(out ? out : "", output);
    EXPECT_STREQ(out ? nullptr : gnl_usrmsg, message);
}

TEST(ShortForm, Expansions)
{
    // On this machine's services database, 'domain' is a TCP and a UDP
    // service, 'telnet' TCP only and 'tftp' UDP only. The expansion compiles to `nodes` nodes, when
    // not 0 ('gate' is a host name that need not resolve); -1: refused with this message.
    const char *null_expr = "filter-spec evaluated to a null expression";
    const char *too_long = "filter-spec too long (expansion exceeds 1024 characters)";
    const std::string h1016(1016, 'h'), h984(984, 'h');
    const struct {
        std::string input, output;
        int nodes;
    } cases[] = {
        {"10.1.1.1:80", "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)", 5},
        {"gate:", "(IP SD=gate)", 0},
        // Blanks around the ':' go, and blanks after it before the port.
        {"!10.1.1.1 : telnet", "((TCP SD=telnet)) & ^(IP SD=10.1.1.1)", 3},
        {":!80", "^((TCP SD=80) | (UDP SD=80))", 3},
        // A service name is lowered; the host keeps its case.
        {"GaTe:TELNET", "((TCP SD=telnet)) & (IP SD=GaTe)", 0},
        {":tftp", "((UDP SD=tftp))", 1},
        {"!10.1.1.1:!domain", "^((TCP SD=domain) | (UDP SD=domain)) & ^(IP SD=10.1.1.1)", 5},
        // Without a ':' the host is taken as it is, blanks and all.
        {" 10.1.1.1 ", "(IP SD= 10.1.1.1 )", 1},
        {"", null_expr, -1},
        {" : ", null_expr, -1},
        {"gate:NoSuch", "Unknown TCP/UDP service, 'nosuch'", -1},
        // Split at the first ':' only.
        {"gate:80:x", "Unknown TCP/UDP service, '80:x'", -1},
        // Blanks after '!' stay, so this is no number.
        {"gate:! 80", "Unknown TCP/UDP service, ' 80'", -1},
        // The output holds 1024 characters. Each of these expands to exactly
        // 1024, and one character more is too long; the longest form has 36
        // characters, the port twice, and the host.
        {h1016, "(IP SD=" + h1016 + ")", 0},
        {h1016 + "h", too_long, -1},
        {"!" + h984 + ":!80", "^((TCP SD=80) | (UDP SD=80)) & ^(IP SD=" + h984 + ")", 0},
        {"!" + h984 + "h:!80", too_long, -1},
    };
    for (const auto &c : cases) {
        expect_short(c.input, c.nodes < 0 ? "" : c.output,
                     c.nodes < 0 ? c.output.c_str() : nullptr);
        if (c.nodes > 0)
            expect_compile(c.output, nullptr, c.nodes);
    }
}

} // namespace
