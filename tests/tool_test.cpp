// The zeriza tool end to end: a generated capture through record, dump and
// export; match counts against tcpdump's; bad input of every kind.
#include "tests/tool_support.h"

namespace {

using namespace tooltest;

TEST_F(Tool, RecordDumpExportKeepsExactlyThePassingFramesOfEachSession)
{
    const std::string filter = "((TCP SD=80) | (UDP SD=53)) & (IP SRC=10.0.0.0/8)";
    fs::path log = dir / "cap.log", matched = dir / "matched.pcap", exported = dir / "out.pcap";
    Outcome m = ok("match " + q(filter) + " -r " + q(sample) + " -w " + q(matched));
    std::vector<Rec> want = read_pcap(matched);
    EXPECT_EQ(m.out, "") << "the summary goes to standard error";
    EXPECT_EQ(m.err, "240 frames read, " + std::to_string(want.size()) + " passed\n");
    ASSERT_GT(want.size(), 10u);
    // The filter after -r is the filter, not a second capture.
    Outcome r = ok("record -r " + q(sample) + " " + q(filter) + " -w " + q(log));
    EXPECT_EQ(r.err, sample.string() + ": 240 frames read, " + std::to_string(want.size()) +
                         " recorded\n");
    Outcome d = ok("dump " + q(log));
    EXPECT_NE(d.out.find("(003) TCP SD=80"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("counts agree"), std::string::npos) << d.out;
    ok("export " + q(log) + " -w " + q(exported));
    // Frame by frame: bytes, original length and timestamp, in the capture's order.
    std::vector<Rec> got = read_pcap(exported), all = read_pcap(sample);
    EXPECT_EQ(got, want);
    auto at = all.begin();
    for (const Rec &g : got)
        EXPECT_NE(at = std::find(at, all.end(), g), all.end())
            << "a frame not in the capture, in order";
    EXPECT_TRUE(slurp(exported).rfind("\xd4\xc3\xb2\xa1", 0) == 0) << "microsecond pcap";
    // Two sessions, and the choice of one; -r repeated, for match too.
    fs::path two = dir / "two.log", one = dir / "one.pcap";
    ok("record -r " + q(sample) + " -r " + q(sample) + " -w " + q(two) + " ARP");
    d = ok("dump -q " + q(two));
    EXPECT_NE(d.out.find("2 sessions"), std::string::npos) << d.out;
    EXPECT_EQ(d.out.find("event 1:"), std::string::npos) << "-q prints no events";
    ok("export " + q(two) + " -w " + q(one) + " --session 2");
    EXPECT_EQ(read_pcap(one).size(), 20u); // one frame in twelve of 240 is ARP
    EXPECT_EQ(passed("ARP -r " + q(sample) + " -r " + q(sample)), 40);
}

// -c counts passing frames, as tcpdump's does; record stops the log there and
// says so in the session that reached it and in those it never read.
TEST_F(Tool, CountStopsAfterThatManyPassingFrames)
{
    EXPECT_EQ(passed("ARP -r " + q(sample) + " -c 7"), 7);
    EXPECT_EQ(passed("ARP -r " + q(sample) + " -r " + q(sample) + " -c 25"), 25);
    fs::path log = dir / "c.log";
    ok("record -c 5 -r " + q(sample) + " -r " + q(sample) + " -w " + q(log) + " ARP");
    Outcome d = ok("dump -q " + q(log));
    EXPECT_NE(d.out.find("session 1 trailer: 5 frames, 210 bytes (54 frames read from the "
                         "capture, stopped at the frame count)"),
              std::string::npos)
        << d.out;
    EXPECT_NE(d.out.find("session 2 trailer: 0 frames, 0 bytes (0 frames read from the capture, "
                         "stopped at the frame count)"),
              std::string::npos)
        << d.out;
    EXPECT_NE(d.out.find("counts agree"), std::string::npos);
}

TEST_F(Tool, MatchCountsAgreeWithTcpdump)
{
    if (std::system("command -v tcpdump >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tcpdump is not installed";
    // IP in SNAP is IP to the walk; tcpdump's "ip" means Ethernet II only.
    const std::string snap_ip =
        "(ether[12:2] <= 1500 and ether[14:2] = 0xaaaa and ether[20:2] = 0x0800)";
    // The walk sees no more of a datagram than its total length says, and a
    // header or field past that is not there; tcpdump reads on to the end of
    // the frame. These conditions make tcpdump look only as far.
    const std::string ports_inside = "ip[2:2] >= (ip[0] & 0xf) * 4 + 4";
    const std::string transport_inside = "ip[2:2] > (ip[0] & 0xf) * 4 and ip[6:2] & 0x1fff = 0";
    // tcpdump expressions that mean the same as zeriza filters on these captures.
    const std::pair<const char *, std::string> pairs[] = {
        {"IP", "ip or " + snap_ip},
        {"ARP", "arp"},
        {"TCP SD=80", "ip and tcp port 80 and " + ports_inside},
        {"UDP SD=53", "ip and udp port 53 and " + ports_inside},
        {"TCP F=S^A", "ip and tcp[13] & 0x12 = 0x02"},
        {"ICMP", "icmp and " + transport_inside + " and icmp[0] >= 0"},
        {"IP SRC=10.0.0.0/8",
         "(ip src net 10.0.0.0/8 and ip[2:2] >= 16) or (" + snap_ip + " and ether[34] = 10)"},
        {"(TCP DST<1024) | (UDP SD=53)",
         "ip and " + ports_inside + " and (tcp dst portrange 0-1023 or udp port 53)"},
        // A frame too short for its type field still gets its Ethernet record,
        // where tcpdump's program stops reading and rejects it.
        {"^(IP) & ((ETH LEN>13) | (802.3 LEN>13))", "not (ip or " + snap_ip + ")"},
    };
    std::vector<fs::path> captures = {sample};
    fs::path real = fs::path(ZERIZA_SOURCE_DIR) / ".." / "shared" / "captures" / "ether_all.pcap";
    if (fs::exists(real))
        captures.push_back(real);
    else
        std::printf("[ note ] %s absent: comparing on the generated capture only\n", real.c_str());
    fs::path out = dir / "tcpdump.pcap";
    for (const auto &cap : captures)
        for (const auto &[filter, expr] : pairs) {
            long n = passed(q(filter) + " -r " + q(cap));
            std::string cmd = "tcpdump -r " + q(cap) + " -w " + q(out) + " " + q(expr);
            ASSERT_EQ(std::system((cmd + " 2>/dev/null").c_str()), 0) << cmd;
            EXPECT_EQ(n, static_cast<long>(read_pcap(out).size())) << filter << " on " << cap;
        }
}

TEST_F(Tool, BadInputGivesOneLineAndItsExitCode)
{
    fs::path log = dir / "ok.log", filtered = dir / "filtered.log", bad = dir / "bad";
    ok("record -r " + q(sample) + " -w " + q(log));
    ok("record -r " + q(sample) + " -w " + q(filtered) + " '(TCP) | (UDP)'");
    std::string whole = slurp(log), refused = slurp(filtered);
    whole[15 + 216] = 9;         // the first event's session index
    refused[15 + 216 + 108] = 1; // the root's child count: a group of one
    spit(dir / "corrupt.log", whole);
    spit(dir / "refused.log", refused);
    spit(bad, "not a capture at all, just text\n");
    spit(dir / "empty", "");
    pcap_t *dead = pcap_open_dead(DLT_PPP, 65535); // a link type the library does not take
    pcap_dump_close(pcap_dump_open(dead, (dir / "ppp.pcap").c_str()));
    pcap_close(dead);
    const std::string s = q(sample), ppp = (dir / "ppp.pcap").string();
    const struct {
        std::string args;
        int status;
        std::string err, inner = ""; // the start of the one line on standard error, and a part
    } cases[] = {
        {"bogus", 2, "zeriza: unknown subcommand 'bogus'"},
        {"match -r " + s, 2, "zeriza match: give a FILTER or -s FORM"},
        {"match IP -r " + s + " " + s, 2, "zeriza: The following argument was not expected"},
        {"compile", 2, "zeriza: FILTER is required"},
        {"match IP -r " + s + " -c x", 2, "zeriza: "},
        {"match IP -r " + s + " -c 0", 2, "zeriza: -c: Value 0 not in range"},
        {"match IP -r " + s + " -c -5", 2, "zeriza: -c: Value -5 not in range"},
        {"record -r " + s + " -w x.log -c 0", 2, "zeriza: -c: Value 0 not in range"},
        {"match IP -r - -r -", 2, "zeriza match: standard input ('-') can be read only once"},
        {"export " + q(log) + " -w x.pcap --session 0", 2, "zeriza: --session: Value 0 not in"},
        {"export " + q(log) + " -w x.pcap --session 2", 2,
         "zeriza export: --session 2: the log has 1 session (see --help)"},
        {"compile 'TCP SRC=1 SRC=2'", 1,
         "zeriza: bad filter: Duplicate 'SRC' parameter [at {SRC=2...}]"},
        // A message quotes the user's text with its control characters escaped.
        {"compile \"$(printf '$\\nX\\001')\"", 1,
         "zeriza: bad filter: invalid operator, '$', at {$\\nX\\x01...}"},
        {"short ':'", 1, "zeriza: bad short form: filter-spec evaluated to a null expression"},
        {"match IP -r " + q(bad), 1, "zeriza: cannot read capture"},
        {"match IP -r " + q(ppp), 1,
         "zeriza: capture " + ppp +
             ": unsupported link type PPP (9); supported: EN10MB (Ethernet), RAW and IPV4"},
        {"dump " + q(dir / "corrupt.log"), 1,
         "zeriza: " + (dir / "corrupt.log").string() +
             ": log damaged at byte 231, event 1: Log file is corrupt, got ses_id=9 on evt 0"},
        {"dump " + q(bad), 1, "zeriza: " + bad.string() + ": not a zeriza log\n"},
        {"dump " + s, 1,
         "zeriza: " + sample.string() + ": not a zeriza log (it is a pcap capture)"},
        {"dump " + q(dir / "empty"), 1,
         "zeriza: " + (dir / "empty").string() + ": empty, not a zeriza log"},
        {"dump " + q(dir / "refused.log"), 1,
         "zeriza: " + (dir / "refused.log").string() +
             ": log damaged at byte 15, the filter of session 1 is refused: Filter node 0 has 1 "
             "children"},
        {"export " + q(dir / "missing.log") + " -w " + q(dir / "x.pcap"), 1,
         "zeriza: cannot read log " + (dir / "missing.log").string() + ": No such file"},
    };
    for (const auto &c : cases) {
        Outcome r = run(c.args);
        EXPECT_TRUE(r.status == c.status && r.err.rfind(c.err, 0) == 0 &&
                    r.err.find(c.inner, c.err.size()) != std::string::npos && lines(r.err) == 1)
            << c.args << ": status " << r.status << "\n"
            << r.err;
    }
}

} // namespace
