// The fast engine's general walk and rule evaluation (fast.h).
#include "pktfilt/fast.h"

#include <utility>

namespace zeriza {

void summarize(const unsigned char *frame, int32_t len, int32_t layer, int32_t id, int32_t depth,
               Summary &s)
{
    int32_t off = 0, remaining = len;
    // The records the reference walk would write, counted as it counts them,
    // keeping the first of each (layer, id).
    for (int n = 0; remaining > 0 && n < kMaxRecords && layer <= depth; ++n) {
        const Step st = next_header(layer, id, frame + off, remaining);
        const Hdr h{off, st.avail, st.hdr_len < 0 ? remaining : st.hdr_len};
        switch (layer) {
        case LYR_LINK:
            if (static_cast<uint32_t>(id) < kL2Ids && !(s.l2_have >> id & 1)) {
                s.l2_have |= 1u << id;
                s.l2[id] = h;
            }
            break;
        case LYR_NET:
            s.has_l3 = true;
            s.l3_id = id;
            s.l3 = h;
            break;
        case LYR_IP:
            s.has_l4 = true;
            s.l4_id = id;
            s.l4 = h;
            break;
        default: // not identified
            s.has_none = true;
            s.none = h;
        }
        if (st.hdr_len < 0 || st.next_layer == kEnd)
            return;
        off += st.hdr_len;
        remaining = st.avail - st.hdr_len;
        layer = st.next_layer;
        id = st.next_id;
    }
}

int32_t untestable(const filt_node *a, const unsigned char *h, int32_t avail, int32_t len)
{
    const hdr_rec rec{a->lyr, a->proto, h, avail, len};
    return apply_params(a, rec);
}

namespace {

// A test other than an address test, out of line like those.
[[gnu::noinline]] Outcome other_row(const filt_node *a, int row, const unsigned char *h,
                                    int32_t avail, int32_t len)
{
    return row_test(NodeAtom{a}, row, h, avail, len);
}

[[gnu::noinline]] int32_t many_params(const filt_node *a, const unsigned char *frame, int32_t off,
                                      int32_t avail, int32_t len)
{
    return params(NodeAtom{a}, frame, Hdr{off, avail, len}) != ((a->flags & NIF_FLAG_NEGATE) != 0);
}

} // namespace

int32_t lone_params(const filt_node *a, const unsigned char *frame, int32_t off, int32_t avail,
                    int32_t len)
{
    const uint32_t p = a->parms & kKnownParms;
    if (p & (p - 1))
        return many_params(a, frame, off, avail, len);
    // An atom of one parameter, the common case: one test, no loop.
    const int bit = __builtin_ctz(p), row = kBitRow[bit];
    const unsigned char *h = frame + off;
    const Outcome t =
        row <= kSd1 ? address_row(NodeAtom{a}, row, h, avail) : other_row(a, row, h, avail, len);
    const bool negate = (a->flags & NIF_FLAG_NEGATE) != 0;
    if (t == kUntestable)
        return untestable(a, h, avail, len) != negate;
    const bool pass = t != kUndecided && (t == kHolds) != ((a->parms_neg >> bit & 1) != 0);
    return pass != negate;
}

Outcome address_row(const NodeAtom &a, int row, const unsigned char *h, int32_t avail)
{
    return address_test(a, row, h, avail);
}

int32_t lone_general(const filt_node *a, const unsigned char *frame, int32_t len, int32_t layer,
                     int32_t id)
{
    const bool negate = (a->flags & NIF_FLAG_NEGATE) != 0;
    int32_t off = 0, remaining = len;
    for (int n = 0; remaining > 0 && n < kMaxRecords && layer <= a->lyr; ++n) {
        const Step st = next_header(layer, id, frame + off, remaining);
        if (layer == a->lyr && id == a->proto)
            return params(NodeAtom{a}, frame, record(off, st, remaining)) != negate;
        if (st.hdr_len < 0 || st.next_layer == kEnd)
            break;
        off += st.hdr_len;
        remaining = st.avail - st.hdr_len;
        layer = st.next_layer;
        id = st.next_id;
    }
    return negate;
}

int32_t atoms_below(const filt_node *filter, int32_t i)
{
    const filt_node &n = filter[i];
    int32_t count = n.nkids ? 0 : 1;
    for (int32_t k = 0; k < n.nkids; ++k)
        count += atoms_below(filter, i + n.kid_off + k);
    return count;
}

void compile_jumps(const filt_node *filter, int32_t i, int32_t at, int32_t if_true,
                   int32_t if_false, Jump *jumps, PlanAtom *plans)
{
    const filt_node &n = filter[i];
    if (n.flags & NIF_FLAG_NEGATE)
        std::swap(if_true, if_false);
    if (n.nkids == 0) {
        jumps[at] = {if_true, if_false};
        plans[at] = PlanAtom(filter + i);
        plans[at].negate_ = false; // folded into the jumps
        return;
    }
    // Each child but the last goes on to the next child where it does not
    // decide: AND on holding, OR on not holding.
    const bool is_or = (n.flags & NIF_FLAG_OR) != 0;
    for (int32_t k = 0; k < n.nkids; ++k) {
        const int32_t kid = i + n.kid_off + k, size = atoms_below(filter, kid);
        const bool last = k + 1 == n.nkids;
        const int32_t next = at + size;
        compile_jumps(filter, kid, at, is_or || last ? if_true : next,
                      !is_or || last ? if_false : next, jumps, plans);
        at = next;
    }
}

int32_t group(const filt_node *node, const unsigned char *frame, const Summary &s)
{
    // AND stops at the first child that fails, OR at the first that holds.
    const bool is_or = (node->flags & NIF_FLAG_OR) != 0;
    int32_t r = is_or ? 0 : 1;
    const filt_node *kid = node + node->kid_off;
    for (int32_t k = 0; k < node->nkids; ++k)
        if (rule(kid + k, frame, s) == (is_or ? 1 : 0)) {
            r = 1 - r;
            break;
        }
    return node->flags & NIF_FLAG_NEGATE ? 1 - r : r;
}

} // namespace zeriza
