// Atom and rule evaluation: compiled filters against frames built byte by
// byte, and atoms built by hand for what the compiler never writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support.h"
#include "tools/framegen.h"
#include "zeriza.h"

namespace {

using framegen::Bytes;
using framegen::Frame;
using framegen::Ip4;
using framegen::mac;

struct Filter {
    filt_node *f = nullptr;
    int size = 0;
    explicit Filter(const char *text) : f(nif_filt_parse(text, &size))
    {
        EXPECT_NE(f, nullptr) << text << ": " << gnl_usrmsg;
    }
    ~Filter() { nif_filt_free(f); }
    Filter(const Filter &) = delete;
    Filter &operator=(const Filter &) = delete;
};

int match(const filt_node *f, const Bytes &frame, int32_t link = 4, uint32_t opts = 1)
{
    Bytes b = frame;
    size_t len = b.size();
    b.resize(std::max<size_t>(len, 16)); // 16 readable bytes, as callers promise
    return nif_filt_match(f, b.data(), static_cast<int32_t>(len), link, nullptr, nullptr, nullptr,
                          opts);
}

const Ip4 kNet10 = {10, 16, 1, 1}, kNet10b = {10, 48, 1, 1}, kNet10c = {10, 32, 1, 1},
          kHost = {192, 168, 1, 2};

Bytes tcp(Ip4 src, Ip4 dst, uint16_t sport, uint16_t dport, uint8_t flags = framegen::ACK)
{
    return Frame().eth(mac(1), mac(2), 0x0800).ipv4(src, dst, 6).tcp(sport, dport, flags).bytes();
}

Bytes udp(uint16_t sport, uint16_t dport)
{
    return Frame().eth(mac(1), mac(2), 0x0800).ipv4(kNet10, kHost, 17).udp(sport, dport).bytes();
}

Bytes ip_frag(uint8_t b6, uint8_t b7)
{
    Bytes b = Frame().eth(mac(1), mac(2), 0x0800).ipv4(kNet10, kHost, 6).tcp(1, 2).bytes();
    b[14 + 6] = b6;
    b[14 + 7] = b7;
    return b;
}

Bytes llc(uint8_t dsap, uint8_t ssap, uint8_t ctl = 3)
{
    return Frame().ieee8023(mac(1), mac(2)).llc(dsap, ssap, ctl).fill(20).bytes();
}

Bytes snap(uint32_t org, uint16_t type)
{
    return Frame()
        .ieee8023(framegen::kBroadcast, mac(2))
        .llc(0xAA, 0xAA)
        .snap(org, type)
        .fill(28)
        .bytes();
}

Bytes icmp(uint8_t type, uint8_t code)
{
    return Frame().eth(mac(1), mac(2), 0x0800).ipv4(kNet10, kHost, 1).icmp(type, code).bytes();
}

Bytes eth(const framegen::Mac &dst, const framegen::Mac &src, uint16_t type = 0x0800)
{
    return Frame().eth(dst, src, type).ipv4(kNet10, kHost, 17).udp(1, 2).bytes();
}

struct Case {
    const char *filter;
    Bytes frame;
    int want;
};

void expect_matches(const std::vector<Case> &cases)
{
    for (const auto &c : cases) {
        Filter f(c.filter);
        if (f.f) {
            EXPECT_EQ(match(f.f, c.frame), c.want) << c.filter;
        }
    }
}

TEST(Atom, ProtocolsFoundInTheWalk)
{
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    Bytes v6 = Frame().eth(mac(1), mac(2), 0x86DD).ipv6_stub(6).bytes();
    Bytes gre = Frame().eth(mac(1), mac(2), 0x0800).ipv4(kNet10, kHost, 47).fill(8).bytes();
    Bytes bridged = Frame()
                        .ieee8023(mac(1), mac(2))
                        .llc(0xAA, 0xAA)
                        .snap(0x0080C2, 7)
                        .ieee8023(mac(3), mac(4))
                        .llc(0x06, 0x06)
                        .fill(10)
                        .bytes();
    expect_matches({
        {"ETH", t, 1},
        {"IP", t, 1},
        {"TCP", t, 1},
        {"UDP", t, 0},
        {"802.3", t, 0},
        {"IP", v6, 0},
        {"^IP", v6, 1},
        {"ETH", v6, 1},
        {"IP#47", gre, 1},
        {"IP#6", gre, 0},
        {"IP#tcp", t, 1},
        {"LLC", llc(0x42, 0x42), 1},
        {"SNAP", snap(0, 0x0800), 1},
        // Two 802.3 headers: the atom tests the outer one.
        {"802.3 SRC=2:0:0:0:0:2", bridged, 1},
        {"802.3 SRC=2:0:0:0:0:4", bridged, 0},
        {"LLC SD=6", bridged, 0},
    });
}

TEST(Atom, AddressParameters)
{
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    Bytes mcast = eth({0x01, 0, 0x5E, 0, 0, 1}, mac(2));
    Bytes from_mcast = eth(mac(1), {0x01, 0, 0x5E, 0, 0, 1});
    expect_matches({
        // IP prefixes: /12 keeps the top four bits of the second byte.
        {"IP SRC=10.16.0.0/12", tcp(kNet10, kHost, 1, 2), 1},
        {"IP SRC=10.16.0.0/12", tcp(kNet10b, kHost, 1, 2), 1}, // 0x30 & 0x10 == 0x10
        {"IP SRC=10.16.0.0/12", tcp(kNet10c, kHost, 1, 2), 0},
        {"IP SRC=10.0.0.0/8", t, 1},
        {"IP DST=10.0.0.0/8", t, 0},
        {"IP SRC=10.16.1.1", t, 1},
        {"IP SRC=10.16.1.2", t, 0},
        {"IP SD=192.168.1.2", t, 1},
        {"IP SD:1=10.0.0.0/8", t, 1},
        {"IP SD:1=0.0.0.0/1", t, 0}, // a mask of no bits: every address lies in it
        {"IP SD:1=11.0.0.0/8", t, 0},
        {"IP SD:2=10.0.0.0/8", t, 0},
        {"IP SD:2=10.0.0.0/8", tcp(kNet10, kNet10b, 1, 2), 1},
        {"IP ^SRC=10.0.0.0/8", t, 0},
        {"IP ^SRC=11.0.0.0/8", t, 1},
        // Ports: '>' and '<' compare big-endian unsigned 16-bit values.
        {"TCP SRC>1023", tcp(kNet10, kHost, 1024, 80), 1},
        {"TCP SRC>1023", tcp(kNet10, kHost, 1023, 80), 0},
        {"TCP SRC>1023", tcp(kNet10, kHost, 0x03FE, 80), 0},
        {"TCP SRC>1023", tcp(kNet10, kHost, 0xFF00, 80), 1},
        {"TCP DST<1024", t, 1},
        {"TCP DST=80", t, 1},
        {"TCP DST=81", t, 0},
        {"TCP SD=80", t, 1},
        {"TCP SD=1024", t, 1},
        {"TCP SD=22", t, 0},
        {"TCP SD:1=80", t, 1},
        {"TCP SD:1=80", tcp(kNet10, kHost, 80, 80), 0},
        {"TCP SD<100", t, 1},
        {"UDP SD=53", udp(53, 5353), 1},
        {"UDP SD=53", t, 0},
        // MACs, broadcast and the multicast flag.
        {"ETH DST=2:0:0:0:0:1", t, 1},
        {"ETH SRC=2:0:0:0:0:1", t, 0},
        {"ETH SD=2:0:0:0:0:2", t, 1},
        {"ETH SD:1=2:0:0:0:0:2", t, 1},
        {"ETH DST=B", eth(framegen::kBroadcast, mac(2)), 1},
        {"ETH DST=B", t, 0},
        {"ETH DST=M", mcast, 1},
        {"ETH DST=M", t, 0},
        {"ETH SRC=M", from_mcast, 1},
        {"ETH SD=M", from_mcast, 1},
        {"ETH SD=M", t, 0},
        {"ETH ^DST=M", t, 1},
        // LLC service access points.
        {"LLC SD=4", llc(0x04, 0x00), 1},
        {"LLC SD=4", llc(0x00, 0x04), 1},
        {"LLC SD=4", llc(0x06, 0x00), 0},
        {"LLC DST=66", llc(0x42, 0x00), 1},
        {"LLC SRC=66", llc(0x42, 0x00), 0},
        {"LLC SD:1=66", llc(0x42, 0x42), 0},
    });
}

TEST(Atom, OtherParameters)
{
    Bytes syn = tcp(kNet10, kHost, 1, 2, framegen::SYN);
    Bytes synack = tcp(kNet10, kHost, 1, 2, framegen::SYN | framegen::ACK);
    Bytes syn_ece = tcp(kNet10, kHost, 1, 2, framegen::SYN | 0xC0);
    Bytes all = tcp(kNet10, kHost, 1, 2, 0x3F);
    expect_matches({
        {"TCP F=S^A", syn, 1},
        {"TCP F=S^A", synack, 0},
        {"TCP F=S^A", syn_ece, 1}, // bits 0x40 and 0x80 are not flags here
        {"TCP F=SA", synack, 1},
        {"TCP F=S*", all, 1},
        {"TCP F=S*", synack, 0},
        {"TCP F=^R*", tcp(kNet10, kHost, 1, 2, 0x3B), 1}, // all but RST
        {"TCP F=^R*", syn, 0},
        {"TCP F=^R*", all, 0},
        {"TCP F=^S", synack, 0},
        {"IP F=F", ip_frag(0x20, 0x00), 1}, // first fragment
        {"IP F=F", ip_frag(0x40, 0x00), 0}, // don't-fragment only
        {"IP F=F", ip_frag(0x00, 0x01), 1},
        {"IP F=^F", ip_frag(0x40, 0x00), 1},
        {"IP F=^F", ip_frag(0x00, 0x01), 0},
        {"ICMP TYPE=echo", icmp(8, 0), 1},
        {"ICMP TYPE=echo", icmp(0, 0), 0},
        {"ICMP TYPE=unreach CODE=port", icmp(3, 3), 1},
        {"ICMP TYPE=unreach CODE=port", icmp(3, 1), 0},
        {"ETH ETYPE=2048", eth(mac(1), mac(2)), 1},
        {"ETH ETYPE=2054", eth(mac(1), mac(2)), 0},
        {"SNAP ETYPE=2048", snap(0, 0x0800), 1},
        {"SNAP ORG=0", snap(0, 0x0800), 1},
        {"SNAP ORG=32962", snap(0x0080C2, 7), 1},
        {"SNAP ORG=1", snap(0, 0x0800), 0},
        {"LLC C=3", llc(0x42, 0x42, 3), 1},
        {"LLC C=243", llc(0x42, 0x42, 3), 0},
        // Lengths: LEN is what the header's record covers, HLEN its header,
        // DLEN the rest.
        {"ETH LEN=54", syn, 1},
        {"TCP LEN=20", syn, 1},
        {"IP HLEN=20", syn, 1},
        {"IP DLEN>19", syn, 1},
        {"IP DLEN>20", syn, 0},
        {"TCP DLEN=0", syn, 1},
        {"IP LEN<40", syn, 0},
        {"TCP ^LEN=20", syn, 0},
    });
}

TEST(Rule, AndOrNegation)
{
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    Bytes arp =
        Frame().eth(framegen::kBroadcast, mac(2), 0x0806).arp(1, mac(2), kNet10, {}, kHost).bytes();
    expect_matches({
        {"(TCP) & (IP)", t, 1},
        {"^((TCP) & (IP))", t, 0},
        {"(TCP) & (UDP)", t, 0},
        {"(UDP) | (ARP)", t, 0},
        {"^((UDP) | (ARP))", t, 1},
        {"(UDP) | (ARP)", arp, 1},
        {"((TCP SD=80) | (UDP SD=80)) & (IP SD=10.16.1.1)", t, 1},
        {"((TCP SD=81) | (UDP SD=80)) & (IP SD=10.16.1.1)", t, 0},
        {"^(TCP)", arp, 1},
        {"^(TCP ^SD=80)", t, 1},
        {"(ARP) | (^TCP)", t, 0},
    });
}

// Atoms that only a filter from outside can hold.
filt_node atom(int32_t lyr, int32_t proto, uint32_t parms)
{
    filt_node n{};
    n.lyr = lyr;
    n.proto = proto;
    n.parms = parms;
    return n;
}

TEST(Atom, ParametersTheProtocolCannotHaveFailAndAreLogged)
{
    Bytes u = udp(53, 53);
    Bytes ic = icmp(8, 0);
    struct Hand {
        filt_node node;
        const Bytes &frame;
        const char *log;
    } cases[] = {
        {atom(4, 17, 0x1000), u, "apply_atom: parm=F, missing proto=4.17 case"},
        {atom(3, 1, 0x0100), ic, "apply_atom: tok=TYPE, missing lyr=3 case"},
        {atom(3, 1, 0x0080), ic, "apply_atom: tok=ETYPE, missing lyr=3 case"},
        {atom(2, 1, 0x0400), u, "apply_atom: parm=C, missing proto=2.1 case"},
        {atom(2, 1, 0x1000), u, "apply_atom: tok=F, missing lyr=2 case"},
        {atom(4, 1, 0x0008), ic, "apply_atom: parm=SRC, missing proto=4.1 case"},
        {atom(4, 17, 0x0200), u, "apply_atom: parm=CODE, missing proto=4.17 case"},
    };
    for (auto &c : cases) {
        zeriza_test::LogCapture cap;
        EXPECT_EQ(match(&c.node, c.frame), 0) << c.log;
        c.node.parms_neg = c.node.parms; // '^' does not turn it into a pass
        EXPECT_EQ(match(&c.node, c.frame), 0) << c.log;
        c.node.flags = NIF_FLAG_NEGATE; // the node's own negation still applies
        EXPECT_EQ(match(&c.node, c.frame), 1) << c.log;
        EXPECT_EQ(cap.lines, std::vector<std::string>(3, c.log));
    }
}

TEST(Atom, StoredOperatorOtherThanComparisonPasses)
{
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    filt_node n = atom(4, 6, 0x0001);
    n.len = 1000;
    n.len_op = '!';
    EXPECT_EQ(match(&n, t), 1);
    n.len_op = '=';
    EXPECT_EQ(match(&n, t), 0);
    n.parms = 0x4000; // a bit no parameter owns is never tested
    EXPECT_EQ(match(&n, t), 1);
}

TEST(Atom, NoRecordsNoMatch)
{
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    filt_node n = atom(2, 1, 0);
    EXPECT_EQ(nif_filt_match(&n, t.data(), 0, 4, nullptr, nullptr, nullptr, 1), 0);
    n.flags = NIF_FLAG_NEGATE;
    EXPECT_EQ(nif_filt_match(&n, t.data(), -5, 4, nullptr, nullptr, nullptr, 1), 1);
}

TEST(Rule, FirstDecidingChildStopsTheEvaluation)
{
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    // [0] group, [1] TCP, [2] an atom that logs when it is reached.
    filt_node f[3] = {};
    f[0].kid_off = 1;
    f[0].nkids = 2;
    f[1] = atom(4, 6, 0);
    f[2] = atom(4, 6, 0x0100); // TYPE on TCP
    struct Case {
        uint32_t group_flags, first_flags;
        int want;
        size_t logged;
    } cases[] = {
        {NIF_FLAG_OR, 0, 1, 0},               // OR: TCP holds, second never looked at
        {0, NIF_FLAG_NEGATE, 0, 0},           // AND: ^TCP fails first
        {0, 0, 0, 1},                         // AND: TCP holds, the second is reached
        {NIF_FLAG_OR, NIF_FLAG_NEGATE, 0, 1}, // OR: ^TCP fails, the second is reached
        {NIF_FLAG_OR | NIF_FLAG_NEGATE, 0, 0, 0},
    };
    for (const auto &c : cases) {
        f[0].flags = c.group_flags;
        f[1].flags = c.first_flags;
        zeriza_test::LogCapture cap;
        EXPECT_EQ(match(f, t), c.want) << c.group_flags << "/" << c.first_flags;
        EXPECT_EQ(cap.lines.size(), c.logged) << c.group_flags << "/" << c.first_flags;
    }
}

TEST(Match, OutValuesAreWrittenWhateverTheResult)
{
    Bytes hdlc = Frame().raw({0x00, 0x21}).fill(40).bytes();
    Filter ip("IP");
    int32_t layer = 0, proto = 0, skip = 0;
    EXPECT_EQ(nif_filt_match(ip.f, hdlc.data(), 42, 5, &layer, &proto, &skip, 0), 0);
    EXPECT_EQ(layer, 3);
    EXPECT_EQ(proto, 0x21);
    EXPECT_EQ(skip, 2);
}

TEST(Match, CutHeadersCannotDecideParameters)
{
    // TCP holds once its record exists; its ports need their bytes, whatever
    // '^' says about the parameter.
    Bytes t = tcp(kNet10, kHost, 1024, 80);
    struct Case {
        const char *filter;
        int32_t len;
        int want;
    } cases[] = {
        {"TCP", 35, 1},
        {"TCP SD=80", 37, 0},
        {"TCP ^SD=80", 37, 0},
        {"TCP SD=80", 38, 1},
        {"TCP ^SD=80", 38, 0},
        {"TCP ^SD=81", 38, 1},
        {"^(TCP ^SD=80)", 37, 1},
        {"TCP F=S", 47, 0},
        {"TCP F=A", 48, 1},
        {"IP SRC=10.0.0.0/8", 29, 0},
        {"IP SRC=10.0.0.0/8", 30, 1},
        {"ETH SRC=2:0:0:0:0:2", 11, 0},
        {"ETH DST=2:0:0:0:0:1", 6, 1},
    };
    for (const auto &c : cases) {
        Filter f(c.filter);
        EXPECT_EQ(nif_filt_match(f.f, t.data(), c.len, 4, nullptr, nullptr, nullptr, 1), c.want)
            << c.filter << " on " << c.len << " bytes";
    }
}

} // namespace
