// Atom and rule evaluation: compiled filters against frames built byte by
// byte, and atoms built by hand for what the compiler never writes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/dissect.h"
#include "tests/engines.h"
#include "tests/support.h"

namespace {

using namespace framegen;
using namespace zeriza_test;

// Every filter of `pass` passes the first `len` bytes of `frame`, none of `fail` does.
void expect(const char *what, const Bytes &frame, std::vector<const char *> pass,
            std::vector<const char *> fail, int32_t len = -1)
{
    for (int want : {1, 0})
        for (const char *text : want ? pass : fail)
            EXPECT_EQ(match(compiled(text), frame, len), want)
                << text << " on " << what << " " << len;
}

Bytes tcp(uint16_t sport, uint16_t dport, uint8_t flags = ACK, const Ip4 &src = kA,
          const Ip4 &dst = kB)
{
    return Frame().eth(mac(1), mac(2), 0x0800).ipv4(src, dst, 6).tcp(sport, dport, flags).bytes();
}

// TCP in IPv4 with bytes 6 and 7 of the IPv4 header (flags and fragment offset) set.
Bytes ip_frag(uint8_t b6, uint8_t b7)
{
    Bytes b = tcp(1, 2);
    b[14 + 6] = b6, b[14 + 7] = b7;
    return b;
}

Bytes llc(uint8_t dsap, uint8_t ssap, size_t data = 20)
{
    return Frame().ieee8023(mac(1), mac(2)).llc(dsap, ssap).fill(data).bytes();
}

Bytes eth(const Mac &dst, const Mac &src)
{
    return Frame().eth(dst, src, 0x0800).ipv4(kA, kB, 17).udp(1, 2).bytes();
}

const Bytes t = tcp(1024, 80);
const Mac kMcast = {0x01, 0, 0x5E, 0, 0, 1};

TEST(Atom, ProtocolsFoundInTheWalk)
{
    Bytes v6 = Frame().eth(mac(1), mac(2), 0x86DD).ipv6_stub(6).bytes();
    expect("tcp", t, {"ETH", "IP", "TCP", "IP#tcp"}, {"UDP", "802.3"});
    expect("ipv6", v6, {"^IP", "ETH"}, {"IP"});
    expect("gre", eth_ip(47).fill(8).bytes(), {"IP#47"}, {"IP#6"});
    expect("llc", llc(0x42, 0x42), {"LLC"}, {});
    expect("snap", snap(0, 0x0800).fill(28).bytes(), {"SNAP"}, {});
    // Two 802.3 headers: the atom tests the outer one.
    Bytes bridged = snap(0x0080C2, 7).ieee8023(mac(3), mac(4)).llc(6, 6).fill(10).bytes();
    expect("bridged", bridged, {"802.3 SRC=2:0:0:0:0:2"}, {"802.3 SRC=2:0:0:0:0:4", "LLC SD=6"});
}

TEST(Atom, AddressParameters)
{
    // IP prefixes and addresses on either side (SD), one side only (SD:1) or
    // both (SD:2); 0.0.0.0/1 is stored as a mask of no bits, which both sides
    // lie in. Ports compare as big-endian unsigned 16-bit values. MACs,
    // broadcast and the multicast flag.
    expect("tcp", t,
           {"IP SRC=10.16.0.0/12", "IP SRC=10.0.0.0/8", "IP SRC=10.16.1.1", "IP SD=192.168.1.2",
            "IP SD:1=10.0.0.0/8", "IP ^SRC=11.0.0.0/8", "TCP SRC>1023", "TCP DST<1024",
            "TCP DST=80", "TCP SD=80", "TCP SD=1024", "TCP SD:1=80", "TCP SD<100",
            "ETH DST=2:0:0:0:0:1", "ETH SD=2:0:0:0:0:2", "ETH SD:1=2:0:0:0:0:2", "ETH ^DST=M"},
           {"IP DST=10.0.0.0/8", "IP SRC=10.16.1.2", "IP SD:1=0.0.0.0/1", "IP SD:1=11.0.0.0/8",
            "IP SD:2=10.0.0.0/8", "IP ^SRC=10.0.0.0/8", "TCP DST=81", "TCP SD=22", "UDP SD=53",
            "ETH SRC=2:0:0:0:0:1", "ETH DST=B", "ETH DST=M", "ETH SD=M"});
    expect("10 to 10", tcp(1, 2, ACK, kA, {10, 48, 1, 1}), {"IP SD:2=10.0.0.0/8"}, {});
    // /12 keeps the top four bits of the second byte: 0x30 & 0x10 == 0x10.
    expect("10.48", tcp(1, 2, ACK, {10, 48, 1, 1}), {"IP SRC=10.16.0.0/12"}, {});
    expect("10.32", tcp(1, 2, ACK, {10, 32, 1, 1}), {}, {"IP SRC=10.16.0.0/12"});
    expect("1023", tcp(1023, 80), {}, {"TCP SRC>1023"});
    expect("0x03FE", tcp(0x03FE, 80), {}, {"TCP SRC>1023"});
    expect("0xFF00", tcp(0xFF00, 80), {"TCP SRC>1023"}, {});
    expect("80 to 80", tcp(80, 80), {}, {"TCP SD:1=80"});
    expect("udp", eth_ip(17).udp(53, 5353).bytes(), {"UDP SD=53"}, {});
    expect("broadcast", eth(kBroadcast, mac(2)), {"ETH DST=B"}, {});
    expect("to multicast", eth(kMcast, mac(2)), {"ETH DST=M"}, {});
    expect("from multicast", eth(mac(1), kMcast), {"ETH SRC=M", "ETH SD=M"}, {});
    // LLC service access points.
    expect("dsap 4", llc(0x04, 0x00), {"LLC SD=4"}, {});
    expect("ssap 4", llc(0x00, 0x04), {"LLC SD=4"}, {});
    expect("dsap 6", llc(0x06, 0x00), {}, {"LLC SD=4"});
    expect("dsap 66", llc(0x42, 0x00), {"LLC DST=66"}, {"LLC SRC=66"});
    expect("saps 66", llc(0x42, 0x42), {"LLC C=3"}, {"LLC SD:1=66", "LLC C=243"});
}

TEST(Atom, OtherParameters)
{
    // Bits 0x40 and 0x80 of the TCP flags byte are not flags here.
    const Bytes syn = tcp(1, 2, SYN), all = tcp(1, 2, 0x3F);
    expect("syn", syn, {"TCP F=S^A"}, {"TCP F=^R*"});
    expect("syn ece cwr", tcp(1, 2, SYN | 0xC0), {"TCP F=S^A"}, {});
    expect("syn ack", tcp(1, 2, SYN | ACK), {"TCP F=SA"}, {"TCP F=S^A", "TCP F=S*", "TCP F=^S"});
    expect("all flags", all, {"TCP F=S*"}, {"TCP F=^R*"});
    expect("all but rst", tcp(1, 2, 0x3B), {"TCP F=^R*"}, {});
    expect("first fragment", ip_frag(0x20, 0x00), {"IP F=F"}, {});
    expect("don't fragment", ip_frag(0x40, 0x00), {"IP F=^F"}, {"IP F=F"});
    expect("offset 1", ip_frag(0x00, 0x01), {"IP F=F"}, {"IP F=^F"});
    expect("echo", eth_ip(1).icmp(8, 0).bytes(), {"ICMP TYPE=echo"}, {});
    expect("echo reply", eth_ip(1).icmp(0, 0).bytes(), {}, {"ICMP TYPE=echo"});
    expect("port unreachable", eth_ip(1).icmp(3, 3).bytes(), {"ICMP TYPE=unreach CODE=port"}, {});
    expect("host unreachable", eth_ip(1).icmp(3, 1).bytes(), {}, {"ICMP TYPE=unreach CODE=port"});
    expect("tcp", t, {"ETH ETYPE=2048"}, {"ETH ETYPE=2054"});
    expect("snap ip", snap(0, 0x0800).fill(28).bytes(), {"SNAP ETYPE=2048", "SNAP ORG=0"},
           {"SNAP ORG=1"});
    expect("snap bridged", snap(0x0080C2, 7).fill(28).bytes(), {"SNAP ORG=32962"}, {});
    // Lengths: LEN is what the header's record covers, HLEN its header, DLEN the rest.
    expect("syn", syn, {"ETH LEN=54", "TCP LEN=20", "IP HLEN=20", "IP DLEN>19", "TCP DLEN=0"},
           {"IP DLEN>20", "IP LEN<40", "TCP ^LEN=20"});
}

TEST(Rule, AndOrNegation)
{
    expect("tcp", t,
           {"(TCP) & (IP)", "^((UDP) | (ARP))", "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.16.1.1)",
            "^(TCP ^SD=80)"},
           {"^((TCP) & (IP))", "(TCP) & (UDP)", "(UDP) | (ARP)", "(ARP) | (^TCP)",
            "((TCP SD=81) | (UDP SD=80)) & (IP SD=10.16.1.1)"});
    Bytes arp = Frame().eth(kBroadcast, mac(2), 0x0806).arp(1, mac(2), kA, {}, kB).bytes();
    expect("arp", arp, {"(UDP) | (ARP)", "^(TCP)"}, {});
}

TEST(Match, CutHeadersAndOutValues)
{
    // TCP holds once its record exists; its ports need their bytes, whatever
    // '^' says about the parameter.
    expect("tcp", t, {"TCP"}, {}, 35);
    expect("tcp", t, {"^(TCP ^SD=80)"}, {"TCP SD=80", "TCP ^SD=80"}, 37);
    expect("tcp", t, {"TCP SD=80", "TCP ^SD=81"}, {"TCP ^SD=80"}, 38);
    expect("tcp", t, {}, {"TCP F=S"}, 47);
    expect("tcp", t, {"TCP F=A"}, {}, 48);
    expect("tcp", t, {}, {"IP SRC=10.0.0.0/8"}, 29);
    expect("tcp", t, {"IP SRC=10.0.0.0/8"}, {}, 30);
    expect("tcp", t, {}, {"ETH SRC=2:0:0:0:0:2"}, 11);
    expect("tcp", t, {"ETH DST=2:0:0:0:0:1"}, {}, 6);
    // The out-values are written whatever the verdict.
    Bytes hdlc = Frame().raw({0x00, 0x21}).fill(40).bytes();
    int32_t layer = 0, proto = 0, skip = 0;
    EXPECT_EQ(nif_filt_match(compiled("IP").data(), hdlc.data(), 42, 5, &layer, &proto, &skip, 0),
              0);
    EXPECT_EQ((std::vector<int32_t>{layer, proto, skip}), (std::vector<int32_t>{3, 0x21, 2}));
}

// Atoms that only a filter from outside can hold.
filt_node atom(int32_t lyr, int32_t proto, uint32_t parms)
{
    filt_node n{};
    n.lyr = lyr, n.proto = proto, n.parms = parms;
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
    for (auto [node, frame, log] : cases) {
        LogCapture cap;
        EXPECT_EQ(match({node}, frame), 0) << log;
        node.parms_neg = node.parms; // '^' does not turn it into a pass
        EXPECT_EQ(match({node}, frame), 0) << log;
        node.flags = NIF_FLAG_NEGATE; // the node's own negation still applies
        EXPECT_EQ(match({node}, frame), 1) << log;
        EXPECT_EQ(cap.lines, std::vector<std::string>(3, log));
    }
}

TEST(Atom, StoredValuesTheCompilerNeverWrites)
{
    filt_node n = atom(4, 6, 0x0001);
    n.len = 1000, n.len_op = '!'; // an operator other than a comparison passes
    EXPECT_EQ(match({n}, t), 1);
    n.len_op = '=';
    EXPECT_EQ(match({n}, t), 0);
    n.parms = 0x4000; // a bit no parameter owns is never tested
    EXPECT_EQ(match({n}, t), 1);
    // Only the six flags of byte 13 count, whatever the masks hold.
    n = atom(4, 6, NIF_PARM_F);
    n.tcp_set = 0x42;
    Bytes ece = zeriza_test::eth_ip(6).tcp(1, 2, 0x42).bytes();
    EXPECT_EQ(match({n}, ece), 0);
    n.tcp_set = 0x02, n.tcp_clr = 0x40;
    EXPECT_EQ(match({n}, ece), 1);
    // The analysed data of an HDLC frame stops short of its protocol field.
    n = atom(3, 0x21, NIF_PARM_LEN);
    n.len = 40, n.len_op = '=';
    Bytes hdlc = Frame().raw({0x00, 0x21}).fill(40).bytes();
    EXPECT_EQ(nif_filt_match(&n, hdlc.data(), 42, 5, nullptr, nullptr, nullptr, 0), 1);
    // No records, no match.
    n = atom(2, 1, 0);
    EXPECT_EQ(nif_filt_match(&n, t.data(), 0, 4, nullptr, nullptr, nullptr, 1), 0);
    n.flags = NIF_FLAG_NEGATE;
    EXPECT_EQ(nif_filt_match(&n, t.data(), -5, 4, nullptr, nullptr, nullptr, 1), 1);
}

TEST(Rule, FirstDecidingChildStopsTheEvaluation)
{
    // [0] group, [1] TCP, [2] TYPE on TCP: an atom that logs when it is reached.
    std::vector<filt_node> f = {{}, atom(4, 6, 0), atom(4, 6, 0x0100)};
    f[0].kid_off = 1, f[0].nkids = 2;
    // Flags of the group and of its first child, the verdict, lines logged.
    const std::tuple<uint32_t, uint32_t, int, size_t> cases[] = {
        {NIF_FLAG_OR, 0, 1, 0},               // OR: TCP holds, second never looked at
        {0, NIF_FLAG_NEGATE, 0, 0},           // AND: ^TCP fails first
        {0, 0, 0, 1},                         // AND: TCP holds, the second is reached
        {NIF_FLAG_OR, NIF_FLAG_NEGATE, 0, 1}, // OR: ^TCP fails, the second is reached
        {NIF_FLAG_OR | NIF_FLAG_NEGATE, 0, 0, 0},
    };
    for (auto [group, first, want, logged] : cases) {
        f[0].flags = group, f[1].flags = first;
        LogCapture cap;
        EXPECT_EQ(match(f, t), want) << group << "/" << first;
        EXPECT_EQ(cap.lines.size(), logged) << group << "/" << first;
    }
}

// The rows of tests/dissect.h, which the capture tests run over a real capture
// where there is one, over every generated frame that is Ethernet with its
// header or a raw IPv4 packet (engine_frames holds sample::frames,
// sample::raw_ip_frames and IPv4 on both sides of prefix boundaries), whole
// and cut at every length: both engines must give the hand check's verdict.
class GeneratedFilter : public testing::TestWithParam<dissect::Row> {};

TEST_P(GeneratedFilter, VerdictsAgreeWithHandChecks)
{
    static const dissect::Guard guard(1 << 16);
    ASSERT_TRUE(guard.ok()) << "cannot map a guarded buffer";
    const dissect::Row &row = GetParam();
    const std::vector<filt_node> f = compiled(row.text);
    ASSERT_FALSE(f.empty());
    LogCapture log;
    // Beside the generated mix, Ethernet frames of the kinds it lacks, so that every row passes
    // some frames: RARP, IPX in three forms, LLC with its other protocols, CDP, bridged 802.3,
    // VLAN, ICMP errors and broadcast UDP.
    std::vector<EngineFrame> frames = engine_frames();
    for (const Bytes &b :
         {Frame().eth(kBroadcast, mac(2), 0x8035).arp(3, mac(2), {}, {}, {}).bytes(),
          Frame().eth(mac(1), mac(2), 0x8137).fill(30).bytes(), llc(0xE0, 0xE0, 30),
          Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(28).bytes(),
          Frame()
              .ieee8023(mac(1), mac(2))
              .raw({0xFE, 0xFE, 3, 0xCC})
              .ipv4(kA, kB, 17)
              .udp(53, 7)
              .bytes(),
          Frame()
              .ieee8023(mac(1), mac(2))
              .raw({0xFE, 0xFE, 3, 0x80})
              .snap(0, 0x0806)
              .arp(1, mac(2), kA, {}, kB)
              .bytes(),
          Frame()
              .ieee8023({1, 0, 0x0C, 0xCC, 0xCC, 0xCC}, mac(2))
              .llc(0xAA, 0xAA)
              .snap(12, 0x2000)
              .fill(40)
              .bytes(),
          snap(0x0080C2, 7).ieee8023(mac(3), mac(4)).llc(6, 6).fill(10).bytes(), llc(69, 16, 50),
          Frame().ieee8023(mac(1), mac(2)).llc(0xFE, 0x42).fill(20).bytes(),
          Frame().eth(mac(1), mac(2), 0x8100).fill(30).bytes(),
          eth_ip(1).icmp(3, 1).fill(28).bytes(),
          Frame().eth(kBroadcast, mac(2), 0x0800).ipv4({11, 0, 0, 1}, kB, 17).udp(68, 67).bytes()})
        frames.push_back({b, NIF_LINK_ETHER, NIF_OPT_LINKHDR});
    long cuts = 0, passed = 0, frame = 0;
    for (const auto &[bytes, link, opts] : frames) {
        const bool raw = link == NIF_LINK_RAWIP && opts == 0;
        if (!raw && (link != NIF_LINK_ETHER || opts != NIF_OPT_LINKHDR))
            continue;
        ++frame;
        for (int32_t len = 0; len <= static_cast<int32_t>(bytes.size()); ++len, ++cuts) {
            std::snprintf(dissect::g_note, sizeof dissect::g_note,
                          "\nfault: read past generated frame %ld cut at %d, '%s'\n", frame, len,
                          row.text);
            ASSERT_EQ(dissect::disagreement(guard, f.data(), row, bytes.data(), len, raw, &passed),
                      "")
                << row.text << ", generated frame " << frame << (raw ? " (raw IP)" : "");
        }
    }
    dissect::g_note[0] = '\0';
    std::printf("[   counts ] %s: hand checks pass %ld of %ld cuts of %ld frames\n", row.text,
                passed, cuts, frame);
    EXPECT_GT(cuts, 20000);
    EXPECT_GT(passed, 0) << row.text << ": no frame tests the passing side of the row";
    EXPECT_TRUE(log.lines.empty()) << row.text << ": logged " << log.lines.front();
}

INSTANTIATE_TEST_SUITE_P(Generated, GeneratedFilter, testing::ValuesIn(dissect::kRows));

} // namespace
