// The reference engine's rule evaluation, and nif_filt_match done its way:
// walk every header of the frame, then evaluate the compiled filter's nodes
// against the records.
#include "pktfilt/matcher.h"

namespace zeriza {

int32_t apply_rule(const filt_node *node, const hdr_rec *recs, int nrecs)
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

int32_t reference_match(const filt_node *filter, const unsigned char *frame, int32_t frame_len,
                        int32_t link_type, int32_t *layer_out, int32_t *proto_out,
                        int32_t *skip_out, uint32_t opts)
{
    int32_t layer, skip;
    int32_t proto = proto_id(link_type, frame, &layer, &skip, opts);
    if (layer_out) {
        *layer_out = layer;
        *proto_out = proto;
        *skip_out = skip;
    }
    // The skip only shortens the analysed data; the walk starts at byte 0.
    hdr_rec recs[kMaxRecords];
    int n = frame_len > skip ? walk_headers(frame, frame_len - skip, layer, proto, recs) : 0;
    return apply_rule(filter, recs, n);
}

} // namespace zeriza
