// The fast engine: the same verdicts as the reference engine (matcher.h),
// reached with less work.
//
// An atom only ever finds the first record of its (layer, id), and along a
// walk the layers never go down: layers -1, 3 and 4 hold at most one record
// each, and only layer 2 (802.3, LLC and SNAP nested in one another) can
// hold several. On an Ethernet II frame, the common case, each atom works
// out the one header of its layer straight from the bytes, with the steps
// of the walk taken in a straight line (a group reads the frame once for
// all its atoms). On any other frame each atom walks the frame only until it
// reaches its header or passes its layer. Parameter tests run in table
// order as straight-line checks; an atom whose protocol cannot have one of
// its parameters goes to the reference engine's tests, which log it.
#pragma once

#include <cstdint>
#include <cstring>

#include "pktfilt/matcher.h"
#include "pktfilt/protocols.h"
#include "pktfilt/steps.h"

namespace zeriza {

// One header the summary keeps, from the frame's first byte.
struct Hdr {
    int32_t off;   // where the header starts
    int32_t avail; // bytes from there to the end of the analysed data
    int32_t len;   // header length
};

// The header at `off` that a step describes, as a record keeps it: one cut
// short covers what is left.
inline Hdr record(int32_t off, const Step &st, int32_t remaining)
{
    return {off, st.avail, st.hdr_len < 0 ? remaining : st.hdr_len};
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

// The slot of an atom's layer in a view of a frame's headers (Layers): 0
// link, 1 network, 2 transport; 3 for an atom no view holds (its
// layer has no slot, or no header can have its id).
constexpr int slot_of(int32_t layer, int32_t id)
{
    const int slot = layer == LYR_LINK ? 0 : layer == LYR_NET ? 1 : layer == LYR_IP ? 2 : 3;
    return id >= 0 && id <= 0xFFFF ? slot : 3;
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
    uint32_t rows() const { return in_table_order(parms()); }
    uint32_t neg() const { return n->parms_neg; }
    const ProtoRow &protocol() const { return proto_at(n->lyr, n->proto); }
    Form form() const { return form_of(n->lyr, n->proto); }
    int slot() const { return slot_of(n->lyr, n->proto); }
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
    const ProtoRow *protocol_;
    Form form_;
    int slot_;
    uint32_t parms_, rows_, neg_;
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
        protocol_ = &v.protocol();
        form_ = v.form();
        slot_ = v.slot();
        parms_ = v.parms();
        rows_ = v.rows();
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
    uint32_t rows() const { return rows_; }
    uint32_t neg() const { return neg_; }
    const ProtoRow &protocol() const { return *protocol_; }
    Form form() const { return form_; }
    int slot() const { return slot_; }
    Prefix prefix(bool src) const { return prefix_[src ? 0 : 1]; }
    Port port(bool src) const { return port_[src ? 0 : 1]; }
    bool carried_by(int32_t type) const { return type == ether_type_; }
};

// ---- the parameter tests ---------------------------------------------------------

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
    constexpr AddressFields at = address_fields(F);
    auto side = [&](bool src_field, bool src_block) -> bool {
        const unsigned char *block = src_block ? a.node()->src : a.node()->dst;
        const unsigned char *field = h + (src_field ? at.src_at : at.dst_at);
        if constexpr (F == Form::Mac) // or, written as "M", the multicast address byte
            return word(block, 2) != 0 ? field[0] == 0x01 : std::memcmp(field, block, 6) == 0;
        else if constexpr (F == Form::Sap)
            return field[0] == word(block, 0);
        else if constexpr (F == Form::Ip)
            return in_prefix(field, a.prefix(src_block));
        else {
            const Port port = a.port(src_block);
            return relop(be16(field), port.value, port.op);
        }
    };
    if (row == kSrc)
        return avail < at.need_src() ? kUndecided : holds(side(true, true));
    if (row == kDst)
        return avail < at.need_dst() ? kUndecided : holds(side(false, false));
    if (avail < (at.need_src() > at.need_dst() ? at.need_src() : at.need_dst()))
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
Outcome address_row(NodeAtom a, int row, const unsigned char *h, int32_t avail);

inline Outcome address_row(const PlanAtom &a, int row, const unsigned char *h, int32_t avail)
{
    return address_test(a, row, h, avail);
}

// A test of `width` header bytes at `at` against the atom's; `at` is -1
// when the atom's protocol has no such field.
inline Outcome bytes_test(const unsigned char *h, int32_t avail, int32_t at,
                          const unsigned char *want, int width)
{
    if (at < 0)
        return kUntestable;
    if (avail < at + width)
        return kUndecided;
    return holds(std::memcmp(h + at, want, static_cast<size_t>(width)) == 0);
}

inline Outcome byte_test(const unsigned char *h, int32_t avail, int32_t at, int32_t want)
{
    if (at < 0)
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
    switch (row) {
    case kSrc:
    case kDst:
    case kSd:
    case kSd1:
        return address_row(a, row, h, avail);
    case kF:
        switch (a.protocol().flag) {
        case FlagTest::Fragment: // a fragment, or not
            return avail < 8 ? kUndecided
                             : holds(((h[6] & 0x20) != 0 || ((h[6] & 0x1F) | h[7]) != 0)
                                         ? n->ip_flag == 1
                                         : n->ip_flag != 1);
        case FlagTest::TcpFlags: // the flags to be set and to be clear
            return avail < 14 ? kUndecided
                              : holds(((h[13] & 0x3Fu) & n->tcp_set) == n->tcp_set &&
                                      ((h[13] & 0x3Fu) & n->tcp_clr) == 0);
        default:
            return kUntestable;
        }
    case kLen:
        return holds(relop(avail, n->len, n->len_op));
    case kHlen:
        return holds(relop(len, n->hlen, n->hlen_op));
    case kDlen:
        return holds(relop(avail - len, n->dlen, n->dlen_op));
    case kEtype:
        return bytes_test(h, avail, a.protocol().etype_at, n->etype, 2);
    case kType:
        return byte_test(h, avail, a.protocol().type_at, n->icmp_type);
    case kCode:
        return byte_test(h, avail, a.protocol().code_at, n->icmp_code);
    case kC:
        return byte_test(h, avail, a.protocol().ctl_at, n->llc_ctl);
    default: // ORG
        return bytes_test(h, avail, a.protocol().org_at, n->org, 3);
    }
}

// The reference engine's tests of an atom whose protocol cannot have one of
// its parameters: they log it. Every test before it in table order has
// passed, so they find the same.
[[gnu::cold]] int32_t untestable(const filt_node *a, const unsigned char *h, int32_t avail,
                                 int32_t len);

// The parameter tests of an atom whose header is `r`, in table order,
// stopping at the first that fails: 1 or 0.
template <class A>
[[gnu::always_inline]] inline int32_t params(const A &a, const unsigned char *frame, const Hdr &r)
{
    uint32_t rows = a.rows();
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

// Where a transport atom's header lies after an IPv4 header at `off`, with
// `rem` bytes from there: the datagram must be long enough to name its
// protocol, not a later fragment, with bytes after its header. The results
// of find_ether2.
template <class A>
[[gnu::always_inline]] inline int find_transport(const A &a, const unsigned char *f, int32_t off,
                                                 int32_t rem, Hdr &r)
{
    const unsigned char *ip = f + off;
    if (a.layer() != LYR_IP || rem < 10 || ip[9] != a.id())
        return -1;
    const Step net = ipv4(ip, rem);
    const int32_t r4 = net.avail - net.hdr_len;
    if (net.next_layer != LYR_IP || r4 <= 0)
        return -1;
    if (a.parms() == 0)
        return 0;
    off += net.hdr_len;
    r = record(off, transport(a.id(), f + off, r4), r4);
    return 1;
}

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
    if (type != 0x0800)
        return -1;
    return find_transport(a, f, 14, r3, r);
}

// The network header of an IEEE 802.3 frame of `len` bytes, after the
// 802.3, LLC and SNAP headers walked in a straight line: 1 with its id, where
// it starts and the bytes from there; -1 when the frame has none; 2 when the
// frame is for the general walk (802.3 bridged inside SNAP, which may nest
// again).
[[gnu::always_inline]] inline int walk_8023(const unsigned char *f, int32_t len, int32_t &id,
                                            int32_t &off, int32_t &rem)
{
    if (len <= 0)
        return -1;
    const Step dot3 = ieee8023(f, len);
    if (dot3.hdr_len < 0 || dot3.next_layer == kEnd)
        return -1;
    off = 14;
    rem = dot3.avail - 14;
    id = dot3.next_id;
    if (dot3.next_layer == LYR_LINK) { // LLC, else Novell raw IPX
        const Step sap = llc(f + off, rem);
        if (sap.hdr_len < 0 || sap.next_layer == kEnd || sap.avail - sap.hdr_len <= 0)
            return -1;
        off += sap.hdr_len;
        rem = sap.avail - sap.hdr_len;
        id = sap.next_id;
        if (sap.next_layer == LYR_LINK) { // SNAP
            const Step sn = snap(f + off, rem);
            if (sn.hdr_len < 0 || sn.next_layer == kEnd || sn.avail - sn.hdr_len <= 0)
                return -1;
            if (sn.next_layer == LYR_LINK)
                return 2;
            off += sn.hdr_len;
            rem = sn.avail - sn.hdr_len;
            id = sn.next_id;
        }
    }
    return 1;
}

// Where an atom's header lies in an IEEE 802.3 frame of `len` bytes, for
// an atom above layer 2: the results of find_ether2, and 2 when the frame
// is for the general walk (a layer-2 atom, or 802.3 bridged inside SNAP).
template <class A>
[[gnu::always_inline]] inline int find_8023(const A &a, const unsigned char *f, int32_t len, Hdr &r)
{
    if (a.layer() != LYR_NET && a.layer() != LYR_IP)
        return 2;
    int32_t id, off, rem;
    const int net = walk_8023(f, len, id, off, rem);
    if (net != 1)
        return net;
    if (a.layer() == LYR_NET) {
        if (id != a.id())
            return -1;
        if (a.parms() == 0)
            return 0;
        r = record(off, id == L3_IP ? ipv4(f + off, rem) : cover_rest(rem), rem);
        return 1;
    }
    if (id != L3_IP)
        return -1;
    return find_transport(a, f, off, rem, r);
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

// The headers of a frame with at most one a layer, read once for the atoms
// of a group: its link, network and transport headers by slot (the link
// slot holds an Ethernet II header; a view of an 802.3 frame has none).
struct Layers {
    int32_t ids[3]; // the id of the header in each slot, -1 for none
    Hdr hdrs[3];
};

// The network and transport headers from a network header of `id` at
// `off`, `rem` bytes from there.
[[gnu::always_inline]] inline void read_net(const unsigned char *f, int32_t id, int32_t off,
                                            int32_t rem, Layers &v)
{
    v.ids[1] = id ? id : -1;
    v.ids[2] = -1;
    if (id != L3_IP) {
        v.hdrs[1] = {off, rem, rem};
        return;
    }
    const Step net = ipv4(f + off, rem);
    v.hdrs[1] = record(off, net, rem);
    const int32_t r4 = net.avail - net.hdr_len;
    if (net.next_layer != LYR_IP || r4 <= 0)
        return;
    off += net.hdr_len;
    v.ids[2] = net.next_id;
    v.hdrs[2] = record(off, transport(net.next_id, f + off, r4), r4);
}

[[gnu::always_inline]] inline Layers read_ether2(const unsigned char *f, int32_t len)
{
    Layers v;
    v.ids[0] = len > 0 ? L2_ETH : -1;
    v.hdrs[0] = {0, len, len < 14 ? len : 14};
    if (len > 14)
        read_net(f, ether_net_id(be16(f + 12)), 14, len - 14, v);
    else
        v.ids[1] = v.ids[2] = -1;
    return v;
}

// The view of an 802.3 frame for atoms above layer 2; false when the frame
// is for the general walk.
[[gnu::always_inline]] inline bool read_8023(const unsigned char *f, int32_t len, Layers &v)
{
    v.ids[0] = v.ids[1] = v.ids[2] = -1;
    int32_t id, off, rem;
    const int net = walk_8023(f, len, id, off, rem);
    if (net == 1)
        read_net(f, id, off, rem, v);
    return net != 2;
}

// The header an atom finds in a view, or null.
template <class A> [[gnu::always_inline]] inline const Hdr *find_in(const A &a, const Layers &v)
{
    const int slot = a.slot();
    return slot < 3 && v.ids[slot] == a.id() ? &v.hdrs[slot] : nullptr;
}

// 1 when an atom holds on a view, its negation not applied.
template <class A>
[[gnu::always_inline]] inline int32_t holds_in(const A &a, const unsigned char *f, const Layers &v)
{
    const Hdr *r = find_in(a, v);
    return r ? params(a, f, *r) : 0;
}

// The verdict of an atom, its negation applied, on a view: with its
// parameter tests in line for a plan, out of line for an atom read from its
// node.
[[gnu::always_inline]] inline int32_t atom_in(const PlanAtom &a, const unsigned char *f,
                                              const Layers &v)
{
    return holds_in(a, f, v) != a.negate();
}

[[gnu::always_inline]] inline int32_t atom_in(const NodeAtom &a, const unsigned char *f,
                                              const Layers &v)
{
    const Hdr *r = find_in(a, v);
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

// The verdict of group node `i` of a filter on a view.
template <class Atoms>
int32_t group_in(const filt_node *filter, int32_t i, const Atoms &atoms, const unsigned char *f,
                 const Layers &v)
{
    const filt_node &g = filter[i];
    // AND stops at the first child that fails, OR at the first that holds.
    const bool is_or = (g.flags & NIF_FLAG_OR) != 0;
    int32_t r = is_or ? 0 : 1;
    const int32_t first = i + g.kid_off, end = first + g.nkids;
    for (int32_t k = first; k < end; ++k)
        if ((filter[k].nkids ? group_in(filter, k, atoms, f, v) : atom_in(atoms[k], f, v)) ==
            (is_or ? 1 : 0)) {
            r = 1 - r;
            break;
        }
    return g.flags & NIF_FLAG_NEGATE ? 1 - r : r;
}

// The verdict of group node `i` of a filter on an Ethernet II frame of `len`
// bytes, each atom reading the header of its layer straight from the bytes
// (for one frame, cheaper than reading every header into a view first: an
// atom of another protocol stops at the first field that differs).
int32_t group_ether2(const filt_node *filter, int32_t i, const unsigned char *f, int32_t len);

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

// The verdict of a compiled group on a view.
[[gnu::always_inline]] inline int32_t run_in(const Jump *jumps, const PlanAtom *plans,
                                             const unsigned char *f, const Layers &v)
{
    int32_t at = 0;
    do
        at = holds_in(plans[at], f, v) ? jumps[at].if_true : jumps[at].if_false;
    while (at >= 0);
    return at == kPass;
}

// ---- frames of every other kind ----------------------------------------------------

// The verdict of an atom, its negation applied, on a frame walked from its
// first header (layer, id), `len` bytes of it analysed: the walk goes only
// until it reaches the atom's header or passes its layer, and keeps no
// record; an atom above layer 2 on an 802.3 frame takes the straight line
// to its network header.
int32_t atom_walked(const filt_node *a, const unsigned char *frame, int32_t len, int32_t layer,
                    int32_t id);

// The verdict of a group node `i` of a filter on such a frame, each atom
// walking the frame for itself.
int32_t group_walked(const filt_node *filter, int32_t i, const unsigned char *frame, int32_t len,
                     int32_t layer, int32_t id);

} // namespace zeriza
