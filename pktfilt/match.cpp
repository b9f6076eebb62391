// nif_filt_match: the fast engine for one frame. Nothing is kept between
// calls, so the caller may change or free the filter at any time.
#include "pktfilt/fast.h"

namespace zeriza {
namespace {

// A frame of any other kind, from its first header (layer, id), `len` bytes
// of it analysed: apart from the common case, so that it pays nothing for
// them.
[[gnu::noinline]] int32_t match_walked(const filt_node *filter, const unsigned char *frame,
                                       int32_t len, int32_t layer, int32_t id)
{
    if (filter->nkids == 0)
        return atom_walked(filter, frame, len, layer, id);
    return group_walked(filter, 0, frame, len, layer, id);
}

// Frames of link types other than Ethernet with its header.
[[gnu::noinline]] int32_t match_general(const filt_node *filter, const unsigned char *frame,
                                        int32_t frame_len, int32_t link_type, int32_t *layer_out,
                                        int32_t *proto_out, int32_t *skip_out, uint32_t opts)
{
    int32_t layer, skip;
    const int32_t id = proto_id(link_type, frame, &layer, &skip, opts);
    if (layer_out) {
        *layer_out = layer;
        *proto_out = id;
        *skip_out = skip;
    }
    // The skip only shortens the analysed data; the walk starts at byte 0.
    return match_walked(filter, frame, frame_len > skip ? frame_len - skip : 0, layer, id);
}

} // namespace
} // namespace zeriza

using namespace zeriza;

extern "C" NIF_API int32_t nif_filt_match(const filt_node *filter, const unsigned char *frame,
                                          int32_t frame_len, int32_t link_type, int32_t *layer_out,
                                          int32_t *proto_out, int32_t *skip_out, uint32_t opts)
{
    if (link_type != NIF_LINK_ETHER || !(opts & NIF_OPT_LINKHDR))
        return match_general(filter, frame, frame_len, link_type, layer_out, proto_out, skip_out,
                             opts);
    // A frame with its Ethernet header: its type/length field tells Ethernet
    // II from IEEE 802.3 without a call.
    const bool ether2 = be16(frame + 12) > 1500;
    if (layer_out) {
        *layer_out = LYR_LINK;
        *proto_out = ether2 ? L2_ETH : L2_8023;
        *skip_out = 0;
    }
    if (!ether2)
        return match_walked(filter, frame, frame_len, LYR_LINK, L2_8023);
    if (filter->nkids)
        return group_ether2(filter, 0, frame, frame_len);
    const NodeAtom a{filter};
    Hdr r;
    const int found = find_ether2(a, frame, frame_len, r);
    if (found <= 0)
        return (found == 0) != a.negate();
    return lone_params(filter, frame, r.off, r.avail, r.len);
}
