// Frames cut at every length: the header walk keeps its records inside the
// data (the sanitizer build sees every byte read past a buffer that ends
// exactly where the cut ends; tests/engines_test.cpp compares the engines on
// the same cuts). And matching from several threads at once on one filter
// gives the same answers as from one.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pktfilt/matcher.h"
#include "tests/engines.h"
#include "tests/support.h"

namespace {

using namespace zeriza_test;

// A record may cover no bytes: an IPv4 header whose total length is 0.
TEST(MatchRobust, WalkStaysInsideEveryTruncation)
{
    for (const auto &[frame, link, opts] : engine_frames()) {
        const Cuts cuts(frame, link, opts, frame.size());
        int32_t layer, skip;
        const int32_t proto = nif_proto_id(link, cuts.padded.back().data(), &layer, &skip, opts);
        for (size_t k = 0; k < cuts.lens.size(); ++k) {
            const unsigned char *exact = cuts.exact[k].data();
            const int32_t data = cuts.lens[k] - skip;
            zeriza::hdr_rec recs[zeriza::kMaxRecords];
            const int n = zeriza::walk_headers(exact, data, layer, proto, recs);
            ASSERT_LE(n, zeriza::kMaxRecords);
            for (int i = 0; i < n; ++i)
                EXPECT_TRUE(recs[i].start - exact + recs[i].avail <= data && recs[i].avail >= 0 &&
                            (!i || recs[i].avail <= recs[i - 1].avail))
                    << "record " << i << " of " << cuts.lens[k] << " bytes, link " << link;
        }
    }
}

TEST(MatchRobust, ThreadsOnOneFilterAgreeWithOne)
{
    const std::vector<filt_node> f =
        compiled("((TCP SD>1023) & (IP SD=10.16.1.1)) | (UDP ^SD:1=7) | (IP#1 LEN<100)");
    const std::vector<EngineFrame> frames = engine_frames(); // none shorter than 16 bytes
    auto match_one = [&f](const EngineFrame &s) {
        const auto &[frame, link, opts] = s;
        return nif_filt_match(f.data(), frame.data(), static_cast<int32_t>(frame.size()), link,
                              nullptr, nullptr, nullptr, opts);
    };
    std::vector<int> want, mismatches(4, 0);
    for (const EngineFrame &s : frames)
        want.push_back(match_one(s));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round)
                for (size_t i = 0; i < frames.size(); ++i)
                    mismatches[t] += match_one(frames[i]) != want[i];
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
