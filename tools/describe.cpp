#include "describe.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace ztool {
namespace {

struct ProtoName {
    int32_t layer, id;
    const char *name;
};

constexpr std::array<ProtoName, 13> kProtocols = {{
    {NIF_LAYER_LINK, NIF_PROTO_ETH, "ETH"},
    {NIF_LAYER_LINK, NIF_PROTO_8023, "802.3"},
    {NIF_LAYER_LINK, NIF_PROTO_LLC, "LLC"},
    {NIF_LAYER_LINK, NIF_PROTO_SNAP, "SNAP"},
    {NIF_LAYER_NET, NIF_PROTO_IP, "IP"},
    {NIF_LAYER_NET, NIF_PROTO_ARP, "ARP"},
    {NIF_LAYER_NET, NIF_PROTO_RARP, "RARP"},
    {NIF_LAYER_NET, NIF_PROTO_IPX, "IPX"},
    {NIF_LAYER_IP, NIF_PROTO_ICMP, "ICMP"},
    {NIF_LAYER_IP, NIF_PROTO_IGMP, "IGMP"},
    {NIF_LAYER_IP, NIF_PROTO_TCP, "TCP"},
    {NIF_LAYER_IP, NIF_PROTO_UDP, "UDP"},
    {NIF_LAYER_IP, NIF_PROTO_OSPF, "OSPF"},
}};

// The protocol by the layer and id the matcher uses, not by the token.
std::string protocol(const filt_node &n)
{
    if (n.tok == -1)
        return "IP#" + std::to_string(n.proto);
    for (const auto &p : kProtocols)
        if (p.layer == n.lyr && p.id == n.proto)
            return p.name;
    return "<layer " + std::to_string(n.lyr) + " id " + std::to_string(n.proto) + ">";
}

bool is(const filt_node &n, int32_t layer, int32_t id)
{
    return n.lyr == layer && n.proto == id;
}

int32_t word(const unsigned char *block, int i)
{
    int32_t w;
    std::memcpy(&w, block + 4 * i, sizeof w);
    return w;
}

std::string op_char(int32_t op)
{
    char buf[16];
    if (op == '<' || op == '=' || op == '>')
        std::snprintf(buf, sizeof buf, "%c", static_cast<char>(op));
    else // a stored filter from elsewhere
        std::snprintf(buf, sizeof buf, "?%d?", static_cast<int>(op));
    return buf;
}

// An address block as its value, in the form of the atom's protocol.
std::string address(const filt_node &n, const unsigned char *b)
{
    char buf[64];
    if (is(n, NIF_LAYER_LINK, NIF_PROTO_ETH) || is(n, NIF_LAYER_LINK, NIF_PROTO_8023)) {
        if (word(b, 2) != 0)
            return "M";
        static constexpr unsigned char bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (std::memcmp(b, bcast, 6) == 0)
            return "B";
        std::snprintf(buf, sizeof buf, "%x:%x:%x:%x:%x:%x", b[0], b[1], b[2], b[3], b[4], b[5]);
        return buf;
    }
    if (is(n, NIF_LAYER_LINK, NIF_PROTO_LLC))
        return std::to_string(word(b, 0));
    if (is(n, NIF_LAYER_NET, NIF_PROTO_IP)) {
        // The matcher compares 0 to 4 whole bytes, whatever a stored filter
        // says, then the next byte under a mask.
        const int32_t whole = std::clamp(word(b, 1), 0, 4);
        const auto mask = static_cast<uint32_t>(word(b, 2));
        unsigned char a[4] = {};
        std::memcpy(a, b, static_cast<size_t>(whole));
        if (whole == 4) {
            std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
            return buf;
        }
        if (mask > 0xFF) // no address byte can hold it: the test never passes
            return "<no address: mask " + std::to_string(mask) + ">";
        // The shortest prefix that matches the same addresses: the whole
        // bytes, then the masked byte up to its lowest set bit.
        a[whole] = static_cast<unsigned char>(mask);
        int bits = whole * 8 + (mask ? 8 - std::countr_zero(mask) : 0);
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u/%d", a[0], a[1], a[2], a[3], bits);
        return buf;
    }
    if (is(n, NIF_LAYER_IP, NIF_PROTO_TCP) || is(n, NIF_LAYER_IP, NIF_PROTO_UDP))
        return std::to_string(b[0] << 8 | b[1]);
    return "?";
}

// The relational operator an address parameter carries: ports have one of
// their own, the other forms are equality or prefix tests.
std::string address_op(const filt_node &n, const unsigned char *b)
{
    return (is(n, NIF_LAYER_IP, NIF_PROTO_TCP) || is(n, NIF_LAYER_IP, NIF_PROTO_UDP))
               ? op_char(word(b, 1))
               : "=";
}

std::string tcp_flags(const filt_node &n)
{
    static constexpr char letters[] = "FSRPAU";
    std::string s;
    for (int i = 0; i < 6; ++i)
        if (n.tcp_set & (1u << i))
            s += letters[i];
    for (int i = 0; i < 6; ++i)
        if (n.tcp_clr & (1u << i))
            s += std::string("^") + letters[i];
    return s;
}

} // namespace

std::string describe_atom(const filt_node &n)
{
    std::string s = protocol(n);
    auto parm = [&](uint32_t bit, const char *name, const std::string &op,
                    const std::string &value) {
        if (!(n.parms & bit))
            return;
        s += ' ';
        if (n.parms_neg & bit)
            s += '^';
        s += name + op + value;
    };
    parm(NIF_PARM_SRC, "SRC", address_op(n, n.src), address(n, n.src));
    parm(NIF_PARM_DST, "DST", address_op(n, n.dst), address(n, n.dst));
    parm(NIF_PARM_SD, "SD", address_op(n, n.dst), address(n, n.dst));
    parm(NIF_PARM_SD1, "SD:1", address_op(n, n.dst), address(n, n.dst));
    parm(NIF_PARM_F, "F", "=",
         is(n, NIF_LAYER_NET, NIF_PROTO_IP) ? (n.ip_flag == 1 ? "F" : "^F") : tcp_flags(n));
    parm(NIF_PARM_LEN, "LEN", op_char(n.len_op), std::to_string(n.len));
    parm(NIF_PARM_HLEN, "HLEN", op_char(n.hlen_op), std::to_string(n.hlen));
    parm(NIF_PARM_DLEN, "DLEN", op_char(n.dlen_op), std::to_string(n.dlen));
    parm(NIF_PARM_ETYPE, "ETYPE", "=", std::to_string(n.etype[0] << 8 | n.etype[1]));
    parm(NIF_PARM_TYPE, "TYPE", "=", std::to_string(n.icmp_type));
    parm(NIF_PARM_CODE, "CODE", "=", std::to_string(n.icmp_code));
    parm(NIF_PARM_C, "C", "=", std::to_string(n.llc_ctl));
    parm(NIF_PARM_ORG, "ORG", "=", std::to_string(n.org[0] << 16 | n.org[1] << 8 | n.org[2]));
    return s;
}

std::string node_table(std::span<const filt_node> nodes, const char *indent)
{
    std::string s;
    char line[64];
    for (size_t i = 0; i < nodes.size(); ++i) {
        const filt_node &n = nodes[i];
        std::snprintf(line, sizeof line, "%s(%03zu) %s", indent, i,
                      n.flags & NIF_FLAG_NEGATE ? "NOT " : "");
        s += line;
        s += n.nkids ? (n.flags & NIF_FLAG_OR ? "OR" : "AND") : describe_atom(n);
        if (n.nkids) {
            size_t first = i + static_cast<size_t>(n.kid_off);
            std::snprintf(line, sizeof line, " of (%03zu)..(%03zu)", first,
                          first + static_cast<size_t>(n.nkids) - 1);
            s += line;
        }
        s += '\n';
    }
    return s;
}

std::string dot_graph(std::span<const filt_node> nodes)
{
    std::string s = "digraph filter {\n  node [shape=box, fontname=\"monospace\"];\n";
    for (size_t i = 0; i < nodes.size(); ++i) {
        const filt_node &n = nodes[i];
        std::string label = n.nkids ? (n.flags & NIF_FLAG_OR ? "OR" : "AND") : describe_atom(n);
        if (n.flags & NIF_FLAG_NEGATE)
            label = "NOT " + label;
        std::string escaped;
        for (char c : label) {
            if (c == '"' || c == '\\')
                escaped += '\\';
            escaped += c;
        }
        s += "  n" + std::to_string(i) + " [label=\"" + escaped + "\"" +
             (n.nkids ? ", shape=ellipse" : "") + "];\n";
        for (int k = 0; k < n.nkids; ++k)
            s += "  n" + std::to_string(i) + " -> n" +
                 std::to_string(i + static_cast<size_t>(n.kid_off) + static_cast<size_t>(k)) +
                 ";\n";
    }
    return s + "}\n";
}

std::string hex_dump(std::span<const filt_node> nodes)
{
    std::string s;
    char cell[16];
    for (size_t i = 0; i < nodes.size(); ++i) {
        auto *b = reinterpret_cast<const unsigned char *>(&nodes[i]);
        for (int off = 0; off < NIF_NODE_SIZE; off += 16) {
            std::snprintf(cell, sizeof cell, "%06zx ",
                          i * NIF_NODE_SIZE + static_cast<size_t>(off));
            s += cell;
            for (int k = 0; k < 16; ++k) {
                std::snprintf(cell, sizeof cell, " %02x", b[off + k]);
                s += cell;
            }
            if (off == 0)
                s += "  node " + std::to_string(i);
            s += '\n';
        }
    }
    return s;
}

} // namespace ztool
