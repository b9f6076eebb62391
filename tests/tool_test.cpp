// The zeriza tool end to end: a generated capture through record, dump and
// export, by file and by pipe; match counts against tcpdump's; every kind of
// failure, each with its one line, leaving the files as they were.
#include <map>

#include "tests/tool_support.h"

namespace {

using namespace tooltest;

// '-' is standard input or output for captures and logs alike; the counts go
// to standard error, so that a capture or log on standard output stays whole.
TEST_F(Tool, RecordDumpExportKeepsExactlyThePassingFrames)
{
    const std::string filter = q("((TCP SD=80) | (UDP SD=53)) & (IP SRC=10.0.0.0/8)");
    fs::path log = dir / "cap.log", matched = dir / "matched.pcap", exported = dir / "out.pcap";
    Outcome m = shell(tool + " match " + filter + " -r - -w - < " + q(sample) + " > " + q(matched));
    const std::vector<Rec> want = read_pcap(matched);
    const std::string n = std::to_string(want.size());
    EXPECT_EQ(m.status, 0) << m.err;
    EXPECT_EQ(m.err, "240 frames read, " + n + " passed\n");
    ASSERT_GT(want.size(), 10u);
    // The filter after -r is the filter, not a second capture.
    Outcome r = ok("record -r " + q(sample) + " " + filter + " -w " + q(log));
    EXPECT_EQ(r.err, sample.string() + ": 240 frames read, " + n + " recorded\n");
    ok("export " + q(log) + " -w " + q(exported));
    EXPECT_EQ(read_pcap(exported), want);
    EXPECT_TRUE(slurp(exported).rfind("\xd4\xc3\xb2\xa1", 0) == 0) << "microsecond pcap";
    r = shell(tool + " export - -w - < " + q(log) + " > " + q(exported));
    EXPECT_EQ(r.err, n + " frames exported\n");
    EXPECT_EQ(read_pcap(exported), want);
    // With no filter, frame by frame: bytes, original length (some frames are
    // cut short) and timestamp, in the capture's order.
    ok("record -r " + q(sample) + " -w " + q(log));
    ok("export " + q(log) + " -w " + q(exported));
    EXPECT_EQ(read_pcap(exported), read_pcap(sample));

    r = shell(tool + " record -r - -w - " + filter + " < " + q(sample) + " | " + tool + " dump -");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "standard input: 240 frames read, " + n + " recorded\n");
    for (const char *line :
         {"log on standard input: version 3.1", "(003) TCP SD=80", "counts agree"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// -r repeated reads the captures in turn, one session each. -c counts
// passing frames, as tcpdump's does; record closes the session that reaches
// it and says so there and in the sessions it never read.
TEST_F(Tool, CountStopsAfterThatManyPassingFrames)
{
    const std::string three = " -r " + q(sample) + " -r " + q(sample) + " -r " + q(sample);
    fs::path log = dir / "c.log", second = dir / "second.pcap";
    EXPECT_EQ(passed("ARP -c 25" + three), 25); // 20 ARP frames in each capture
    ok("record -c 25 -w " + q(log) + three + " ARP");
    Outcome d = ok("dump -q " + q(log));
    for (const char *line : {
             "3 sessions",
             "session 1 trailer: 20 frames, 840 bytes (240 frames read from the capture)",
             "session 2 trailer: 5 frames, 210 bytes (54 frames read from the capture, stopped "
             "at the frame count)",
             "session 3 trailer: 0 frames, 0 bytes (0 frames read from the capture, stopped at "
             "the frame count)",
             "counts agree",
         })
        EXPECT_NE(d.out.find(line), std::string::npos) << line << "\n" << d.out;
    EXPECT_EQ(d.out.find("event 1:"), std::string::npos) << "-q prints no events";
    ok("export " + q(log) + " -w " + q(second) + " --session 2");
    EXPECT_EQ(read_pcap(second).size(), 5u);
}

TEST_F(Tool, MatchCountsAgreeWithTcpdump)
{
    if (std::system("command -v tcpdump >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tcpdump is not installed";
    // The captures compared: the sample as each link type carries it, and
    // the public captures where they are.
    struct Capture {
        fs::path path;
        int payload; // where what follows an Ethernet header starts; 0 for an IP link
    };
    const struct {
        int dlt, payload;
    } links[] = {{DLT_EN10MB, 14}, {DLT_LINUX_SLL, 16}, {DLT_LINUX_SLL2, 20}, {DLT_NULL, 0},
                 {DLT_LOOP, 0},    {DLT_RAW, 0},        {DLT_IPV4, 0}};
    std::vector<Capture> captures;
    for (const auto &l : links) {
        fs::path p = dir / (std::to_string(l.dlt) + ".pcap");
        ASSERT_TRUE(sample::write_pcap(p, sample::as_link(sample::frames(), l.dlt), l.dlt));
        captures.push_back({p, l.payload});
    }
    const fs::path shared = fs::path(ZERIZA_SOURCE_DIR) / ".." / "shared" / "captures";
    if (fs::exists(shared)) {
        captures.push_back({shared / "ether_all.pcap", 14});
        captures.push_back({shared / "linktypes" / "linux_sll.pcap", 16});
        for (const char *f : {"null.pcap", "raw.pcap", "ipv4.pcap"})
            captures.push_back({shared / "linktypes" / f, 0});
    } else {
        std::printf("[ note ] %s absent: comparing on the generated captures only\n",
                    shared.c_str());
    }
    // The walk sees no more of a datagram than its total length says, and a
    // header or field past that is not there; tcpdump reads on to the end of
    // the frame. These conditions make tcpdump look only as far.
    const std::string ports_inside = "ip[2:2] >= (ip[0] & 0xf) * 4 + 4";
    const std::string transport_inside = "ip[2:2] > (ip[0] & 0xf) * 4 and ip[6:2] & 0x1fff = 0";
    fs::path out = dir / "tcpdump.pcap";
    for (const auto &[cap, at] : captures) {
        // IP in SNAP is IP to the walk; tcpdump's "ip" means the link's own
        // protocol field only. An LLC frame is an 802.3 one, or a cooked one
        // of protocol 4.
        const std::string llc = at == 14   ? "ether[12:2] <= 1500"
                                : at == 16 ? "ether[14:2] = 4"
                                           : "ether[0:2] = 4";
        const std::string snap_ip = "(" + llc + " and ether[" + std::to_string(at) +
                                    ":2] = 0xaaaa and ether[" + std::to_string(at + 6) +
                                    ":2] = 0x0800)";
        const std::string or_snap_ip = at ? " or " + snap_ip : "";
        const std::string snap_src_10 =
            at ? " or (" + snap_ip + " and ether[" + std::to_string(at + 20) + "] = 10)" : "";
        // tcpdump expressions that mean the same as zeriza filters here.
        std::vector<std::pair<std::string, std::string>> pairs = {
            {"IP", "ip" + or_snap_ip},
            {"TCP SD=80", "ip and tcp port 80 and " + ports_inside},
            {"UDP SD=53", "ip and udp port 53 and " + ports_inside},
            {"TCP F=S^A", "ip and tcp[13] & 0x12 = 0x02"},
            {"ICMP", "icmp and " + transport_inside + " and icmp[0] >= 0"},
            {"IP SRC=10.0.0.0/8", "(ip src net 10.0.0.0/8 and ip[2:2] >= 16)" + snap_src_10},
            {"(TCP DST<1024) | (UDP SD=53)",
             "ip and " + ports_inside + " and (tcp dst portrange 0-1023 or udp port 53)"},
        };
        if (at)
            pairs.push_back({"ARP", "arp"});
        if (at == 14)
            // A frame too short for its type field still gets its Ethernet
            // record, where tcpdump's program stops reading and rejects it.
            pairs.push_back(
                {"^(IP) & ((ETH LEN>13) | (802.3 LEN>13))", "not (ip" + or_snap_ip + ")"});
        else
            pairs.push_back({"^(IP)", "not (ip" + or_snap_ip + ")"});
        for (const auto &[filter, expr] : pairs) {
            long n = passed(q(filter) + " -r " + q(cap));
            std::string cmd = "tcpdump -r " + q(cap) + " -w " + q(out) + " " + q(expr) + " 2>" +
                              q(dir / "tcpdump.err");
            int rc = std::system(cmd.c_str());
            // tcpdump refuses to run an expression that no packet of the
            // link type can pass ("not ip" on IPV4).
            const bool none = rc != 0 && slurp(dir / "tcpdump.err").find("rejects all packets") !=
                                             std::string::npos;
            ASSERT_TRUE(rc == 0 || none) << cmd;
            EXPECT_EQ(n, none ? 0 : static_cast<long>(read_pcap(out).size()))
                << filter << " on " << cap;
        }
    }
}

// The files of a folder, hidden ones (a temporary output) too, with their bytes.
std::map<std::string, std::string> files(const fs::path &dir)
{
    std::map<std::string, std::string> found;
    for (const auto &e : fs::directory_iterator(dir))
        found[e.path().filename().string()] = slurp(e.path());
    return found;
}

// A run that fails gives its exit code and one line on standard error, and
// leaves the folder as it was: no output that looks valid, no file that was
// there changed, never an input written over (checked before it is touched).
TEST_F(Tool, AFailureGivesOneLineAndLeavesEveryFileAsItWas)
{
    const fs::path log = dir / "ok.log", filtered = dir / "filtered.log", bad = dir / "bad";
    const fs::path corrupt = dir / "corrupt.log", refused = dir / "refused.log";
    const fs::path empty = dir / "empty", kept = dir / "kept.log", ppp = dir / "ppp.pcap";
    ok("record -r " + q(sample) + " -w " + q(log));
    ok("record -r " + q(sample) + " -w " + q(filtered) + " '(TCP) | (UDP)'");
    std::string bytes = slurp(log);
    bytes[15 + 216] = 9; // the first event's session index
    spit(corrupt, bytes);
    bytes = slurp(filtered);
    bytes[15 + 216 + 108] = 1; // the root's child count: a group of one
    spit(refused, bytes);
    spit(bad, "not a capture at all, just text\n");
    spit(empty, "");
    spit(kept, "an earlier file of that name");
    fs::create_hard_link(sample, dir / "hard.pcap");
    pcap_t *dead = pcap_open_dead(DLT_PPP, 65535); // a link type the library does not take
    pcap_dump_close(pcap_dump_open(dead, ppp.c_str()));
    pcap_close(dead);
    const auto before = files(dir);
    const std::string s = q(sample), l = q(log), new_pcap = q(dir / "new.pcap");
    const struct {
        std::string args;
        int status;
        std::string err; // the start of the one line on standard error
    } cases[] = {
        // Usage.
        {"bogus", 2, "zeriza: unknown subcommand 'bogus'"},
        {"match -r " + s, 2, "zeriza match: give a FILTER or --short FORM"},
        {"record -w " + q(dir / "new.log"), 2, "zeriza record: give -r CAPTURE or -i INTERFACE"},
        {"match IP -r " + s + " -i lo", 2, "zeriza: -r excludes -i"},
        {"match IP -r " + s + " --duration 1", 2, "zeriza: --duration requires -i"},
        {"", 2, "zeriza: give one subcommand, or -D alone"},
        {"match IP -r " + s + " " + s, 2, "zeriza: The following argument was not expected"},
        {"compile", 2, "zeriza: FILTER is required"},
        {"match IP -r " + s + " -c 0", 2, "zeriza: -c: Value 0 not in range"},
        {"record -r " + s + " -w " + q(dir / "new.log") + " -c 0", 2,
         "zeriza: -c: Value 0 not in range"},
        {"match IP -r - -r -", 2, "zeriza match: standard input ('-') can be read only once"},
        {"export " + l + " -w " + new_pcap + " --session 0", 2, "zeriza: --session: Value 0 not"},
        {"export " + l + " -w " + new_pcap + " --session 2", 2,
         "zeriza export: --session 2: the log has 1 session (see --help)"},
        // Filters, and captures that cannot be read; record and match check
        // every input before they create their output.
        // A message quotes the user's text with its control characters escaped.
        {"compile \"$(printf '$\\nX\\001')\"", 1,
         "zeriza: bad filter: invalid operator, '$', at {$\\nX\\x01...}"},
        {"short ':'", 1, "zeriza: bad short form: "}, // then the library's reason
        {"record -r /dev/null -w " + q(kept), 1, "zeriza: cannot read capture /dev/null: "},
        {"match IP -r " + s + " -r " + q(ppp) + " -w " + new_pcap, 1,
         "zeriza: capture " + ppp.string() +
             ": unsupported link type PPP (9); supported: EN10MB (Ethernet), LINUX_SLL and "
             "LINUX_SLL2 (Linux cooked, as -i any gives), NULL and LOOP (BSD loopback), RAW and "
             "IPV4 (raw IP)\n"},
        // Logs that cannot be read.
        {"dump " + q(corrupt), 1,
         "zeriza: " + corrupt.string() +
             ": log damaged at byte 231, event 1: Log file is corrupt, got ses_id=9 on evt 0"},
        {"dump " + q(bad), 1, "zeriza: " + bad.string() + ": not a zeriza log\n"},
        {"dump " + s, 1,
         "zeriza: " + sample.string() + ": not a zeriza log (it is a pcap capture)"},
        {"dump " + q(empty), 1, "zeriza: " + empty.string() + ": empty, not a zeriza log"},
        {"dump " + q(refused), 1,
         "zeriza: " + refused.string() +
             ": log damaged at byte 15, the filter of session 1 is refused: Filter node 0 has 1 "
             "children"},
        {"export " + q(dir / "missing.log") + " -w " + new_pcap, 1,
         "zeriza: cannot read log " + (dir / "missing.log").string() + ": No such file"},
        // An output that is an input, under any name or as standard output.
        {"record -r " + s + " -w " + s, 1, "zeriza: refusing to write "},
        {"match IP -r " + s + " -w " + q(dir / "hard.pcap"), 1, "zeriza: refusing to write "},
        {"match IP -r - -w " + s + " < " + s, 1, "zeriza: refusing to write "},
        {"record -r " + s + " -w - >> " + s, 1, "zeriza: refusing to write "},
        {"export " + l + " -w " + l, 1, "zeriza: refusing to write "},
        {"export - -w " + l + " < " + l, 1, "zeriza: refusing to write "},
        // Outputs that cannot be written.
        {"record -r " + s + " -w " + q(dir / "no" / "x.log"), 1,
         "zeriza: cannot write log " + (dir / "no" / "x.log").string() +
             ": No such file or directory"},
        {"compile 'TCP SD=80' > /dev/full", 1,
         "zeriza: cannot write standard output: No space left on device"},
        {"match IP -r " + s + " -w /dev/full", 1,
         "zeriza: cannot write capture /dev/full: No space left on device"},
        {"record -r " + s + " -w /dev/full", 1,
         "zeriza: cannot write log /dev/full: Flush failed for logfile after event-1 - "
         "errno=28 [No space left on device]"},
    };
    for (const auto &c : cases) {
        Outcome r = shell(tool + " " + c.args);
        EXPECT_TRUE(r.status == c.status && r.err.rfind(c.err, 0) == 0 &&
                    r.err.find('\n') == r.err.size() - 1)
            << c.args << ": status " << r.status << "\n"
            << r.err;
        EXPECT_TRUE(files(dir) == before) << c.args;
    }
}

} // namespace
