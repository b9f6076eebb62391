// What the zeriza tool writes of captures that are not plain: stamps whose
// microseconds overflow, and raw IP captures where IPv6 is never taken for
// IPv4.
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

// Link code 129 says "IPv4" whatever the bytes: the tool gives the other
// packets of a raw IP capture to the matcher so that only negations hold.
TEST_F(Tool, RawIpCapturesNeverTakeIpv6ForIpv4)
{
    // Every fourth packet is IPv6 with TCP to port 80.
    fs::path raw = dir / "raw.pcap", log = dir / "raw.log";
    ASSERT_TRUE(sample::write_pcap(raw, sample::raw_ip_frames(60), DLT_RAW));
    const std::pair<const char *, long> cases[] = {{"IP", 45}, {"^(IP)", 15}};
    for (const auto &[filter, n] : cases)
        EXPECT_EQ(passed(q(filter) + " -r " + q(raw)), n) << filter;
    // Recorded and exported, the frames keep their bytes and link type.
    ok("record -r " + q(raw) + " -w " + q(log) + " '^(IP)'");
    ok("export " + q(log) + " -w " + q(dir / "v6.pcap"));
    const std::vector<Rec> all = read_pcap(raw);
    std::vector<Rec> v6;
    for (size_t i = 3; i < all.size(); i += 4)
        v6.push_back(all[i]);
    EXPECT_EQ(read_pcap(dir / "v6.pcap"), v6);
    // The pcap header's link type, from the same libpcap as the input's.
    EXPECT_EQ(slurp(dir / "v6.pcap").substr(20, 4), slurp(raw).substr(20, 4));
}

} // namespace
