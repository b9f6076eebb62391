// The fast engine: the same verdicts as the reference engine (matcher.h),
// reached with less work.
//
// An atom only ever finds the first record of its (layer, id), and along a
// walk the layers never go down: layers -1, 3 and 4 hold at most one record
// each, and only layer 2 (802.3, LLC and SNAP nested in one another) can
// hold several. On an Ethernet II frame, the common case, each atom works
// out the one header of its layer straight from the bytes, with the steps
// of the walk taken in a straight line. Any other frame is walked by the
// general loop: for a lone atom only until its header is reached, for a
// group into a Summary that keeps the one header an atom of each kind can
// find. Parameter tests of an atom whose protocol can have all of them are
// straight-line checks; any other atom goes to the reference engine's
// tests, which log what is wrong.
#pragma once

#include <cstdint>
#include <cstring>

#include "pktfilt/matcher.h"
#include "pktfilt/steps.h"
#include "pktfilt/vocabulary.h"

namespace zeriza {

// One header the summary keeps, from the frame's first byte.
struct Hdr {
    int32_t off;   // where the header starts
    int32_t avail; // bytes from there to the end of the analysed data
    int32_t len;   // header length
};

// The headers an atom can find. Layer-2 ids run from 0 to 9 (the link ids
// of the protocol table and those named after link types).
struct Summary {
    uint32_t l2_have = 0; // bit i: l2[i] holds the first layer-2 header of id i
    bool has_l3 = false, has_l4 = false, has_none = false;
    int32_t l3_id = 0, l4_id = 0;
    Hdr l2[10], l3, l4, none;
};

constexpr int32_t kL2Ids = 10;

// The summary of any frame, by the general walk, as far as layer `depth`
// (no header above it is read). `len` is the analysed data, above 0.
void summarize(const unsigned char *frame, int32_t len, int32_t layer, int32_t id, int32_t depth,
               Summary &s);

// The header at `off` that a step describes, as a record keeps it: one cut
// short covers what is left.
inline Hdr record(int32_t off, const Step &st, int32_t remaining)
{
    return {off, st.avail, st.hdr_len < 0 ? remaining : st.hdr_len};
}

// The header an atom of (layer, id) finds, or null.
inline const Hdr *find(const Summary &s, int32_t layer, int32_t id)
{
    switch (layer) {
    case LYR_LINK:
        return static_cast<uint32_t>(id) < kL2Ids && (s.l2_have >> id & 1) ? &s.l2[id] : nullptr;
    case LYR_NET:
        return s.has_l3 && s.l3_id == id ? &s.l3 : nullptr;
    case LYR_IP:
        return s.has_l4 && s.l4_id == id ? &s.l4 : nullptr;
    case LYR_NONE:
        return s.has_none && id == 0 ? &s.none : nullptr;
    default:
        return nullptr;
    }
}

// ---- the atoms --------------------------------------------------------------------

constexpr uint32_t kKnownParms = 0x1FFF; // bits of no parameter are never tested

inline bool relop(int32_t frame_value, int32_t atom_value, int32_t op)
{
    return op == '='   ? frame_value == atom_value
           : op == '>' ? frame_value > atom_value
           : op == '<' ? frame_value < atom_value
                       : true;
}

inline int32_t word(const unsigned char *block, int i)
{
    int32_t w;
    std::memcpy(&w, block + 4 * i, sizeof w);
    return w;
}

inline uint32_t be32(const unsigned char *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// An IPv4 prefix block as one masked compare of the address read big-endian:
// the whole bytes (0 to 4) must equal the block's, and the byte after them
// must have every bit of the stored mask byte. A mask no byte can hold never
// matches (`never`).
struct Prefix {
    uint32_t mask, value;
    bool never;
};

inline Prefix prefix_of(const unsigned char *block)
{
    int32_t whole = word(block, 1);
    whole = whole < 0 ? 0 : whole > 4 ? 4 : whole;
    if (whole == 4)
        return {~0u, be32(block), false};
    const auto m = static_cast<uint32_t>(word(block, 2));
    const int shift = 24 - 8 * whole;
    const uint32_t head = whole ? ~0u << (32 - 8 * whole) : 0;
    return {head | m << shift, (be32(block) & head) | m << shift, m > 0xFF};
}

inline bool in_prefix(const unsigned char *addr, const Prefix &p)
{
    return !p.never && (be32(addr) & p.mask) == p.value;
}

// A port block: the port and the operator it is compared with.
struct Port {
    int32_t value, op;
};

inline Port port_of(const unsigned char *block)
{
    return {be16(block), word(block, 1)};
}

// How an atom's protocol compares addresses: MAC (ETH, 802.3), service
// access point (LLC), IPv4 prefix (IP), port (TCP, UDP), or not at all.
enum class Form : uint8_t { None, Mac, Sap, Ip, Port };

constexpr Form form_of(int32_t layer, int32_t id)
{
    if (layer == LYR_IP)
        return id == L4_TCP || id == L4_UDP ? Form::Port : Form::None;
    if (layer == LYR_NET)
        return id == L3_IP ? Form::Ip : Form::None;
    if (layer == LYR_LINK)
        return id == L2_ETH || id == L2_8023 ? Form::Mac : id == L2_LLC ? Form::Sap : Form::None;
    return Form::None;
}

// An atom as the tests read it, straight from its node: right for one frame,
// where anything worked out ahead would be wasted on a frame that fails
// early.
struct NodeAtom {
    const filt_node *n;
    const filt_node *node() const { return n; }
    int32_t layer() const { return n->lyr; }
    int32_t id() const { return n->proto; }
    bool negate() const { return (n->flags & NIF_FLAG_NEGATE) != 0; }
    uint32_t parms() const { return n->parms & kKnownParms; }
    uint32_t neg() const { return n->parms_neg; }
    Form form() const { return form_of(n->lyr, n->proto); }
    Prefix prefix(bool src) const { return prefix_of(src ? n->src : n->dst); }
    Port port(bool src) const { return port_of(src ? n->src : n->dst); }
    // Whether an Ethernet II frame of this type carries the atom's layer-3
    // protocol.
    bool carried_by(int32_t type) const { return type == net_ether_type(n->proto); }
};

// An atom worked out once for a loop over many frames, in values of its own
// (a store of a verdict could otherwise be any of the node's bytes, and make
// them read again for every frame).
struct PlanAtom {
    const filt_node *n;
    int32_t layer_, id_;
    bool negate_;
    Form form_;
    uint32_t parms_, neg_;
    Prefix prefix_[2]; // source, destination
    Port port_[2];
    int32_t ether_type_; // the Ethernet type that carries the atom's layer 3, or -1

    PlanAtom() = default;
    explicit PlanAtom(const filt_node *a)
    {
        const NodeAtom v{a};
        n = a;
        layer_ = v.layer();
        id_ = v.id();
        negate_ = v.negate();
        form_ = v.form();
        parms_ = v.parms();
        neg_ = v.neg();
        prefix_[0] = v.prefix(true);
        prefix_[1] = v.prefix(false);
        port_[0] = v.port(true);
        port_[1] = v.port(false);
        ether_type_ = net_ether_type(id_);
    }
    const filt_node *node() const { return n; }
    int32_t layer() const { return layer_; }
    int32_t id() const { return id_; }
    bool negate() const { return negate_; }
    uint32_t parms() const { return parms_; }
    uint32_t neg() const { return neg_; }
    Form form() const { return form_; }
    Prefix prefix(bool src) const { return prefix_[src ? 0 : 1]; }
    Port port(bool src) const { return port_[src ? 0 : 1]; }
    bool carried_by(int32_t type) const { return type == ether_type_; }
};

// ---- the parameter tests ---------------------------------------------------------

// The rows of the parameter table, in the order the tests run.
enum Row { kSrc, kDst, kSd, kSd1, kF, kLen, kHlen, kDlen, kEtype, kType, kCode, kC, kOrg };

constexpr uint32_t kRowBit[] = {PB_SRC,  PB_DST,   PB_SD,   PB_SD1,  PB_F, PB_LEN, PB_HLEN,
                                PB_DLEN, PB_ETYPE, PB_TYPE, PB_CODE, PB_C, PB_ORG};

// The parameter bits rearranged so that bit i is row i: SRC to SD:1 are
// bits 3-6, F bit 12, the lengths bits 0-2, ETYPE to ORG bits 7-11.
constexpr uint32_t in_table_order(uint32_t p)
{
    return (p >> 3 & 0xF) | (p >> 12 & 1) << 4 | (p & 7) << 5 | (p >> 7 & 0x1F) << 8;
}

// The row of each parameter bit.
constexpr int kBitRow[] = {kLen,   kHlen, kDlen, kSrc, kDst, kSd, kSd1,
                           kEtype, kType, kCode, kC,   kOrg, kF};

static_assert(in_table_order(PB_SRC) == 1u << kSrc && in_table_order(PB_SD1) == 1u << kSd1 &&
                  in_table_order(PB_F) == 1u << kF && in_table_order(PB_LEN) == 1u << kLen &&
                  in_table_order(PB_DLEN) == 1u << kDlen &&
                  in_table_order(PB_ETYPE) == 1u << kEtype && in_table_order(PB_ORG) == 1u << kOrg,
              "the rows of the parameter table");

// What one test found: it holds, it does not, its bytes lie beyond the data
// (the atom fails whatever '^' says), or the protocol cannot have the
// parameter (the reference engine's tests say so).
enum Outcome : int { kFails = 0, kHolds = 1, kUndecided = 2, kUntestable = 3 };

inline Outcome holds(bool b)
{
    return b ? kHolds : kFails;
}

// An address test: row SRC, DST, SD or SD:1, in address form F, on header
// `h` with `avail` bytes. Each compares the fields up to the end of which
// the header must reach; SD and SD:1 compare both with the destination block.
template <Form F, class A>
[[gnu::always_inline]] inline Outcome address_test(const A &a, int row, const unsigned char *h,
                                                   int32_t avail)
{
    constexpr int32_t need_src = F == Form::Mac   ? 12
                                 : F == Form::Sap ? 2
                                 : F == Form::Ip  ? 16
                                                  : 2,
                      need_dst = F == Form::Mac   ? 6
                                 : F == Form::Sap ? 1
                                 : F == Form::Ip  ? 20
                                                  : 4;
    auto side = [&](bool src_field, bool src_block) -> bool {
        const unsigned char *block = src_block ? a.node()->src : a.node()->dst;
        if constexpr (F == Form::Mac) { // or, written as "M", the multicast address byte
            const unsigned char *field = h + (src_field ? 6 : 0);
            return word(block, 2) != 0 ? field[0] == 0x01 : std::memcmp(field, block, 6) == 0;
        } else if constexpr (F == Form::Sap) {
            return h[src_field ? 1 : 0] == word(block, 0);
        } else if constexpr (F == Form::Ip) {
            return in_prefix(h + (src_field ? 12 : 16), a.prefix(src_block));
        } else {
            const Port port = a.port(src_block);
            return relop(be16(h + (src_field ? 0 : 2)), port.value, port.op);
        }
    };
    if (row == kSrc)
        return avail < need_src ? kUndecided : holds(side(true, true));
    if (row == kDst)
        return avail < need_dst ? kUndecided : holds(side(false, false));
    if (avail < (need_src > need_dst ? need_src : need_dst))
        return kUndecided;
    const bool dst = side(false, false), src = side(true, false);
    return holds(row == kSd ? dst || src : dst != src);
}

template <class A>
[[gnu::always_inline]] inline Outcome address_test(const A &a, int row, const unsigned char *h,
                                                   int32_t avail)
{
    switch (a.form()) {
    case Form::Mac:
        return address_test<Form::Mac>(a, row, h, avail);
    case Form::Sap:
        return address_test<Form::Sap>(a, row, h, avail);
    case Form::Ip:
        return address_test<Form::Ip>(a, row, h, avail);
    case Form::Port:
        return address_test<Form::Port>(a, row, h, avail);
    default:
        return kUntestable;
    }
}

// The address test of an atom read from its node, out of line: the tests of
// one frame then stay small enough to keep their values in registers.
Outcome address_row(const NodeAtom &a, int row, const unsigned char *h, int32_t avail);

inline Outcome address_row(const PlanAtom &a, int row, const unsigned char *h, int32_t avail)
{
    return address_test(a, row, h, avail);
}

// A test of `width` header bytes at `at` against the atom's, for the one
// protocol that has the parameter.
inline Outcome bytes_test(bool protocol, const unsigned char *h, int32_t avail, int at,
                          const unsigned char *want, int width)
{
    if (!protocol)
        return kUntestable;
    if (avail < at + width)
        return kUndecided;
    return holds(std::memcmp(h + at, want, static_cast<size_t>(width)) == 0);
}

inline Outcome byte_test(bool protocol, const unsigned char *h, int32_t avail, int at, int32_t want)
{
    if (!protocol)
        return kUntestable;
    if (avail < at + 1)
        return kUndecided;
    return holds(h[at] == want);
}

// One test: row `row` of the atom's parameters on header `h`, which has
// `avail` bytes and is `len` long.
template <class A>
[[gnu::always_inline]] inline Outcome row_test(const A &a, int row, const unsigned char *h,
                                               int32_t avail, int32_t len)
{
    const filt_node *n = a.node();
    const int32_t layer = a.layer(), id = a.id();
    switch (row) {
    case kSrc:
    case kDst:
    case kSd:
    case kSd1:
        return address_row(a, row, h, avail);
    case kF:
        if (layer == LYR_NET && id == L3_IP) // a fragment, or not
            return avail < 8 ? kUndecided
                             : holds(((h[6] & 0x20) != 0 || ((h[6] & 0x1F) | h[7]) != 0)
                                         ? n->ip_flag == 1
                                         : n->ip_flag != 1);
        if (layer == LYR_IP && id == L4_TCP) // the flags to be set and to be clear
            return avail < 14 ? kUndecided
                              : holds(((h[13] & 0x3Fu) & n->tcp_set) == n->tcp_set &&
                                      ((h[13] & 0x3Fu) & n->tcp_clr) == 0);
        return kUntestable;
    case kLen:
        return holds(relop(avail, n->len, n->len_op));
    case kHlen:
        return holds(relop(len, n->hlen, n->hlen_op));
    case kDlen:
        return holds(relop(avail - len, n->dlen, n->dlen_op));
    case kEtype:
        return layer == LYR_LINK && id == L2_SNAP
                   ? bytes_test(true, h, avail, 3, n->etype, 2)
                   : bytes_test(layer == LYR_LINK && id == L2_ETH, h, avail, 12, n->etype, 2);
    case kType:
        return byte_test(layer == LYR_IP && id == L4_ICMP, h, avail, 0, n->icmp_type);
    case kCode:
        return byte_test(layer == LYR_IP && id == L4_ICMP, h, avail, 1, n->icmp_code);
    case kC:
        return byte_test(layer == LYR_LINK && id == L2_LLC, h, avail, 2, n->llc_ctl);
    default: // ORG
        return bytes_test(layer == LYR_LINK && id == L2_SNAP, h, avail, 0, n->org, 3);
    }
}

// The reference engine's tests of an atom whose protocol cannot have one of
// its parameters: they log it. Every test before it in table order has
// passed, so they find the same.
int32_t untestable(const filt_node *a, const unsigned char *h, int32_t avail, int32_t len);

// The parameter tests of an atom whose header is `r`, in table order,
// stopping at the first that fails: 1 or 0.
template <class A>
[[gnu::always_inline]] inline int32_t params(const A &a, const unsigned char *frame, const Hdr &r)
{
    uint32_t rows = in_table_order(a.parms());
    if (!rows)
        return 1;
    const unsigned char *h = frame + r.off;
    do {
        const int row = __builtin_ctz(rows);
        rows &= rows - 1;
        const Outcome t = row_test(a, row, h, r.avail, r.len);
        if (t == kUntestable)
            return untestable(a.node(), h, r.avail, r.len);
        if (t == kUndecided || (t == kHolds) == ((a.neg() & kRowBit[row]) != 0))
            return 0;
    } while (rows);
    return 1;
}

// ---- Ethernet II frames ----------------------------------------------------------

// The verdict of an atom read from its node (its negation applied) whose header is `r`,
// out of line: a frame that passes or fails on its protocol alone then
// costs nothing of the parameter tests.
int32_t lone_params(const filt_node *a, const unsigned char *frame, int32_t off, int32_t avail,
                    int32_t len);

// Where an atom's header lies in an Ethernet II frame of `len` bytes: only
// the one header of its layer is worked out, from the bytes. -1 when the
// frame has no header of its protocol; 0 when it has one and the atom asks
// no more; 1 when it has one, `r`, and the parameters must be tested.
template <class A>
[[gnu::always_inline]] inline int find_ether2(const A &a, const unsigned char *f, int32_t len,
                                              Hdr &r)
{
    if (len <= 0)
        return -1;
    const bool tests = a.parms() != 0;
    if (a.layer() == LYR_LINK) {
        if (a.id() != L2_ETH)
            return -1;
        r = {0, len, len < 14 ? len : 14};
        return tests;
    }
    if (len <= 14)
        return -1;
    const int32_t r3 = len - 14, type = be16(f + 12);
    if (a.layer() == LYR_NET) {
        if (!a.carried_by(type))
            return -1;
        if (!tests)
            return 0;
        r = record(14, type == 0x0800 ? ipv4(f + 14, r3) : cover_rest(r3), r3);
        return 1;
    }
    // Layer 4: IPv4 long enough to name its protocol, not a later fragment,
    // with bytes after its header.
    const unsigned char *ip = f + 14;
    if (a.layer() != LYR_IP || type != 0x0800 || r3 < 10 || ip[9] != a.id())
        return -1;
    const Step net = ipv4(ip, r3);
    const int32_t r4 = net.avail - net.hdr_len;
    if (net.next_layer != LYR_IP || r4 <= 0)
        return -1;
    if (!tests)
        return 0;
    const int32_t off = 14 + net.hdr_len;
    r = record(off, transport(a.id(), f + off, r4), r4);
    return 1;
}

// The verdict of an atom, its negation applied, on an Ethernet II frame,
// with its parameter tests in line.
template <class A>
[[gnu::always_inline]] inline int32_t atom_ether2(const A &a, const unsigned char *f, int32_t len)
{
    Hdr r;
    const int found = find_ether2(a, f, len, r);
    if (found <= 0)
        return (found == 0) != a.negate();
    return params(a, f, r) != a.negate();
}

// The headers of an Ethernet II frame, at most one a layer, read once for
// the atoms of a group.
struct Ether2 {
    int32_t len;    // the Ethernet record covers it all; none when 0 or less
    int32_t net_id; // 0: no network header
    int32_t ip_id;  // -1: no transport header
    Hdr net, ip;
};

[[gnu::always_inline]] inline Ether2 read_ether2(const unsigned char *f, int32_t len)
{
    Ether2 v;
    v.len = len;
    v.net_id = 0;
    v.ip_id = -1;
    if (len <= 14)
        return v;
    const int32_t r3 = len - 14;
    v.net_id = ether_net_id(be16(f + 12));
    if (v.net_id != L3_IP) {
        v.net = {14, r3, r3};
        return v;
    }
    const Step net = ipv4(f + 14, r3);
    v.net = record(14, net, r3);
    const int32_t r4 = net.avail - net.hdr_len;
    if (net.next_layer != LYR_IP || r4 <= 0)
        return v;
    const int32_t off = 14 + net.hdr_len;
    v.ip_id = net.next_id;
    v.ip = record(off, transport(net.next_id, f + off, r4), r4);
    return v;
}

// The header an atom finds in a frame read by read_ether2, or null.
template <class A>
[[gnu::always_inline]] inline const Hdr *find_in(const A &a, const Ether2 &v, Hdr &eth)
{
    switch (a.layer()) {
    case LYR_LINK:
        if (v.len <= 0 || a.id() != L2_ETH)
            return nullptr;
        eth = {0, v.len, v.len < 14 ? v.len : 14};
        return &eth;
    case LYR_NET:
        return v.net_id != 0 && v.net_id == a.id() ? &v.net : nullptr;
    case LYR_IP:
        return v.ip_id >= 0 && v.ip_id == a.id() ? &v.ip : nullptr;
    default:
        return nullptr;
    }
}

// The verdict of an atom, its negation applied, on a frame read by
// read_ether2: with its parameter tests in line for a plan, out of line for
// an atom read from its node.
// 1 when an atom holds on a frame read by read_ether2, its negation not
// applied.
template <class A>
[[gnu::always_inline]] inline int32_t holds_ether2(const A &a, const unsigned char *f,
                                                   const Ether2 &v)
{
    Hdr eth;
    const Hdr *r = find_in(a, v, eth);
    return r ? params(a, f, *r) : 0;
}

[[gnu::always_inline]] inline int32_t atom_ether2(const PlanAtom &a, const unsigned char *f,
                                                  const Ether2 &v)
{
    return holds_ether2(a, f, v) != a.negate();
}

[[gnu::always_inline]] inline int32_t atom_ether2(const NodeAtom &a, const unsigned char *f,
                                                  const Ether2 &v)
{
    Hdr eth;
    const Hdr *r = find_in(a, v, eth);
    if (!r)
        return a.negate();
    if (!a.parms())
        return !a.negate();
    return lone_params(a.node(), f, r->off, r->avail, r->len);
}

// The atoms of a filter, by node index, as the group evaluation reads them:
// straight from the nodes, or from plans worked out for a batch.
struct NodeAtoms {
    const filt_node *filter;
    NodeAtom operator[](int32_t i) const { return {filter + i}; }
};
struct PlanAtoms {
    const PlanAtom *plans;
    const PlanAtom &operator[](int32_t i) const { return plans[i]; }
};

// The verdict of group node `i` of a filter on an Ethernet II frame.
template <class Atoms>
int32_t group_ether2(const filt_node *filter, int32_t i, const Atoms &atoms, const unsigned char *f,
                     const Ether2 &v)
{
    const filt_node &g = filter[i];
    // AND stops at the first child that fails, OR at the first that holds.
    const bool is_or = (g.flags & NIF_FLAG_OR) != 0;
    int32_t r = is_or ? 0 : 1;
    const int32_t first = i + g.kid_off, end = first + g.nkids;
    for (int32_t k = first; k < end; ++k)
        if ((filter[k].nkids ? group_ether2(filter, k, atoms, f, v)
                             : atom_ether2(atoms[k], f, v)) == (is_or ? 1 : 0)) {
            r = 1 - r;
            break;
        }
    return g.flags & NIF_FLAG_NEGATE ? 1 - r : r;
}

// A group filter for a loop over many frames: its atoms in the order the
// evaluation meets them, each with where to go on from it when it holds and
// when it does not, negations and the stops of AND and OR folded into those
// jumps. Running it tests exactly the atoms, in the same order, that the
// evaluation of the tree would.
struct Jump {
    int32_t if_true, if_false; // the next atom, or kPass or kFail
};
constexpr int32_t kPass = -1, kFail = -2;

// The atoms below node `i` of a filter.
int32_t atoms_below(const filt_node *filter, int32_t i);

// Write the jumps and plans of node `i` from `at` on, with where to go
// when the node holds and when it does not.
void compile_jumps(const filt_node *filter, int32_t i, int32_t at, int32_t if_true,
                   int32_t if_false, Jump *jumps, PlanAtom *plans);

// The verdict of a compiled group on an Ethernet II frame.
[[gnu::always_inline]] inline int32_t run_ether2(const Jump *jumps, const PlanAtom *plans,
                                                 const unsigned char *f, const Ether2 &v)
{
    int32_t at = 0;
    do
        at = holds_ether2(plans[at], f, v) ? jumps[at].if_true : jumps[at].if_false;
    while (at >= 0);
    return at == kPass;
}

// ---- frames of every other kind ----------------------------------------------------

// The verdict of a lone atom, its negation applied: the walk goes only until
// it reaches the atom's header or passes its layer, and keeps no record.
int32_t lone_general(const filt_node *a, const unsigned char *frame, int32_t len, int32_t layer,
                     int32_t id);

// 1 when the atom holds for the summarised frame, else 0.
inline int32_t atom(const filt_node *a, const unsigned char *frame, const Summary &s)
{
    const Hdr *r = find(s, a->lyr, a->proto);
    return r ? params(NodeAtom{a}, frame, *r) : 0;
}

// 1 or 0 for a group node and its subtree.
int32_t group(const filt_node *node, const unsigned char *frame, const Summary &s);

// 1 or 0 for any node: atoms are evaluated here, groups by `group`.
inline int32_t rule(const filt_node *node, const unsigned char *frame, const Summary &s)
{
    if (node->nkids)
        return group(node, frame, s);
    return atom(node, frame, s) != ((node->flags & NIF_FLAG_NEGATE) != 0);
}

} // namespace zeriza
