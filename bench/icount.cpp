// Instructions per frame, counted by callgrind, which counts the same for
// the same program and input whatever else the machine is doing: one pass
// of one engine over the frames for one filter pair.
//   valgrind --tool=callgrind --collect-atstart=no zeriza-icount PAIR ENGINE
// ENGINE: match, batch, bpf or hand. bench/icount runs them all.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "bench/pairs.h"

int main(int argc, char **argv)
{
    using namespace bench;
    if (argc != 3) {
        std::fprintf(stderr, "usage: zeriza-icount PAIR match|batch|bpf|hand\n");
        return 2;
    }
    const Pair *pair = nullptr;
    for (const Pair &p : kPairs)
        if (std::string_view(p.name) == argv[1])
            pair = &p;
    const std::string_view engine = argv[2];
    if (!pair)
        return 2;
    const Corpus &c = corpus();
    Compiled f(*pair);
    std::vector<const unsigned char *> frames;
    std::vector<int32_t> lens;
    for (const Frame &fr : c.frames) {
        frames.push_back(fr.bytes.data());
        lens.push_back(static_cast<int32_t>(fr.caplen));
    }
    std::vector<unsigned char> verdicts(frames.size());
    const auto n = static_cast<int32_t>(frames.size());
    uint64_t passed = 0;
    CALLGRIND_TOGGLE_COLLECT;
    if (engine == "match")
        for (const Frame &fr : c.frames)
            passed += static_cast<uint64_t>(nif_filt_match(f.zeriza, fr.bytes.data(),
                                                           static_cast<int32_t>(fr.caplen), 4,
                                                           nullptr, nullptr, nullptr, 1));
    else if (engine == "batch")
        for (int32_t at = 0; at < n; at += 256)
            passed += static_cast<uint64_t>(
                nif_filt_match_batch(f.zeriza, frames.data() + at, lens.data() + at,
                                     std::min(256, n - at), 4, 1, verdicts.data() + at));
    else if (engine == "bpf")
        for (const Frame &fr : c.frames)
            passed += bpf_filter(f.bpf.bf_insns, fr.bytes.data(), fr.len, fr.caplen) != 0;
    else
        for (const Frame &fr : c.frames)
            passed += pair->hand(fr.bytes.data(), fr.caplen);
    CALLGRIND_TOGGLE_COLLECT;
    std::printf("%zu %llu\n", c.frames.size(), static_cast<unsigned long long>(passed));
    return 0;
}
