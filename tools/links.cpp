#include "links.h"

#include <pcap/pcap.h>
#include <pcap/sll.h>

#include <algorithm>
#include <cstring>

#include "zeriza.h"

namespace ztool {

const char *const kSupportedLinks =
    "EN10MB (Ethernet), LINUX_SLL and LINUX_SLL2 (Linux cooked, as -i any gives), "
    "NULL and LOOP (BSD loopback), RAW and IPV4 (raw IP)";

namespace {

// A link-type code that names no protocol, with the header flag: the matcher
// identifies nothing, so that no rule but a negated one holds.
constexpr int32_t kLinkNone = -1;

// The address family of IPv4 on every system that writes loopback captures.
constexpr uint32_t kFamilyInet = 2;

// The Ethernet header the cooked header stands for.
constexpr uint32_t kEtherHeader = 14;
constexpr uint16_t kMaxLength8023 = 1500; // above it the field is a type

uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t be32(const uint8_t *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// `len` bytes at `data`, where the matcher may read 16 whatever the length.
MatchInput padded(const uint8_t *data, uint32_t len, int32_t code, uint32_t opts, uint8_t *view)
{
    if (len >= 16)
        return {data, static_cast<int32_t>(len), code, opts};
    std::memset(view, 0, 16);
    std::memcpy(view, data, len);
    return {view, static_cast<int32_t>(len), code, opts};
}

MatchInput nothing(const uint8_t *data, uint32_t caplen, uint8_t *view)
{
    return padded(data, caplen, kLinkNone, NIF_OPT_LINKHDR, view);
}

// Code 129 says the packet is IPv4, whatever its bytes: an IPv6 (or any
// other) packet must not be taken for one.
MatchInput ip_packet(const uint8_t *data, uint32_t len, uint8_t *view)
{
    if (len == 0 || data[0] >> 4 != 4)
        return nothing(data, len, view);
    return padded(data, len, NIF_LINK_RAWIP, 0, view);
}

struct CookedHeader {
    uint32_t size; // of the cooked header
    uint16_t protocol, pkttype;
    uint32_t addrlen;
    const uint8_t *addr;
};

CookedHeader cooked(Link link, const uint8_t *d)
{
    if (link == Link::Cooked)
        return {SLL_HDR_LEN, be16(d + 14), be16(d), be16(d + 4), d + 6};
    return {SLL2_HDR_LEN, be16(d), d[10], d[11], d + 12};
}

// The Ethernet frame a cooked header describes: no destination but the
// broadcast one (the header does not carry it), the sender's address as
// the source when it is an Ethernet one, and the protocol as the type; an
// LLC or Novell frame becomes an IEEE 802.3 frame with its length.
MatchInput ethernet_view(Link link, const uint8_t *data, uint32_t caplen, uint8_t *view)
{
    if (caplen < (link == Link::Cooked ? SLL_HDR_LEN : SLL2_HDR_LEN))
        return nothing(data, caplen, view);
    const CookedHeader h = cooked(link, data);
    const uint32_t payload = caplen - h.size;
    uint16_t type;
    if (h.protocol > kMaxLength8023)
        type = h.protocol;
    else if (h.protocol == LINUX_SLL_P_802_2 || h.protocol == LINUX_SLL_P_802_3)
        type = static_cast<uint16_t>(std::min<uint32_t>(payload, kMaxLength8023));
    else // a protocol of the cooked header's own (CAN, PPP...): nothing the language names
        return nothing(data, caplen, view);
    std::memset(view, h.pkttype == LINUX_SLL_BROADCAST ? 0xFF : 0, 6);
    if (h.addrlen == 6)
        std::memcpy(view + 6, h.addr, 6);
    else
        std::memset(view + 6, 0, 6);
    view[12] = static_cast<uint8_t>(type >> 8);
    view[13] = static_cast<uint8_t>(type);
    std::memcpy(view + kEtherHeader, data + h.size, payload);
    const uint32_t len = kEtherHeader + payload; // at most caplen - 2
    if (len < 16)
        std::memset(view + len, 0, 16 - len);
    return {view, static_cast<int32_t>(len), NIF_LINK_ETHER, NIF_OPT_LINKHDR};
}

} // namespace

std::optional<Link> link_of(int dlt)
{
    switch (dlt) {
    case DLT_EN10MB:
        return Link::Ethernet;
    case DLT_RAW:
    case DLT_IPV4:
        return Link::RawIp;
    case DLT_NULL:
        return Link::Null;
    case DLT_LOOP:
        return Link::Loop;
    case DLT_LINUX_SLL:
        return Link::Cooked;
    case DLT_LINUX_SLL2:
        return Link::Cooked2;
    default:
        return std::nullopt;
    }
}

std::string link_name(int dlt)
{
    const char *name = pcap_datalink_val_to_name(dlt);
    return std::string(name ? name : "?") + " (" + std::to_string(dlt) + ")";
}

std::string unsupported_link(const std::string &source, int dlt)
{
    return source + ": unsupported link type " + link_name(dlt) + "; supported: " + kSupportedLinks;
}

int32_t link_code(Link link)
{
    switch (link) {
    case Link::Ethernet:
    case Link::Cooked:
    case Link::Cooked2:
        return NIF_LINK_ETHER;
    case Link::RawIp:
    case Link::Null:
    case Link::Loop:
        return NIF_LINK_RAWIP;
    }
    return kLinkNone;
}

MatchInput present(Link link, const uint8_t *data, uint32_t caplen, uint8_t *view)
{
    switch (link) {
    case Link::Ethernet:
        return padded(data, caplen, NIF_LINK_ETHER, NIF_OPT_LINKHDR, view);
    case Link::RawIp:
        return ip_packet(data, caplen, view);
    case Link::Null:
    case Link::Loop: {
        // A NULL header is in the byte order of the system that wrote it,
        // so the family is looked for both ways round.
        if (caplen < 4)
            return nothing(data, caplen, view);
        const uint32_t family = be32(data);
        if (family != kFamilyInet && family != __builtin_bswap32(kFamilyInet))
            return nothing(data, caplen, view);
        return ip_packet(data + 4, caplen - 4, view);
    }
    case Link::Cooked:
    case Link::Cooked2:
        return ethernet_view(link, data, caplen, view);
    }
    return nothing(data, caplen, view);
}

} // namespace ztool
