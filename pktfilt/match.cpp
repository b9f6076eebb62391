// nif_filt_match: walk a frame's headers once, then evaluate the compiled
// filter's nodes against the records.
#include "pktfilt/matcher.h"

namespace zeriza {

int32_t apply_rule(const filt_node *node, Walk &walk)
{
    int32_t r;
    if (node->nkids == 0) {
        r = apply_atom(node, walk);
    } else {
        // AND stops at the first child that fails, OR at the first that holds.
        const bool is_or = (node->flags & NIF_FLAG_OR) != 0;
        r = is_or ? 0 : 1;
        const filt_node *kid = node + node->kid_off;
        for (int32_t k = 0; k < node->nkids; ++k)
            if (apply_rule(kid + k, walk) == (is_or ? 1 : 0)) {
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
    int32_t proto = proto_id(link_type, frame, &layer, &skip, opts);
    if (layer_out) {
        *layer_out = layer;
        *proto_out = proto;
        *skip_out = skip;
    }
    // The skip only shortens the analysed data; the walk starts at byte 0.
    Walk walk(frame, frame_len > skip ? frame_len - skip : 0, layer, proto);
    return apply_rule(filter, walk);
}
