// What the matching rules mean, pinned case by case: which header an atom
// tests, address and prefix tests, port operators, fragment and TCP flag
// tests, LLC and SNAP, lengths, what a frame cut short fails, the log line of
// a parameter its protocol cannot have, and where AND and OR stop. Every
// verdict is asked of both engines (tests/engines_test.cpp compares them on
// far more frames, but agreeing engines can still agree on a wrong answer).
// At the end, the filter rows of tests/dissect.h run over every generated
// frame against a hand dissection.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "tests/dissect.h"
#include "tests/engines.h"
#include "tests/support.h"

namespace {

using namespace framegen;
using namespace zeriza_test;

constexpr int32_t kWhole = INT_MIN; // a length that stands for the whole frame

// Lines each engine logged in the last verdict(): nif_filt_match, then the reference.
std::vector<std::string> g_logged[2];

// The verdict of both engines on the first `len` bytes of `frame`; -2 when
// they differ, in verdict or in the lines they log. Whatever the verdict,
// nif_filt_match must name the frame's outermost header as nif_proto_id does.
int verdict(const std::vector<filt_node> &f, const Bytes &frame, int32_t len = kWhole,
            int32_t link = NIF_LINK_ETHER, uint32_t opts = NIF_OPT_LINKHDR)
{
    Bytes b = frame;
    b.resize(std::max<size_t>(b.size(), 16)); // what callers promise to have readable
    len = len == kWhole ? static_cast<int32_t>(frame.size()) : len;
    int32_t out[3] = {-9, -9, -9}, want[3];
    want[1] = nif_proto_id(link, b.data(), &want[0], &want[2], opts);
    if (f.empty())
        return -1;
    int v[2];
    for (int e : {0, 1}) {
        LogCapture cap;
        v[e] = e ? zeriza::reference_match(f.data(), b.data(), len, link, nullptr, nullptr, nullptr,
                                           opts)
                 : nif_filt_match(f.data(), b.data(), len, link, &out[0], &out[1], &out[2], opts);
        g_logged[e] = cap.lines;
    }
    EXPECT_EQ(std::vector(out, out + 3), std::vector(want, want + 3)) << "out-values";
    return v[0] == v[1] && g_logged[0] == g_logged[1] ? v[0] : -2;
}

Bytes tcp(uint16_t sport, uint16_t dport, uint8_t flags = ACK, const Ip4 &src = kA,
          const Ip4 &dst = kB)
{
    return Frame().eth(mac(1), mac(2), 0x0800).ipv4(src, dst, 6).tcp(sport, dport, flags).bytes();
}

Bytes llc(uint8_t dsap, uint8_t ssap)
{
    return Frame().ieee8023(mac(1), mac(2)).llc(dsap, ssap).fill(20).bytes();
}

// Every filter of `pass` passes the frame, none of `fail` does.
struct Case {
    const char *what;
    Bytes frame;
    std::vector<const char *> pass, fail;
};

// Verdicts of compiled filters on Ethernet frames are checked far more widely
// by the rows of tests/dissect.h over every cut of every generated frame;
// these are the cases the rows do not express.
TEST(Atom, Verdicts)
{
    const Bytes t = tcp(1024, 80),
                mcast = Frame().eth(mac(1), {1, 0, 0x5E, 0, 0, 1}, 0x86DD).bytes();
    const Case cases[] = {
        // An atom negated on its own; a protocol named after IP#.
        {"ipv6", Frame().eth(mac(1), mac(2), 0x86DD).ipv6_stub(6).bytes(), {"^IP"}, {"IP"}},
        {"tcp", t, {"IP#tcp"}, {}},
        // 0.0.0.0/1 is stored as a mask of no bits, which both sides lie in. SD:1 and an order on
        // ports; MACs on either side, and the multicast flag of the source.
        {"tcp",
         t,
         {"TCP SD:1=80", "TCP SD<100", "ETH SD=2:0:0:0:0:2", "ETH SD:1=2:0:0:0:0:2"},
         {"IP SD:1=0.0.0.0/1", "ETH SD=M"}},
        {"80 to 80", tcp(80, 80), {}, {"TCP SD:1=80"}},
        {"from multicast", mcast, {"ETH SRC=M", "ETH SD=M"}, {}},
        // LLC service access points and control.
        {"dsap 4", llc(0x04, 0x00), {"LLC SD=4"}, {}},
        {"ssap 4", llc(0x00, 0x04), {"LLC SD=4"}, {}},
        {"dsap 6", llc(0x06, 0x00), {}, {"LLC SD=4"}},
        {"saps 66", llc(0x42, 0x42), {"LLC C=3"}, {"LLC SD:1=66", "LLC C=243"}},
        // Bits 0x40 and 0x80 of the TCP flags byte are not flags here. A negated flag with '*':
        // that one clear and every other set.
        {"syn ece cwr", tcp(1, 2, SYN | 0xC0), {"TCP F=S^A"}, {}},
        {"syn", tcp(1, 2, SYN), {}, {"TCP F=^R*"}},
        {"all flags", tcp(1, 2, 0x3F), {"TCP F=S*"}, {"TCP F=^R*"}},
        {"all but rst", tcp(1, 2, 0x3B), {"TCP F=^R*"}, {}},
        {"echo", eth_ip(1).icmp(8, 0).bytes(), {"ICMP TYPE=echo"}, {}},
        {"echo reply", eth_ip(1).icmp(0, 0).bytes(), {}, {"ICMP TYPE=echo"}},
    };
    for (const Case &c : cases)
        for (int want : {1, 0})
            for (const char *text : want ? c.pass : c.fail) {
                EXPECT_EQ(verdict(compiled(text), c.frame), want) << text << " on " << c.what;
                EXPECT_TRUE(g_logged[0].empty()) << text << ": a compiled filter logs nothing";
            }
}

// Atoms that only a filter from outside can hold; `set` writes stored values.
filt_node atom(int32_t lyr, int32_t proto, uint32_t parms, void (*set)(filt_node &) = nullptr)
{
    filt_node n{};
    n.lyr = lyr, n.proto = proto, n.parms = parms;
    if (set)
        set(n);
    return n;
}

TEST(Atom, ParametersTheProtocolCannotHaveFailAndAreLogged)
{
    const Bytes u = eth_ip(17).udp(53, 53).bytes(), ic = eth_ip(1).icmp(8, 0).bytes();
    const std::tuple<filt_node, const Bytes &, const char *> cases[] = {
        {atom(4, 17, 0x1000), u, "apply_atom: parm=F, missing proto=4.17 case"},
        {atom(3, 1, 0x0100), ic, "apply_atom: tok=TYPE, missing lyr=3 case"},
        {atom(3, 1, 0x0080), ic, "apply_atom: tok=ETYPE, missing lyr=3 case"},
        {atom(2, 1, 0x0400), u, "apply_atom: parm=C, missing proto=2.1 case"},
        {atom(2, 1, 0x1000), u, "apply_atom: tok=F, missing lyr=2 case"},
        {atom(4, 1, 0x0008), ic, "apply_atom: parm=SRC, missing proto=4.1 case"},
        {atom(4, 17, 0x0200), u, "apply_atom: parm=CODE, missing proto=4.17 case"},
    };
    for (auto [node, frame, log] : cases)
        for (int step : {0, 1, 2}) {
            node.parms_neg = step ? node.parms : 0;       // '^' does not turn it into a pass,
            node.flags = step == 2 ? NIF_FLAG_NEGATE : 0; // the node's own negation still applies
            EXPECT_EQ(verdict({node}, frame), step == 2) << log;
            EXPECT_EQ(g_logged[0], std::vector<std::string>{log}) << "one line each time";
        }
}

TEST(Atom, StoredValuesTheCompilerNeverWrites)
{
    const Bytes t = tcp(1024, 80), ece = eth_ip(6).tcp(1, 2, 0x42).bytes(),
                hdlc = Frame().raw({0x00, 0x21}).fill(40).bytes();
    const uint32_t len = NIF_PARM_LEN, f = NIF_PARM_F;
    const std::tuple<filt_node, const Bytes &, int32_t, int32_t, uint32_t, int> cases[] = {
        // An operator other than a comparison passes; a bit no parameter owns is never tested.
        {atom(4, 6, len, [](filt_node &n) { n.len = 1000, n.len_op = '!'; }), t, kWhole, 4, 1, 1},
        {atom(4, 6, len, [](filt_node &n) { n.len = 1000, n.len_op = '='; }), t, kWhole, 4, 1, 0},
        {atom(4, 6, 0x4000, [](filt_node &n) { n.len = 1000, n.len_op = '='; }), t, kWhole, 4, 1,
         1},
        // Only the six flags of byte 13 count, whatever the masks hold.
        {atom(4, 6, f, [](filt_node &n) { n.tcp_set = 0x42; }), ece, kWhole, 4, 1, 0},
        {atom(4, 6, f, [](filt_node &n) { n.tcp_set = 0x02, n.tcp_clr = 0x40; }), ece, kWhole, 4, 1,
         1},
        // The analysed data of an HDLC frame stops short of its protocol field.
        {atom(3, 0x21, len, [](filt_node &n) { n.len = 40, n.len_op = '='; }), hdlc, 42, 5, 0, 1},
        // No records, no match.
        {atom(2, 1, 0), t, 0, 4, 1, 0},
        {atom(2, 1, 0, [](filt_node &n) { n.flags = NIF_FLAG_NEGATE; }), t, -5, 4, 1, 1},
    };
    for (const auto &[node, frame, n, link, opts, want] : cases)
        EXPECT_EQ(verdict({node}, frame, n, link, opts), want)
            << node.lyr << "." << node.proto << " parms " << node.parms << ", " << n << " bytes";
}

TEST(Rule, FirstDecidingChildStopsTheEvaluation)
{
    // [0] group, [1] TCP, [2] TYPE on TCP: an atom that logs when it is reached.
    std::vector<filt_node> f = {{}, atom(4, 6, 0), atom(4, 6, 0x0100)};
    f[0].kid_off = 1, f[0].nkids = 2;
    // Flags of the group and of its first child, the verdict, whether the second is reached.
    const std::tuple<uint32_t, uint32_t, int, size_t> cases[] = {
        {NIF_FLAG_OR, 0, 1, 0},               // OR: TCP holds, second never looked at
        {0, NIF_FLAG_NEGATE, 0, 0},           // AND: ^TCP fails first
        {0, 0, 0, 1},                         // AND: TCP holds, the second is reached
        {NIF_FLAG_OR, NIF_FLAG_NEGATE, 0, 1}, // OR: ^TCP fails, the second is reached
        {NIF_FLAG_OR | NIF_FLAG_NEGATE, 0, 0, 0},
    };
    for (auto [group, first, want, reached] : cases) {
        f[0].flags = group, f[1].flags = first;
        EXPECT_EQ(verdict(f, tcp(1024, 80)), want) << group << "/" << first;
        EXPECT_EQ(g_logged[0].size(), reached) << group << "/" << first;
    }
}

class GeneratedFilter : public testing::TestWithParam<dissect::Row> {};

TEST_P(GeneratedFilter, VerdictsAgreeWithHandChecks)
{
    static const dissect::Guard guard(1 << 16);
    ASSERT_TRUE(guard.ok()) << "cannot map a guarded buffer";
    const dissect::Row &row = GetParam();
    const std::vector<filt_node> f = compiled(row.text);
    ASSERT_FALSE(f.empty());
    LogCapture log;
    long cuts = 0, passed = 0, frame = 0;
    for (const auto &[bytes, link, opts] : engine_frames()) {
        const bool raw = link == NIF_LINK_RAWIP && opts == 0;
        if (!raw && (link != NIF_LINK_ETHER || opts != NIF_OPT_LINKHDR))
            continue;
        ++frame;
        for (int32_t len = 0; len <= static_cast<int32_t>(bytes.size()); ++len, ++cuts) {
            ASSERT_EQ(dissect::disagreement(guard, f.data(), row, bytes.data(), len, raw, &passed),
                      "")
                << row.text << ", generated frame " << frame << (raw ? " (raw IP)" : "");
        }
    }
    EXPECT_GT(cuts, 20000);
    EXPECT_GT(passed, 0) << row.text << ": no frame tests the passing side of the row";
    EXPECT_TRUE(log.lines.empty()) << row.text << ": logged " << log.lines.front();
}

INSTANTIATE_TEST_SUITE_P(Generated, GeneratedFilter, testing::ValuesIn(dissect::kRows));

} // namespace
