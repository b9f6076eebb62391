// Frames cut at every length, against filters that test every parameter: the
// matcher must stay inside the frame (the sanitizer build sees every byte
// read past a buffer that ends exactly where the frame ends) and keep its
// records inside the data. And matching from several threads at once on one
// filter gives the same answers as from one.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "pktfilt/matcher.h"
#include "tests/support.h"
#include "framegen/sample.h"

namespace {

using namespace framegen;
using namespace zeriza_test;

// A frame, its link type and the options to match it with.
using Sample = std::tuple<Bytes, int32_t, uint32_t>;

std::vector<Sample> samples()
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

// Filters that test every parameter, separated by ';'.
const std::string kFilters =
    "ETH SD=2:0:0:0:0:2 ETYPE=2048 HLEN=14 DLEN>0; ETH ^SD:1=B; 802.3 SRC=M; "
    "LLC SD=170 C=3 DLEN>2; LLC ^SD:1=66; SNAP ORG=0 ETYPE=2048; "
    "IP SRC=10.16.0.0/12 ^DST=1.2.3.4 F=^F LEN>10; IP SD:1=192.168.0.0/16 HLEN>20; "
    "TCP SD=80 F=S DLEN=0; TCP ^SRC<1000 F=A* HLEN=20; UDP SD:2=53 LEN>8; "
    "ICMP TYPE=unreach CODE=port DLEN=0; ((ARP) | (RARP) | (IPX)) & ^(IGMP); "
    "((TCP SD>1023) & (IP SD=10.16.1.1)) | (UDP ^SD:1=7) | (IP#1 LEN<100)";

// The filters compiled, and their texts.
std::vector<std::pair<std::vector<filt_node>, std::string>> filters()
{
    std::vector<std::pair<std::vector<filt_node>, std::string>> out;
    std::istringstream in(kFilters);
    for (std::string text; std::getline(in, text, ';');)
        out.emplace_back(compiled(text), text);
    EXPECT_EQ(out.size(), 14u);
    return out;
}

// The verdict of nif_filt_match when the reference engine agrees with it;
// else -1.
int verdict(const std::vector<filt_node> &f, const uint8_t *frame, int32_t len, int32_t link = 4,
            uint32_t opts = 1)
{
    int fast = nif_filt_match(f.data(), frame, len, link, nullptr, nullptr, nullptr, opts);
    int ref = zeriza::reference_match(f.data(), frame, len, link, nullptr, nullptr, nullptr, opts);
    return fast == ref ? fast : -1;
}

TEST(MatchRobust, LazyWalkAgreesWithFullWalkOnGeneratedAndRealFrames)
{
    std::vector<Bytes> frames;
    for (const auto &t : sample::frames(600))
        frames.push_back(t.bytes);
    std::string path = std::string(ZERIZA_SOURCE_DIR) + "/../shared/captures/ether_all.pcap";
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *pc = pcap_open_offline(path.c_str(), err);
    if (!pc)
        std::printf("[ note ] %s absent: generated frames only\n", path.c_str());
    pcap_pkthdr *h;
    const u_char *d;
    while (pc && pcap_next_ex(pc, &h, &d) == 1)
        frames.emplace_back(d, d + h->caplen);
    EXPECT_EQ(frames.size(), pc ? 600u + 8510u : 600u);
    if (pc)
        pcap_close(pc);
    auto fs = filters();
    for (size_t i = 0; i < frames.size(); ++i) {
        Bytes b = frames[i];
        b.resize(std::max<size_t>(b.size(), 16));
        for (const auto &[f, text] : fs)
            ASSERT_NE(verdict(f, b.data(), static_cast<int32_t>(frames[i].size())), -1)
                << "frame " << i << ", " << text;
    }
}

// A heap copy of the frame's first `len` bytes, in a block that ends exactly
// there (or after `min` bytes: callers of the matcher always provide 16).
std::unique_ptr<uint8_t[]> cut(const Bytes &frame, size_t len, size_t min)
{
    auto b = std::make_unique<uint8_t[]>(std::max(len, min));
    std::copy(frame.begin(), frame.begin() + static_cast<long>(len), b.get());
    return b;
}

TEST(MatchRobust, EveryTruncationStaysInsideTheFrame)
{
    auto fs = filters();
    long matched = 0;
    for (const auto &[frame, link, opts] : samples()) {
        int32_t layer, skip;
        int32_t proto = nif_proto_id(link, frame.data(), &layer, &skip, opts);
        for (size_t len = 0; len <= frame.size(); ++len) {
            auto whole = cut(frame, len, 16);
            for (const auto &[f, text] : fs) {
                int got = verdict(f, whole.get(), static_cast<int32_t>(len), link, opts);
                ASSERT_NE(got, -1)
                    << text << ": lazy and full walks disagree at " << len << " bytes";
                matched += got;
            }
            // The walk alone needs no more than the data.
            auto exact = cut(frame, len, 1);
            zeriza::hdr_rec recs[zeriza::kMaxRecords];
            int32_t data = static_cast<int32_t>(len) - skip;
            int n = zeriza::walk_headers(exact.get(), data, layer, proto, recs);
            ASSERT_LE(n, zeriza::kMaxRecords);
            for (int i = 0; i < n; ++i)
                EXPECT_TRUE(recs[i].start - exact.get() + recs[i].avail <= data &&
                            recs[i].avail > 0 && (!i || recs[i].avail <= recs[i - 1].avail))
                    << "record " << i << " of " << len << " bytes";
        }
    }
    EXPECT_GT(matched, 0) << "some filters should pass some cuts";
}

TEST(MatchRobust, ThreadsOnOneFilterAgreeWithOne)
{
    const std::vector<filt_node> f = filters().back().first;
    const std::vector<Sample> frames = samples();
    auto match_one = [&f](const Sample &s) {
        const auto &[frame, link, opts] = s;
        return nif_filt_match(f.data(), frame.data(), static_cast<int32_t>(frame.size()), link,
                              nullptr, nullptr, nullptr, opts);
    };
    std::vector<int> want, mismatches(4, 0);
    for (const Sample &s : frames)
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
