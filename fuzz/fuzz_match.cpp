// A frame and a link type against a set of compiled filters. The first byte
// picks the link type and whether the frame keeps its link header.
#include "fuzz/fuzz_common.h"

namespace {

const char *const kFilters[] = {
    "ETH SD=2:0:0:0:0:1 ETYPE=2048 HLEN=14 DLEN>0",
    "(802.3 ^SD:1=M) | (LLC SD=170 C=3) | (SNAP ORG=0 ETYPE=2048)",
    "IP SRC=10.0.0.0/12 ^DST=1.2.3.4 F=^F LEN>10 HLEN>20",
    "((TCP SD>1023 F=S^A) & (IP SD:1=10.0.0.0/8)) | (UDP ^SD:2=53 DLEN<9)",
    "(ICMP TYPE=unreach CODE=port) | (IP#47 LEN<100) | (ARP HLEN=28) | (RARP) | (IPX)",
    "^((IGMP) | (OSPF) | (TCP F=S*))",
};

// Compiled once, before fuzzing starts, and kept for the whole run.
filt_node *filters[std::size(kFilters)];

constexpr int32_t kLinks[] = {0, 1, 2, 3, 4, 5, 6, 8, 129, -1};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (size_t i = 0; i < std::size(kFilters); ++i)
        if (!(filters[i] = nif_filt_parse(kFilters[i], nullptr)))
            std::abort();
    fuzz::frames();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size == 0)
        return 0;
    int32_t link = kLinks[(data[0] >> 1) % std::size(kLinks)];
    uint32_t opts = data[0] & 1;
    std::vector<uint8_t> frame(data + 1, data + size);
    auto len = static_cast<int32_t>(frame.size());
    frame.resize(std::max<size_t>(frame.size(), 16)); // the 16 bytes callers provide
    std::vector<uint8_t> exact(frame);                // ends where the readable bytes end
    int32_t layer, proto, skip;
    for (const filt_node *f : filters)
        nif_filt_match(f, exact.data(), len, link, &layer, &proto, &skip, opts);
    return 0;
}
