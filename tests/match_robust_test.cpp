// Frames cut at every length, against filters that test every parameter:
// the engines must agree (the sanitizer build sees every byte read past a
// buffer that ends exactly where the cut ends) and the walk keep its records
// inside the data. And matching from several threads at once on one filter
// gives the same answers as from one.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pktfilt/matcher.h"
#include "tests/engines.h"
#include "tests/support.h"

namespace {

using namespace framegen;
using namespace zeriza_test;

// Frames of several link types, with the options to match them with.
std::vector<EngineFrame> samples()
{
    Frame ext;
    for (int i = 0; i < 11; ++i) // more headers than records
        ext.ieee8023(mac(1), mac(2)).llc(0xAA, 0xAA).snap(0x0080C2, 7);
    Frame llc_snap = Frame().raw({0xFE, 0xFE, 0x03, 0x80}).snap(0, 0x0806);
    return {
        {eth_ip(6).tcp(1024, 80, 0x12).fill(10).bytes(), 4, 1},
        {eth_ip(17, Ipv4Opts::words(7)).udp(53, 99).bytes(), 4, 1},
        {eth_ip(1).icmp(3, 3).fill(28).bytes(), 4, 1},
        {snap(0, 0x0800).ipv4(kA, kB, 6).tcp(1, 2).bytes(), 4, 1},
        {Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(30).bytes(), 4, 1},
        {Frame().raw({0xFE, 0xFE, 0x03, 0xCC}).ipv4(kA, kB, 17).udp(7, 7).bytes(), 0, 0},
        {llc_snap.arp(2, mac(1), kA, mac(2), kB).bytes(), 0, 0},
        {Frame().raw({0x00, 0x21}).ipv4(kA, kB, 6).tcp(5, 6).bytes(), 5, 0},
        {Frame().ipv4(kA, kB, 6, Ipv4Opts::fragment(true, 0)).tcp(5, 6).bytes(), 129, 0},
        {Frame().eth(mac(1), mac(2), 0x0806).arp(1, mac(1), kA, {}, kB).bytes(), 4, 1},
        {ext.fill(8).bytes(), 4, 1},
    };
}

// The filters of kCutFilters compiled, and their texts.
std::vector<std::pair<std::vector<filt_node>, std::string>> filters()
{
    std::vector<std::pair<std::vector<filt_node>, std::string>> out;
    for (const char *text : kCutFilters)
        out.emplace_back(compiled(text), text);
    return out;
}

TEST(MatchRobust, EveryTruncationStaysInsideTheFrame)
{
    // These samples, then every frame of the engine comparison (the sample
    // capture's frames among them) for these other filters.
    std::vector<EngineFrame> frames = samples(), more = engine_frames();
    const size_t own = frames.size();
    frames.insert(frames.end(), more.begin(), more.end());
    const auto fs = filters();
    long passed = 0;
    for (size_t s = 0; s < frames.size(); ++s) {
        const auto &[frame, link, opts] = frames[s];
        const Cuts cuts(frame, link, opts, frame.size());
        for (const auto &[f, text] : fs)
            ASSERT_EQ(engines_disagree(f.data(), cuts, &passed), "")
                << text << ", link " << link << "/" << opts << ", a " << frame.size()
                << "-byte frame";
        if (s >= own)
            continue;
        // The walk alone needs no more than the data.
        int32_t layer, skip;
        const int32_t proto = nif_proto_id(link, frame.data(), &layer, &skip, opts);
        for (size_t k = 0; k < cuts.lens.size(); ++k) {
            const unsigned char *exact = cuts.exact[k].get();
            const int32_t data = cuts.lens[k] - skip;
            zeriza::hdr_rec recs[zeriza::kMaxRecords];
            const int n = zeriza::walk_headers(exact, data, layer, proto, recs);
            ASSERT_LE(n, zeriza::kMaxRecords);
            for (int i = 0; i < n; ++i)
                EXPECT_TRUE(recs[i].start - exact + recs[i].avail <= data && recs[i].avail > 0 &&
                            (!i || recs[i].avail <= recs[i - 1].avail))
                    << "record " << i << " of " << cuts.lens[k] << " bytes";
        }
    }
    EXPECT_GT(passed, 0) << "some filters should pass some cuts";
}

TEST(MatchRobust, ThreadsOnOneFilterAgreeWithOne)
{
    const std::vector<filt_node> f = filters().back().first;
    const std::vector<EngineFrame> frames = samples();
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
            for (int round = 0; round < 2000; ++round)
                for (size_t i = 0; i < frames.size(); ++i)
                    mismatches[t] += match_one(frames[i]) != want[i];
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
