// The zeriza tool end to end: a generated capture through record, dump and
// export; match counts against tcpdump's; bad input of every kind.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sample.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Shell-quote one argument.
std::string q(const std::string &s)
{
    std::string r = "'";
    for (char c : s)
        r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

struct Tool : testing::Test {
    fs::path dir;
    fs::path sample;
    std::vector<sample::TimedFrame> frames = sample::frames();

    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("zeriza-tool-" + std::to_string(getpid()));
        fs::create_directories(dir);
        sample = dir / "sample.pcap";
        ASSERT_TRUE(sample::write_pcap(sample, frames));
    }
    void TearDown() override { fs::remove_all(dir); }

    Outcome run(const std::string &args)
    {
        std::string cmd = std::string(ZERIZA_TOOL) + " " + args + " >" + q(dir / "out") + " 2>" +
                          q(dir / "err") + " </dev/null";
        int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "out"), slurp(dir / "err")};
    }
};

struct Rec {
    int64_t sec, nsec;
    std::string bytes;
    uint32_t len;
    bool operator==(const Rec &) const = default;
};

std::vector<Rec> read_pcap(const fs::path &p)
{
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *pc =
        pcap_open_offline_with_tstamp_precision(p.c_str(), PCAP_TSTAMP_PRECISION_NANO, err);
    EXPECT_NE(pc, nullptr) << err;
    std::vector<Rec> out;
    pcap_pkthdr *h;
    const u_char *d;
    while (pc && pcap_next_ex(pc, &h, &d) == 1)
        out.push_back({h->ts.tv_sec, h->ts.tv_usec,
                       std::string(reinterpret_cast<const char *>(d), h->caplen), h->len});
    if (pc)
        pcap_close(pc);
    return out;
}

TEST_F(Tool, RecordDumpExportKeepsExactlyThePassingFrames)
{
    const std::string filter = "((TCP SD=80) | (UDP SD=53)) & (IP SRC=10.0.0.0/8)";
    fs::path log = dir / "cap.log", matched = dir / "matched.pcap",
             exported = dir / "exported.pcap";
    Outcome m = run("match " + q(filter) + " -r " + q(sample) + " -w " + q(matched));
    ASSERT_EQ(m.status, 0) << m.err;
    std::vector<Rec> want = read_pcap(matched);
    EXPECT_EQ(m.out, "240 frames read, " + std::to_string(want.size()) + " passed\n");
    ASSERT_GT(want.size(), 10u);

    Outcome r = run("record -r " + q(sample) + " -w " + q(log) + " " + q(filter));
    ASSERT_EQ(r.status, 0) << r.err;
    Outcome d = run("dump " + q(log));
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("(003) TCP SD=80"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("counts agree"), std::string::npos) << d.out;
    Outcome e = run("export " + q(log) + " -w " + q(exported));
    ASSERT_EQ(e.status, 0) << e.err;

    // Frame by frame: bytes, original length and timestamp, in order.
    std::vector<Rec> got = read_pcap(exported);
    EXPECT_EQ(got, want);
    std::vector<Rec> all = read_pcap(sample);
    size_t k = 0;
    for (const Rec &g : got) {
        while (k < all.size() && !(all[k] == g))
            ++k;
        EXPECT_LT(k, all.size()) << "an exported frame that the capture does not hold, in order";
    }
    EXPECT_TRUE(slurp(exported).rfind("\xd4\xc3\xb2\xa1", 0) == 0) << "microsecond pcap";
}

TEST_F(Tool, TwoSessionsAndTheirSelection)
{
    fs::path log = dir / "two.log", one = dir / "one.pcap";
    ASSERT_EQ(run("record -r " + q(sample) + " " + q(sample) + " -w " + q(log) + " ARP").status, 0);
    Outcome d = run("dump -q " + q(log));
    EXPECT_NE(d.out.find("2 sessions"), std::string::npos) << d.out;
    EXPECT_EQ(d.out.find("event 1:"), std::string::npos) << "-q prints no events";
    ASSERT_EQ(run("export " + q(log) + " -w " + q(one) + " --session 2").status, 0);
    std::vector<Rec> arp = read_pcap(one);
    EXPECT_EQ(arp.size(), 20u); // one frame in twelve of 240 is ARP
    EXPECT_EQ(run("export " + q(log) + " -w " + q(one) + " --session 3").status, 1);
}

// tcpdump counts for filters that mean the same on these captures.
size_t tcpdump_count(const fs::path &capture, const std::string &expr, const fs::path &dir)
{
    fs::path out = dir / "tcpdump.pcap";
    std::string cmd = "tcpdump -r " + q(capture) + " -w " + q(out) + " " + q(expr) + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0)
        return static_cast<size_t>(-1);
    return read_pcap(out).size();
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
    struct Pair {
        const char *zeriza;
        std::string tcpdump;
    } pairs[] = {
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
    for (const auto &cap : captures)
        for (const auto &p : pairs) {
            Outcome m = run(std::string("match ") + q(p.zeriza) + " -r " + q(cap));
            ASSERT_EQ(m.status, 0) << m.err;
            size_t passed = std::stoul(m.out.substr(m.out.find(", ") + 2));
            EXPECT_EQ(passed, tcpdump_count(cap, p.tcpdump, dir)) << p.zeriza << " on " << cap;
        }
}

TEST_F(Tool, BadInputGivesOneLineAndItsExitCode)
{
    fs::path log = dir / "ok.log", bad = dir / "bad";
    ASSERT_EQ(run("record -r " + q(sample) + " -w " + q(log)).status, 0);
    std::string whole = slurp(log);
    std::ofstream(dir / "cut.log", std::ios::binary) << whole.substr(0, whole.size() - 20);
    std::string corrupt = whole;
    corrupt[15 + 216] = 9; // the first event's session index
    std::ofstream(dir / "corrupt.log", std::ios::binary) << corrupt;
    fs::path filtered = dir / "filtered.log";
    ASSERT_EQ(run("record -r " + q(sample) + " -w " + q(filtered) + " '(TCP) | (UDP)'").status, 0);
    std::string refused = slurp(filtered);
    refused[15 + 216 + 108] = 1; // the root's child count: a group of one
    std::ofstream(dir / "refused.log", std::ios::binary) << refused;
    std::ofstream(bad, std::ios::binary) << "not a capture at all, just text\n";
    pcap_t *dead = pcap_open_dead(DLT_PPP, 65535); // a link type the library does not take
    pcap_dumper_t *dumper = pcap_dump_open(dead, (dir / "ppp.pcap").c_str());
    pcap_dump_close(dumper);
    pcap_close(dead);
    struct Case {
        std::string args;
        int status;
        std::string err; // the start of the one line on standard error
    } cases[] = {
        {"bogus", 2, "zeriza: unknown subcommand 'bogus'"},
        {"match -r " + q(sample), 2, "zeriza match: give a FILTER or -s FORM"},
        {"compile", 2, "zeriza: FILTER is required"},
        {"match IP -r " + q(sample) + " -c x", 2, "zeriza: "},
        {"compile 'TCP SRC=1 SRC=2'", 1,
         "zeriza: bad filter: Duplicate 'SRC' parameter [at {SRC=2...}]"},
        {"short ':'", 1, "zeriza: bad short form: filter-spec evaluated to a null expression"},
        {"match IP -r " + q(dir / "missing.pcap"), 1, "zeriza: cannot read capture"},
        {"match IP -r " + q(bad), 1, "zeriza: cannot read capture"},
        {"match IP -r " + q(dir / "ppp.pcap"), 1,
         "zeriza: unsupported link type PPP (9); supported: EN10MB (Ethernet), RAW and IPV4"},
        {"dump " + q(dir / "cut.log"), 1, "zeriza: "},
        {"dump " + q(dir / "corrupt.log"), 1, "zeriza: "},
        {"dump " + q(bad), 1, "zeriza: "},
        {"dump " + q(dir / "refused.log"), 1,
         "zeriza: " + (dir / "refused.log").string() +
             ": session 1: filter refused: Filter node 0 has 1 children"},
        {"export " + q(dir / "missing.log") + " -w " + q(dir / "x.pcap"), 1, "zeriza: "},
    };
    for (const auto &c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.args << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << "\n" << r.err;
    }
    Outcome cut = run("dump " + q(dir / "cut.log"));
    EXPECT_NE(cut.err.find("Read failed"), std::string::npos) << cut.err;
    Outcome corr = run("dump " + q(dir / "corrupt.log"));
    EXPECT_NE(corr.err.find("Log file is corrupt, got ses_id=9 on evt 0"), std::string::npos)
        << corr.err;
}

} // namespace
