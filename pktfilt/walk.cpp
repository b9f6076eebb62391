// The reference engine's header walk: from the outermost protocol inwards,
// one record per header, each record knowing how many bytes of the frame it
// may look at.
#include "pktfilt/matcher.h"
#include "pktfilt/steps.h"

namespace zeriza {

int walk_headers(const unsigned char *frame, int32_t len, int32_t layer, int32_t proto,
                 hdr_rec *recs)
{
    int n = 0;
    int32_t offset = 0, remaining = len;
    while (remaining > 0 && n < kMaxRecords) {
        hdr_rec &r = recs[n++];
        r.layer = layer;
        r.proto_id = proto;
        r.start = frame + offset;
        Step s = next_header(layer, proto, r.start, remaining);
        r.avail = s.avail;
        if (s.hdr_len < 0) { // the header covers what is left
            r.hdr_len = remaining;
            break;
        }
        r.hdr_len = s.hdr_len;
        offset += s.hdr_len;
        remaining = s.avail - s.hdr_len;
        if (s.next_layer == kEnd)
            break;
        layer = s.next_layer;
        proto = s.next_id;
    }
    return n;
}

} // namespace zeriza
