// Atom evaluation: one protocol and its parameter tests against the header
// records of a frame.
#include <algorithm>
#include <cstring>

#include "pktfilt/matcher.h"
#include "pktfilt/protocols.h"
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

// ---- the comparisons of SRC and DST, by address form ------------------------------
// Each takes the field of one side and the block, and tells whether they
// match.

bool mac_matches(const unsigned char *field, const unsigned char *block)
{
    if (word(block, 2) != 0) // written as "M": the multicast address byte
        return field[0] == 0x01;
    return std::memcmp(field, block, 6) == 0;
}

bool sap_matches(const unsigned char *field, const unsigned char *block)
{
    return field[0] == word(block, 0);
}

bool ip_matches(const unsigned char *addr, const unsigned char *block)
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

bool port_matches(const unsigned char *field, const unsigned char *block)
{
    return relop(be16(field), be16(block), word(block, 1));
}

bool side_matches(Form form, const unsigned char *field, const unsigned char *block)
{
    switch (form) {
    case Form::Mac:
        return mac_matches(field, block);
    case Form::Sap:
        return sap_matches(field, block);
    case Form::Ip:
        return ip_matches(field, block);
    default:
        return port_matches(field, block);
    }
}

// ---- missing cases -------------------------------------------------------------

constexpr unsigned layer_bit(int32_t layer)
{
    return layer >= 0 && layer < 32 ? 1u << layer : 0;
}

// Whether a protocol has a test of a parameter.
constexpr bool has_test(const ProtoRow &row, int32_t parm)
{
    switch (parm) {
    case TOK_SRC:
    case TOK_DST:
    case TOK_SD:
    case TOK_SD1:
        return row.form != Form::None;
    case TOK_F:
        return row.flag != FlagTest::None;
    case TOK_ETYPE:
        return row.etype_at >= 0;
    case TOK_ORG:
        return row.org_at >= 0;
    case TOK_C:
        return row.ctl_at >= 0;
    case TOK_TYPE:
        return row.type_at >= 0;
    case TOK_CODE:
        return row.code_at >= 0;
    default: // the lengths, on every protocol
        return true;
    }
}

// The layers at which a parameter is tested at all, as a bit set.
constexpr unsigned tested_layers(int32_t parm)
{
    unsigned layers = 0;
    for (const ProtoRow &row : proto_map)
        if (has_test(row, parm))
            layers |= layer_bit(row.layer);
    return layers;
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
    const Form form = form_of(a->lyr, a->proto);
    if (form == Form::None)
        return missing_case(a, parm);
    const AddressFields &at = address_fields(form);
    int32_t need = parm == TOK_SRC   ? at.need_src()
                   : parm == TOK_DST ? at.need_dst()
                                     : std::max(at.need_src(), at.need_dst());
    if (r.avail < need)
        return Test::Undecided;
    const unsigned char *src = r.start + at.src_at, *dst = r.start + at.dst_at;
    switch (parm) {
    case TOK_SRC:
        return verdict(side_matches(form, src, a->src));
    case TOK_DST:
        return verdict(side_matches(form, dst, a->dst));
    case TOK_SD:
        return verdict(side_matches(form, dst, a->dst) || side_matches(form, src, a->dst));
    default: // SD:1, one side and not both
        return verdict(side_matches(form, dst, a->dst) != side_matches(form, src, a->dst));
    }
}

Test flag_test(const filt_node *a, const hdr_rec &r)
{
    const unsigned char *h = r.start;
    switch (proto_at(a->lyr, a->proto).flag) {
    case FlagTest::Fragment: {
        if (r.avail < 8)
            return Test::Undecided;
        bool fragment = (h[6] & 0x20) != 0 || ((h[6] & 0x1F) << 8 | h[7]) != 0;
        return verdict(fragment ? a->ip_flag == 1 : a->ip_flag != 1);
    }
    case FlagTest::TcpFlags: {
        if (r.avail < 14)
            return Test::Undecided;
        uint32_t flags = h[13] & 0x3Fu;
        return verdict((flags & a->tcp_set) == a->tcp_set && (flags & a->tcp_clr) == 0);
    }
    default:
        return missing_case(a, TOK_F);
    }
}

// A test of the `width` bytes at `at` of the header against `want`; `at`
// is -1 when the atom's protocol has no such field.
Test field_test(const filt_node *a, const hdr_rec &r, int32_t parm, int32_t at,
                const unsigned char *want, int width)
{
    if (at < 0)
        return missing_case(a, parm);
    if (r.avail < at + width)
        return Test::Undecided;
    return verdict(std::memcmp(r.start + at, want, static_cast<size_t>(width)) == 0);
}

Test byte_test(const filt_node *a, const hdr_rec &r, int32_t parm, int32_t at, int32_t want)
{
    if (at < 0)
        return missing_case(a, parm);
    if (r.avail < at + 1)
        return Test::Undecided;
    return verdict(r.start[at] == want);
}

Test run_test(const filt_node *a, const hdr_rec &r, int32_t parm)
{
    const ProtoRow &p = proto_at(a->lyr, a->proto);
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
        return field_test(a, r, parm, p.etype_at, a->etype, 2);
    case TOK_ORG:
        return field_test(a, r, parm, p.org_at, a->org, 3);
    case TOK_C:
        return byte_test(a, r, parm, p.ctl_at, a->llc_ctl);
    case TOK_TYPE:
        return byte_test(a, r, parm, p.type_at, a->icmp_type);
    default: // CODE
        return byte_test(a, r, parm, p.code_at, a->icmp_code);
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
