// nif_filt_match: walk a frame's headers once, then evaluate the compiled
// filter's nodes against the records.
#include "pktfilt/matcher.h"

namespace zeriza {

int32_t apply_rule(const filt_node *node, const hdr_rec *recs, int32_t nrecs)
{
    int32_t r;
    if (node->nkids == 0) {
        r = apply_atom(node, recs, nrecs);
    } else {
        // AND stops at the first child that fails, OR at the first that holds.
        const bool is_or = (node->flags & NIF_FLAG_OR) != 0;
        r = is_or ? 0 : 1;
        const filt_node *kid = node + node->kid_off;
        for (int32_t k = 0; k < node->nkids; ++k)
            if (apply_rule(kid + k, recs, nrecs) == (is_or ? 1 : 0)) {
                r = 1 - r;
                break;
            }
    }
    return node->flags & NIF_FLAG_NEGATE ? 1 - r : r;
}

} // namespace zeriza

using namespace zeriza;

extern "C" NIF_API int32_t nif_filt_match(const filt_node *filter, const unsigned char *frame,
                                          int32_t frame_len, int32_t link_type, int32_t *layer_out,
                                          int32_t *proto_out, int32_t *skip_out, uint32_t opts)
{
    int32_t layer, skip;
    int32_t proto = nif_proto_id(link_type, frame, &layer, &skip, opts);
    if (layer_out) {
        *layer_out = layer;
        *proto_out = proto;
        *skip_out = skip;
    }
    hdr_rec recs[kMaxRecords];
    // The skip only shortens the analysed data; the walk starts at byte 0.
    int32_t remaining = frame_len > skip ? frame_len - skip : 0;
    int nrecs = walk_headers(frame, remaining, layer, proto, recs);
    return apply_rule(filter, recs, nrecs);
}
