// A hand-written dissection of frames, written apart from the library's walk, and filters with
// the predicate over that dissection that each filter's verdict must equal. The tests run the rows
// over a real capture (when it is there) and over every generated frame, whole and cut.
//
// A parameter test whose bytes are missing fails the atom whether or not the parameter is negated;
// a '^' before the rule still inverts it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "pktfilt/matcher.h"
#include "zeriza.h"

namespace dissect {

// Header kinds; Tp is whatever IP carries, its IP protocol in Header::proto.
enum Kind { Eth, E8023, Llc, Snap, Ip, Arp, Rarp, Ipx, Tp };
inline const char *const kNames[] = {"ETH", "802.3", "LLC", "SNAP", "IP",
                                     "ARP", "RARP",  "IPX", "IP#"};
constexpr int kIcmp = 1, kIgmp = 2, kTcp = 6, kUdp = 17, kGre = 47, kOspf = 89;

inline unsigned get16(const unsigned char *p)
{
    return (unsigned{p[0]} << 8) | p[1];
}

// One header of a frame.
struct Header {
    int kind;
    int proto; // Tp: the IP protocol number
    int off;   // first byte, from the start of the frame
    int avail; // bytes from the first byte to the end of what the header covers
    int hlen;  // header length
    const unsigned char *p;
};

using Dissection = std::vector<Header>;

// The kind an Ethernet type announces, or -1.
inline int by_type(unsigned t)
{
    return t == 0x0800 ? Ip : t == 0x0806 ? Arp : t == 0x8035 ? Rarp : t == 0x8137 ? Ipx : -1;
}

// The headers of a frame of `len` bytes, outermost first: an Ethernet frame with its header when
// `kind` is -1, else a frame that starts with a header of that kind (a raw IP packet: Ip). `frame`
// has at least 16 readable bytes: the type/length field is read even from a frame shorter than 14
// bytes, as the link header's identification does; nothing else at or beyond `len` is read.
inline Dissection dissect(const unsigned char *frame, int len, int kind = -1)
{
    // Bytes a header needs to find its length and what it carries, by kind; TCP needs 13. A header
    // cut short before them covers what is left, and the walk ends there.
    static const int kNeed[] = {14, 14, 3, 5, 10, 0, 0, 0, 0};
    Dissection d;
    int proto = -1, off = 0, left = len;
    if (kind < 0)
        kind = get16(frame + 12) <= 1500 ? E8023 : Eth;
    while (left > 0 && kind >= 0 && d.size() < 30) {
        const unsigned char *p = frame + off;
        Header h{kind, proto, off, left, left, p}; // by default a header covers what is left
        int next = -1, next_proto = -1, need = kind == Tp && proto == kTcp ? 13 : kNeed[kind];
        auto enough = [&](int n) { return left >= (need = n); };
        switch (left < need ? -1 : kind) {
        case Eth:
            h.hlen = 14, next = by_type(get16(p + 12));
            break;
        case E8023:
            // The length field bounds the frame's data; what lies beyond it is padding. Novell raw
            // has the IPX checksum FF FF right after the header; anything else is LLC.
            h.hlen = 14, h.avail = std::min(left, 14 + static_cast<int>(get16(p + 12)));
            if (h.avail > 14 && enough(16))
                next = p[14] == 0xFF && p[15] == 0xFF ? Ipx : Llc;
            break;
        case Llc:
            h.hlen = 3;
            if (p[0] == p[1] && p[2] == 3 && (p[0] == 0xAA || p[0] == 0xE0))
                next = p[0] == 0xAA ? Snap : Ipx;
            else if (p[0] == 0xFE && p[1] == 0xFE && p[2] == 3 && enough(4) &&
                     (p[3] == 0x80 || p[3] == 0xCC))
                h.hlen = 4, next = p[3] == 0x80 ? Snap : Ip;
            break;
        case Snap:
            h.hlen = 5;
            if (p[0] == 0 && p[1] == 0 && p[2] == 0)
                next = by_type(get16(p + 3));
            else if (p[0] == 0x00 && p[1] == 0x80 && p[2] == 0xC2 && get16(p + 3) == 7)
                next = E8023; // bridged 802.3
            break;
        case Ip:
            h.hlen = 4 * (p[0] & 0x0F), h.avail = std::min(left, static_cast<int>(get16(p + 2)));
            // Only a datagram at offset 0 (whole, or a first fragment) carries a transport header.
            if (((p[6] & 0x1F) << 8 | p[7]) == 0)
                next = Tp, next_proto = p[9];
            break;
        case Tp: // a UDP header is 8 bytes even when fewer were captured
            h.hlen = proto == kTcp ? 4 * (p[12] >> 4) : proto == kUdp ? 8 : left;
            break;
        }
        if (left < need)
            h.avail = h.hlen = left;
        d.push_back(h);
        left = h.avail - h.hlen, off += h.hlen, kind = next, proto = next_proto;
    }
    return d;
}

inline std::string describe(const Dissection &d)
{
    std::ostringstream os;
    for (const Header &h : d)
        os << kNames[h.kind] << (h.kind == Tp ? std::to_string(h.proto) : "") << "[off " << h.off
           << " avail " << h.avail << " hlen " << h.hlen << "] ";
    return d.empty() ? "(no headers)" : os.str();
}

// The first header of a kind (of Tp, carrying IP protocol `proto`), or null.
inline const Header *find(const Dissection &d, int kind, int proto = -1)
{
    for (const Header &h : d)
        if (h.kind == kind && (kind != Tp || h.proto == proto))
            return &h;
    return nullptr;
}

// A value of a frame, missing when its header is absent or cut short before it. Every comparison
// with a missing value is false, so a test and its negation both fail.
struct Field {
    bool ok = false;
    long v = 0;
    bool operator==(long x) const { return ok && v == x; }
    bool operator!=(long x) const { return ok && v != x; }
    bool operator<(long x) const { return ok && v < x; }
    bool operator>(long x) const { return ok && v > x; }
    Field masked(long m) const { return {ok, v & m}; }
};

// `width` bytes at `at` of the first header of a kind, in network order. IP F is bytes 6-7 masked
// to more-fragments and the offset; TCP F is byte 13 masked (its two high bits are not flags).
inline Field field(const Dissection &d, int kind, int at, int width, int proto = -1)
{
    const Header *h = find(d, kind, proto);
    if (h == nullptr || h->avail < at + width)
        return {};
    Field f{true, 0};
    for (int i = 0; i < width; ++i)
        f.v = f.v << 8 | h->p[at + i];
    return f;
}

enum Length { kLen, kHlen, kDlen };

inline Field length(const Dissection &d, int kind, Length which, int proto = -1)
{
    const Header *h = find(d, kind, proto);
    if (h == nullptr)
        return {};
    return {true, which == kLen ? h->avail : which == kHlen ? h->hlen : h->avail - h->hlen};
}

// SRC, DST and SD: how many of the chosen address fields of the first header of a kind pass
// `test`, or -1 when the header is absent or lacks one of them. SD is > 0, SD:1 == 1, SD:2 == 2,
// a negated test == 0.
enum Which { kDst = 1, kSrc = 2, kSd = 3 };

template <class Test>
int addr(const Dissection &d, int kind, Which which, Test test, int proto = -1)
{
    // Fields of MACs, service access points, IPv4 addresses or ports: width, then offsets.
    const int width = kind == Ip ? 4 : kind == Tp ? 2 : kind == Llc ? 1 : 6;
    const Field dst = field(d, kind, kind == Ip ? 16 : kind == Tp ? 2 : 0, width, proto);
    const Field src = field(d, kind, kind == Ip ? 12 : kind == Tp ? 0 : width, width, proto);
    if (((which & kDst) != 0 && !dst.ok) || ((which & kSrc) != 0 && !src.ok))
        return -1;
    return ((which & kDst) != 0 && test(dst.v)) + ((which & kSrc) != 0 && test(src.v));
}

struct Is {
    long v;
    bool operator()(long x) const { return x == v; }
};

constexpr long kBroadcast = 0xFFFFFFFFFFFF;

// M: a first byte of exactly 01, not the group bit.
inline bool multicast(long mac)
{
    return mac >> 40 == 1;
}

// An IPv4 network: whole bytes of the prefix compare equal; in a partial byte, every bit that the
// network has set within the prefix must be set in the address (the others are not looked at).
struct Net {
    unsigned char a[4];
    int bits; // 8 to 32
    bool operator()(long x) const
    {
        const long net = long{a[0]} << 24 | a[1] << 16 | a[2] << 8 | a[3];
        const long whole = 0xFFFFFFFFL << (32 - bits / 8 * 8) & 0xFFFFFFFF;
        const long m = net & (0xFFFFFFFFL << (32 - bits)) & ~whole;
        return ((x ^ net) & whole) == 0 && (x & m) == m;
    }
};

constexpr Net kTen8{{10, 0, 0, 0}, 8};

// ---- the filters and their hand checks ------------------------------------------------------

// Together the rows exercise every parameter, negated parameters and rules, groups of both kinds,
// and each parameter whose bytes some frame of the capture lacks: 802.3 addresses (frames of 4 and
// 8 bytes), IP addresses and F (IP total lengths of 0 and 19), TCP F (a TCP header of 12 bytes).
struct Row {
    const char *text;
    bool (*want)(const Dissection &);
};

inline void PrintTo(const Row &r, std::ostream *os)
{
    *os << "'" << r.text << "'";
}

#define ROW(text, ...)                                                                             \
    {                                                                                              \
        text, [](const Dissection &d) -> bool { return __VA_ARGS__; }                              \
    }

inline const Row kRows[] = {
    ROW("ETH ETYPE=34525", field(d, Eth, 12, 2) == 0x86DD),
    ROW("ETH DST=M", addr(d, Eth, kDst, multicast) == 1),
    ROW("ETH SD:1=B", addr(d, Eth, kSd, Is{kBroadcast}) == 1),
    ROW("ETH ^SRC=00:1f:29:da:2d:79", addr(d, Eth, kSrc, Is{0x001F29DA2D79}) == 0),
    ROW("802.3 ^SD=M", addr(d, E8023, kSd, multicast) == 0),
    ROW("802.3 LEN<64", length(d, E8023, kLen) < 64),
    ROW("(LLC SD=66) | (LLC DST=69 SRC=16) | (LLC DST=254 C=3)",
        addr(d, Llc, kSd, Is{66}) > 0 || (field(d, Llc, 0, 1) == 69 && field(d, Llc, 1, 1) == 16) ||
            (addr(d, Llc, kDst, Is{254}) == 1 && field(d, Llc, 2, 1) == 3)),
    ROW("LLC ^SRC=170 DLEN>40", addr(d, Llc, kSrc, Is{170}) == 0 && length(d, Llc, kDlen) > 40),
    ROW("SNAP", find(d, Snap) != nullptr),
    ROW("SNAP ORG=12 ETYPE=8192", field(d, Snap, 0, 3) == 12 && field(d, Snap, 3, 2) == 0x2000),
    ROW("(RARP) | (IPX)", find(d, Rarp) != nullptr || find(d, Ipx) != nullptr),
    ROW("^((ARP) | (IP))", find(d, Arp) == nullptr && find(d, Ip) == nullptr),
    ROW("IP SRC=10.16.0.0/12", addr(d, Ip, kSrc, Net{{10, 16, 0, 0}, 12}) == 1),
    ROW("IP DST=10.0.0.0/12", addr(d, Ip, kDst, Net{{10, 0, 0, 0}, 12}) == 1),
    ROW("IP SD=10.0.0.1", addr(d, Ip, kSd, Net{{10, 0, 0, 1}, 32}) > 0),
    ROW("IP SD:1=10.0.0.0/8", addr(d, Ip, kSd, kTen8) == 1),
    ROW("IP SD:2=10.0.0.0/8", addr(d, Ip, kSd, kTen8) == 2),
    ROW("^(IP ^SRC=10.0.0.0/8)", addr(d, Ip, kSrc, kTen8) != 0),
    ROW("IP F=^F", field(d, Ip, 6, 2).masked(0x3FFF) == 0),
    ROW("(IP F=F) & (UDP)", field(d, Ip, 6, 2).masked(0x3FFF) > 0 && find(d, Tp, kUdp)),
    ROW("(IP LEN<64) | (IP HLEN>20)", length(d, Ip, kLen) < 64 || length(d, Ip, kHlen) > 20),
    ROW("ICMP TYPE=unreach ^CODE=port",
        field(d, Tp, 0, 1, kIcmp) == 3 && field(d, Tp, 1, 1, kIcmp) != 3),
    ROW("(IGMP) | (OSPF) | (IP#47)", find(d, Tp, kIgmp) || find(d, Tp, kOspf) || find(d, Tp, kGre)),
    ROW("TCP SRC>1023 DST<1024",
        field(d, Tp, 0, 2, kTcp) > 1023 && field(d, Tp, 2, 2, kTcp) < 1024),
    // A positive '*' asks for every flag not named negative.
    ROW("(TCP F=S^A) | (TCP F=S*)", field(d, Tp, 13, 1, kTcp).masked(0x12) == 0x02 ||
                                        field(d, Tp, 13, 1, kTcp).masked(0x3F) == 0x3F),
    ROW("TCP F=SA^*", field(d, Tp, 13, 1, kTcp).masked(0x3F) == 0x12),
    ROW("TCP ^F=A", field(d, Tp, 13, 1, kTcp).masked(0x10) == 0),
    ROW("(TCP HLEN<20) | (TCP DLEN>100)",
        length(d, Tp, kHlen, kTcp) < 20 || length(d, Tp, kDlen, kTcp) > 100),
    ROW("UDP ^DST=53", field(d, Tp, 2, 2, kUdp) != 53),
    ROW("(UDP DLEN<0) | (UDP DLEN>100)",
        length(d, Tp, kDlen, kUdp) < 0 || length(d, Tp, kDlen, kUdp) > 100),
    ROW("((TCP SD=179) | (UDP SD=53)) & ^(IP SRC=10.0.0.0/8)",
        (addr(d, Tp, kSd, Is{179}, kTcp) > 0 || addr(d, Tp, kSd, Is{53}, kUdp) > 0) &&
            addr(d, Ip, kSrc, kTen8) != 1),
    ROW("((TCP) & (IP ^SD=10.0.0.0/8)) | ((UDP ^SD=53) & (ETH DST=B))",
        (find(d, Tp, kTcp) && addr(d, Ip, kSd, kTen8) == 0) ||
            (addr(d, Tp, kSd, Is{53}, kUdp) == 0 && addr(d, Eth, kDst, Is{kBroadcast}) == 1)),
};

// ---- one frame against one row ----------------------------------------------------------------

constexpr size_t kMinReadable = 16; // bytes the matcher may read whatever the frame length

// Room for a frame that ends right before an inaccessible page, so that any read at or beyond its
// length faults.
class Guard {
  public:
    explicit Guard(size_t max_len)
    {
        const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t room = (std::max(max_len, kMinReadable) + page - 1) / page * page;
        void *p =
            mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || mprotect(static_cast<unsigned char *>(p) + room, page, PROT_NONE))
            return;
        end_ = static_cast<unsigned char *>(p) + room; // kept for the whole run
    }
    bool ok() const { return end_ != nullptr; }

    // Places the first `len` bytes of a frame so that they end at the inaccessible page. A frame
    // shorter than 16 bytes is padded up to 16 with `pad`, except that bytes 12 and 13 (the
    // type/length field) are always 0, so both paddings give the same link header type.
    const unsigned char *load(const unsigned char *f, size_t len, unsigned char pad) const
    {
        unsigned char *p = end_ - std::max(len, kMinReadable);
        std::fill(p, end_, pad);
        std::copy(f, f + len, p);
        for (size_t i = std::max<size_t>(len, 12); i < 14; ++i)
            p[i] = 0;
        return p;
    }

  private:
    unsigned char *end_ = nullptr;
};

// Empty when both engines give `filter` the verdict of the row's predicate on the first `len`
// bytes of `frame`, with either padding, and nif_filt_match and nif_proto_id name the outermost
// header; else what differs. An Ethernet frame with its header, or a raw IPv4 packet when `raw_ip`.
// `passed` counts the frames the predicate passes.
inline std::string disagreement(const Guard &g, const filt_node *filter, const Row &row,
                                const unsigned char *frame, int32_t len, bool raw_ip,
                                long *passed = nullptr)
{
    const int32_t link = raw_ip ? NIF_LINK_RAWIP : NIF_LINK_ETHER;
    const uint32_t opts = raw_ip ? 0 : NIF_OPT_LINKHDR;
    const unsigned char *buf = g.load(frame, static_cast<size_t>(len), 0x00);
    const Dissection d = dissect(buf, len, raw_ip ? Ip : -1);
    const int want = row.want(d);
    // The out-values, then those of nif_proto_id: layer 2, no skip, 802.3 up to a type/length of
    // 1500 and Ethernet II above; a raw packet is IP at layer 3.
    const int32_t layer = raw_ip ? 3 : 2, outer = raw_ip || get16(buf + 12) > 1500 ? 1 : 2;
    const int32_t w[6] = {layer, outer, 0, layer, outer, 0};
    int32_t o[6] = {-9, -9, -9, -9, -9, -9};
    const int got = nif_filt_match(filter, buf, len, link, &o[0], &o[1], &o[2], opts);
    o[4] = nif_proto_id(link, buf, &o[3], &o[5], opts);
    const int ref =
        zeriza::reference_match(filter, buf, len, link, nullptr, nullptr, nullptr, opts);
    const int alt = nif_filt_match(filter, g.load(frame, static_cast<size_t>(len), 0xFF), len, link,
                                   nullptr, nullptr, nullptr, opts);
    if (passed)
        *passed += want;
    if (got == want && ref == want && alt == want && std::equal(o, o + 6, w))
        return "";
    std::ostringstream os;
    os << len << " bytes: nif_filt_match " << got << " (" << alt << " with other padding), "
       << "reference " << ref << ", hand check " << want << "; out-values";
    for (int k = 0; k < 6; ++k)
        os << (k == 3 ? ", nif_proto_id " : " ") << o[k] << "/" << w[k];
    os << " (got/want)\n    headers " << describe(d) << "\n    bytes";
    for (int32_t k = 0; k < len && k < 48; ++k)
        os << ' ' << "0123456789abcdef"[frame[k] >> 4] << "0123456789abcdef"[frame[k] & 15];
    return os.str();
}

} // namespace dissect
