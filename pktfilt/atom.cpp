// Atom evaluation: one protocol and its parameter tests against the header
// records of a frame.
#include <algorithm>
#include <cstring>

#include "pktfilt/matcher.h"
#include "pktfilt/vocabulary.h"
#include "zeriza_host.h"

namespace zeriza {
namespace {

// What one parameter test found.
enum class Test {
    Pass,
    Fail,
    Undecided, // the bytes it needs lie beyond the data, or the protocol
               // cannot have the parameter: the atom fails whatever '^' says
};

Test verdict(bool holds)
{
    return holds ? Test::Pass : Test::Fail;
}

// The frame's value against the atom's by a stored operator character;
// any other character passes.
bool relop(int32_t frame_value, int32_t atom_value, int32_t op)
{
    switch (op) {
    case '=':
        return frame_value == atom_value;
    case '>':
        return frame_value > atom_value;
    case '<':
        return frame_value < atom_value;
    default:
        return true;
    }
}

int32_t word(const unsigned char *block, int i)
{
    int32_t w;
    std::memcpy(&w, block + 4 * i, sizeof w);
    return w;
}

int32_t be16(const unsigned char *p)
{
    return p[0] << 8 | p[1];
}

// Which address block a test compares with.
enum class Side { Src, Dst };

// ---- the comparisons of SRC and DST, by protocol -----------------------------
// Each takes the header and the block, and tells whether the frame's field
// on one side matches.

bool mac_matches(const unsigned char *h, Side side, const unsigned char *block)
{
    const unsigned char *field = h + (side == Side::Dst ? 0 : 6);
    if (word(block, 2) != 0) // written as "M": the multicast address byte
        return field[0] == 0x01;
    return std::memcmp(field, block, 6) == 0;
}

bool sap_matches(const unsigned char *h, Side side, const unsigned char *block)
{
    return h[side == Side::Dst ? 0 : 1] == word(block, 0);
}

bool in_prefix(const unsigned char *addr, const unsigned char *block)
{
    // Whole bytes of the prefix, 0 to 4; a filter from outside may hold
    // anything, and must not make the comparison leave the address.
    int32_t whole = word(block, 1);
    whole = whole < 0 ? 0 : whole > 4 ? 4 : whole;
    if (std::memcmp(addr, block, static_cast<size_t>(whole)) != 0)
        return false;
    if (whole == 4)
        return true;
    auto m = static_cast<uint32_t>(word(block, 2));
    return (addr[whole] & m) == m;
}

bool ip_matches(const unsigned char *h, Side side, const unsigned char *block)
{
    return in_prefix(h + (side == Side::Src ? 12 : 16), block);
}

bool port_matches(const unsigned char *h, Side side, const unsigned char *block)
{
    return relop(be16(h + (side == Side::Src ? 0 : 2)), be16(block), word(block, 1));
}

using Matcher = bool (*)(const unsigned char *, Side, const unsigned char *);

struct AddressForm {
    Matcher match;
    int32_t need_src; // header bytes up to the end of the source field
    int32_t need_dst; // and of the destination field
};

constexpr AddressForm kMac{mac_matches, 12, 6}, kSap{sap_matches, 2, 1}, kIp{ip_matches, 16, 20},
    kPort{port_matches, 2, 4};

// The address form of an atom's protocol, or null when it has none.
const AddressForm *address_form(int32_t layer, int32_t id)
{
    if (layer == LYR_LINK && (id == L2_ETH || id == L2_8023))
        return &kMac;
    if (layer == LYR_LINK && id == L2_LLC)
        return &kSap;
    if (layer == LYR_NET && id == L3_IP)
        return &kIp;
    if (layer == LYR_IP && (id == L4_TCP || id == L4_UDP))
        return &kPort;
    return nullptr;
}

// ---- missing cases -------------------------------------------------------------

// Layers at which a parameter is tested at all, as a bit set of layers.
constexpr unsigned layer_bit(int32_t layer)
{
    return layer >= 0 && layer < 32 ? 1u << layer : 0;
}

unsigned tested_layers(int32_t parm)
{
    switch (parm) {
    case TOK_SRC:
    case TOK_DST:
    case TOK_SD:
    case TOK_SD1:
        return layer_bit(LYR_LINK) | layer_bit(LYR_NET) | layer_bit(LYR_IP);
    case TOK_F:
        return layer_bit(LYR_NET) | layer_bit(LYR_IP);
    case TOK_ETYPE:
    case TOK_C:
    case TOK_ORG:
        return layer_bit(LYR_LINK);
    default: // TYPE, CODE
        return layer_bit(LYR_IP);
    }
}

// A parameter the atom's protocol cannot have: logged every time it is
// reached, and the atom fails.
Test missing_case(const filt_node *a, int32_t parm)
{
    if (tested_layers(parm) & layer_bit(a->lyr))
        gnl_msglog("apply_atom: parm=%s, missing proto=%d.%d case", tok2txt(parm), a->lyr,
                   a->proto);
    else
        gnl_msglog("apply_atom: tok=%s, missing lyr=%d case", tok2txt(parm), a->lyr);
    return Test::Undecided;
}

// ---- the parameter tests ---------------------------------------------------------

Test address_test(const filt_node *a, const hdr_rec &r, int32_t parm)
{
    const AddressForm *form = address_form(a->lyr, a->proto);
    if (!form)
        return missing_case(a, parm);
    int32_t need = parm == TOK_SRC   ? form->need_src
                   : parm == TOK_DST ? form->need_dst
                                     : std::max(form->need_src, form->need_dst);
    if (r.avail < need)
        return Test::Undecided;
    const unsigned char *h = r.start;
    switch (parm) {
    case TOK_SRC:
        return verdict(form->match(h, Side::Src, a->src));
    case TOK_DST:
        return verdict(form->match(h, Side::Dst, a->dst));
    case TOK_SD:
        return verdict(form->match(h, Side::Dst, a->dst) || form->match(h, Side::Src, a->dst));
    default: // SD:1, one side and not both
        return verdict(form->match(h, Side::Dst, a->dst) != form->match(h, Side::Src, a->dst));
    }
}

Test flag_test(const filt_node *a, const hdr_rec &r)
{
    const unsigned char *h = r.start;
    if (a->lyr == LYR_NET && a->proto == L3_IP) {
        if (r.avail < 8)
            return Test::Undecided;
        bool fragment = (h[6] & 0x20) != 0 || ((h[6] & 0x1F) << 8 | h[7]) != 0;
        return verdict(fragment ? a->ip_flag == 1 : a->ip_flag != 1);
    }
    if (a->lyr == LYR_IP && a->proto == L4_TCP) {
        if (r.avail < 14)
            return Test::Undecided;
        uint32_t flags = h[13] & 0x3Fu;
        return verdict((flags & a->tcp_set) == a->tcp_set && (flags & a->tcp_clr) == 0);
    }
    return missing_case(a, TOK_F);
}

// A test of `width` bytes at `offset` of the one protocol that has the
// parameter, against `want`.
Test field_test(const filt_node *a, const hdr_rec &r, int32_t parm, int32_t layer, int32_t id,
                int offset, const unsigned char *want, int width)
{
    if (a->lyr != layer || a->proto != id)
        return missing_case(a, parm);
    if (r.avail < offset + width)
        return Test::Undecided;
    return verdict(std::memcmp(r.start + offset, want, static_cast<size_t>(width)) == 0);
}

Test byte_test(const filt_node *a, const hdr_rec &r, int32_t parm, int32_t layer, int32_t id,
               int offset, int32_t want)
{
    if (a->lyr != layer || a->proto != id)
        return missing_case(a, parm);
    if (r.avail < offset + 1)
        return Test::Undecided;
    return verdict(r.start[offset] == want);
}

Test run_test(const filt_node *a, const hdr_rec &r, int32_t parm)
{
    switch (parm) {
    case TOK_LEN:
        return verdict(relop(r.avail, a->len, a->len_op));
    case TOK_HLEN:
        return verdict(relop(r.hdr_len, a->hlen, a->hlen_op));
    case TOK_DLEN:
        return verdict(relop(r.avail - r.hdr_len, a->dlen, a->dlen_op));
    case TOK_SRC:
    case TOK_DST:
    case TOK_SD:
    case TOK_SD1:
        return address_test(a, r, parm);
    case TOK_F:
        return flag_test(a, r);
    case TOK_ETYPE:
        if (a->lyr == LYR_LINK && a->proto == L2_SNAP)
            return field_test(a, r, parm, LYR_LINK, L2_SNAP, 3, a->etype, 2);
        return field_test(a, r, parm, LYR_LINK, L2_ETH, 12, a->etype, 2);
    case TOK_ORG:
        return field_test(a, r, parm, LYR_LINK, L2_SNAP, 0, a->org, 3);
    case TOK_C:
        return byte_test(a, r, parm, LYR_LINK, L2_LLC, 2, a->llc_ctl);
    case TOK_TYPE:
        return byte_test(a, r, parm, LYR_IP, L4_ICMP, 0, a->icmp_type);
    default: // CODE
        return byte_test(a, r, parm, LYR_IP, L4_ICMP, 1, a->icmp_code);
    }
}

} // namespace

int32_t apply_params(const filt_node *a, const hdr_rec &found)
{
    uint32_t todo = a->parms;
    if (!todo) // the atom only asks for the protocol
        return 1;
    for (const ParmRow &row : parm_map) {
        if (!(todo & row.bit))
            continue;
        todo &= ~row.bit;
        Test t = run_test(a, found, row.token);
        if (t == Test::Undecided)
            return 0;
        bool pass = (t == Test::Pass) != ((a->parms_neg & row.bit) != 0);
        if (!pass)
            return 0;
        if (!todo)
            break;
    }
    return 1;
}

int32_t apply_atom(const filt_node *a, const hdr_rec *recs, int nrecs)
{
    for (int i = 0; i < nrecs; ++i) {
        const hdr_rec &r = recs[i];
        if (r.layer > a->lyr)
            break;
        if (r.layer == a->lyr && r.proto_id == a->proto)
            return apply_params(a, r);
    }
    return 0;
}

} // namespace zeriza
