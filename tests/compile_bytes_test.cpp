// The bytes of compiled filters.
//
// A compiled filter is stored in capture logs and read back by other
// programs, possibly other builds of this library, so every field of every
// node is a stored format: tokens, layers, ids, parameter bits, the address
// block forms, network-order values and the node order. Expected nodes are
// compared over all 112 bytes, so a stray byte anywhere fails them.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using zeriza_test::nest;

// Parameter bits of parms and parms_neg.
constexpr uint32_t kLen = 0x1, kHlen = 0x2, kDlen = 0x4, kSrc = 0x8, kDst = 0x10, kSd = 0x20,
                   kSd1 = 0x40, kEtype = 0x80, kType = 0x100, kCode = 0x200, kC = 0x400,
                   kOrg = 0x800, kF = 0x1000;

// Token, layer and id of each protocol keyword; GROUP and IP# have no keyword.
struct Proto {
    const char *name;
    int32_t tok, lyr, proto;
};
constexpr Proto ETH{"ETH", 15, 2, 1}, E8023{"802.3", 16, 2, 2}, LLC{"LLC", 17, 2, 7},
    SNAP{"SNAP", 18, 2, 8}, ARP{"ARP", 19, 3, 2}, RARP{"RARP", 20, 3, 3}, IP{"IP", 21, 3, 1},
    ICMP{"ICMP", 22, 4, 1}, TCP{"TCP", 23, 4, 6}, UDP{"UDP", 24, 4, 17}, IPX{"IPX", 25, 3, 6},
    IGMP{"IGMP", 26, 4, 2}, OSPF{"OSPF", 27, 4, 89}, GROUP{"", 0, 0, 0};
constexpr Proto kProtos[] = {ETH, E8023, LLC, SNAP, ARP, RARP, IP, ICMP, TCP, UDP, IPX, IGMP, OSPF};
constexpr auto ip_number = [](int32_t n) { return Proto{"", -1, 4, n}; };

// ---- reading and checking compiled filters ------------------------------------

// Compare nodes over all their bytes, as 4-byte words read on this machine,
// 28 a node, so that a failure shows which word of which node differs.
void expect_nodes(const std::vector<filt_node> &want, const std::vector<filt_node> &got,
                  const std::string &what)
{
    const auto words = [](const std::vector<filt_node> &v) {
        std::vector<uint32_t> w(v.size() * NIF_NODE_SIZE / 4);
        if (!w.empty())
            std::memcpy(w.data(), v.data(), w.size() * 4);
        return w;
    };
    EXPECT_EQ(words(got), words(want)) << what;
}

// Compile text that must be accepted and return its nodes, 112 bytes a node.
// Every tree and atom shape is compared with hand-written nodes below, which
// is what keeps the array one that a reader of stored filters accepts.
std::vector<filt_node> compile(const std::string &text)
{
    int size = -1;
    filt_node *f = nif_filt_parse(text.c_str(), &size);
    std::vector<filt_node> out;
    if (f && size > 0 && size % NIF_NODE_SIZE == 0)
        out.assign(f, f + size / NIF_NODE_SIZE);
    EXPECT_FALSE(out.empty()) << "'" << text.substr(0, 60) << "': size " << size << ", "
                              << gnl_usrmsg;
    nif_filt_free(f);
    return out;
}

// Address blocks: a MAC from hex digits (B the broadcast address), the "M"
// flag word of ETH and 802.3, an LLC service access point, an IPv4 address
// from hex digits with its whole prefix bytes and the next byte masked to the
// rest of the prefix, a port with its relop.
using Block = std::array<unsigned char, 12>;
const auto hex = [](const char *digits) {
    Block b{};
    for (size_t i = 0; digits[2 * i]; ++i)
        std::sscanf(digits + 2 * i, "%2hhx", &b[i]);
    return b;
};
const auto word = [](Block b, size_t at, int32_t v) { return std::memcpy(&b[at], &v, 4), b; };
const Block B = hex("ffffffffffff"), M = word({}, 8, 1);
const auto sap = [](int32_t v) { return word({}, 0, v); };
const auto ip4 = [](const char *a, int32_t whole, int32_t next) {
    return word(word(hex(a), 4, whole), 8, next);
};
const auto port = [](unsigned p, char op) { return word({uint8_t(p >> 8), uint8_t(p)}, 4, op); };

// An expected node: zero but for what the calls write.
struct N {
    filt_node n;
    N(const Proto &p, uint32_t parms = 0, uint32_t neg = 0) : n{}
    {
        n.tok = p.tok, n.lyr = p.lyr, n.proto = p.proto, n.parms = parms, n.parms_neg = neg;
    }
    N &src(const Block &b) { return std::memcpy(n.src, b.data(), 12), *this; }
    N &dst(const Block &b) { return std::memcpy(n.dst, b.data(), 12), *this; }
    N &sd2(const Block &b) { return src(b).dst(b); }
    N &len(int32_t v, char op) { return n.len = v, n.len_op = op, *this; }
    N &hlen(int32_t v, char op) { return n.hlen = v, n.hlen_op = op, *this; }
    N &dlen(int32_t v, char op) { return n.dlen = v, n.dlen_op = op, *this; }
    N &etype(const char *h) { return std::memcpy(n.etype, hex(h).data(), 4), *this; }
    N &org(const char *h) { return std::memcpy(n.org, hex(h).data(), 4), *this; }
    N &ctl(int32_t v) { return n.llc_ctl = v, *this; }
    N &icmp(int32_t type, int32_t code) { return n.icmp_type = type, n.icmp_code = code, *this; }
    N &tcpf(uint32_t set, uint32_t clr) { return n.tcp_set = set, n.tcp_clr = clr, *this; }
    N &ipf(int32_t f) { return n.ip_flag = f, *this; }
    N &tree(uint32_t f, int o, int k) { return n.flags = f, n.kid_off = o, n.nkids = k, *this; }
};

// The text must compile to this one node.
const auto expect_atom = [](const std::string &text, const N &want) {
    expect_nodes({want.n}, compile(text), text);
};

// ---- atoms --------------------------------------------------------------------

TEST(CompiledAtoms, KeywordsAndParameters)
{
    // A protocol of the numbered form may be named through the machine's database.
    for (const Proto &p : kProtos)
        expect_atom(p.name, N(p));
    for (std::string name : {"tcp", "gre"}) {
        const protoent *p = getprotobyname(name.c_str());
        ASSERT_NE(p, nullptr) << "this machine has no protocol '" << name << "'";
        expect_atom("IP #" + name, N(ip_number(p->p_proto)));
    }
    const auto service = [](const char *name, const char *proto) -> unsigned {
        const servent *s = getservbyname(name, proto);
        EXPECT_NE(s, nullptr) << "this machine has no " << proto << " service '" << name << "'";
        return s ? ntohs(static_cast<uint16_t>(s->s_port)) : 0;
    };
    const unsigned telnet = service("telnet", "tcp"), domain = service("domain", "udp");
    const std::pair<const char *, N> cases[] = {
        {"ETH SRC=b", N(ETH, kSrc).src(B)},
        {"^(TCP SRC=80)", N(TCP, kSrc).src(port(80, '=')).tree(NIF_FLAG_NEGATE, 0, 0)},
        {"ETH SD:2=8:0:20:1:2:3", N(ETH, kSrc | kDst).sd2(hex("080020010203"))},
        // SD and SD:1 fill the destination block.
        {"802.3 SD=00:1a:2B:3c:4d:5e", N(E8023, kSd).dst(hex("001a2b3c4d5e"))},
        // M, in either case, sets the flag word only; the address bytes stay zero.
        {"ETH SRC=m DST=1:2:3:4:5:6", N(ETH, kSrc | kDst).src(M).dst(hex("010203040506"))},
        {"LLC SD=255", N(LLC, kSd).dst(sap(255))},
        {"LLC SD:2=240", N(LLC, kSrc | kDst).sd2(sap(240))},
        {"LLC SD:1=4 C=3", N(LLC, kSd1 | kC).dst(sap(4)).ctl(3)},
        // The address itself is kept unmasked.
        {"IP SRC=10.17.2.3/12", N(IP, kSrc).src(ip4("0a110203", 1, 16))},
        {"IP SD=10.1.2.3/31", N(IP, kSd).dst(ip4("0a010203", 3, 2))},
        {"IP SD:1=192.168.0.0/1", N(IP, kSd1).dst(ip4("c0a80000", 0, 128))},
        {"IP SRC=10.1.2.3/32", N(IP, kSrc).src(ip4("0a010203", 4, 0))},
        {"IP SD:2=10.17.2.3/12", N(IP, kSrc | kDst).sd2(ip4("0a110203", 1, 16))},
        {"IP SRC=1.2.3.4 DST=5.6.7.8/8",
         N(IP, kSrc | kDst).src(ip4("01020304", 4, 0)).dst(ip4("05060708", 1, 0))},
        {"IP SD=localhost", N(IP, kSd).dst(ip4("7f000001", 4, 0))},
        // All ones, which a failed dotted conversion also returns, is still an address.
        {"IP SRC=255.255.255.255", N(IP, kSrc).src(ip4("ffffffff", 4, 0))},
        {"TCP SRC=Telnet", N(TCP, kSrc).src(port(telnet, '='))},
        {"UDP SD:2=domain", N(UDP, kSrc | kDst).sd2(port(domain, '='))},
        // Only the low 16 bits of a number are a port.
        {"TCP SRC=65616", N(TCP, kSrc).src(port(80, '='))},
        {"UDP SD:1>8080", N(UDP, kSd1).dst(port(8080, '>'))},
        {"TCP SRC<1 DST>65535", N(TCP, kSrc | kDst).src(port(1, '<')).dst(port(65535, '>'))},
        {"UDP ^SRC = 53", N(UDP, kSrc, kSrc).src(port(53, '='))},
        {"ETH ETYPE=2048", N(ETH, kEtype).etype("0800")},
        {"SNAP ETYPE=33079", N(SNAP, kEtype).etype("8137")},
        {"SNAP ORG=16777215", N(SNAP, kOrg).org("ffffff")},
        {"SNAP ORG=2048", N(SNAP, kOrg).org("000800")},
        {"LLC C=255", N(LLC, kC).ctl(255)},
        {"IP#89 LEN>100", N(ip_number(89), kLen).len(100, '>')},
        {"ETH LEN=0 HLEN>14 DLEN<46",
         N(ETH, kLen | kHlen | kDlen).len(0, '=').hlen(14, '>').dlen(46, '<')},
        // A negated parameter is marked in parms_neg; it does not negate the rule.
        {"TCP ^SD:2=80", N(TCP, kSrc | kDst, kSrc | kDst).sd2(port(80, '='))},
        {"IP ^LEN>5 HLEN=5 ^DLEN<3",
         N(IP, kLen | kHlen | kDlen, kLen | kDlen).len(5, '>').hlen(5, '=').dlen(3, '<')},
    };
    for (const auto &[text, want] : cases)
        expect_atom(text, want);
}

TEST(CompiledAtoms, IcmpNames)
{
    const std::pair<const char *, int32_t> types[] = {
        {"echo", 8},    {"ECHOREQ", 8},  {"echorsp", 0},   {"EchoRep", 0},
        {"unreach", 3}, {"redir", 5},    {"srcquench", 4}, {"quench", 4},
        {"rtradv", 9},  {"rtrwant", 10}, {"RtrSol", 10},   {"300", 300},
    };
    for (auto [name, type] : types)
        expect_atom(std::string("ICMP TYPE=") + name, N(ICMP, kType).icmp(type, 0));
    const std::tuple<const char *, int32_t, int32_t> codes[] = {
        {"unreach CODE=needfrag", 3, 4}, {"3 CODE=net", 3, 0},         {"3 CODE=network", 3, 0},
        {"3 CODE=host", 3, 1},           {"3 CODE=prot", 3, 2},        {"3 CODE=proto", 3, 2},
        {"3 CODE=Protocol", 3, 2},       {"3 CODE=port", 3, 3},        {"3 CODE=frag", 3, 4},
        {"3 CODE=netbad", 3, 6},         {"3 CODE=unknown-net", 3, 6}, {"3 CODE=hostbad", 3, 7},
        {"3 CODE=UNKNOWN-HOST", 3, 7},   {"3 CODE=99", 3, 99},         {"redir CODE=NET", 5, 0},
        {"5 CODE=network", 5, 0},        {"5 CODE=Host", 5, 1},        {"11 CODE=1", 11, 1},
    };
    for (auto [text, type, code] : codes)
        expect_atom(std::string("ICMP TYPE=") + text, N(ICMP, kType | kCode).icmp(type, code));
}

TEST(CompiledAtoms, Flags)
{
    // TCP flags that must be set, and clear: F 01, S 02, R 04, P 08, A 10, U 20.
    // '*' stands for every flag not named with the other sign.
    const std::tuple<const char *, uint32_t, uint32_t> tcp[] = {
        {"S^A", 0x02, 0x10},  {"^F^S^R^P^A^U", 0, 0x3f}, {"fsrpau", 0x3f, 0},   {"", 0, 0},
        {"S*", 0x3f, 0},      {"^R*", 0x3b, 0x04},       {"SA^*", 0x12, 0x2d},  {"^A^*", 0, 0x3f},
        {"S^A*", 0x2f, 0x10}, {"^A^S*", 0x2d, 0x12},     {"s^a^*", 0x02, 0x3d},
    };
    for (auto [flags, set, clr] : tcp)
        expect_atom(std::string("TCP F=") + flags, N(TCP, kF).tcpf(set, clr));
    // IP: 1 when a fragment is wanted; the last letter counts.
    const std::pair<const char *, int32_t> ip[] = {
        {"IP F=f", 1}, {"IP F=^F", 0}, {"IP F=", 0}, {"IP F=^FF", 1}, {"IP F=F^F", 0}};
    for (auto [text, flag] : ip)
        expect_atom(text, N(IP, kF).ipf(flag));
}

// ---- trees --------------------------------------------------------------------

// The nodes a tree must compile to, one word a node: a protocol keyword for
// an atom without parameters, "&k.n" or "|k.n" for a group whose n children
// start k nodes further on; a leading '^' negates.
std::vector<filt_node> shape(const std::string &words)
{
    std::istringstream in(words);
    std::vector<filt_node> out;
    for (std::string w; in >> w;) {
        const uint32_t neg = w[0] == '^' ? NIF_FLAG_NEGATE : 0;
        char op = 0;
        int off = 0, kids = 0;
        std::sscanf(w.erase(0, neg).c_str(), "%c%d.%d", &op, &off, &kids);
        N x(GROUP);
        for (const Proto &p : kProtos)
            x = w == p.name ? N(p) : x;
        EXPECT_TRUE(x.n.tok || kids) << "no node '" << w << "'";
        out.push_back(x.tree(neg | (op == '|' ? NIF_FLAG_OR : 0), off, kids).n);
    }
    return out;
}

TEST(CompiledTrees, NodeOrderAndFolding)
{
    const std::pair<const char *, const char *> cases[] = {
        // Children come as one block per parent, blocks in the pre-order of
        // their parents, so a later atom of the text may come first.
        {"((TCP) & ((ARP) | (RARP))) | ((UDP) & (IP))", "|1.2 &2.2 &5.2 TCP |1.2 ARP RARP UDP IP"},
        {"((TCP) | (UDP)) & ((ARP) | (RARP))", "&1.2 |2.2 |3.2 TCP UDP ARP RARP"},
        {"(((TCP) | (UDP)) & (ARP)) | (IP)", "|1.2 &2.2 IP |2.2 ARP TCP UDP"},
        {"(TCP) & ^(UDP) & (ARP)", "&1.3 TCP ^UDP ARP"},
        {"^((TCP) & (UDP))", "^&1.2 TCP UDP"},
        // Single-child groups fold into their parent; negations along the
        // way compose, an even number cancelling.
        {"((((TCP))))", "TCP"},
        {"^(^TCP)", "TCP"},
        {"^(^(^(TCP)))", "^TCP"},
        {"^(^((TCP) | (UDP)))", "|1.2 TCP UDP"},
        {"((((TCP) | (UDP))) & ((ARP)))", "&1.2 |2.2 ARP TCP UDP"},
    };
    for (auto [text, words] : cases)
        expect_nodes(shape(words), compile(text), text);
}

TEST(CompiledTrees, GroupOfAtomsKeepsTextOrder)
{
    // Each atom of a group is the node its text compiles to alone. Groups
    // may be as wide as the text makes them: only depth is bounded.
    const char *atoms[] = {"ARP HLEN=28",  "802.3 SRC=B",   "TCP SD=80 HLEN<20 DLEN>0 F=SA LEN=60",
                           "ETH DST=M",    "ICMP TYPE=3",   "IP SRC=10.1.0.0/16",
                           "IGMP LEN<100", "RARP HLEN=28",  "UDP SD:2=domain",
                           "LLC C=3",      "SNAP ORG=2048", "IPX LEN>0",
                           "OSPF LEN=40",  "IP#47"};
    std::vector<filt_node> alone;
    for (const char *atom : atoms)
        alone.push_back(compile(atom).at(0));
    // One group that wide only: compiling takes time that grows with the square of the text.
    const std::pair<const char *, int> groups[] = {
        {" | ", 2}, {" & ", 2}, {" & ", 14}, {" | ", 20000}};
    for (auto [join, n] : groups) {
        std::string text;
        std::vector<filt_node> want = {N(GROUP).tree(join[1] == '|' ? NIF_FLAG_OR : 0, 1, n).n};
        for (int i = 0; i < n; ++i) {
            text += (i ? join : "") + std::string("(") + atoms[i % 14] + ")";
            want.push_back(alone[i % 14]);
        }
        expect_nodes(want, compile(text), text.substr(0, 60));
    }
}

TEST(CompiledTrees, SameBytesAsSimplerText)
{
    // Brackets, blanks, case and the ways of writing one value leave no trace
    // in the compiled bytes.
    const std::pair<std::string, std::string> pairs[] = {
        {"(TCP)|(UDP)", "(TCP) | (UDP)"},
        {"( TCP ) | ( UDP )", "(TCP) | (UDP)"},
        {"\tTCP\tSRC=80\tDST=81\t", "TCP SRC=80 DST=81"},
        {"tcp src=80", "TCP SRC=80"},
        {"TCP SD=http", "TCP SD=80"},
        {"ETH SRC=ff:ff:ff:ff:ff:ff", "ETH SRC=B"},
        {"TCP SD:2<1024", "TCP SRC<1024 DST<1024"},
        {nest(64, "TCP", "^("), "TCP"},
    };
    for (const auto &[text, same_as] : pairs)
        expect_nodes(compile(same_as), compile(text), text.substr(0, 60) + " vs " + same_as);
    // Nor does leaving out the size, which is the caller's to ask for.
    filt_node *f = nif_filt_parse("TCP SD=80", nullptr);
    EXPECT_TRUE(f && std::memcmp(f, compile("TCP SD=80").data(), NIF_NODE_SIZE) == 0);
    nif_filt_free(f);
}

} // namespace
