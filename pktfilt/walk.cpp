// The header walk: from the outermost protocol inwards, one record per
// header, each record knowing how many bytes of the frame it may look at.
//
// A header is only parsed as far as the data goes: when the bytes that give
// its length or the next protocol are missing, its record covers what is
// left and the walk ends there.
#include <cstring>

#include "pktfilt/matcher.h"
#include "pktfilt/vocabulary.h"

namespace zeriza {
namespace {

constexpr int32_t be16(const unsigned char *p)
{
    return p[0] << 8 | p[1];
}

constexpr int32_t kEnd = 5; // next layer that ends the walk

struct Step {
    int32_t hdr_len;    // -1: the header does not fit, cover the rest and end
    int32_t avail;      // the record's avail, possibly shortened
    int32_t next_layer; // kEnd to stop
    int32_t next_id;
};

Step cover_rest(int32_t avail)
{
    return {-1, avail, kEnd, 0};
}

// Ethernet type field to the network protocol it announces.
Step ethertype(int32_t hdr_len, int32_t avail, int32_t type)
{
    switch (type) {
    case 0x0800:
        return {hdr_len, avail, LYR_NET, L3_IP};
    case 0x0806:
        return {hdr_len, avail, LYR_NET, L3_ARP};
    case 0x8035:
        return {hdr_len, avail, LYR_NET, L3_RARP};
    case 0x8137:
        return {hdr_len, avail, LYR_NET, L3_IPX};
    default:
        return {hdr_len, avail, kEnd, 0};
    }
}

Step ethernet(const unsigned char *h, int32_t avail)
{
    if (avail < 14)
        return cover_rest(avail);
    return ethertype(14, avail, be16(h + 12));
}

Step ieee8023(const unsigned char *h, int32_t avail)
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

Step llc(const unsigned char *h, int32_t avail)
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

Step snap(const unsigned char *h, int32_t avail)
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

Step ipv4(const unsigned char *h, int32_t avail)
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

Step tcp(const unsigned char *h, int32_t avail)
{
    if (avail < 13)
        return cover_rest(avail);
    return {4 * (h[12] >> 4), avail, kEnd, 0};
}

Step next_header(int32_t layer, int32_t id, const unsigned char *h, int32_t avail)
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
        if (id == L4_TCP)
            return tcp(h, avail);
        if (id == L4_UDP)
            return {8, avail, kEnd, 0};
        break;
    }
    return cover_rest(avail); // ARP, RARP, IPX, other IP protocols, unknown
}

} // namespace

void Walk::step()
{
    hdr_rec &r = recs_[n_++];
    r.layer = layer_;
    r.proto_id = proto_;
    r.start = frame_ + offset_;
    Step s = next_header(layer_, proto_, r.start, remaining_);
    r.avail = s.avail;
    if (s.hdr_len < 0) {
        r.hdr_len = remaining_;
        done_ = true;
        return;
    }
    r.hdr_len = s.hdr_len;
    offset_ += s.hdr_len;
    remaining_ = s.avail - s.hdr_len;
    layer_ = s.next_layer;
    proto_ = s.next_id;
    // Nothing left, nothing known to follow, or no room for another record.
    done_ = remaining_ <= 0 || s.next_layer == kEnd || n_ == kMaxRecords;
}

int walk_headers(const unsigned char *frame, int32_t len, int32_t layer, int32_t proto,
                 hdr_rec *recs)
{
    Walk w(frame, len, layer, proto);
    w.finish();
    std::memcpy(recs, w.records(), sizeof(hdr_rec) * static_cast<size_t>(w.count()));
    return w.count();
}

} // namespace zeriza
