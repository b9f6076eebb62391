// nif_proto_id: the outermost protocol of a frame, from its link type and a
// few fixed bytes at its start.
#include "nifutils/proto_id.h"

namespace zeriza {
namespace {

constexpr int32_t be16(const unsigned char *p)
{
    return p[0] << 8 | p[1];
}

// Ethernet frame with its header: the type/length field tells Ethernet II
// from IEEE 802.3.
int32_t type_or_length(const unsigned char *frame)
{
    return be16(frame + 12) <= 1500 ? NIF_PROTO_8023 : NIF_PROTO_ETH;
}

// Ethernet payload without its header: an IPv4 header, or an ARP/RARP
// header for Ethernet or IEEE 802 hardware and IPv4 addresses.
int32_t network_header(const unsigned char *frame, int32_t *layer)
{
    if (frame[0] > 0x44) {
        *layer = NIF_LAYER_NET;
        return NIF_PROTO_IP;
    }
    if (frame[0] == 0x00 && (frame[1] == 0x06 || frame[1] == 0x01) && frame[2] == 0x08 &&
        frame[3] == 0x00 && frame[6] == 0x00) {
        switch (frame[7]) {
        case 1:
        case 2:
            *layer = NIF_LAYER_NET;
            return NIF_PROTO_ARP;
        case 3:
        case 4:
            *layer = NIF_LAYER_NET;
            return NIF_PROTO_RARP;
        }
    }
    *layer = NIF_LAYER_NONE;
    return 0;
}

// HDLC payload that opens with a PPP-style protocol field.
int32_t protocol_field(const unsigned char *frame, int32_t *layer, int32_t *skip)
{
    int32_t field = be16(frame);
    if (field == 0x0021 || field == 0xC021 || field == 0x8035) {
        *layer = NIF_LAYER_NET;
        *skip = 2;
        return field;
    }
    *layer = NIF_LAYER_NONE;
    return 0;
}

} // namespace

int32_t proto_id(int32_t link_type, const unsigned char *frame, int32_t *layer, int32_t *skip,
                 uint32_t opts)
{
    *layer = NIF_LAYER_LINK;
    *skip = 0;
    const bool header = (opts & NIF_OPT_LINKHDR) != 0;
    switch (link_type) {
    case NIF_LINK_8023:
        if (header)
            return NIF_PROTO_8023;
        // Novell raw: the IPX checksum FF FF opens the payload.
        if (frame[0] == 0xFF && frame[1] == 0xFF) {
            *layer = NIF_LAYER_NET;
            return NIF_PROTO_IPX;
        }
        return NIF_PROTO_LLC;
    case 1:
        return header ? NIF_PROTO_LINK1 : NIF_PROTO_LLC;
    case 2:
        return header ? NIF_PROTO_LINK2 : NIF_PROTO_LLC;
    case 3:
        return header ? NIF_PROTO_LINK3 : NIF_PROTO_LLC;
    case NIF_LINK_ETHER:
        return header ? type_or_length(frame) : network_header(frame, layer);
    case NIF_LINK_HDLC:
        return header ? NIF_PROTO_HDLC : protocol_field(frame, layer, skip);
    case NIF_LINK_FDDI:
        return header ? NIF_PROTO_FDDI : NIF_PROTO_LLC;
    case NIF_LINK_RAWIP:
        *layer = NIF_LAYER_NET;
        return NIF_PROTO_IP;
    default:
        if (header) {
            *layer = NIF_LAYER_NONE;
            return 0;
        }
        return NIF_PROTO_LLC;
    }
}

} // namespace zeriza

extern "C" NIF_API int32_t nif_proto_id(int32_t link_type, const unsigned char *frame,
                                        int32_t *layer, int32_t *skip, uint32_t opts)
{
    return zeriza::proto_id(link_type, frame, layer, skip, opts);
}
