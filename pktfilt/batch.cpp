// nif_filt_match_batch: one filter, many frames, in one call. The filter's
// atoms are worked out once for the whole batch, and no byte at or past a
// frame's length is read: a frame shorter than the 16 bytes the protocol
// identification looks at is read from a zero-filled copy.
#include <cstdlib>
#include <cstring>

#include "nifutils/usrmsg.h"
#include "pktfilt/fast.h"

using namespace zeriza;

namespace {

// Compiled groups of up to this many atoms live on the stack; a larger one
// gets its room from the heap, or, when there is none to be had, is read
// from its nodes for every frame.
constexpr int32_t kStackAtoms = 16;

// How the frames of a batch with Ethernet headers are decided: Ethernet II
// frames by the filter's own code, and, for a lone atom, 802.3 frames too;
// the rest (-1) as nif_filt_match decides them.
struct LoneAtom { // a filter of one atom
    PlanAtom atom;
    int32_t operator()(const unsigned char *f, int32_t len) const
    {
        return atom_ether2(atom, f, len);
    }
    int32_t ieee8023(const unsigned char *f, int32_t len) const
    {
        Hdr r;
        const int found = find_8023(atom, f, len, r);
        if (found == 2)
            return -1;
        if (found <= 0)
            return (found == 0) != atom.negate();
        return params(atom, f, r) != atom.negate();
    }
};
struct Compiled { // a group, compiled to jumps
    const Jump *jumps;
    const PlanAtom *plans;
    bool link_atoms; // an 802.3 frame needs the general walk
    int32_t operator()(const unsigned char *f, int32_t len) const
    {
        return run_in(jumps, plans, f, read_ether2(f, len));
    }
    int32_t ieee8023(const unsigned char *f, int32_t len) const
    {
        Layers v;
        return !link_atoms && read_8023(f, len, v) ? run_in(jumps, plans, f, v) : -1;
    }
};
struct Nodes { // a group, read from its nodes
    const filt_node *filter;
    int32_t operator()(const unsigned char *f, int32_t len) const
    {
        return group_in(filter, 0, NodeAtoms{filter}, f, read_ether2(f, len));
    }
    int32_t ieee8023(const unsigned char *, int32_t) const { return -1; }
};

template <class Ether2Verdict>
int32_t match_all(const filt_node *filter, const Ether2Verdict &ether2,
                  const unsigned char *const *frames, const int32_t *frame_lens, int32_t count,
                  int32_t link_type, uint32_t opts, unsigned char *verdicts)
{
    const bool ether = link_type == NIF_LINK_ETHER && (opts & NIF_OPT_LINKHDR);
    int32_t passed = 0;
    for (int32_t i = 0; i < count; ++i) {
        const unsigned char *frame = frames[i];
        const int32_t len = frame_lens[i];
        unsigned char pad[16];
        if (len < static_cast<int32_t>(sizeof pad)) {
            std::memset(pad, 0, sizeof pad);
            if (len > 0)
                std::memcpy(pad, frame, static_cast<size_t>(len));
            frame = pad;
        }
        int32_t v = -1;
        if (ether)
            v = be16(frame + 12) > 1500 ? ether2(frame, len) : ether2.ieee8023(frame, len);
        if (v < 0)
            v = nif_filt_match(filter, frame, len, link_type, nullptr, nullptr, nullptr, opts);
        passed += v;
        if (verdicts)
            verdicts[i] = static_cast<unsigned char>(v);
    }
    return passed;
}

} // namespace

extern "C" NIF_API int32_t nif_filt_match_batch(const filt_node *filter,
                                                const unsigned char *const *frames,
                                                const int32_t *frame_lens, int32_t count,
                                                int32_t link_type, uint32_t opts,
                                                unsigned char *verdicts)
{
    if (!filter) {
        usrmsg("No filter to match the frames against");
        return -1;
    }
    if (!frames || !frame_lens) {
        usrmsg("No %s for the %d frames to match", frames ? "lengths" : "frames", count);
        return -1;
    }
    if (count < 0) {
        usrmsg("Negative count of frames to match (%d)", count);
        return -1;
    }
    auto all = [&](const auto &ether2) {
        return match_all(filter, ether2, frames, frame_lens, count, link_type, opts, verdicts);
    };
    if (filter->nkids == 0)
        return all(LoneAtom{PlanAtom(filter)});
    const int32_t n = atoms_below(filter, 0);
    Jump stack_jumps[kStackAtoms];
    PlanAtom stack_plans[kStackAtoms];
    Jump *jumps = stack_jumps;
    PlanAtom *plans = stack_plans;
    if (n > kStackAtoms) {
        jumps = static_cast<Jump *>(std::malloc(sizeof(Jump) * static_cast<size_t>(n)));
        plans = static_cast<PlanAtom *>(std::malloc(sizeof(PlanAtom) * static_cast<size_t>(n)));
    }
    int32_t passed;
    if (!jumps || !plans) {
        passed = all(Nodes{filter});
    } else {
        compile_jumps(filter, 0, 0, kPass, kFail, jumps, plans);
        bool link_atoms = false;
        for (int32_t i = 0; i < n; ++i)
            link_atoms = link_atoms || plans[i].layer() < LYR_NET;
        passed = all(Compiled{jumps, plans, link_atoms});
    }
    if (jumps != stack_jumps) {
        std::free(jumps);
        std::free(plans);
    }
    return passed;
}
