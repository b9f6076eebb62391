// What the zeriza tool writes: never over an input, nothing that looks valid
// after a failure, every failed write reported, standard input and output
// for logs and captures, stamps that are valid, and raw IP captures where
// IPv6 is never taken for IPv4.
#include <sys/stat.h>

#include "tests/tool_support.h"

namespace {

using namespace tooltest;

// The files a run leaves in a folder, hidden ones (a temporary output) too.
std::vector<std::string> listing(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Tool, AnOutputThatIsAnInputIsRefusedBeforeItIsTouched)
{
    fs::path log = dir / "in.log", hard = dir / "hard.pcap";
    ok("record -r " + q(sample) + " -w " + q(log));
    fs::create_hard_link(sample, hard);
    const std::string s = q(sample), before = slurp(sample), log_before = slurp(log);
    const std::string commands[] = {
        tool + " record -r " + s + " -w " + s,
        tool + " match IP -r " + s + " -w " + s,
        tool + " match IP -r " + s + " -w " + q(hard), // another name, the same file
        tool + " match IP -r - -w " + s + " < " + s,
        tool + " record -r " + s + " -w - >> " + s,
        tool + " export " + q(log) + " -w " + q(log),
        tool + " export - -w " + q(log) + " < " + q(log),
    };
    for (const std::string &line : commands) {
        Outcome r = shell(line);
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.err.rfind("zeriza: refusing to write ", 0), 0u) << line << "\n" << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_TRUE(slurp(sample) == before && slurp(log) == log_before) << "changed by " << line;
    }
}

// A run that fails leaves no output that looks valid, and leaves a file that
// was there before as it was.
TEST_F(Tool, AFailedRunLeavesNoOutput)
{
    pcap_t *dead = pcap_open_dead(DLT_PPP, 65535);
    pcap_dump_close(pcap_dump_open(dead, (dir / "ppp.pcap").c_str()));
    pcap_close(dead);
    spit(dir / "kept.log", "an earlier file of that name");
    const std::vector<std::string> before = listing(dir);
    const std::string s = q(sample), ppp = q(dir / "ppp.pcap");
    const struct {
        std::string args, err;
    } cases[] = {
        {"record -r /dev/null -w " + q(dir / "new.log"), "zeriza: cannot read capture /dev/null"},
        {"record -r " + s + " -r " + ppp + " -w " + q(dir / "mix.log"), "zeriza: capture "},
        {"match IP -r " + s + " -r " + ppp + " -w " + q(dir / "m.pcap"), "zeriza: capture "},
        {"record -r /dev/null -w " + q(dir / "kept.log"), "zeriza: cannot read capture"},
        {"record -r " + s + " -w " + q(dir / "kept.log") + " 'TCP SD=x'", "zeriza: bad filter"},
        {"record -r " + s + " -w " + q(dir / "no" / "x.log"), "zeriza: cannot write log " +
                                                                  (dir / "no" / "x.log").string() +
                                                                  ": No such file or directory"},
    };
    for (const auto &c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.args << "\n" << r.err;
        EXPECT_EQ(listing(dir), before) << c.args;
    }
    EXPECT_EQ(slurp(dir / "kept.log"), "an earlier file of that name");
}

TEST_F(Tool, EveryFailedWriteIsReportedWithItsReason)
{
    fs::path log = dir / "x.log";
    ok("record -r " + q(sample) + " -w " + q(log));
    const std::string s = q(sample), full = " > /dev/full";
    const struct {
        std::string line, err;
    } cases[] = {
        {"dump " + q(log) + full, "zeriza: cannot write standard output: No space left on device"},
        {"dump -q " + q(log) + full,
         "zeriza: cannot write standard output: No space left on device"},
        {"compile 'TCP SD=80'" + full,
         "zeriza: cannot write standard output: No space left on device"},
        {"compile --dot 'TCP SD=80'" + full, "zeriza: cannot write standard output: No space"},
        {"short 10.0.0.1:80" + full,
         "zeriza: cannot write standard output: No space left on device"},
        {"match IP -r " + s + " -w -" + full,
         "zeriza: cannot write capture on standard output: No space left on device"},
        {"match IP -r " + s + " -w /dev/full",
         "zeriza: cannot write capture /dev/full: No space left on device"},
        {"export " + q(log) + " -w /dev/full",
         "zeriza: cannot write capture /dev/full: No space left on device"},
        {"record -r " + s + " -w /dev/full", "zeriza: cannot write log /dev/full: "},
        {"record -r " + s + " -w -" + full, "zeriza: cannot write log on standard output: "},
    };
    for (const auto &c : cases) {
        Outcome r = shell(tool + " " + c.line);
        EXPECT_TRUE(r.status == 1 && r.err.rfind(c.err, 0) == 0 &&
                    r.err.find("No space left on device") != std::string::npos && lines(r.err) == 1)
            << c.line << ": status " << r.status << "\n"
            << r.err;
    }
}

// '-' is standard input or output for logs as for captures; the counts of
// match go to standard error, so that a capture on standard output stays whole.
TEST_F(Tool, LogsAndCapturesFlowThroughPipes)
{
    fs::path arp = dir / "arp.pcap", log = dir / "in.log";
    Outcome m = ok("match ARP -r " + q(sample) + " -w " + q(arp));
    const std::vector<Rec> want = read_pcap(arp);
    ASSERT_EQ(want.size(), 20u);

    Outcome r = shell(tool + " match ARP -r - -w - < " + q(sample) + " > " + q(dir / "p.pcap"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "240 frames read, 20 passed\n");
    EXPECT_EQ(read_pcap(dir / "p.pcap"), want);

    r = shell(tool + " record -r " + q(sample) + " -w - ARP | " + tool + " dump -q -");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("log on standard input: version 3.1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("counts agree"), std::string::npos) << r.out;

    r = shell(tool + " record -r - -w " + q(log) + " ARP < " + q(sample));
    EXPECT_EQ(r.err, "standard input: 240 frames read, 20 recorded\n");
    for (const std::string &line :
         {tool + " export - -w " + q(dir / "e.pcap") + " < " + q(log),
          "cat " + q(log) + " | " + tool + " export - -w " + q(dir / "e.pcap"),
          tool + " record -r " + q(sample) + " -w - ARP | " + tool + " export - -w - > " +
              q(dir / "e.pcap")}) {
        fs::remove(dir / "e.pcap");
        r = shell(line);
        EXPECT_EQ(r.status, 0) << line << "\n" << r.err;
        EXPECT_EQ(read_pcap(dir / "e.pcap"), want) << line;
    }
}

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
    std::vector<Rec> want = records(frames);
    std::get<0>(want[1]) += 1;
    std::get<1>(want[1]) = 500000000;
    ok("match IP -r " + q(odd) + " -w " + q(dir / "m.pcap"));
    EXPECT_EQ(read_pcap(dir / "m.pcap"), want);
    ok("record -r " + q(odd) + " -w " + q(log));
    ok("export " + q(log) + " -w " + q(dir / "e.pcap"));
    EXPECT_EQ(read_pcap(dir / "e.pcap"), want);
    EXPECT_NE(ok("dump " + q(log)).out.find("frame 1700000001.500000000 captured"),
              std::string::npos);
}

// Link code 129 says "IPv4" whatever the bytes: the tool gives the other
// packets of a raw IP capture to the matcher so that only negations hold.
TEST_F(Tool, RawIpCapturesNeverTakeIpv6ForIpv4)
{
    const auto frames = sample::raw_ip_frames(60); // every fourth is IPv6 with TCP to port 80
    fs::path raw = dir / "raw.pcap", log = dir / "raw.log";
    ASSERT_TRUE(sample::write_pcap(raw, frames, DLT_RAW));
    const std::pair<const char *, long> cases[] = {
        {"IP", 45},  {"^(IP)", 15}, {"TCP", 15},    {"TCP SD=80", 15}, {"IP#6", 15},
        {"UDP", 15}, {"ICMP", 15},  {"^(TCP)", 45}, {"IP LEN>0", 45},
    };
    for (const auto &[filter, n] : cases)
        EXPECT_EQ(passed(q(filter) + " -r " + q(raw)), n) << filter;
    if (std::system("command -v tcpdump >/dev/null 2>&1") == 0)
        for (const auto &[expr, filter] :
             {std::pair<const char *, const char *>{"ip", "IP"}, {"not ip", "^(IP)"}}) {
            std::string cmd =
                "tcpdump -r " + q(raw) + " -w " + q(dir / "t.pcap") + " '" + expr + "' 2>/dev/null";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            EXPECT_EQ(passed(q(filter) + " -r " + q(raw)),
                      static_cast<long>(read_pcap(dir / "t.pcap").size()))
                << expr;
        }
    // Recorded and exported, the frames keep their bytes and link type.
    ok("record -r " + q(raw) + " -w " + q(log) + " '^(IP)'");
    ok("export " + q(log) + " -w " + q(dir / "v6.pcap"));
    std::vector<Rec> v6;
    for (size_t i = 3; i < frames.size(); i += 4)
        v6.push_back(records(frames)[i]);
    EXPECT_EQ(read_pcap(dir / "v6.pcap"), v6);
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *pc = pcap_open_offline((dir / "v6.pcap").c_str(), err);
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pcap_datalink(pc), DLT_RAW);
    pcap_close(pc);
}

} // namespace
