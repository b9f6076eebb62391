// Parameter values: from the text after a parameter's operator to the value
// fields of a rule. Numbers are decimal only; names go through the system's
// host, service and Ethernet databases, and ICMP types and codes and TCP
// flags have names of their own.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ether.h>
#include <netinet/in.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nifutils/usrmsg.h"
#include "pktfilt/compiler.h"
#include "pktfilt/protocols.h"

namespace zeriza {
namespace {

// A decimal value within [0, max]. strtol saturates on overlong digit
// strings, which the range check then refuses.
bool decimal_upto(const char *v, long max, long *out)
{
    if (!isdecstr(v))
        return false;
    long n = std::strtol(v, nullptr, 10);
    if (n > max)
        return false;
    *out = n;
    return true;
}

int32_t decimal(const char *v)
{
    return static_cast<int32_t>(std::strtol(v, nullptr, 10));
}

void put_word(unsigned char *block, int word, uint32_t value)
{
    std::memcpy(block + 4 * word, &value, sizeof value);
}

// ---- addresses --------------------------------------------------------------

bool ether_address(unsigned char *block, const char *v)
{
    if (strcasecmp(v, "B") == 0) {
        std::memset(block, 0xFF, 6);
        return true;
    }
    if (strcasecmp(v, "M") == 0) {
        put_word(block, 2, 1);
        return true;
    }
    ether_addr addr;
    if (const ether_addr *a = ether_aton(v))
        addr = *a;
    else if (ether_hostton(v, &addr) != 0) {
        usrmsg("Invalid/unknown ethernet address %s", quoted(v, '[', ']').text);
        return false;
    }
    std::memcpy(block, addr.ether_addr_octet, 6);
    return true;
}

bool llc_address(unsigned char *block, const char *v)
{
    long sap;
    if (!decimal_upto(v, 255, &sap)) {
        usrmsg("LLC Address must be numeric, in range 0-255");
        return false;
    }
    put_word(block, 0, static_cast<uint32_t>(sap));
    return true;
}

// Address, whole prefix bytes, and the partial byte under the rest of the
// prefix. 0 or -1, as the address parameters of IP expect.
int getaddr_ip(unsigned char *block, char *v)
{
    int prefix = 32;
    char *slash = std::strchr(v, '/');
    if (slash) {
        *slash = '\0';
        long bits;
        if (!decimal_upto(slash + 1, 32, &bits) || bits < 1) {
            usrmsg("IP Address mask must be numeric, in range 1-32 %s", quoted(slash + 1).text);
            *slash = '/';
            return -1;
        }
        prefix = static_cast<int>(bits);
    }
    int rc = 0;
    in_addr_t addr = inet_addr(v);
    if (addr == INADDR_NONE) { // not dotted, or 255.255.255.255: ask the resolver
        const hostent *he = gethostbyname(v);
        if (!he) {
            usrmsg("Invalid/unknown host/network spec %s", quoted(v, '[', ']').text);
            rc = -1;
        } else if (he->h_addrtype != AF_INET || he->h_length != 4) {
            usrmsg("Host '%s' has non-IP address, family=%d, len=%d (%sinternet)", v,
                   he->h_addrtype, he->h_length, he->h_addrtype == AF_INET ? "" : "non-");
            rc = -1;
        } else {
            std::memcpy(&addr, he->h_addr_list[0], 4);
        }
    }
    if (slash)
        *slash = '/';
    if (rc != 0)
        return rc;
    std::memcpy(block, &addr, 4);
    int whole = prefix / 8;
    put_word(block, 1, static_cast<uint32_t>(whole));
    if (whole <= 3) {
        unsigned mask = (0xFFu << (8 - prefix % 8)) & 0xFFu;
        put_word(block, 2, block[whole] & mask);
    }
    return 0;
}

bool port(unsigned char *block, int32_t proto_tok, char relop, char *v)
{
    put_word(block, 1, static_cast<uint32_t>(relop));
    long number;
    if (isdecstr(v)) {
        number = std::strtol(v, nullptr, 10) & 0xFFFF;
    } else {
        const char *proto = proto_row(proto_tok)->service;
        str2lcs(v);
        const servent *se = getservbyname(v, proto);
        if (!se) {
            usrmsg("Invalid %s protocol %s", proto, quoted(v, '(', ')').text);
            return false;
        }
        number = ntohs(static_cast<uint16_t>(se->s_port));
    }
    buf_hton(number, block, 2);
    return true;
}

// One address parameter into one block, by the rule's protocol; `name` is
// the parameter as the unreachable message names it.
bool address(trule *rule, unsigned char *block, char relop, char *v, int32_t name)
{
    const ProtoRow *p = proto_row(rule->tok);
    switch (p ? p->form : Form::None) {
    case Form::Mac:
        return ether_address(block, v);
    case Form::Sap:
        return llc_address(block, v);
    case Form::Ip:
        return getaddr_ip(block, v) == 0;
    case Form::Port:
        return port(block, rule->tok, relop, v);
    default:
        usrmsg("APPLICATION ERROR: proto=%s, parsing op for param=%s", tok2txt(rule->tok),
               tok2txt(name));
        return false;
    }
}

// SD:2 is SRC and DST with one value: the destination block is a copy of
// as much of the source block as the form writes.
bool both_addresses(trule *rule, char relop, char *v)
{
    if (!address(rule, rule->src, relop, v, TOK_SD2))
        return false;
    const auto bytes = address_fields(proto_row(rule->tok)->form).block_bytes;
    std::memcpy(rule->dst, rule->src, static_cast<size_t>(bytes));
    return true;
}

// ---- ICMP names ---------------------------------------------------------------

struct Name {
    std::string_view name;
    int32_t value;
};

constexpr std::array<Name, 11> icmp_types = {{
    {"echo", 8},
    {"echoreq", 8},
    {"echorsp", 0},
    {"echorep", 0},
    {"unreach", 3},
    {"redir", 5},
    {"srcquench", 4},
    {"quench", 4},
    {"rtradv", 9},
    {"rtrwant", 10},
    {"rtrsol", 10},
}};

constexpr std::array<Name, 13> unreach_codes = {{
    {"net", 0},
    {"network", 0},
    {"host", 1},
    {"prot", 2},
    {"proto", 2},
    {"protocol", 2},
    {"port", 3},
    {"frag", 4},
    {"needfrag", 4},
    {"netbad", 6},
    {"unknown-net", 6},
    {"hostbad", 7},
    {"unknown-host", 7},
}};

constexpr std::array<Name, 3> redirect_codes = {{
    {"net", 0},
    {"network", 0},
    {"host", 1},
}};

template <size_t N> bool lookup(const std::array<Name, N> &names, const char *v, int32_t *out)
{
    for (const auto &n : names)
        if (strcasecmp(n.name.data(), v) == 0) {
            *out = n.value;
            return true;
        }
    return false;
}

bool icmp_type(trule *rule, const char *v)
{
    if (isdecstr(v))
        rule->icmp_type = decimal(v);
    else if (!lookup(icmp_types, v, &rule->icmp_type)) {
        rule->icmp_type = -1;
        usrmsg("Unrecognised ICMP type, %s, try using numeric code", v);
        return false;
    }
    return true;
}

bool icmp_code(trule *rule, const ValueText &value)
{
    const char *v = value.start;
    if (rule->icmp_type == 0) { // no TYPE yet, and type 0 has no codes either
        value.restore();
        usrmsg("ICMP code must be qualified by type %s", quoted(value.end).text);
        return false;
    }
    if (isdecstr(v)) {
        rule->icmp_code = decimal(v);
        return true;
    }
    bool found = false;
    if (rule->icmp_type == 3)
        found = lookup(unreach_codes, v, &rule->icmp_code);
    else if (rule->icmp_type == 5)
        found = lookup(redirect_codes, v, &rule->icmp_code);
    if (!found) {
        rule->icmp_code = -1;
        usrmsg("Unrecognised ICMP code, %s, try using numeric code", v);
    }
    return found;
}

// ---- flags ----------------------------------------------------------------------

constexpr uint32_t kAllTcpFlags = 0x3F;

uint32_t tcp_flag_bit(char upper)
{
    switch (upper) {
    case 'F':
        return 0x01;
    case 'S':
        return 0x02;
    case 'R':
        return 0x04;
    case 'P':
        return 0x08;
    case 'A':
        return 0x10;
    case 'U':
        return 0x20;
    default:
        return 0;
    }
}

// The flag letters run to the first control, blank or non-ASCII character.
bool flag_char(char c)
{
    auto u = static_cast<unsigned char>(c);
    return u > 32 && u < 128;
}

bool flags(trule *rule, const ValueText &value)
{
    const ProtoRow *p = proto_row(rule->tok);
    const FlagTest kind = p ? p->flag : FlagTest::None;
    if (kind == FlagTest::None) {
        usrmsg("APPLICATION ERROR: missing case for param=%s (proto=%s)", "F", tok2txt(rule->tok));
        return false;
    }
    bool pending = false; // a '^' waits for its flag
    int positives = 0, negatives = 0;
    for (const char *c = value.start; flag_char(*c); ++c) {
        if (*c == '^') {
            if (pending) {
                usrmsg("duplicate negation, at %s", quoted(c).text);
                return false;
            }
            pending = true;
            continue;
        }
        char up = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
        if (kind == FlagTest::Fragment) {
            if (up != 'F') {
                usrmsg("unrecognised IP flag, at %s", quoted(c).text);
                return false;
            }
            rule->ip_flag = pending ? 0 : 1;
        } else if (up == '*') {
            // Every flag not named with the other sign, so that 'S*' reads
            // "SYN and all the rest set". Naming two or more flags of the
            // same sign next to it says nothing that '*' does not.
            if (flag_char(c[1])) {
                usrmsg("'*' must be last TCP flag %s", quoted(c).text);
                return false;
            }
            if (!pending && positives >= 2) {
                usrmsg("Meaningless to combine positive individual TCP flags with '*', %s",
                       quoted(c).text);
                return false;
            }
            if (pending && negatives >= 2) {
                usrmsg("Meaningless to combine negative individual TCP flags with '%c*', %s", '^',
                       quoted(c).text);
                return false;
            }
            if (pending)
                rule->tcp_clr = rule->tcp_set ^ kAllTcpFlags;
            else
                rule->tcp_set = rule->tcp_clr ^ kAllTcpFlags;
        } else {
            uint32_t bit = tcp_flag_bit(up);
            if (!bit) {
                usrmsg("unrecognised TCP flag, at %s", quoted(c).text);
                return false;
            }
            uint32_t &own = pending ? rule->tcp_clr : rule->tcp_set;
            uint32_t &other = pending ? rule->tcp_set : rule->tcp_clr;
            if (other & bit) {
                value.restore();
                usrmsg("TCP flag, '%c', specified twice %s", up, quoted(value.end).text);
                return false;
            }
            if (own & bit) {
                value.restore();
                usrmsg("Duplicate TCP flag, '%c', at %s", up, quoted(value.end).text);
                return false;
            }
            own |= bit;
            ++(pending ? negatives : positives);
        }
        pending = false;
    }
    if (pending) {
        value.restore();
        usrmsg("dangling negation in '%s' param, at %s", "F", quoted(value.end).text);
        return false;
    }
    return true;
}

// ---- lengths and numbered fields --------------------------------------------------

bool length(int32_t *field, int32_t *op, char relop, const ValueText &value)
{
    if (!isdecstr(value.start)) {
        value.restore();
        usrmsg("expected numeric parameter, at %s", quoted(value.start).text);
        return false;
    }
    *field = decimal(value.start);
    *op = relop;
    return true;
}

} // namespace

bool convert_value(trule *rule, int32_t parm, char relop, const ValueText &value)
{
    char *v = value.start;
    long n;
    switch (parm) {
    case TOK_LEN:
        return length(&rule->len, &rule->len_op, relop, value);
    case TOK_HLEN:
        return length(&rule->hlen, &rule->hlen_op, relop, value);
    case TOK_DLEN:
        return length(&rule->dlen, &rule->dlen_op, relop, value);
    case TOK_SRC:
        return address(rule, rule->src, relop, v, parm);
    case TOK_DST:
    case TOK_SD:
    case TOK_SD1:
        return address(rule, rule->dst, relop, v, parm);
    case TOK_SD2:
        return both_addresses(rule, relop, v);
    case TOK_ETYPE:
        if (!decimal_upto(v, 65535, &n)) {
            usrmsg("Eth-Type must be numeric, in range 0-%d", 65535);
            return false;
        }
        buf_hton(n, rule->etype, 2);
        return true;
    case TOK_C:
        if (!decimal_upto(v, 255, &n)) {
            usrmsg("LLC Control must be numeric, in range 0-255");
            return false;
        }
        rule->llc_ctl = static_cast<int32_t>(n);
        return true;
    case TOK_ORG:
        if (!decimal_upto(v, 16777215, &n)) {
            usrmsg("SNAP Org must be numeric, in range 0-%d", 16777215);
            return false;
        }
        buf_hton(n, rule->org, 3);
        return true;
    case TOK_TYPE:
        return icmp_type(rule, v);
    case TOK_CODE:
        return icmp_code(rule, value);
    case TOK_F:
        return flags(rule, value);
    default:
        usrmsg("APPLICATION ERROR: missing case for param=%s (proto=%s)", tok2txt(parm),
               tok2txt(rule->tok));
        return false;
    }
}

} // namespace zeriza
