// What the zeriza tool makes of captures that are not plain: stamps whose
// microseconds overflow, and link types other than Ethernet.
#include <algorithm>
#include <iterator>
#include <set>
#include <string_view>

#include "tests/tool_support.h"

namespace {

using namespace tooltest;

// The generator writes valid stamps at any frame count; a capture whose
// microseconds overflow is read as the instant it means, a second later.
TEST_F(Tool, StampsAreValidAndOverflowingOnesAreCarried)
{
    for (const auto &f : sample::frames(100010))
        ASSERT_TRUE(f.usec >= 0 && f.usec < 1000000) << f.sec << "." << f.usec;

    auto frames = sample::frames(3);
    frames[1].usec = 1500000;
    frames[2].usec = 999999;
    fs::path odd = dir / "odd.pcap", log = dir / "odd.log";
    ASSERT_TRUE(sample::write_pcap(odd, frames));
    std::vector<Rec> want = read_pcap(odd);
    std::get<0>(want[1]) += 1;
    std::get<1>(want[1]) = 500000000;
    ok("match IP -r " + q(odd) + " -w " + q(dir / "m.pcap"));
    EXPECT_EQ(read_pcap(dir / "m.pcap"), want);
    // dump gives each event's stamp with all nine digits.
    ok("record -r " + q(odd) + " -w " + q(log));
    EXPECT_NE(
        ok("dump " + q(log)).out.find("event 1: session 1 frame 1700000000.000000000 captured"),
        std::string::npos);
}

// Every link type is given to the matcher so that a rule holds on a frame as
// it holds on the same frame carried by Ethernet: the cooked header stands
// for the Ethernet one; a raw or loopback IPv4 packet is IPv4, and an IPv6
// one never is (code 129 would say "IPv4" whatever the bytes). Recorded and
// exported, every frame keeps its bytes and link type.
TEST_F(Tool, EachLinkTypeMatchesAsItsEthernetTwin)
{
    // A frame's stamp names it: the sample's are all different.
    using Stamps = std::set<std::pair<int64_t, int64_t>>;
    auto stamps = [](const std::vector<Rec> &frames) {
        Stamps s;
        for (const auto &[sec, nsec, bytes, len] : frames)
            s.insert({sec, nsec});
        return s;
    };
    auto passing = [&](const fs::path &capture, const std::string &filter) {
        ok("match " + q(filter) + " -r " + q(capture) + " -w " + q(dir / "out.pcap"));
        return stamps(read_pcap(dir / "out.pcap"));
    };
    // Rules of every layer; none on an Ethernet destination, which a cooked
    // header does not carry.
    const char *const filters[] = {"IP",        "^(IP)",
                                   "TCP SD=80", "(TCP DST<1024) | (UDP SD=53)",
                                   "ICMP",      "IP SRC=10.0.0.0/8",
                                   "ARP",       "802.3",
                                   "LLC",       "SNAP ETYPE=2048",
                                   "ETH",       "ETH SRC=2:0:0:0:0:1",
                                   "IP#6",      "IP F=F"};
    for (int dlt : {DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP, DLT_RAW, DLT_IPV4}) {
        SCOPED_TRACE(pcap_datalink_val_to_name(dlt));
        const fs::path capture = dir / "link.pcap", log = dir / "link.log";
        ASSERT_TRUE(sample::write_pcap(capture, sample::as_link(sample::frames(), dlt), dlt));
        const Stamps carried = stamps(read_pcap(capture));
        const bool ethernet = dlt == DLT_LINUX_SLL || dlt == DLT_LINUX_SLL2;
        for (const char *filter : filters) {
            Stamps twins;
            // An IP link has no Ethernet header for a rule on it to hold on.
            if (ethernet || std::string_view(filter).substr(0, 3) != "ETH")
                std::ranges::set_intersection(passing(sample, filter), carried,
                                              std::inserter(twins, twins.end()));
            EXPECT_EQ(passing(capture, filter), twins) << filter;
        }
        ok("record -r " + q(capture) + " -w " + q(log));
        ok("export " + q(log) + " -w " + q(dir / "back.pcap"));
        EXPECT_EQ(read_pcap(dir / "back.pcap"), read_pcap(capture));
        // The pcap header's link type, from the same libpcap as the input's.
        EXPECT_EQ(slurp(dir / "back.pcap").substr(20, 4), slurp(capture).substr(20, 4));
    }
}

} // namespace

// Every public capture of a link type other than Ethernet goes through every
// command; its frames come back out of a log as they went in.
TEST_F(Tool, PublicCapturesOfEveryLinkTypeGoThroughEveryCommand)
{
    const fs::path folder =
        fs::path(ZERIZA_SOURCE_DIR) / ".." / "shared" / "captures" / "linktypes";
    if (!fs::exists(folder))
        GTEST_SKIP() << folder << " is absent";
    auto contents = [](const std::vector<Rec> &frames) {
        std::vector<std::pair<std::string, uint32_t>> out;
        for (const auto &[sec, nsec, bytes, len] : frames)
            out.push_back({bytes, len});
        return out;
    };
    for (const auto &entry : fs::directory_iterator(folder)) {
        const fs::path capture = entry.path(), log = dir / "public.log", back = dir / "back.pcap";
        SCOPED_TRACE(capture.string());
        EXPECT_GE(passed("'(IP) | (^(IP))' -r " + q(capture) + " -w " + q(dir / "m.pcap")), 1);
        ok("record -r " + q(capture) + " -w " + q(log) + " '^(ARP)'");
        EXPECT_NE(ok("dump -q " + q(log)).out.find("counts agree"), std::string::npos);
        ok("export " + q(log) + " -w " + q(back));
        // Stamps whose microseconds overflow come back carried: compared apart.
        EXPECT_EQ(contents(read_pcap(back)), contents(read_pcap(capture)));
    }
}
