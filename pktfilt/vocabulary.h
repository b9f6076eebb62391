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

// Whether a parameter token has a row. (The checks below ask this rather than
// compare a row's address with null, which g++ will not evaluate at compile
// time when the sanitizers instrument pointers.)
constexpr bool has_parm_row(int32_t token)
{
    for (const auto &row : parm_map)
        if (row.token == token)
            return true;
    return false;
}

// The row of a parameter token, or null.
constexpr const ParmRow *parm_row(int32_t token)
{
    for (const auto &row : parm_map)
        if (row.token == token)
            return &row;
    return nullptr;
}

// Whether a 0-ended list holds `tok`, as the parser reads its lists.
constexpr bool listed(const std::array<int32_t, kListMax> &list, int32_t tok)
{
    for (int32_t t : list) {
        if (t == 0)
            return false;
        if (t == tok)
            return true;
    }
    return false;
}

// Conflicts go both ways and name parameters that have rows; every
// parameter but SD:2 (checked as SRC and DST) has a row.
static_assert([] {
    for (const ParmRow &row : parm_map)
        for (int32_t other : row.conflicts) {
            if (other == 0)
                break;
            if (!has_parm_row(other) || !listed(parm_row(other)->conflicts, row.token))
                return false;
        }
    for (int32_t tok = TOK_LEN; tok <= TOK_F; ++tok)
        if (has_parm_row(tok) == (tok == TOK_SD2))
            return false;
    return true;
}());

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
