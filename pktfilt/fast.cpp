// The fast engine's general walk and rule evaluation (fast.h).
#include "pktfilt/fast.h"

#include <utility>

namespace zeriza {

[[gnu::noinline]] int32_t untestable(const filt_node *a, const unsigned char *h, int32_t avail,
                                     int32_t len)
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

Outcome address_row(NodeAtom a, int row, const unsigned char *h, int32_t avail)
{
    return address_test(a, row, h, avail);
}

int32_t atom_walked(const filt_node *a, const unsigned char *frame, int32_t len, int32_t layer,
                    int32_t id)
{
    const NodeAtom atom{a};
    if (layer == LYR_LINK && id == L2_8023) {
        Hdr r;
        const int found = find_8023(atom, frame, len, r);
        if (found <= 0)
            return (found == 0) != atom.negate();
        if (found == 1)
            return lone_params(a, frame, r.off, r.avail, r.len);
    }
    int32_t off = 0, remaining = len;
    for (int n = 0; remaining > 0 && n < kMaxRecords && layer <= a->lyr; ++n) {
        const Step st = next_header(layer, id, frame + off, remaining);
        if (layer == a->lyr && id == a->proto)
            return params(atom, frame, record(off, st, remaining)) != atom.negate();
        if (st.hdr_len < 0 || st.next_layer == kEnd)
            break;
        off += st.hdr_len;
        remaining = st.avail - st.hdr_len;
        layer = st.next_layer;
        id = st.next_id;
    }
    return atom.negate();
}

int32_t group_ether2(const filt_node *filter, int32_t i, const unsigned char *f, int32_t len)
{
    const filt_node &g = filter[i];
    // AND stops at the first child that fails, OR at the first that holds.
    const bool is_or = (g.flags & NIF_FLAG_OR) != 0;
    int32_t r = is_or ? 0 : 1;
    const int32_t first = i + g.kid_off, end = first + g.nkids;
    for (int32_t k = first; k < end; ++k) {
        int32_t v;
        if (filter[k].nkids) {
            v = group_ether2(filter, k, f, len);
        } else {
            const NodeAtom a{filter + k};
            Hdr h;
            const int found = find_ether2(a, f, len, h);
            v = found <= 0 ? (found == 0) != a.negate()
                           : lone_params(a.n, f, h.off, h.avail, h.len);
        }
        if (v == (is_or ? 1 : 0)) {
            r = 1 - r;
            break;
        }
    }
    return g.flags & NIF_FLAG_NEGATE ? 1 - r : r;
}

int32_t group_walked(const filt_node *filter, int32_t i, const unsigned char *frame, int32_t len,
                     int32_t layer, int32_t id)
{
    const filt_node &g = filter[i];
    // AND stops at the first child that fails, OR at the first that holds.
    const bool is_or = (g.flags & NIF_FLAG_OR) != 0;
    int32_t r = is_or ? 0 : 1;
    const int32_t first = i + g.kid_off, end = first + g.nkids;
    for (int32_t k = first; k < end; ++k)
        if ((filter[k].nkids ? group_walked(filter, k, frame, len, layer, id)
                             : atom_walked(filter + k, frame, len, layer, id)) == (is_or ? 1 : 0)) {
            r = 1 - r;
            break;
        }
    return g.flags & NIF_FLAG_NEGATE ? 1 - r : r;
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

} // namespace zeriza
