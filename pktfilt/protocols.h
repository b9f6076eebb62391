// What the library knows of each protocol, in one row: its keyword, the
// layer and id the matcher numbers its header with, the Ethernet type that
// carries it, the parameters the language allows on it, and where the tests
// of those parameters find their fields in its header. Both matcher engines
// and the value conversions read these rows; the header walk steps that
// find each header are in steps.h.
//
// Layers and ids are copied into every compiled filter and stored in
// capture logs: they keep their values.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "pktfilt/vocabulary.h"
#include "zeriza.h"

namespace zeriza {

// Protocol layers and ids, as the matcher numbers the headers of a frame.
enum Layer : int32_t {
    LYR_NONE = NIF_LAYER_NONE,
    LYR_LINK = NIF_LAYER_LINK,
    LYR_NET = NIF_LAYER_NET,
    LYR_IP = NIF_LAYER_IP
};
// Link ids 3 to 6 and 9 name media whose headers the walk does not parse;
// no keyword names them.
enum LinkId : int32_t {
    L2_ETH = NIF_PROTO_ETH,
    L2_8023 = NIF_PROTO_8023,
    L2_LINK2 = NIF_PROTO_LINK2,
    L2_LINK1 = NIF_PROTO_LINK1,
    L2_LINK3 = NIF_PROTO_LINK3,
    L2_FDDI = NIF_PROTO_FDDI,
    L2_LLC = NIF_PROTO_LLC,
    L2_SNAP = NIF_PROTO_SNAP,
    L2_HDLC = NIF_PROTO_HDLC,
};
enum NetId : int32_t {
    L3_IP = NIF_PROTO_IP,
    L3_ARP = NIF_PROTO_ARP,
    L3_RARP = NIF_PROTO_RARP,
    L3_IPX = NIF_PROTO_IPX
};
enum IpProto : int32_t {
    L4_ICMP = NIF_PROTO_ICMP,
    L4_IGMP = NIF_PROTO_IGMP,
    L4_TCP = NIF_PROTO_TCP,
    L4_UDP = NIF_PROTO_UDP,
    L4_OSPF = NIF_PROTO_OSPF
};

// How a protocol's SRC, DST and SD values are written and compared: a MAC
// address (or "M", "B"), a service access point, an IPv4 prefix, a port
// with an operator, or not at all.
enum class Form : uint8_t { None, Mac, Sap, Ip, Port };

// Where the two address fields of a form lie in the header, and how many
// bytes of the address block SD:2 copies from SRC to DST.
struct AddressFields {
    int32_t src_at, dst_at, width;
    int32_t block_bytes;
    constexpr int32_t need_src() const { return src_at + width; }
    constexpr int32_t need_dst() const { return dst_at + width; }
};

inline constexpr std::array<AddressFields, 5> kAddressFields = {{
    {0, 0, 0, 0},    // None
    {6, 0, 6, 12},   // Mac: destination first; bytes 0-7 and the "M" word
    {1, 0, 1, 4},    // Sap: DSAP, then SSAP
    {12, 16, 4, 12}, // Ip: the prefix bytes, its length and its mask byte
    {0, 2, 2, 8},    // Port: the port and its operator
}};

constexpr const AddressFields &address_fields(Form f)
{
    return kAddressFields[static_cast<size_t>(f)];
}

// What F tests: the fragment bit and offset of IPv4, or the TCP flags.
enum class FlagTest : uint8_t { None, Fragment, TcpFlags };

struct ProtoRow {
    int32_t token = TOK_NONE;
    int32_t layer = LYR_NONE;
    int32_t id = 0;
    int32_t addr_eq_only = 0; // address parameters take '=' only
    Form form = Form::None;
    FlagTest flag = FlagTest::None;
    // Header offsets of the fields of ETYPE (2 bytes), ORG (3), C, TYPE and
    // CODE (1 byte each); -1 where the protocol has no such field.
    int32_t etype_at = -1, org_at = -1, ctl_at = -1, type_at = -1, code_at = -1;
    int32_t ether_type = -1;       // the Ethernet type that announces it
    const char *service = nullptr; // its name in the services database
    std::array<int32_t, kListMax> allowed = {};
};

// The parameters every address form takes.
#define ZERIZA_ADDRESS_PARMS TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2

inline constexpr std::array<ProtoRow, 13> proto_map = {{
    {.token = TOK_ETH,
     .layer = LYR_LINK,
     .id = L2_ETH,
     .addr_eq_only = 1,
     .form = Form::Mac,
     .etype_at = 12,
     .allowed = {TOK_HLEN, TOK_DLEN, ZERIZA_ADDRESS_PARMS, TOK_ETYPE}},
    {.token = TOK_8023,
     .layer = LYR_LINK,
     .id = L2_8023,
     .addr_eq_only = 1,
     .form = Form::Mac,
     .allowed = {TOK_HLEN, TOK_DLEN, ZERIZA_ADDRESS_PARMS}},
    {.token = TOK_LLC,
     .layer = LYR_LINK,
     .id = L2_LLC,
     .addr_eq_only = 1,
     .form = Form::Sap,
     .ctl_at = 2,
     .allowed = {TOK_DLEN, ZERIZA_ADDRESS_PARMS, TOK_C}},
    {.token = TOK_SNAP,
     .layer = LYR_LINK,
     .id = L2_SNAP,
     .etype_at = 3,
     .org_at = 0,
     .allowed = {TOK_DLEN, TOK_ORG, TOK_ETYPE}},
    {.token = TOK_ARP, .layer = LYR_NET, .id = L3_ARP, .ether_type = 0x0806, .allowed = {TOK_HLEN}},
    {.token = TOK_RARP,
     .layer = LYR_NET,
     .id = L3_RARP,
     .ether_type = 0x8035,
     .allowed = {TOK_HLEN}},
    {.token = TOK_IP,
     .layer = LYR_NET,
     .id = L3_IP,
     .addr_eq_only = 1,
     .form = Form::Ip,
     .flag = FlagTest::Fragment,
     .ether_type = 0x0800,
     .allowed = {TOK_HLEN, TOK_DLEN, ZERIZA_ADDRESS_PARMS, TOK_F}},
    {.token = TOK_IPX, .layer = LYR_NET, .id = L3_IPX, .ether_type = 0x8137},
    {.token = TOK_ICMP,
     .layer = LYR_IP,
     .id = L4_ICMP,
     .type_at = 0,
     .code_at = 1,
     .allowed = {TOK_HLEN, TOK_DLEN, TOK_TYPE, TOK_CODE}},
    {.token = TOK_IGMP, .layer = LYR_IP, .id = L4_IGMP},
    {.token = TOK_OSPF, .layer = LYR_IP, .id = L4_OSPF},
    {.token = TOK_TCP,
     .layer = LYR_IP,
     .id = L4_TCP,
     .form = Form::Port,
     .flag = FlagTest::TcpFlags,
     .service = "tcp",
     .allowed = {TOK_HLEN, TOK_DLEN, ZERIZA_ADDRESS_PARMS, TOK_F}},
    {.token = TOK_UDP,
     .layer = LYR_IP,
     .id = L4_UDP,
     .form = Form::Port,
     .service = "udp",
     .allowed = {TOK_HLEN, TOK_DLEN, ZERIZA_ADDRESS_PARMS}},
}};

#undef ZERIZA_ADDRESS_PARMS

// Whether a protocol token has a row. (The checks below ask this rather than
// compare a row's address with null, which g++ will not evaluate at compile
// time when the sanitizers instrument pointers.)
constexpr bool has_proto_row(int32_t token)
{
    for (const auto &row : proto_map)
        if (row.token == token)
            return true;
    return false;
}

// The row of a protocol token, or null.
constexpr const ProtoRow *proto_row(int32_t token)
{
    for (const auto &row : proto_map)
        if (row.token == token)
            return &row;
    return nullptr;
}

// ---- the row of a header, as the matcher numbers it ------------------------------

// The row of every (layer, id) a compiled filter can hold, in one lookup: ids
// 0-255 of layers 2 to 4 (the IP protocol numbers), the rest have none.
inline constexpr ProtoRow kNoProtocol{};

constexpr int32_t kIdsPerLayer = 256;

inline constexpr std::array<uint8_t, 3 *kIdsPerLayer> kRowOf = [] {
    std::array<uint8_t, 3 * kIdsPerLayer> t{};
    for (size_t i = 0; i < proto_map.size(); ++i)
        t[static_cast<size_t>((proto_map[i].layer - LYR_LINK) * kIdsPerLayer + proto_map[i].id)] =
            static_cast<uint8_t>(i + 1);
    return t;
}();

constexpr const ProtoRow &proto_at(int32_t layer, int32_t id)
{
    // In unsigned arithmetic: a stored filter may hold any layer at all.
    const uint32_t slot = static_cast<uint32_t>(layer) - static_cast<uint32_t>(LYR_LINK),
                   n = static_cast<uint32_t>(id);
    if (slot > 2 || n >= kIdsPerLayer)
        return kNoProtocol;
    const uint8_t row = kRowOf[slot * kIdsPerLayer + n];
    return row ? proto_map[row - 1u] : kNoProtocol;
}

// The address form of every (layer, id), as the matcher reads it for each
// atom: from its own table, one byte each.
inline constexpr std::array<Form, 3 *kIdsPerLayer> kFormOf = [] {
    std::array<Form, 3 * kIdsPerLayer> t{};
    for (const ProtoRow &row : proto_map)
        t[static_cast<size_t>((row.layer - LYR_LINK) * kIdsPerLayer + row.id)] = row.form;
    return t;
}();

constexpr Form form_of(int32_t layer, int32_t id)
{
    // In unsigned arithmetic: a stored filter may hold any layer at all.
    const uint32_t slot = static_cast<uint32_t>(layer) - static_cast<uint32_t>(LYR_LINK),
                   n = static_cast<uint32_t>(id);
    return slot > 2 || n >= kIdsPerLayer ? Form::None : kFormOf[slot * kIdsPerLayer + n];
}

// ---- the rows agree with the language ----------------------------------------------

// A parameter the language allows on a protocol has a test there, and a
// test has its parameter allowed: the parser's checks and the matcher's
// tests read the same row.
static_assert([] {
    for (const ProtoRow &row : proto_map) {
        const bool address = row.form != Form::None;
        const std::array<std::pair<int32_t, bool>, 11> tests = {{
            {TOK_SRC, address},
            {TOK_DST, address},
            {TOK_SD, address},
            {TOK_SD1, address},
            {TOK_SD2, address},
            {TOK_F, row.flag != FlagTest::None},
            {TOK_ETYPE, row.etype_at >= 0},
            {TOK_ORG, row.org_at >= 0},
            {TOK_C, row.ctl_at >= 0},
            {TOK_TYPE, row.type_at >= 0},
            {TOK_CODE, row.code_at >= 0},
        }};
        for (const auto &[parm, tested] : tests)
            if (listed(row.allowed, parm) != tested)
                return false;
        if (listed(row.allowed, TOK_LEN) || !is_protocol(row.token))
            return false;
        // Parameters with rows (or SD:2), nothing after the list's 0.
        bool ended = false;
        for (int32_t t : row.allowed) {
            if ((ended && t) || (t && t != TOK_SD2 && !has_parm_row(t)))
                return false;
            ended |= t == 0;
        }
        if ((row.service != nullptr) != (row.form == Form::Port))
            return false;
    }
    return true;
}());

// Each protocol has one row, and each (layer, id) at most one.
static_assert([] {
    for (int32_t tok = TOK_ETH; tok <= TOK_OSPF; ++tok)
        if (!has_proto_row(tok) || proto_at(proto_row(tok)->layer, proto_row(tok)->id).token != tok)
            return false;
    return proto_map.size() == TOK_OSPF - TOK_ETH + 1 && !has_proto_row(TOK_SRC);
}());

} // namespace zeriza
