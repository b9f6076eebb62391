// The bytes of compiled filters.
//
// A compiled filter is stored in capture logs and read back by other
// programs, possibly other builds of this library, so every field of every
// node is a stored format: tokens, layers, ids, parameter bits, the address
// block forms, network-order values and the node order. Single-rule cases
// are compared over all 112 bytes, so a stray byte anywhere fails them.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using zeriza_test::nest;

// Parameter bits of parms and parms_neg.
enum : uint32_t {
    kLen = 0x0001,
    kHlen = 0x0002,
    kDlen = 0x0004,
    kSrc = 0x0008,
    kDst = 0x0010,
    kSd = 0x0020,
    kSd1 = 0x0040,
    kEtype = 0x0080,
    kType = 0x0100,
    kCode = 0x0200,
    kC = 0x0400,
    kOrg = 0x0800,
    kF = 0x1000,
};

// TCP header flag bits.
enum : uint32_t { tF = 0x01, tS = 0x02, tR = 0x04, tP = 0x08, tA = 0x10, tU = 0x20 };

// ---- reading and checking compiled filters ------------------------------------

struct Field {
    const char *name;
    size_t offset;
    size_t width;
};

#define FIELD(f)                                                                                   \
    {                                                                                              \
#f, offsetof(filt_node, f), sizeof(filt_node::f)                                           \
    }
const Field kFields[] = {
    FIELD(tok),       FIELD(lyr),     FIELD(proto),   FIELD(len),     FIELD(len_op),
    FIELD(hlen),      FIELD(hlen_op), FIELD(dlen),    FIELD(dlen_op), FIELD(src),
    FIELD(dst),       FIELD(etype),   FIELD(llc_ctl), FIELD(org),     FIELD(icmp_type),
    FIELD(icmp_code), FIELD(ip_flag), FIELD(tcp_set), FIELD(tcp_clr), FIELD(parms),
    FIELD(parms_neg), FIELD(flags),   FIELD(kid_off), FIELD(nkids),
};
#undef FIELD

std::string hex(const void *p, size_t n)
{
    std::ostringstream os;
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i) {
        static const char digits[] = "0123456789abcdef";
        os << (i ? " " : "") << digits[b[i] >> 4] << digits[b[i] & 15];
    }
    return os.str();
}

// The fields in which two nodes differ, with both byte strings.
std::string node_diff(const filt_node &want, const filt_node &got)
{
    std::ostringstream os;
    const auto *w = reinterpret_cast<const unsigned char *>(&want);
    const auto *g = reinterpret_cast<const unsigned char *>(&got);
    for (const auto &f : kFields)
        if (std::memcmp(w + f.offset, g + f.offset, f.width) != 0)
            os << "\n  " << f.name << ": want " << hex(w + f.offset, f.width) << ", got "
               << hex(g + f.offset, f.width);
    return os.str();
}

bool all_zero(const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i])
            return false;
    return true;
}

// What every compiled filter must satisfy: children after their parent and
// inside the array, no node with exactly one child, every node but the root
// the child of exactly one node, groups without protocol or parameters.
void expect_well_formed(const std::vector<filt_node> &nodes, const std::string &text)
{
    const int n = static_cast<int>(nodes.size());
    std::vector<int> parents(n, 0);
    for (int i = 0; i < n; ++i) {
        const filt_node &x = nodes[i];
        SCOPED_TRACE("'" + text + "' node " + std::to_string(i));
        EXPECT_EQ(x.flags & ~(NIF_FLAG_NEGATE | NIF_FLAG_OR), 0u);
        if (x.nkids == 0) {
            EXPECT_EQ(x.kid_off, 0);
            continue;
        }
        EXPECT_GE(x.nkids, 2) << "a single-child group was not folded away";
        EXPECT_GE(x.kid_off, 1);
        EXPECT_LE(i + x.kid_off + x.nkids, n);
        EXPECT_TRUE(all_zero(&x, offsetof(filt_node, flags)))
            << "group carries atom fields: " << hex(&x, offsetof(filt_node, flags));
        if (x.nkids < 1 || x.kid_off < 1 || i + x.kid_off + x.nkids > n)
            continue;
        for (int k = 0; k < x.nkids; ++k)
            ++parents[i + x.kid_off + k];
    }
    EXPECT_EQ(parents.empty() ? 0 : parents[0], 0) << text << ": the root is someone's child";
    for (int i = 1; i < n; ++i)
        EXPECT_EQ(parents[i], 1) << text << ": node " << i << " has " << parents[i] << " parents";
    // What the compiler writes, a reader of stored filters must accept.
    EXPECT_EQ(nif_filt_check(nodes.data(), n * NIF_NODE_SIZE), 0) << text << ": " << gnl_usrmsg;
}

// Compile text that must be accepted and return its nodes. The size must be
// 112 bytes a node; the same text compiled again, without a size pointer,
// must give the same bytes; and the array must be well formed.
std::vector<filt_node> compile(const std::string &text)
{
    std::vector<filt_node> out;
    int size = -1;
    filt_node *f = nif_filt_parse(text.c_str(), &size);
    if (!f) {
        ADD_FAILURE() << "'" << text << "' refused: " << gnl_usrmsg;
        return out;
    }
    if (size < NIF_NODE_SIZE || size % NIF_NODE_SIZE != 0) {
        ADD_FAILURE() << "'" << text << "': size " << size << " is not a whole number of nodes";
        nif_filt_free(f);
        return out;
    }
    out.assign(f, f + size / NIF_NODE_SIZE);
    nif_filt_free(f);

    filt_node *again = nif_filt_parse(text.c_str(), nullptr);
    if (!again) {
        ADD_FAILURE() << "'" << text << "' refused the second time: " << gnl_usrmsg;
    } else {
        EXPECT_EQ(std::memcmp(again, out.data(), size), 0)
            << "'" << text << "' compiled twice gives different bytes";
        nif_filt_free(again);
    }
    expect_well_formed(out, text);
    return out;
}

// ---- building expected nodes --------------------------------------------------

filt_node zero_node()
{
    filt_node n;
    std::memset(&n, 0, sizeof n);
    return n;
}

void put_u32(unsigned char *at, uint32_t v)
{
    std::memcpy(at, &v, 4);
}

void put_i32(unsigned char *at, int32_t v)
{
    std::memcpy(at, &v, 4);
}

void as(filt_node &n, int32_t tok, int32_t lyr, int32_t proto)
{
    n.tok = tok;
    n.lyr = lyr;
    n.proto = proto;
}

void eth(filt_node &n)
{
    as(n, 15, 2, 1);
}
void e8023(filt_node &n)
{
    as(n, 16, 2, 2);
}
void llc(filt_node &n)
{
    as(n, 17, 2, 7);
}
void snap(filt_node &n)
{
    as(n, 18, 2, 8);
}
void arp(filt_node &n)
{
    as(n, 19, 3, 2);
}
void ip(filt_node &n)
{
    as(n, 21, 3, 1);
}
void icmp(filt_node &n)
{
    as(n, 22, 4, 1);
}
void tcp(filt_node &n)
{
    as(n, 23, 4, 6);
}
void udp(filt_node &n)
{
    as(n, 24, 4, 17);
}

using Mac = std::array<unsigned char, 6>;
const Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void mac(unsigned char *block, const Mac &m)
{
    std::memcpy(block, m.data(), 6);
}

// The "M" flag of an ETH or 802.3 block.
void multicast(unsigned char *block)
{
    put_u32(block + 8, 1);
}

// IPv4 block: the address, the whole prefix bytes, the masked next byte.
void ipv4(unsigned char *block, std::array<unsigned char, 4> a, int32_t whole, uint32_t next)
{
    std::memcpy(block, a.data(), 4);
    put_i32(block + 4, whole);
    put_u32(block + 8, next);
}

// TCP/UDP block: the port big-endian, then the relop character.
void port(unsigned char *block, unsigned p, char op)
{
    block[0] = static_cast<unsigned char>(p >> 8);
    block[1] = static_cast<unsigned char>(p & 0xff);
    put_i32(block + 4, op);
}

void llc_sap(unsigned char *block, int32_t sap)
{
    put_i32(block, sap);
}

unsigned service_port(const char *name, const char *proto)
{
    const servent *s = getservbyname(name, proto);
    if (!s) {
        ADD_FAILURE() << "this machine has no " << proto << " service '" << name << "'";
        return 0;
    }
    return ntohs(static_cast<uint16_t>(s->s_port));
}

struct AtomCase {
    const char *text;
    void (*fill)(filt_node &);
};

// Each text compiles to one node, equal over all its bytes to the expected
// node: zero everywhere but where `fill` writes.
void expect_atoms(const std::vector<AtomCase> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), 1u);
        filt_node want = zero_node();
        c.fill(want);
        EXPECT_EQ(std::memcmp(&want, &got[0], sizeof want), 0) << node_diff(want, got[0]);
    }
}

// ---- protocols ----------------------------------------------------------------

TEST(CompiledAtoms, EveryProtocolKeyword)
{
    struct Case {
        const char *text;
        int32_t tok, lyr, proto;
    } cases[] = {
        {"ETH", 15, 2, 1},
        {"802.3", 16, 2, 2},
        {"LLC", 17, 2, 7},
        {"SNAP", 18, 2, 8},
        {"ARP", 19, 3, 2},
        {"RARP", 20, 3, 3},
        {"IP", 21, 3, 1},
        {"ICMP", 22, 4, 1},
        {"TCP", 23, 4, 6},
        {"UDP", 24, 4, 17},
        {"IPX", 25, 3, 6},
        {"IGMP", 26, 4, 2},
        {"OSPF", 27, 4, 89},
        {"tcp", 23, 4, 6},
        {"Tcp", 23, 4, 6},
        {"Ospf", 27, 4, 89},
        {"snap", 18, 2, 8},
        {"rArP", 20, 3, 3},
        {"ip", 21, 3, 1},
        {"  udp  ", 24, 4, 17},
        // The numbered form: no keyword, layer 4, the IP protocol number.
        {"IP#6", -1, 4, 6},
        {"IP#47", -1, 4, 47},
        {"ip#17", -1, 4, 17},
        {"IP #89", -1, 4, 89},
        {"IP#0", -1, 4, 0},
        {"IP#255", -1, 4, 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), 1u);
        filt_node want = zero_node();
        as(want, c.tok, c.lyr, c.proto);
        EXPECT_EQ(std::memcmp(&want, &got[0], sizeof want), 0) << node_diff(want, got[0]);
    }
}

TEST(CompiledAtoms, NumberedIpByProtocolName)
{
    // Names are resolved through the protocols database of the machine.
    for (const char *name : {"tcp", "udp", "icmp", "gre", "ospf"}) {
        const protoent *p = getprotobyname(name);
        ASSERT_NE(p, nullptr) << "this machine has no protocol '" << name << "'";
        const int32_t number = p->p_proto;
        for (std::string text : {std::string("IP#") + name, std::string("IP #") + name}) {
            SCOPED_TRACE(text);
            std::vector<filt_node> got = compile(text);
            ASSERT_EQ(got.size(), 1u);
            filt_node want = zero_node();
            as(want, -1, 4, number);
            EXPECT_EQ(std::memcmp(&want, &got[0], sizeof want), 0) << node_diff(want, got[0]);
        }
    }
}

// ---- address blocks -----------------------------------------------------------

TEST(CompiledAtoms, EthernetAddresses)
{
    expect_atoms({
        {"ETH SRC=b",
         [](filt_node &n) {
             eth(n);
             mac(n.src, kBroadcast);
             n.parms = kSrc;
         }},
        {"ETH SRC=B",
         [](filt_node &n) {
             eth(n);
             mac(n.src, kBroadcast);
             n.parms = kSrc;
         }},
        // M sets the flag word only; the address bytes stay zero.
        {"ETH DST=M",
         [](filt_node &n) {
             eth(n);
             multicast(n.dst);
             n.parms = kDst;
         }},
        {"ETH DST=m",
         [](filt_node &n) {
             eth(n);
             multicast(n.dst);
             n.parms = kDst;
         }},
        {"ETH SD:2=8:0:20:1:2:3",
         [](filt_node &n) {
             eth(n);
             mac(n.src, {0x08, 0x00, 0x20, 0x01, 0x02, 0x03});
             mac(n.dst, {0x08, 0x00, 0x20, 0x01, 0x02, 0x03});
             n.parms = kSrc | kDst;
         }},
        {"ETH SD:2=M",
         [](filt_node &n) {
             eth(n);
             multicast(n.src);
             multicast(n.dst);
             n.parms = kSrc | kDst;
         }},
        {"ETH SD:2=b",
         [](filt_node &n) {
             eth(n);
             mac(n.src, kBroadcast);
             mac(n.dst, kBroadcast);
             n.parms = kSrc | kDst;
         }},
        // SD and SD:1 fill the destination block.
        {"802.3 SD=00:1a:2B:3c:4d:5e",
         [](filt_node &n) {
             e8023(n);
             mac(n.dst, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
             n.parms = kSd;
         }},
        {"802.3 SD:1=ff:ff:ff:ff:ff:fe",
         [](filt_node &n) {
             e8023(n);
             mac(n.dst, {0xff, 0xff, 0xff, 0xff, 0xff, 0xfe});
             n.parms = kSd1;
         }},
        {"ETH SRC=M DST=1:2:3:4:5:6",
         [](filt_node &n) {
             eth(n);
             multicast(n.src);
             mac(n.dst, {1, 2, 3, 4, 5, 6});
             n.parms = kSrc | kDst;
         }},
        {"ETH ^SRC=B",
         [](filt_node &n) {
             eth(n);
             mac(n.src, kBroadcast);
             n.parms = kSrc;
             n.parms_neg = kSrc;
         }},
    });
}

TEST(CompiledAtoms, LlcAddresses)
{
    expect_atoms({
        {"LLC SRC=66",
         [](filt_node &n) {
             llc(n);
             llc_sap(n.src, 66);
             n.parms = kSrc;
         }},
        {"LLC DST=0",
         [](filt_node &n) {
             llc(n);
             n.parms = kDst;
         }},
        {"LLC SD=255",
         [](filt_node &n) {
             llc(n);
             llc_sap(n.dst, 255);
             n.parms = kSd;
         }},
        {"LLC SD:2=240",
         [](filt_node &n) {
             llc(n);
             llc_sap(n.src, 240);
             llc_sap(n.dst, 240);
             n.parms = kSrc | kDst;
         }},
        {"LLC SD:1=4 C=3",
         [](filt_node &n) {
             llc(n);
             llc_sap(n.dst, 4);
             n.llc_ctl = 3;
             n.parms = kSd1 | kC;
         }},
    });
}

TEST(CompiledAtoms, IpAddressesAndPrefixes)
{
    // Word 1 is the number of whole prefix bytes, word 2 the byte after them
    // masked to the rest of the prefix; the address itself is kept unmasked.
    expect_atoms({
        {"IP SRC=10.1.2.3/12",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 1, 2, 3}, 1, 0);
             n.parms = kSrc;
         }},
        {"IP SRC=10.17.2.3/12",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 17, 2, 3}, 1, 16);
             n.parms = kSrc;
         }},
        {"IP SRC=10.1.0.0/16",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 1, 0, 0}, 2, 0);
             n.parms = kSrc;
         }},
        {"IP DST=10.1.2.3/16",
         [](filt_node &n) {
             ip(n);
             ipv4(n.dst, {10, 1, 2, 3}, 2, 0);
             n.parms = kDst;
         }},
        {"IP DST=192.168.77.1/20",
         [](filt_node &n) {
             ip(n);
             ipv4(n.dst, {192, 168, 77, 1}, 2, 64);
             n.parms = kDst;
         }},
        {"IP SD=10.1.2.3/24",
         [](filt_node &n) {
             ip(n);
             ipv4(n.dst, {10, 1, 2, 3}, 3, 0);
             n.parms = kSd;
         }},
        {"IP SD=10.1.2.3/31",
         [](filt_node &n) {
             ip(n);
             ipv4(n.dst, {10, 1, 2, 3}, 3, 2);
             n.parms = kSd;
         }},
        {"IP SD:1=192.168.0.0/1",
         [](filt_node &n) {
             ip(n);
             ipv4(n.dst, {192, 168, 0, 0}, 0, 128);
             n.parms = kSd1;
         }},
        {"IP SRC=10.1.2.3/8",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 1, 2, 3}, 1, 0);
             n.parms = kSrc;
         }},
        {"IP SRC=10.1.2.3",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 1, 2, 3}, 4, 0);
             n.parms = kSrc;
         }},
        {"IP SRC=10.1.2.3/32",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 1, 2, 3}, 4, 0);
             n.parms = kSrc;
         }},
        {"IP SD:2=10.17.2.3/12",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {10, 17, 2, 3}, 1, 16);
             ipv4(n.dst, {10, 17, 2, 3}, 1, 16);
             n.parms = kSrc | kDst;
         }},
        {"IP SRC=1.2.3.4 DST=5.6.7.8/8",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {1, 2, 3, 4}, 4, 0);
             ipv4(n.dst, {5, 6, 7, 8}, 1, 0);
             n.parms = kSrc | kDst;
         }},
        // A host name, resolved through the hosts database.
        {"IP SD=localhost",
         [](filt_node &n) {
             ip(n);
             ipv4(n.dst, {127, 0, 0, 1}, 4, 0);
             n.parms = kSd;
         }},
        // All ones is what a failed dotted conversion returns too; it must
        // still come out as the broadcast address.
        {"IP SRC=255.255.255.255",
         [](filt_node &n) {
             ip(n);
             ipv4(n.src, {255, 255, 255, 255}, 4, 0);
             n.parms = kSrc;
         }},
    });
}

TEST(CompiledAtoms, Ports)
{
    expect_atoms({
        {"TCP DST>1023",
         [](filt_node &n) {
             tcp(n);
             port(n.dst, 1023, '>');
             n.parms = kDst;
         }},
        {"TCP SRC=Telnet",
         [](filt_node &n) {
             tcp(n);
             port(n.src, service_port("telnet", "tcp"), '=');
             n.parms = kSrc;
         }},
        {"TCP SD=HTTP",
         [](filt_node &n) {
             tcp(n);
             port(n.dst, service_port("http", "tcp"), '=');
             n.parms = kSd;
         }},
        {"UDP SD=domain",
         [](filt_node &n) {
             udp(n);
             port(n.dst, service_port("domain", "udp"), '=');
             n.parms = kSd;
         }},
        {"UDP SD:2=domain",
         [](filt_node &n) {
             udp(n);
             port(n.src, service_port("domain", "udp"), '=');
             port(n.dst, service_port("domain", "udp"), '=');
             n.parms = kSrc | kDst;
         }},
        {"TCP SD:2<1024",
         [](filt_node &n) {
             tcp(n);
             port(n.src, 1024, '<');
             port(n.dst, 1024, '<');
             n.parms = kSrc | kDst;
         }},
        // Only the low 16 bits of a number are a port.
        {"TCP SRC=65616",
         [](filt_node &n) {
             tcp(n);
             port(n.src, 80, '=');
             n.parms = kSrc;
         }},
        {"UDP SD:1>8080",
         [](filt_node &n) {
             udp(n);
             port(n.dst, 8080, '>');
             n.parms = kSd1;
         }},
        {"TCP SRC<1 DST>65535",
         [](filt_node &n) {
             tcp(n);
             port(n.src, 1, '<');
             port(n.dst, 65535, '>');
             n.parms = kSrc | kDst;
         }},
        {"UDP ^SRC = 53",
         [](filt_node &n) {
             udp(n);
             port(n.src, 53, '=');
             n.parms = kSrc;
             n.parms_neg = kSrc;
         }},
    });
}

TEST(CompiledAtoms, TypeOrgAndControl)
{
    expect_atoms({
        {"ETH ETYPE=2048",
         [](filt_node &n) {
             eth(n);
             n.etype[0] = 0x08;
             n.parms = kEtype;
         }},
        {"ETH ETYPE=65535",
         [](filt_node &n) {
             eth(n);
             n.etype[0] = 0xff;
             n.etype[1] = 0xff;
             n.parms = kEtype;
         }},
        {"SNAP ETYPE=33079",
         [](filt_node &n) {
             snap(n);
             n.etype[0] = 0x81;
             n.etype[1] = 0x37;
             n.parms = kEtype;
         }},
        {"SNAP ORG=16777215",
         [](filt_node &n) {
             snap(n);
             n.org[0] = n.org[1] = n.org[2] = 0xff;
             n.parms = kOrg;
         }},
        {"SNAP ORG=2048",
         [](filt_node &n) {
             snap(n);
             n.org[1] = 0x08;
             n.parms = kOrg;
         }},
        {"SNAP ORG=65536 ETYPE=1 DLEN>3",
         [](filt_node &n) {
             snap(n);
             n.org[0] = 0x01;
             n.etype[1] = 0x01;
             n.dlen = 3;
             n.dlen_op = '>';
             n.parms = kOrg | kEtype | kDlen;
         }},
        {"LLC C=255",
         [](filt_node &n) {
             llc(n);
             n.llc_ctl = 255;
             n.parms = kC;
         }},
    });
}

TEST(CompiledAtoms, Lengths)
{
    expect_atoms({
        {"IP LEN>100",
         [](filt_node &n) {
             ip(n);
             n.len = 100;
             n.len_op = '>';
             n.parms = kLen;
         }},
        {"IP LEN > 100",
         [](filt_node &n) {
             ip(n);
             n.len = 100;
             n.len_op = '>';
             n.parms = kLen;
         }},
        {"TCP HLEN<20",
         [](filt_node &n) {
             tcp(n);
             n.hlen = 20;
             n.hlen_op = '<';
             n.parms = kHlen;
         }},
        {"UDP DLEN=8",
         [](filt_node &n) {
             udp(n);
             n.dlen = 8;
             n.dlen_op = '=';
             n.parms = kDlen;
         }},
        {"ARP HLEN=28 LEN<1500",
         [](filt_node &n) {
             arp(n);
             n.hlen = 28;
             n.hlen_op = '=';
             n.len = 1500;
             n.len_op = '<';
             n.parms = kHlen | kLen;
         }},
        {"IP#89 LEN>100",
         [](filt_node &n) {
             as(n, -1, 4, 89);
             n.len = 100;
             n.len_op = '>';
             n.parms = kLen;
         }},
        {"ETH LEN=0 HLEN>14 DLEN<46",
         [](filt_node &n) {
             eth(n);
             n.len_op = '=';
             n.hlen = 14;
             n.hlen_op = '>';
             n.dlen = 46;
             n.dlen_op = '<';
             n.parms = kLen | kHlen | kDlen;
         }},
    });
}

// ---- ICMP ---------------------------------------------------------------------

TEST(CompiledAtoms, IcmpTypesAndCodes)
{
    struct Case {
        const char *text;
        int32_t type, code;
        uint32_t parms;
    } cases[] = {
        {"ICMP TYPE=echo", 8, 0, kType},
        {"ICMP TYPE=ECHOREQ", 8, 0, kType},
        {"ICMP TYPE=echorsp", 0, 0, kType},
        {"ICMP TYPE=EchoRep", 0, 0, kType},
        {"ICMP TYPE=unreach", 3, 0, kType},
        {"ICMP TYPE=redir", 5, 0, kType},
        {"ICMP TYPE=srcquench", 4, 0, kType},
        {"ICMP TYPE=quench", 4, 0, kType},
        {"ICMP TYPE=rtradv", 9, 0, kType},
        {"ICMP TYPE=rtrwant", 10, 0, kType},
        {"ICMP TYPE=RtrSol", 10, 0, kType},
        {"ICMP TYPE=13", 13, 0, kType},
        {"ICMP TYPE=300", 300, 0, kType},
        {"ICMP TYPE=unreach CODE=needfrag", 3, 4, kType | kCode},
        {"ICMP TYPE=3 CODE=net", 3, 0, kType | kCode},
        {"ICMP TYPE=3 CODE=network", 3, 0, kType | kCode},
        {"ICMP TYPE=3 CODE=host", 3, 1, kType | kCode},
        {"ICMP TYPE=3 CODE=prot", 3, 2, kType | kCode},
        {"ICMP TYPE=3 CODE=proto", 3, 2, kType | kCode},
        {"ICMP TYPE=3 CODE=Protocol", 3, 2, kType | kCode},
        {"ICMP TYPE=3 CODE=port", 3, 3, kType | kCode},
        {"ICMP TYPE=3 CODE=frag", 3, 4, kType | kCode},
        {"ICMP TYPE=3 CODE=netbad", 3, 6, kType | kCode},
        {"ICMP TYPE=3 CODE=unknown-net", 3, 6, kType | kCode},
        {"ICMP TYPE=3 CODE=hostbad", 3, 7, kType | kCode},
        {"ICMP TYPE=3 CODE=UNKNOWN-HOST", 3, 7, kType | kCode},
        {"ICMP TYPE=3 CODE=99", 3, 99, kType | kCode},
        {"ICMP TYPE=redir CODE=NET", 5, 0, kType | kCode},
        {"ICMP TYPE=5 CODE=network", 5, 0, kType | kCode},
        {"ICMP TYPE=5 CODE=Host", 5, 1, kType | kCode},
        {"ICMP TYPE=8 CODE=0", 8, 0, kType | kCode},
        {"ICMP TYPE=11 CODE=1", 11, 1, kType | kCode},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), 1u);
        filt_node want = zero_node();
        icmp(want);
        want.icmp_type = c.type;
        want.icmp_code = c.code;
        want.parms = c.parms;
        EXPECT_EQ(std::memcmp(&want, &got[0], sizeof want), 0) << node_diff(want, got[0]);
    }
}

// ---- flags --------------------------------------------------------------------

TEST(CompiledAtoms, TcpFlagMasks)
{
    struct Case {
        const char *text;
        uint32_t set, clr;
    } cases[] = {
        {"TCP F=SA", tS | tA, 0},
        {"TCP F=S^A", tS, tA},
        {"TCP F=fsrpau", 0x3f, 0},
        {"TCP F=^F^S^R^P^A^U", 0, 0x3f},
        {"TCP F=U", tU, 0},
        {"TCP F=^p", 0, tP},
        {"TCP F=", 0, 0},
        // '*' stands for every flag not named with the other sign.
        {"TCP F=*", 0x3f, 0},
        {"TCP F=^*", 0, 0x3f},
        {"TCP F=S*", 0x3f, 0},
        {"TCP F=SA^*", tS | tA, 0x2d},
        {"TCP F=AS^*", tS | tA, 0x2d},
        {"TCP F=^R*", 0x3b, tR},
        {"TCP F=S^A*", 0x2f, tA},
        {"TCP F=^A^S*", 0x2d, tA | tS},
        {"TCP F=^A^*", 0, 0x3f},
        {"TCP F=s^a^*", tS, 0x3d},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), 1u);
        filt_node want = zero_node();
        tcp(want);
        want.tcp_set = c.set;
        want.tcp_clr = c.clr;
        want.parms = kF;
        EXPECT_EQ(std::memcmp(&want, &got[0], sizeof want), 0) << node_diff(want, got[0]);
    }

    // '*' with a port after it.
    expect_atoms({{"TCP F=S* DST=80", [](filt_node &n) {
                       tcp(n);
                       n.tcp_set = 0x3f;
                       port(n.dst, 80, '=');
                       n.parms = kF | kDst;
                   }}});
}

TEST(CompiledAtoms, IpFragmentFlag)
{
    struct Case {
        const char *text;
        int32_t ip_flag;
        uint32_t parms_neg;
    } cases[] = {
        {"IP F=F", 1, 0},   {"IP F=f", 1, 0},   {"IP F=^F", 0, 0},  {"IP F=", 0, 0},
        {"IP F=^FF", 1, 0}, {"IP F=F^F", 0, 0}, {"IP ^F=F", 1, kF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), 1u);
        filt_node want = zero_node();
        ip(want);
        want.ip_flag = c.ip_flag;
        want.parms = kF;
        want.parms_neg = c.parms_neg;
        EXPECT_EQ(std::memcmp(&want, &got[0], sizeof want), 0) << node_diff(want, got[0]);
    }
}

// ---- parameter sets -----------------------------------------------------------

TEST(CompiledAtoms, ParameterSets)
{
    struct Case {
        const char *text;
        uint32_t parms, parms_neg;
    } cases[] = {
        {"TCP ^SRC=80", kSrc, kSrc},
        {"TCP SD:2=80", kSrc | kDst, 0},
        {"TCP ^SD:2=80", kSrc | kDst, kSrc | kDst},
        {"TCP SD=80", kSd, 0},
        {"TCP SD:1=80 LEN=40", kSd1 | kLen, 0},
        {"IP ^LEN>5 HLEN=5 ^DLEN<3", kLen | kHlen | kDlen, kLen | kDlen},
        {"ETH HLEN=14 DLEN=46 SRC=B DST=M ETYPE=2048", kHlen | kDlen | kSrc | kDst | kEtype, 0},
        {"ICMP ^TYPE=3 CODE=3", kType | kCode, kType},
        {"LLC SD:1=4 ^C=3", kSd1 | kC, kC},
        {"SNAP ^ORG=0 DLEN>3", kOrg | kDlen, kOrg},
        {"TCP ^F=S SD=80", kF | kSd, kF},
        {"IP ^SD=10.0.0.1", kSd, kSd},
        {"IP#6 ^LEN<40", kLen, kLen},
        {"UDP ^HLEN=8", kHlen, kHlen},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].parms, c.parms);
        EXPECT_EQ(got[0].parms_neg, c.parms_neg);
        EXPECT_EQ(got[0].flags, 0u) << "a negated parameter does not negate the rule";
    }
}

// ---- trees --------------------------------------------------------------------

// Layer and id of each protocol token, for checking atoms inside trees.
struct ProtoId {
    int32_t lyr, proto;
};
ProtoId proto_id(int32_t tok)
{
    switch (tok) {
    case 15:
        return {2, 1};
    case 16:
        return {2, 2};
    case 17:
        return {2, 7};
    case 18:
        return {2, 8};
    case 19:
        return {3, 2};
    case 20:
        return {3, 3};
    case 21:
        return {3, 1};
    case 22:
        return {4, 1};
    case 23:
        return {4, 6};
    case 24:
        return {4, 17};
    case 25:
        return {3, 6};
    case 26:
        return {4, 2};
    case 27:
        return {4, 89};
    }
    return {0, 0};
}

constexpr int32_t TCP = 23, UDP = 24, ARP = 19, RARP = 20, IP = 21;

struct Shape {
    int32_t tok; // 0 for a group
    uint32_t flags;
    int32_t kid_off, nkids;
};

struct TreeCase {
    const char *text;
    std::vector<Shape> nodes;
};

TEST(CompiledTrees, NodeOrderAndFolding)
{
    const TreeCase cases[] = {
        // Children come as one block per parent, blocks in the pre-order of
        // their parents: written 0, 1, 3, 4, 2.
        {"((TCP) & (ARP)) | (UDP)",
         {{0, 2, 1, 2}, {0, 0, 2, 2}, {UDP, 0, 0, 0}, {TCP, 0, 0, 0}, {ARP, 0, 0, 0}}},
        {"((TCP) & ((ARP) | (RARP))) | ((UDP) & (IP))",
         {{0, 2, 1, 2},
          {0, 0, 2, 2},
          {0, 0, 5, 2},
          {TCP, 0, 0, 0},
          {0, 2, 1, 2},
          {ARP, 0, 0, 0},
          {RARP, 0, 0, 0},
          {UDP, 0, 0, 0},
          {IP, 0, 0, 0}}},
        {"((TCP) | (UDP)) & ((ARP) | (RARP))",
         {{0, 0, 1, 2},
          {0, 2, 2, 2},
          {0, 2, 3, 2},
          {TCP, 0, 0, 0},
          {UDP, 0, 0, 0},
          {ARP, 0, 0, 0},
          {RARP, 0, 0, 0}}},
        {"(((TCP) | (UDP)) & (ARP)) | (IP)",
         {{0, 2, 1, 2},
          {0, 0, 2, 2},
          {IP, 0, 0, 0},
          {0, 2, 2, 2},
          {ARP, 0, 0, 0},
          {TCP, 0, 0, 0},
          {UDP, 0, 0, 0}}},
        {"(TCP) | ((UDP) & (ARP))",
         {{0, 2, 1, 2}, {TCP, 0, 0, 0}, {0, 0, 1, 2}, {UDP, 0, 0, 0}, {ARP, 0, 0, 0}}},
        {"(TCP) | (UDP)", {{0, 2, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        {"(TCP) & (UDP)", {{0, 0, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        {"(TCP) & ^(UDP) & (ARP)", {{0, 0, 1, 3}, {TCP, 0, 0, 0}, {UDP, 1, 0, 0}, {ARP, 0, 0, 0}}},
        {"^((TCP) & (UDP))", {{0, 1, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        // Single-child groups fold into their parent; negations along the
        // way compose, an even number cancelling.
        {"(TCP)", {{TCP, 0, 0, 0}}},
        {"((((TCP))))", {{TCP, 0, 0, 0}}},
        {"^TCP", {{TCP, 1, 0, 0}}},
        {"^(TCP)", {{TCP, 1, 0, 0}}},
        {"(^TCP)", {{TCP, 1, 0, 0}}},
        {"^(^TCP)", {{TCP, 0, 0, 0}}},
        {"^(^(^(TCP)))", {{TCP, 1, 0, 0}}},
        {"(TCP) & ((UDP))", {{0, 0, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        {"((TCP) | (UDP))", {{0, 2, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        {"^((TCP) | (UDP))", {{0, 3, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        {"^(^((TCP) | (UDP)))", {{0, 2, 1, 2}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
        {"(^(TCP)) | (UDP)", {{0, 2, 1, 2}, {TCP, 1, 0, 0}, {UDP, 0, 0, 0}}},
        {"(((TCP) & (UDP) & (ARP)))",
         {{0, 0, 1, 3}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}, {ARP, 0, 0, 0}}},
        {"((((TCP) | (UDP))) & ((ARP)))",
         {{0, 0, 1, 2}, {0, 2, 2, 2}, {ARP, 0, 0, 0}, {TCP, 0, 0, 0}, {UDP, 0, 0, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<filt_node> got = compile(c.text);
        ASSERT_EQ(got.size(), c.nodes.size());
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE("node " + std::to_string(i));
            const Shape &s = c.nodes[i];
            const filt_node &n = got[i];
            EXPECT_EQ(n.tok, s.tok);
            EXPECT_EQ(n.flags, s.flags);
            EXPECT_EQ(n.kid_off, s.kid_off);
            EXPECT_EQ(n.nkids, s.nkids);
            if (s.tok) {
                EXPECT_EQ(n.lyr, proto_id(s.tok).lyr);
                EXPECT_EQ(n.proto, proto_id(s.tok).proto);
                // No parameters in these atoms: nothing else is set.
                EXPECT_TRUE(all_zero(&n.len, offsetof(filt_node, flags) - offsetof(filt_node, len)))
                    << hex(&n, NIF_ATOM_SIZE);
            }
        }
    }
}

TEST(CompiledTrees, GroupOfAtomsKeepsTextOrder)
{
    // Each atom of a group is the node its text compiles to alone.
    const char *atoms[] = {"TCP SD=80",   "UDP SD:2=domain",
                           "ARP HLEN=28", "IP SRC=10.1.0.0/16",
                           "ETH DST=M",   "802.3 SRC=B",
                           "LLC C=3",     "SNAP ORG=2048",
                           "RARP",        "ICMP TYPE=3",
                           "IPX",         "IGMP LEN<100",
                           "OSPF",        "IP#47"};
    const int total = sizeof atoms / sizeof atoms[0];
    for (int n = 2; n <= total; ++n) {
        for (const char *join : {" | ", " & "}) {
            std::string text;
            for (int i = 0; i < n; ++i)
                text += std::string(i ? join : "") + "(" + atoms[i] + ")";
            SCOPED_TRACE(text);
            std::vector<filt_node> got = compile(text);
            ASSERT_EQ(got.size(), static_cast<size_t>(n + 1));
            EXPECT_EQ(got[0].kid_off, 1);
            EXPECT_EQ(got[0].nkids, n);
            EXPECT_EQ(got[0].flags, join[1] == '|' ? NIF_FLAG_OR : 0u);
            for (int i = 0; i < n; ++i) {
                std::vector<filt_node> alone = compile(atoms[i]);
                ASSERT_EQ(alone.size(), 1u);
                EXPECT_EQ(std::memcmp(&alone[0], &got[i + 1], sizeof(filt_node)), 0)
                    << "atom " << i << node_diff(alone[0], got[i + 1]);
            }
        }
    }
}

TEST(CompiledTrees, WideGroup)
{
    const int n = 300;
    std::string text;
    for (int i = 1; i <= n; ++i)
        text += std::string(i > 1 ? " | " : "") + "(TCP SD=" + std::to_string(i) + ")";
    std::vector<filt_node> got = compile(text);
    ASSERT_EQ(got.size(), static_cast<size_t>(n + 1));
    EXPECT_EQ(got[0].nkids, n);
    EXPECT_EQ(got[0].kid_off, 1);
    for (int i = 1; i <= n; ++i) {
        filt_node want = zero_node();
        tcp(want);
        port(want.dst, static_cast<unsigned>(i), '=');
        want.parms = kSd;
        EXPECT_EQ(std::memcmp(&want, &got[i], sizeof want), 0)
            << "atom " << i << node_diff(want, got[i]);
    }
}

TEST(CompiledTrees, SameBytesAsSimplerText)
{
    // Brackets, blanks, case and the ways of writing one value leave no trace
    // in the compiled bytes.
    struct Pair {
        std::string text, same_as;
    } pairs[] = {
        {"(TCP)", "TCP"},
        {"((((TCP))))", "TCP"},
        {"^(^TCP)", "TCP"},
        {"^(TCP)", "^TCP"},
        {"(^TCP)", "^TCP"},
        {"^ (TCP)", "^TCP"},
        {"^(^(^(TCP)))", "^TCP"},
        {"((TCP) | (UDP))", "(TCP) | (UDP)"},
        {"(TCP) & ((UDP))", "(TCP) & (UDP)"},
        {"((TCP SD=80) | (UDP SD=80))", "(TCP SD=80) | (UDP SD=80)"},
        {"(((TCP) & (UDP) & (ARP)))", "(TCP) & (UDP) & (ARP)"},
        {"(TCP)|(UDP)", "(TCP) | (UDP)"},
        {"( TCP  SD=80 )", "TCP SD=80"},
        {"  TCP  ", "TCP"},
        {"TCP SRC = 80", "TCP SRC=80"},
        {"tcp src=80", "TCP SRC=80"},
        {"IP #6", "IP#6"},
        {"TCP SD=http", "TCP SD=80"},
        {"ETH SRC=ff:ff:ff:ff:ff:ff", "ETH SRC=B"},
        {"IP SD:2=10.1.2.3", "IP SRC=10.1.2.3 DST=10.1.2.3"},
        {"IP SD:2=10.17.0.0/12", "IP SRC=10.17.0.0/12 DST=10.17.0.0/12"},
        {"TCP SD:2<1024", "TCP SRC<1024 DST<1024"},
        {"ETH SD:2=M", "ETH SRC=M DST=M"},
        {"LLC SD:2=66", "LLC SRC=66 DST=66"},
        {"IP SD=localhost", "IP SD=127.0.0.1"},
        {nest(64, "TCP SD=80"), "TCP SD=80"},
        {nest(64, "TCP", "^("), "TCP"},
        {nest(63, "TCP", "^("), "^TCP"},
    };
    for (const auto &p : pairs) {
        SCOPED_TRACE(p.text.substr(0, 60) + " vs " + p.same_as);
        std::vector<filt_node> a = compile(p.text);
        std::vector<filt_node> b = compile(p.same_as);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i)
            EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(filt_node)), 0)
                << "node " << i << node_diff(b[i], a[i]);
    }
}

TEST(CompiledTrees, SizeOutParameter)
{
    struct Case {
        const char *text;
        int nodes;
    } cases[] = {
        {"TCP", 1},
        {"(TCP) | (UDP)", 3},
        {"((TCP) & (ARP)) | (UDP)", 5},
        {"(TCP) & (UDP) & (ARP) & (IP) & (RARP)", 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int size = -1;
        filt_node *f = nif_filt_parse(c.text, &size);
        ASSERT_NE(f, nullptr) << gnl_usrmsg;
        EXPECT_EQ(size, c.nodes * NIF_NODE_SIZE);
        EXPECT_EQ(size, c.nodes * 112);
        filt_node *g = nif_filt_parse(c.text, nullptr);
        ASSERT_NE(g, nullptr) << gnl_usrmsg;
        EXPECT_EQ(std::memcmp(f, g, static_cast<size_t>(size)), 0);
        nif_filt_free(f);
        nif_filt_free(g);
    }
    nif_filt_free(nullptr);
}

TEST(CompiledTrees, CopyStaysValid)
{
    // Nodes refer to each other by relative index only, so a compiled filter
    // copied elsewhere (as a log reader does) is the same filter: a subtree
    // taken at any group node is laid out like its own compilation.
    std::vector<filt_node> whole = compile("((TCP) & ((ARP) | (RARP))) | ((UDP) & (IP))");
    ASSERT_EQ(whole.size(), 9u);
    std::vector<filt_node> left = compile("(TCP) & ((ARP) | (RARP))");
    ASSERT_EQ(left.size(), 5u);
    // Node 1 of the whole is the left subtree: its children are at 1+2 and
    // 1+3, and the group at 4 has its children at 5 and 6.
    const filt_node *sub = &whole[1];
    EXPECT_EQ(sub->nkids, left[0].nkids);
    for (int k = 0; k < sub->nkids; ++k) {
        const filt_node &a = sub[sub->kid_off + k];
        const filt_node &b = left[left[0].kid_off + k];
        EXPECT_EQ(a.tok, b.tok);
        EXPECT_EQ(a.nkids, b.nkids);
        EXPECT_EQ(a.flags, b.flags);
        for (int j = 0; j < a.nkids; ++j)
            EXPECT_EQ(std::memcmp(&(&a)[a.kid_off + j], &(&b)[b.kid_off + j], sizeof(filt_node)),
                      0);
    }
}

} // namespace
