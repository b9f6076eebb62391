// The fast engine against the reference engine: nif_filt_match and
// nif_filt_match_batch must give exactly the reference's verdicts, and
// nif_filt_match its out-values, on every frame the generator makes, cut at
// every length, for filters that use every protocol, every parameter with
// each operator, negations and nested groups. The batch reads each frame
// from a block that ends where the frame ends.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <tuple>

#include "framegen/sample.h"
#include "pktfilt/matcher.h"
#include "pktfilt/protocols.h"
#include "tests/engines.h"
#include "tests/support.h"

namespace {

using namespace framegen;
using namespace zeriza_test;
using namespace zeriza;

TEST(Engines, AgreeOnEveryCutOfEveryGeneratedFrame)
{
    std::vector<std::vector<filt_node>> filters;
    for (const char *text : kEngineFilters)
        filters.push_back(compiled(text));
    long frames = 0, passed = 0;
    for (const auto &[frame, link, opts] : engine_frames()) {
        ++frames;
        const Cuts cuts(frame, link, opts, frame.size());
        for (size_t i = 0; i < filters.size(); ++i)
            ASSERT_EQ(engines_disagree(filters[i].data(), cuts, &passed), "")
                << kEngineFilters[i] << ", link " << link << "/" << opts << ", a " << frame.size()
                << "-byte frame";
    }
    EXPECT_GT(frames, 300);
    EXPECT_GT(passed, 10000) << "the filters should pass many of the cuts";
}

// Atoms the compiler never writes, but that pass nif_filt_check: any layer
// and protocol, parameters their protocol cannot have (logged each time
// they are reached), unknown parameter bits, odd stored values; alone, and
// in groups where evaluation order decides what is logged.
TEST(Engines, AgreeOnHandMadeNodes)
{
    auto atom = [](int32_t lyr, int32_t proto, uint32_t parms, uint32_t neg = 0,
                   uint32_t flags = 0) {
        filt_node n{};
        n.tok = 99;
        n.lyr = lyr;
        n.proto = proto;
        n.parms = parms;
        n.parms_neg = neg;
        n.flags = flags;
        n.len = 40;
        n.len_op = '>';
        n.hlen_op = '?'; // an operator the compiler never stores: the test passes
        n.dlen = 5;
        n.dlen_op = '<';
        const int32_t whole = 9, mask = 0x1FF;
        std::memcpy(n.src + 4, &whole, 4); // whole bytes past 4
        std::memcpy(n.dst + 8, &mask, 4);  // a mask no byte can hold
        n.src[0] = 10;
        n.dst[1] = 0x50; // port 80 to a port form
        n.icmp_type = 8;
        n.tcp_set = 0x12;
        return n;
    };
    const std::vector<std::vector<filt_node>> atoms = {
        {atom(4, 17, PB_F)},                 // F on UDP: logged
        {atom(3, 1, PB_TYPE, 0, 1)},         // TYPE on IP, negated node: logged, passes
        {atom(3, 1, PB_ETYPE | PB_SRC)},     // logged after a passing SRC, or not reached
        {atom(2, 1, PB_C | PB_LEN, PB_LEN)}, // C on ETH
        {atom(4, 1, PB_SRC)},                // an address on ICMP
        {atom(7, 3, PB_LEN)},                // a layer no walk has
        {atom(INT32_MIN + 1, 6, PB_LEN)},    // one a layer-relative index overflows on
        {atom(-1, 0, 0)},                    // the record of an unidentified frame
        {atom(-1, 0, PB_LEN | PB_DLEN)},
        {atom(4, 47, 0x8000 | PB_HLEN)},         // an unknown bit beside HLEN
        {atom(4, 6, 0x6000)},                    // unknown bits only: the protocol decides
        {atom(3, 1, PB_SRC | PB_DST | PB_SD1)},  // stored prefixes out of their range
        {atom(4, 6, PB_SD | PB_DLEN | PB_HLEN)}, // port in dst, '?' operator
        {atom(2, 9, PB_LEN)},                    // the id of HDLC with its header
    };
    std::vector<std::vector<filt_node>> filters = atoms;
    // Groups: an AND and an OR of two hand-made atoms, the second one logging.
    for (uint32_t flags : {0u, 2u, 3u}) {
        filt_node root{};
        root.flags = flags;
        root.kid_off = 1;
        root.nkids = 3;
        filters.push_back({root, atom(4, 6, 0), atom(3, 1, PB_TYPE), atom(-1, 0, 0, 0, 1)});
        filters.push_back({root, atom(2, 9, 0), atom(2, 2, PB_SD1), atom(4, 17, PB_CODE)});
    }
    for (const auto &f : filters)
        ASSERT_EQ(nif_filt_check(f.data(), static_cast<int>(f.size() * NIF_NODE_SIZE)), 0)
            << gnl_usrmsg;
    for (const auto &[frame, link, opts] : engine_frames()) {
        const Cuts cuts(frame, link, opts, 64);
        for (const auto &f : filters)
            ASSERT_EQ(engines_disagree(f.data(), cuts), "")
                << "layer " << f.back().lyr << " id " << f.back().proto << ", link " << link;
    }
}

// The batch never reads at or past a frame's length: each short frame ends
// right before a page that cannot be read.
TEST(Engines, BatchReadsNoByteOutsideAFrame)
{
    const long page = sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, 2 * static_cast<size_t>(page), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto *end = static_cast<unsigned char *>(map) + page;
    ASSERT_EQ(mprotect(end, static_cast<size_t>(page), PROT_NONE), 0);
    const Bytes tcp = eth_ip(6).tcp(1024, 80).bytes();
    for (auto [link, opts] : std::initializer_list<std::pair<int32_t, uint32_t>>{
             {4, 1}, {4, 0}, {0, 0}, {5, 0}, {129, 0}, {-1, 0}})
        for (ptrdiff_t len = 0; len < 16; ++len) {
            std::memcpy(end - len, tcp.data(), static_cast<size_t>(len));
            Cuts cuts(Bytes(tcp.begin(), tcp.begin() + len), link, opts, 16);
            cuts.frames.back() = end - len; // where the batch reads the longest cut
            for (const char *text : {"ETH", "802.3 SD=M", "^(IP)", "(TCP SD=80) | (ARP)"})
                EXPECT_EQ(engines_disagree(compiled(text).data(), cuts), "")
                    << text << ", link " << link;
        }
    munmap(map, 2 * static_cast<size_t>(page));
}

TEST(Engines, BatchRefusesBadArgumentsWithOneMessage)
{
    const std::vector<filt_node> f = compiled("IP");
    const Bytes frame = eth_ip(6).tcp(1, 2).bytes();
    const unsigned char *frames[] = {frame.data(), frame.data()};
    const int32_t lens[] = {static_cast<int32_t>(frame.size()), 20};
    unsigned char v[2] = {7, 7};
    const std::tuple<const filt_node *, const unsigned char *const *, const int32_t *, int32_t,
                     std::string>
        cases[] = {
            {nullptr, frames, lens, 2, "No filter to match the frames against"},
            {f.data(), nullptr, lens, 2, "No frames for the 2 frames to match"},
            {f.data(), frames, nullptr, 2, "No lengths for the 2 frames to match"},
            {f.data(), frames, lens, -3, "Negative count of frames to match (-3)"},
        };
    for (const auto &[filter, fr, ln, count, message] : cases) {
        std::snprintf(gnl_usrmsg, GNL_USRMSG_SIZE, "%s", "");
        EXPECT_EQ(nif_filt_match_batch(filter, fr, ln, count, 4, 1, v), -1) << message;
        EXPECT_EQ(std::string(gnl_usrmsg), message);
        EXPECT_EQ(v[0], 7) << "no verdict written";
    }
    EXPECT_EQ(nif_filt_match_batch(f.data(), frames, lens, 0, 4, 1, v), 0);
    EXPECT_EQ(nif_filt_match_batch(f.data(), frames, lens, 2, 4, 1, nullptr), 2);
    EXPECT_EQ(nif_filt_match_batch(f.data(), frames, lens, 2, 4, 1, v), 2);
    EXPECT_EQ(v[0] + v[1], 2);
}

} // namespace
