// The matcher's view of a frame: one record per recognised header.
#pragma once

#include <cstdint>

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

// Walk the headers of `len` bytes at `frame`, the first one (layer, proto).
// Writes at most kMaxRecords records and returns their number. Reads no
// byte at or beyond frame + len.
int walk_headers(const unsigned char *frame, int32_t len, int32_t layer, int32_t proto,
                 hdr_rec *recs);

// 1 when the atom `node` holds for the frame's records, else 0.
int32_t apply_atom(const filt_node *node, const hdr_rec *recs, int32_t nrecs);

// 1 or 0 for `node` and its subtree, children found relative to it.
int32_t apply_rule(const filt_node *node, const hdr_rec *recs, int32_t nrecs);

} // namespace zeriza
