// The matcher's two engines.
//
// The reference engine is the matcher at its simplest: every header of the
// frame walked into a record, then the filter's nodes evaluated against the
// records, each atom looking for its header among them. It is not exported;
// the tests and fuzzers check the fast engine (fast.h) against it on every
// frame they can make.
#pragma once

#include <cstdint>

#include "nifutils/proto_id.h"
#include "zeriza.h"

namespace zeriza {

struct hdr_rec {
    int32_t layer;              // 2 link, 3 network, 4 transport, -1 unknown
    int32_t proto_id;           // id within the layer; IP protocol at layer 4
    const unsigned char *start; // the header's first byte in the frame
    int32_t avail;              // bytes from start to the end of the analysed data
    int32_t hdr_len;            // length of this header
};

// Records of one frame; a frame that nests more headers than this is
// analysed as if it ended after the last one recorded.
constexpr int kMaxRecords = 30;

// ---- the reference engine ----------------------------------------------------------

// Every record of a frame, in walk order: `len` bytes at `frame`, the first
// header (layer, proto). Returns their number, at most kMaxRecords.
int walk_headers(const unsigned char *frame, int32_t len, int32_t layer, int32_t proto,
                 hdr_rec *recs);

// 1 when the atom `node` holds for the records, else 0.
int32_t apply_atom(const filt_node *node, const hdr_rec *recs, int nrecs);

// The parameter tests of an atom whose header is `found`, in table order,
// with the log line of a parameter its protocol cannot have: 1 or 0.
int32_t apply_params(const filt_node *node, const hdr_rec &found);

// 1 or 0 for `node` and its subtree, children found relative to it.
int32_t apply_rule(const filt_node *node, const hdr_rec *recs, int nrecs);

// nif_filt_match by the reference engine.
int32_t reference_match(const filt_node *filter, const unsigned char *frame, int32_t frame_len,
                        int32_t link_type, int32_t *layer_out, int32_t *proto_out,
                        int32_t *skip_out, uint32_t opts);

} // namespace zeriza
