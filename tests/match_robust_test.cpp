// Frames cut at every length, against filters that test every parameter: the
// matcher must stay inside the frame (the sanitizer build sees every byte
// read past a buffer that ends exactly where the frame ends) and keep its
// records inside the data. And matching from several threads at once on one
// filter gives the same answers as from one.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <memory>
#include <thread>
#include <vector>

#include "pktfilt/matcher.h"
#include "tools/framegen.h"
#include "tools/sample.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using framegen::Bytes;
using framegen::Frame;
using framegen::mac;

const framegen::Ip4 kA = {10, 1, 2, 3}, kB = {172, 16, 0, 9};

struct Sample {
    Bytes frame;
    int32_t link;
    uint32_t opts;
};

std::vector<Sample> samples()
{
    Frame ext;
    for (int i = 0; i < 11; ++i) // more headers than records
        ext.ieee8023(mac(1), mac(2)).llc(0xAA, 0xAA).snap(0x0080C2, 7);
    return {
        {Frame().eth(mac(1), mac(2), 0x0800).ipv4(kA, kB, 6).tcp(1024, 80, 0x12).fill(10).bytes(),
         4, 1},
        {Frame()
             .eth(mac(1), mac(2), 0x0800)
             .ipv4(kA, kB, 17, framegen::Ipv4Opts::words(7))
             .udp(53, 99)
             .bytes(),
         4, 1},
        {Frame().eth(mac(1), mac(2), 0x0800).ipv4(kA, kB, 1).icmp(3, 3).fill(28).bytes(), 4, 1},
        {Frame()
             .ieee8023(mac(1), mac(2))
             .llc(0xAA, 0xAA)
             .snap(0, 0x0800)
             .ipv4(kA, kB, 6)
             .tcp(1, 2)
             .bytes(),
         4, 1},
        {Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(30).bytes(), 4, 1},
        {Frame().raw({0xFE, 0xFE, 0x03, 0xCC}).ipv4(kA, kB, 17).udp(7, 7).bytes(), 0, 0},
        {Frame()
             .raw({0xFE, 0xFE, 0x03, 0x80})
             .snap(0, 0x0806)
             .arp(2, mac(1), kA, mac(2), kB)
             .bytes(),
         0, 0},
        {Frame().raw({0x00, 0x21}).ipv4(kA, kB, 6).tcp(5, 6).bytes(), 5, 0},
        {Frame().ipv4(kA, kB, 6, framegen::Ipv4Opts::fragment(true, 0)).tcp(5, 6).bytes(), 129, 0},
        {Frame().eth(mac(1), mac(2), 0x0806).arp(1, mac(1), kA, {}, kB).bytes(), 4, 1},
        {ext.fill(8).bytes(), 4, 1},
    };
}

const char *const kFilters[] = {
    "ETH SD=2:0:0:0:0:2 ETYPE=2048 HLEN=14 DLEN>0",
    "ETH ^SD:1=B",
    "802.3 SRC=M",
    "LLC SD=170 C=3 DLEN>2",
    "LLC ^SD:1=66",
    "SNAP ORG=0 ETYPE=2048",
    "IP SRC=10.0.0.0/12 ^DST=1.2.3.4 F=^F LEN>10",
    "IP SD:1=172.16.0.0/16 HLEN>20",
    "TCP SD=80 F=S DLEN=0",
    "TCP ^SRC<1000 F=A* HLEN=20",
    "UDP SD:2=53 LEN>8",
    "ICMP TYPE=unreach CODE=port DLEN=0",
    "((ARP) | (RARP) | (IPX)) & ^(IGMP)",
    "((TCP SD>1023) & (IP SD=10.1.2.3)) | (UDP ^SD:1=7) | (IP#1 LEN<100)",
};

// A heap copy of the frame's first `len` bytes, in a block that ends exactly
// there (or after 16 bytes, which callers of the matcher always provide).
std::unique_ptr<uint8_t[]> cut(const Bytes &frame, size_t len, size_t min)
{
    size_t n = std::max(len, min);
    auto b = std::make_unique<uint8_t[]>(n);
    std::copy(frame.begin(), frame.begin() + static_cast<long>(std::min(len, frame.size())),
              b.get());
    return b;
}

// The straightforward evaluation: every header walked before any atom is
// looked at. nif_filt_match walks only as far as its atoms need.
int eager(const filt_node *f, const uint8_t *frame, int32_t len, int32_t link, uint32_t opts)
{
    int32_t layer, skip;
    int32_t proto = nif_proto_id(link, frame, &layer, &skip, opts);
    zeriza::Walk walk(frame, len > skip ? len - skip : 0, layer, proto);
    walk.finish();
    return zeriza::apply_rule(f, walk);
}

TEST(MatchRobust, LazyWalkAgreesWithFullWalkOnGeneratedFrames)
{
    std::vector<filt_node *> filters;
    for (const char *text : kFilters)
        filters.push_back(nif_filt_parse(text, nullptr));
    long checked = 0;
    for (const auto &t : sample::frames(600)) {
        Bytes b = t.bytes;
        b.resize(std::max<size_t>(b.size(), 16));
        for (filt_node *f : filters) {
            int32_t len = static_cast<int32_t>(t.bytes.size());
            EXPECT_EQ(nif_filt_match(f, b.data(), len, 4, nullptr, nullptr, nullptr, 1),
                      eager(f, b.data(), len, 4, 1));
            ++checked;
        }
    }
    EXPECT_EQ(checked, 600L * static_cast<long>(std::size(kFilters)));
    for (filt_node *f : filters)
        nif_filt_free(f);
}

TEST(MatchRobust, LazyWalkAgreesWithFullWalkOnTheRealCapture)
{
    std::string path = std::string(ZERIZA_SOURCE_DIR) + "/../shared/captures/ether_all.pcap";
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *pc = pcap_open_offline(path.c_str(), err);
    if (!pc)
        GTEST_SKIP() << path << " is absent";
    std::vector<filt_node *> filters;
    for (const char *text : kFilters)
        filters.push_back(nif_filt_parse(text, nullptr));
    pcap_pkthdr *h;
    const u_char *d;
    long frames = 0;
    while (pcap_next_ex(pc, &h, &d) == 1) {
        Bytes b(d, d + h->caplen);
        b.resize(std::max<size_t>(b.size(), 16));
        for (filt_node *f : filters) {
            int32_t len = static_cast<int32_t>(h->caplen);
            ASSERT_EQ(nif_filt_match(f, b.data(), len, 4, nullptr, nullptr, nullptr, 1),
                      eager(f, b.data(), len, 4, 1))
                << "frame " << frames;
        }
        ++frames;
    }
    pcap_close(pc);
    EXPECT_EQ(frames, 8510);
    for (filt_node *f : filters)
        nif_filt_free(f);
}

TEST(MatchRobust, EveryTruncationStaysInsideTheFrame)
{
    std::vector<filt_node *> filters;
    for (const char *text : kFilters) {
        filters.push_back(nif_filt_parse(text, nullptr));
        ASSERT_NE(filters.back(), nullptr) << text << ": " << gnl_usrmsg;
    }
    long matched = 0;
    for (const Sample &s : samples()) {
        int32_t layer, skip;
        int32_t proto = nif_proto_id(s.link, s.frame.data(), &layer, &skip, s.opts);
        for (size_t len = 0; len <= s.frame.size(); ++len) {
            auto whole = cut(s.frame, len, 16);
            for (filt_node *f : filters) {
                int got = nif_filt_match(f, whole.get(), static_cast<int32_t>(len), s.link, nullptr,
                                         nullptr, nullptr, s.opts);
                EXPECT_EQ(got, eager(f, whole.get(), static_cast<int32_t>(len), s.link, s.opts))
                    << "lazy and full walks disagree at " << len << " bytes";
                matched += got;
            }

            // The walk alone needs no more than the data.
            auto exact = cut(s.frame, len, 1);
            zeriza::hdr_rec recs[zeriza::kMaxRecords];
            int32_t data = static_cast<int32_t>(len) - skip;
            int n = zeriza::walk_headers(exact.get(), data, layer, proto, recs);
            ASSERT_LE(n, zeriza::kMaxRecords);
            for (int i = 0; i < n; ++i) {
                long end = recs[i].start - exact.get() + recs[i].avail;
                EXPECT_LE(end, data) << "record " << i << " of " << len << " bytes";
                EXPECT_GT(recs[i].avail, 0);
                if (i > 0) {
                    EXPECT_LE(recs[i].avail, recs[i - 1].avail);
                }
            }
        }
    }
    EXPECT_GT(matched, 0) << "some filters should pass some cuts";
    for (filt_node *f : filters)
        nif_filt_free(f);
}

TEST(MatchRobust, ThreadsOnOneFilterAgreeWithOne)
{
    filt_node *f = nif_filt_parse(kFilters[13], nullptr);
    ASSERT_NE(f, nullptr);
    std::vector<Sample> frames = samples();
    std::vector<int> want;
    for (const Sample &s : frames)
        want.push_back(nif_filt_match(f, s.frame.data(), static_cast<int32_t>(s.frame.size()),
                                      s.link, nullptr, nullptr, nullptr, s.opts));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 2000; ++round)
                for (size_t i = 0; i < frames.size(); ++i) {
                    const Sample &s = frames[i];
                    int got =
                        nif_filt_match(f, s.frame.data(), static_cast<int32_t>(s.frame.size()),
                                       s.link, nullptr, nullptr, nullptr, s.opts);
                    mismatches[t] += got != want[i];
                }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
    nif_filt_free(f);
}

} // namespace
