// Logs that are cut short or damaged: everything whole before the damage is
// still dumped and exported, then one line says where the log ends and why.
// Stored filters of any content print safely.
#include <cstring>

#include "tests/tool_support.h"

namespace {

using namespace tooltest;

// A log of two frames and no filter, cut at every byte: export writes
// exactly the frames whose events are whole before the cut, says where the
// log ends, and exits 1.
TEST_F(Tool, ACutLogExportsExactlyItsWholeEvents)
{
    const auto frames = sample::frames(2);
    fs::path small = dir / "small.pcap", log = dir / "small.log";
    ASSERT_TRUE(sample::write_pcap(small, frames));
    const std::vector<Rec> all = read_pcap(small);
    ok("record -r " + q(small) + " -w " + q(log));
    const std::string whole = slurp(log);
    std::vector<size_t> ends; // where each frame's event ends
    size_t at = 15 + 216;
    for (const auto &f : frames)
        ends.push_back(at += 40 + f.bytes.size());
    ASSERT_EQ(at + 80, whole.size()) << "header, session, events, closing event and trailer";

    // Every cut, exported four at a time, each with its status and message.
    for (size_t n = 1; n < whole.size(); ++n)
        spit(dir / (std::to_string(n) + ".log"), whole.substr(0, n));
    shell("cd " + q(dir) + " && seq " + std::to_string(whole.size() - 1) +
          " | xargs -P4 -I@ sh -c \"" + tool +
          " export @.log -w @.pcap 2>@.err; echo \\$? >@.rc\"");
    for (size_t n = 1; n < whole.size(); ++n) {
        const std::string name = (dir / std::to_string(n)).string();
        const std::string err = slurp(name + ".err"), where = " at byte " + std::to_string(n) + ",";
        ASSERT_TRUE(slurp(name + ".rc") == "1\n" && err.find(where) != std::string::npos)
            << "cut at " << n << ": status " << slurp(name + ".rc") << err;
        if (n < 15) { // not even the log header: nothing to export
            EXPECT_FALSE(fs::exists(name + ".pcap")) << n;
            continue;
        }
        auto k = std::count_if(ends.begin(), ends.end(), [n](size_t e) { return e <= n; });
        ASSERT_EQ(read_pcap(name + ".pcap"), std::vector<Rec>(all.begin(), all.begin() + k))
            << "cut at " << n;
    }
}

// dump shows what is whole, flags each session left without its trailer,
// and ends with one line on where and why the log ends.
TEST_F(Tool, DumpFlagsEverySessionLeftOpen)
{
    fs::path log = dir / "two.log", cut = dir / "cut.log";
    ok("record -r " + q(sample) + " -r " + q(sample) + " -w " + q(log) + " ARP");
    const std::string whole = slurp(log);
    // Where each ARP frame's event ends in the first session, and where the
    // session ends.
    std::vector<size_t> ends;
    size_t at = 15 + 216 + 112;
    for (const auto &f : sample::frames())
        if (f.bytes[12] == 0x08 && f.bytes[13] == 0x06)
            ends.push_back(at += 40 + f.bytes.size());
    const size_t first_end = at + 80, event = ends[3] - ends[2];
    ASSERT_EQ(whole.size(), 15 + 2 * (first_end - 15));
    ASSERT_EQ(event, 40u + 42u);
    const struct {
        size_t cut;
        std::string err;   // after "zeriza: LOG: "
        int open_sessions; // flagged NO TRAILER
    } cases[] = {
        {7, "log truncated at byte 7, inside its header", -1},
        {15, "log ends at byte 15, before the header of session 1", 2},
        {100, "log truncated at byte 100, inside the header of session 1", 2},
        {ends[2],
         "log ends at byte " + std::to_string(ends[2]) + ", before the trailer of session 1", 2},
        {ends[2] + 50, "log truncated at byte " + std::to_string(ends[2] + 50) + ", inside event 4",
         2},
        {first_end - 20,
         "log truncated at byte " + std::to_string(first_end - 20) + ", inside event 21", 2},
        {first_end,
         "log ends at byte " + std::to_string(first_end) + ", before the header of session 2", 1},
    };
    for (const auto &c : cases) {
        spit(cut, whole.substr(0, c.cut));
        Outcome r = run("dump -q " + q(cut));
        EXPECT_EQ(r.status, 1) << c.cut;
        EXPECT_EQ(r.err, "zeriza: " + cut.string() + ": " + c.err + "\n") << c.cut;
        if (c.open_sessions < 0)
            continue;
        size_t flagged = 0;
        for (size_t p = 0; (p = r.out.find("NO TRAILER", p)) != std::string::npos; ++p)
            ++flagged;
        EXPECT_EQ(flagged, static_cast<size_t>(c.open_sessions)) << c.cut << "\n" << r.out;
        EXPECT_NE(r.out.find("counts INCOMPLETE\n"), std::string::npos) << r.out;
    }
}

// A stored filter that passed nif_filt_check but holds values the compiler
// never writes prints as what the matcher does with it.
TEST_F(Tool, StoredFiltersOfAnyContentPrint)
{
    fs::path log = dir / "net.log", odd = dir / "odd.log";
    ok("record -r " + q(sample) + " -w " + q(log) + " 'IP SRC=10.0.0.0/12'");
    const std::string whole = slurp(log);
    const size_t node = 15 + 216; // the filter's one node
    const std::tuple<size_t, int32_t, std::string> cases[] = {
        {node + 40, INT32_MAX, "IP SRC=10.0.0.0"}, // whole bytes past 4: the matcher takes 4
        {node + 40, -7, "IP SRC=0.0.0.0/0"},       // below 0: none
        {node + 44, 0x1FF, "IP SRC=<no address: mask 511>"},
        {node + 44, 0x80, "IP SRC=10.128.0.0/9"},
        // A mask of 0 after one whole byte matches as /8 does.
        {node + 12, INT32_MIN, "IP SRC=10.0.0.0/8 LEN?0?-2147483648"},
    };
    for (const auto &[offset, value, text] : cases) {
        std::string bytes = whole;
        std::memcpy(&bytes[offset], &value, 4);
        if (offset == node + 12) // a LEN parameter with no operator
            bytes[node + 92] |= 1;
        spit(odd, bytes);
        Outcome r = ok("dump -q " + q(odd));
        EXPECT_NE(r.out.find("    (000) " + text + "\n"), std::string::npos) << r.out;
    }
}

} // namespace
