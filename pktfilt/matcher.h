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

// The header walk of one frame, done as far as the atoms need it: a header is
// parsed the first time an atom looks past the records made so far. Records
// only grow in layer along the walk, and an atom never looks past a record
// above its own layer, so walking lazily decides exactly what walking the
// whole frame first would.
class Walk {
  public:
    // The headers of `len` bytes at `frame`, the first one (layer, proto).
    // Reads no byte at or beyond frame + len.
    Walk(const unsigned char *frame, int32_t len, int32_t layer, int32_t proto)
        : frame_(frame), remaining_(len), layer_(layer), proto_(proto), done_(len <= 0)
    {
    }

    // Record i, walking on as far as needed; null when the frame has fewer.
    const hdr_rec *at(int i)
    {
        while (i >= n_ && !done_)
            step();
        return i < n_ ? &recs_[i] : nullptr;
    }

    // Walk to the end: every record the frame has.
    void finish()
    {
        while (!done_)
            step();
    }

    int count() const { return n_; }
    const hdr_rec *records() const { return recs_; }

  private:
    void step(); // writes the next record; ends the walk after the last

    const unsigned char *frame_;
    int32_t offset_ = 0;
    int32_t remaining_;
    int32_t layer_, proto_;
    bool done_;
    int n_ = 0;
    hdr_rec recs_[kMaxRecords];
};

// Every record of a frame at once (the walk done in full). Returns their
// number, at most kMaxRecords.
int walk_headers(const unsigned char *frame, int32_t len, int32_t layer, int32_t proto,
                 hdr_rec *recs);

// 1 when the atom `node` holds for the frame, else 0.
int32_t apply_atom(const filt_node *node, Walk &walk);

// 1 or 0 for `node` and its subtree, children found relative to it.
int32_t apply_rule(const filt_node *node, Walk &walk);

// The outermost protocol, as nif_proto_id names it.
int32_t proto_id(int32_t link_type, const unsigned char *frame, int32_t *layer, int32_t *skip,
                 uint32_t opts);

} // namespace zeriza
