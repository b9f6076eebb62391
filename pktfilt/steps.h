// One step of the header walk, for both engines: what the header of
// (layer, id) says of its own length and of what follows it.
//
// A header is only parsed as far as the data goes: when the bytes that give
// its length or the next protocol are missing, its record covers what is
// left and the walk ends there.
#pragma once

#include <array>
#include <cstdint>

#include "pktfilt/protocols.h"

namespace zeriza {

constexpr int32_t kEnd = 5; // next layer that ends the walk

struct Step {
    int32_t hdr_len;    // -1: the header does not fit, cover the rest and end
    int32_t avail;      // the record's avail, possibly shortened
    int32_t next_layer; // kEnd to stop
    int32_t next_id;
};

inline int32_t be16(const unsigned char *p)
{
    return p[0] << 8 | p[1];
}

inline Step cover_rest(int32_t avail)
{
    return {-1, avail, kEnd, 0};
}

// The network protocols an Ethernet type field announces, from their rows.
struct EtherNet {
    int32_t type, id;
};
constexpr size_t kEtherNets = [] {
    size_t n = 0;
    for (const ProtoRow &row : proto_map)
        n += row.ether_type >= 0;
    return n;
}();
constexpr std::array<EtherNet, kEtherNets> kEtherNet = [] {
    std::array<EtherNet, kEtherNets> t{};
    size_t n = 0;
    for (const ProtoRow &row : proto_map)
        if (row.ether_type >= 0)
            t[n++] = {row.ether_type, row.id};
    return t;
}();

// The network protocol of an Ethernet type, or 0.
inline int32_t ether_net_id(int32_t type)
{
    for (const EtherNet &e : kEtherNet)
        if (e.type == type)
            return e.id;
    return 0;
}

// The Ethernet type of each network protocol id, -1 for none.
constexpr int32_t kNetIds = 7;
constexpr std::array<int32_t, kNetIds> kNetEtherType = [] {
    std::array<int32_t, kNetIds> t{};
    t.fill(-1);
    for (const EtherNet &e : kEtherNet)
        t[static_cast<size_t>(e.id)] = e.type;
    return t;
}();

// The Ethernet type that carries a network protocol id, or -1.
inline int32_t net_ether_type(int32_t id)
{
    return static_cast<uint32_t>(id) < kNetIds ? kNetEtherType[static_cast<size_t>(id)] : -1;
}

inline Step ethertype(int32_t hdr_len, int32_t avail, int32_t type)
{
    const int32_t id = ether_net_id(type);
    return {hdr_len, avail, id ? LYR_NET : kEnd, id};
}

inline Step ethernet(const unsigned char *h, int32_t avail)
{
    if (avail < 14)
        return cover_rest(avail);
    return ethertype(14, avail, be16(h + 12));
}

inline Step ieee8023(const unsigned char *h, int32_t avail)
{
    if (avail < 14)
        return cover_rest(avail);
    int32_t length = be16(h + 12);
    int32_t a = avail - 14 > length ? 14 + length : avail;
    if (a - 14 <= 0)
        return {14, a, kEnd, 0};
    // Novell raw IPX has no LLC header: its checksum FF FF comes first.
    if (avail < 16)
        return cover_rest(avail);
    if (h[14] == 0xFF && h[15] == 0xFF)
        return {14, a, LYR_NET, L3_IPX};
    return {14, a, LYR_LINK, L2_LLC};
}

inline Step llc(const unsigned char *h, int32_t avail)
{
    if (avail < 3)
        return cover_rest(avail);
    if (h[0] == 0xAA && h[1] == 0xAA && h[2] == 0x03)
        return {3, avail, LYR_LINK, L2_SNAP};
    if (h[0] == 0xE0 && h[1] == 0xE0 && h[2] == 0x03)
        return {3, avail, LYR_NET, L3_IPX};
    if (h[0] == 0xFE && h[1] == 0xFE && h[2] == 0x03 && avail >= 4) {
        if (h[3] == 0x80)
            return {4, avail, LYR_LINK, L2_SNAP};
        if (h[3] == 0xCC)
            return {4, avail, LYR_NET, L3_IP};
    }
    return {3, avail, kEnd, 0};
}

inline Step snap(const unsigned char *h, int32_t avail)
{
    if (avail < 5)
        return cover_rest(avail);
    if (h[0] == 0x00 && h[1] == 0x00 && h[2] == 0x00)
        return ethertype(5, avail, be16(h + 3));
    // Bridged IEEE 802.3 (without FCS) carried in SNAP.
    if (h[0] == 0x00 && h[1] == 0x80 && h[2] == 0xC2 && h[3] == 0x00 && h[4] == 0x07)
        return {5, avail, LYR_LINK, L2_8023};
    return {5, avail, kEnd, 0};
}

inline Step ipv4(const unsigned char *h, int32_t avail)
{
    if (avail < 10)
        return cover_rest(avail);
    int32_t total = be16(h + 2);
    int32_t a = avail > total ? total : avail;
    int32_t hl = 4 * (h[0] & 0x0F);
    // Only a first fragment (or a whole datagram) carries the transport header.
    bool later_fragment = ((h[6] & 0x1F) << 8 | h[7]) != 0;
    return {hl, a, later_fragment ? kEnd : LYR_IP, h[9]};
}

inline Step tcp(const unsigned char *h, int32_t avail)
{
    if (avail < 13)
        return cover_rest(avail);
    return {4 * (h[12] >> 4), avail, kEnd, 0};
}

// The header of an IP protocol: TCP and UDP have lengths of their own, any
// other covers the rest.
inline Step transport(int32_t id, const unsigned char *h, int32_t avail)
{
    if (id == L4_TCP)
        return tcp(h, avail);
    if (id == L4_UDP)
        return {8, avail, kEnd, 0};
    return cover_rest(avail);
}

inline Step next_header(int32_t layer, int32_t id, const unsigned char *h, int32_t avail)
{
    switch (layer) {
    case LYR_LINK:
        switch (id) {
        case L2_ETH:
            return ethernet(h, avail);
        case L2_8023:
            return ieee8023(h, avail);
        case L2_LLC:
            return llc(h, avail);
        case L2_SNAP:
            return snap(h, avail);
        case L2_HDLC:
            return {7, avail, kEnd, 0};
        }
        break;
    case LYR_NET:
        if (id == L3_IP)
            return ipv4(h, avail);
        break;
    case LYR_IP:
        return transport(id, h, avail);
    }
    return cover_rest(avail); // ARP, RARP, IPX, other IP protocols, unknown
}

} // namespace zeriza
