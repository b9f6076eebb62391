// The filter language's keywords, parameters and protocols.
//
// Tokens, layers, protocol ids and parameter bits are copied into every
// compiled filter, and compiled filters are stored in capture logs: every
// number below is part of a stored format and keeps its value.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "zeriza.h"

namespace zeriza {

// Keyword tokens: the position of the keyword in fktokmap, plus 1.
// 1-14 are parameters, 15-27 protocols.
enum Token : int32_t {
    TOK_NONE = 0,
    TOK_IPNUM = -1, // protocol given by number after "IP#"; no keyword
    TOK_LEN = 1,
    TOK_HLEN,
    TOK_DLEN,
    TOK_SRC,
    TOK_DST,
    TOK_SD,
    TOK_SD1,
    TOK_SD2,
    TOK_ETYPE,
    TOK_TYPE,
    TOK_CODE,
    TOK_C,
    TOK_ORG,
    TOK_F,
    TOK_ETH, // 15
    TOK_8023,
    TOK_LLC,
    TOK_SNAP,
    TOK_ARP,
    TOK_RARP,
    TOK_IP,
    TOK_ICMP,
    TOK_TCP,
    TOK_UDP,
    TOK_IPX,
    TOK_IGMP,
    TOK_OSPF, // 27
};

constexpr int kNumKeywords = 27;
constexpr bool is_parameter(int32_t tok)
{
    return tok >= TOK_LEN && tok <= TOK_F;
}
constexpr bool is_protocol(int32_t tok)
{
    return tok >= TOK_ETH && tok <= TOK_OSPF;
}

// Parameter bits in a rule's parms and parms_neg sets. SD:2 has none of its
// own: it sets SRC and DST.
enum ParmBit : uint32_t {
    PB_LEN = 0x0001,
    PB_HLEN = 0x0002,
    PB_DLEN = 0x0004,
    PB_SRC = 0x0008,
    PB_DST = 0x0010,
    PB_SD = 0x0020,
    PB_SD1 = 0x0040,
    PB_ETYPE = 0x0080,
    PB_TYPE = 0x0100,
    PB_CODE = 0x0200,
    PB_C = 0x0400,
    PB_ORG = 0x0800,
    PB_F = 0x1000,
};

static_assert(PB_LEN == NIF_PARM_LEN && PB_SD1 == NIF_PARM_SD1 && PB_ETYPE == NIF_PARM_ETYPE &&
                  PB_F == NIF_PARM_F,
              "the public header publishes the same bits");

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

// fktokmap: the keyword of token t is row t - 1.
inline constexpr std::array<std::string_view, kNumKeywords> fktokmap = {
    "LEN",  "HLEN", "DLEN", "SRC",  "DST", "SD",  "SD:1",  "SD:2", "ETYPE",
    "TYPE", "CODE", "C",    "ORG",  "F",   "ETH", "802.3", "LLC",  "SNAP",
    "ARP",  "RARP", "IP",   "ICMP", "TCP", "UDP", "IPX",   "IGMP", "OSPF",
};

constexpr int kListMax = 30; // entries of a conflict or allowed list, 0-ended

// Relop classes of parm_map.
enum RelopClass : int32_t { RELOP_ADDR = -1, RELOP_ANY = 0, RELOP_EQ = 1 };

struct ParmRow {
    int32_t token;
    uint32_t bit;
    int32_t relop_class;
    std::array<int32_t, kListMax> conflicts;
};

// parm_map: every parameter but SD:2. The matcher tests parameters in this
// row order, so it is part of the behaviour, not only of the checks.
inline constexpr std::array<ParmRow, 13> parm_map = {{
    {TOK_SRC, PB_SRC, RELOP_ADDR, {TOK_SD, TOK_SD1}},
    {TOK_DST, PB_DST, RELOP_ADDR, {TOK_SD, TOK_SD1}},
    {TOK_SD, PB_SD, RELOP_ADDR, {TOK_SRC, TOK_DST, TOK_SD1}},
    {TOK_SD1, PB_SD1, RELOP_ADDR, {TOK_SRC, TOK_DST, TOK_SD}},
    {TOK_F, PB_F, RELOP_EQ, {}},
    {TOK_LEN, PB_LEN, RELOP_ANY, {}},
    {TOK_HLEN, PB_HLEN, RELOP_ANY, {}},
    {TOK_DLEN, PB_DLEN, RELOP_ANY, {}},
    {TOK_ETYPE, PB_ETYPE, RELOP_EQ, {}},
    {TOK_TYPE, PB_TYPE, RELOP_EQ, {}},
    {TOK_CODE, PB_CODE, RELOP_EQ, {}},
    {TOK_C, PB_C, RELOP_EQ, {}},
    {TOK_ORG, PB_ORG, RELOP_EQ, {}},
}};

struct ProtoRow {
    int32_t token;
    int32_t layer;
    int32_t id;
    int32_t addr_eq_only; // address parameters take '=' only
    std::array<int32_t, kListMax> allowed;
};

inline constexpr std::array<ProtoRow, 13> proto_map = {{
    {TOK_ETH,
     LYR_LINK,
     L2_ETH,
     1,
     {TOK_HLEN, TOK_DLEN, TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2, TOK_ETYPE}},
    {TOK_8023,
     LYR_LINK,
     L2_8023,
     1,
     {TOK_HLEN, TOK_DLEN, TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2}},
    {TOK_LLC, LYR_LINK, L2_LLC, 1, {TOK_DLEN, TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2, TOK_C}},
    {TOK_SNAP, LYR_LINK, L2_SNAP, 0, {TOK_DLEN, TOK_ORG, TOK_ETYPE}},
    {TOK_ARP, LYR_NET, L3_ARP, 0, {TOK_HLEN}},
    {TOK_RARP, LYR_NET, L3_RARP, 0, {TOK_HLEN}},
    {TOK_IP,
     LYR_NET,
     L3_IP,
     1,
     {TOK_HLEN, TOK_DLEN, TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2, TOK_F}},
    {TOK_IPX, LYR_NET, L3_IPX, 0, {}},
    {TOK_ICMP, LYR_IP, L4_ICMP, 0, {TOK_HLEN, TOK_DLEN, TOK_TYPE, TOK_CODE}},
    {TOK_IGMP, LYR_IP, L4_IGMP, 0, {}},
    {TOK_OSPF, LYR_IP, L4_OSPF, 0, {}},
    {TOK_TCP,
     LYR_IP,
     L4_TCP,
     0,
     {TOK_HLEN, TOK_DLEN, TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2, TOK_F}},
    {TOK_UDP, LYR_IP, L4_UDP, 0, {TOK_HLEN, TOK_DLEN, TOK_SRC, TOK_DST, TOK_SD, TOK_SD1, TOK_SD2}},
}};

// The row of a parameter or protocol token, or null.
constexpr const ParmRow *parm_row(int32_t token)
{
    for (const auto &row : parm_map)
        if (row.token == token)
            return &row;
    return nullptr;
}

constexpr const ProtoRow *proto_row(int32_t token)
{
    for (const auto &row : proto_map)
        if (row.token == token)
            return &row;
    return nullptr;
}

// The bits follow the tokens, which the tables must agree with.
static_assert([] {
    for (const auto &row : parm_map) {
        int shift = row.token <= TOK_SD1 ? row.token - 1 : row.token - 2;
        if (row.bit != 1u << shift)
            return false;
    }
    return true;
}());

// ---- keyword lookup during one compilation ----------------------------------

// Fill the alphabets and build the word tree of the 27 keywords. Returns 0,
// or -1 when the tree cannot be made (nothing is then held).
int build_keywords();

// Destroy the word tree built by build_keywords.
void destroy_keywords();

// Length of the run of keyword-alphabet characters at text (0: no word).
int keyword_span(const char *text);

// Token of the `n` characters at text, 0 when they are no keyword.
int32_t keyword_token(const char *text, int n);

// Keyword text of a token; "<%d>" for any other value, in a buffer that the
// next rendering of an unknown token overwrites.
const char *tok2txt(int32_t tok);

} // namespace zeriza
