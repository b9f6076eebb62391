#include "tools/describe.h"

#include <array>
#include <cstring>
#include <string_view>

namespace ztool {
namespace {

struct ProtoName {
    int32_t layer, id;
    const char *name;
};

constexpr std::array<ProtoName, 13> kProtocols = {{
    {2, 1, "ETH"},
    {2, 2, "802.3"},
    {2, 7, "LLC"},
    {2, 8, "SNAP"},
    {3, 1, "IP"},
    {3, 2, "ARP"},
    {3, 3, "RARP"},
    {3, 6, "IPX"},
    {4, 1, "ICMP"},
    {4, 2, "IGMP"},
    {4, 6, "TCP"},
    {4, 17, "UDP"},
    {4, 89, "OSPF"},
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
    if (is(n, 2, 1) || is(n, 2, 2)) {
        if (word(b, 2) != 0)
            return "M";
        static constexpr unsigned char bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (std::memcmp(b, bcast, 6) == 0)
            return "B";
        std::snprintf(buf, sizeof buf, "%x:%x:%x:%x:%x:%x", b[0], b[1], b[2], b[3], b[4], b[5]);
        return buf;
    }
    if (is(n, 2, 7))
        return std::to_string(word(b, 0));
    if (is(n, 3, 1)) {
        // The shortest prefix that matches the same addresses: the whole
        // bytes, then the partial byte up to its lowest set bit.
        int32_t whole = word(b, 1);
        auto partial = static_cast<unsigned>(word(b, 2));
        int bits = whole * 8;
        if (whole < 4 && partial)
            bits += 8 - __builtin_ctz(partial);
        unsigned char a[4] = {};
        for (int i = 0; i < 4 && i < whole; ++i)
            a[i] = b[i];
        if (whole >= 0 && whole < 4)
            a[whole] = static_cast<unsigned char>(partial);
        if (whole >= 4)
            std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
        else
            std::snprintf(buf, sizeof buf, "%u.%u.%u.%u/%d", a[0], a[1], a[2], a[3], bits);
        return buf;
    }
    if (is(n, 4, 6) || is(n, 4, 17))
        return std::to_string(b[0] << 8 | b[1]);
    return "?";
}

// The relational operator an address parameter carries: ports have one of
// their own, the other forms are equality or prefix tests.
std::string address_op(const filt_node &n, const unsigned char *b)
{
    return (is(n, 4, 6) || is(n, 4, 17)) ? op_char(word(b, 1)) : "=";
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
    parm(NIF_PARM_F, "F", "=", is(n, 3, 1) ? (n.ip_flag == 1 ? "F" : "^F") : tcp_flags(n));
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

void print_table(std::FILE *out, std::span<const filt_node> nodes, const char *indent)
{
    for (size_t i = 0; i < nodes.size(); ++i) {
        const filt_node &n = nodes[i];
        std::string what = n.nkids ? (n.flags & NIF_FLAG_OR ? "OR" : "AND") : describe_atom(n);
        std::fprintf(out, "%s(%03zu) %s%s", indent, i, n.flags & NIF_FLAG_NEGATE ? "NOT " : "",
                     what.c_str());
        if (n.nkids)
            std::fprintf(out, " of (%03zu)..(%03zu)", i + n.kid_off, i + n.kid_off + n.nkids - 1);
        std::fprintf(out, "\n");
    }
}

void print_dot(std::FILE *out, std::span<const filt_node> nodes)
{
    std::fprintf(out, "digraph filter {\n  node [shape=box, fontname=\"monospace\"];\n");
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
        std::fprintf(out, "  n%zu [label=\"%s\"%s];\n", i, escaped.c_str(),
                     n.nkids ? ", shape=ellipse" : "");
        for (int k = 0; k < n.nkids; ++k)
            std::fprintf(out, "  n%zu -> n%zu;\n", i, i + n.kid_off + k);
    }
    std::fprintf(out, "}\n");
}

void print_hex(std::FILE *out, std::span<const filt_node> nodes)
{
    for (size_t i = 0; i < nodes.size(); ++i) {
        auto *b = reinterpret_cast<const unsigned char *>(&nodes[i]);
        for (int off = 0; off < NIF_NODE_SIZE; off += 16) {
            std::fprintf(out, "%06zx ", i * NIF_NODE_SIZE + off);
            for (int k = 0; k < 16; ++k)
                std::fprintf(out, " %02x", b[off + k]);
            std::fprintf(out, "%s\n", off == 0 ? ("  node " + std::to_string(i)).c_str() : "");
        }
    }
}

} // namespace ztool
