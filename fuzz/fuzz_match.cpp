// A frame and a link type against compiled filters, or against nodes made
// from the input that nif_filt_check accepts: the fast engine
// (nif_filt_match, nif_filt_match_batch) must agree with the reference
// engine on every cut of the frame, in verdicts, out-values and log lines;
// any difference aborts.
//
// Byte 0: the link type (bits 1-4) and whether the frame keeps its link
// header (bit 0). Byte 1: bit 7 clear, the rest of the input is the frame,
// matched against each compiled filter; bit 7 set, 1 to 4 nodes (bits 0-1,
// plus 1) of 112 bytes follow, then the frame.
#include "fuzz/fuzz_common.h"
#include "tests/engines.h"

namespace {

const char *const kFilters[] = {
    "ETH SD=2:0:0:0:0:1 ETYPE=2048 HLEN=14 DLEN>0",
    "(802.3 ^SD:1=M) | (LLC SD=170 C=3) | (SNAP ORG=0 ETYPE=2048)",
    "IP SRC=10.0.0.0/12 ^DST=1.2.3.4 F=^F LEN>10 HLEN>20",
    "((TCP SD>1023 F=S^A) & (IP SD:1=10.0.0.0/8)) | (UDP ^SD:2=53 DLEN<9)",
    "(ICMP TYPE=unreach CODE=port) | (IP#47 LEN<100) | (ARP HLEN=28) | (RARP) | (IPX)",
    "^((IGMP) | (OSPF) | (TCP F=S*))",
    "TCP SD=80",
    "IP SRC=10.0.0.0/8",
};

// Compiled once, before fuzzing starts, and kept for the whole run.
filt_node *filters[std::size(kFilters)];

constexpr int32_t kLinks[] = {0, 1, 2, 3, 4, 5, 6, 8, 129, -1};

void agree(const filt_node *f, const zeriza_test::Cuts &cuts)
{
    if (!zeriza_test::engines_disagree(f, cuts).empty())
        std::abort();
    fuzz::quiet();
}

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
    if (size < 2)
        return 0;
    const int32_t link = kLinks[(data[0] >> 1) % std::size(kLinks)];
    const uint32_t opts = data[0] & 1;
    if (!(data[1] & 0x80)) {
        const zeriza_test::Cuts cuts(framegen::Bytes(data + 2, data + size), link, opts, 64);
        for (const filt_node *f : filters)
            agree(f, cuts);
        return 0;
    }
    const size_t count = (data[1] & 3) + 1u, bytes = count * NIF_NODE_SIZE;
    if (size < 2 + bytes)
        return 0;
    std::vector<filt_node> nodes(count);
    std::memcpy(nodes.data(), data + 2, bytes);
    if (nif_filt_check(nodes.data(), static_cast<int>(bytes)) == 0)
        agree(nodes.data(),
              zeriza_test::Cuts(framegen::Bytes(data + 2 + bytes, data + size), link, opts, 64));
    return 0;
}
