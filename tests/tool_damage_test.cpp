// Logs that are cut short: everything whole before the cut is still dumped
// and exported, then one line says where the log ends and why. Stored
// filters of any content print safely.
#include <cstring>

#include "tests/tool_support.h"

namespace {

using namespace tooltest;

// A log cut short: dump shows what is whole and flags each session left
// without its trailer, export writes exactly the frames whose events are
// whole; both exit 1 with one line on where and why the log ends.
TEST_F(Tool, ACutLogGivesWhatIsWholeAndSaysWhereItEnds)
{
    fs::path log = dir / "two.log", cut = dir / "cut.log", out = dir / "out.pcap";
    ok("record -r " + q(sample) + " -r " + q(sample) + " -w " + q(log) + " ARP");
    ok("match ARP -r " + q(sample) + " -w " + q(dir / "arp.pcap"));
    const std::vector<Rec> arp = read_pcap(dir / "arp.pcap");
    const std::string whole = slurp(log);
    // Where the k-th ARP event of the first session ends: after the log
    // header, the session header with the filter and k events of 40 bytes
    // and a frame each. The closing event follows.
    std::vector<size_t> event_end = {15 + 216 + 112};
    for (const Rec &f : arp)
        event_end.push_back(event_end.back() + 40 + std::get<2>(f).size());
    const size_t first_end = event_end.back() + 80;
    ASSERT_EQ(whole.size(), 15 + 2 * (first_end - 15));
    auto at = [](size_t n) { return " at byte " + std::to_string(n) + ", "; };
    const struct {
        size_t cut;
        std::string err;     // after "zeriza: LOG:"
        int open_sessions;   // flagged NO TRAILER; -1 when not even the log header is whole
        size_t whole_frames; // exported
    } cases[] = {
        {7, "log truncated" + at(7) + "inside its header", -1, 0},
        {15, "log ends" + at(15) + "before the header of session 1", 2, 0},
        {100, "log truncated" + at(100) + "inside the header of session 1", 2, 0},
        {event_end[3], "log ends" + at(event_end[3]) + "before the trailer of session 1", 2, 3},
        // Inside an event's header, inside its data, inside the closing event.
        {event_end[3] + 20, "log truncated" + at(event_end[3] + 20) + "inside event 4", 2, 3},
        {event_end[3] + 50, "log truncated" + at(event_end[3] + 50) + "inside event 4", 2, 3},
        {first_end - 20, "log truncated" + at(first_end - 20) + "inside event 21", 2, 20},
        {first_end, "log ends" + at(first_end) + "before the header of session 2", 1, 20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cut);
        spit(cut, whole.substr(0, c.cut));
        fs::remove(out);
        const std::string says = "zeriza: " + cut.string() + ": " + c.err + "\n";
        Outcome d = run("dump -q " + q(cut)), e = run("export " + q(cut) + " -w " + q(out));
        EXPECT_TRUE(d.status == 1 && d.err == says) << d.err;
        EXPECT_TRUE(e.status == 1 && e.err.ends_with(says)) << e.err;
        if (c.open_sessions < 0) {
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        EXPECT_EQ(read_pcap(out), std::vector<Rec>(arp.begin(), arp.begin() + c.whole_frames));
        size_t flagged = 0;
        for (size_t p = 0; (p = d.out.find("NO TRAILER", p)) != std::string::npos; ++p)
            ++flagged;
        EXPECT_EQ(flagged, static_cast<size_t>(c.open_sessions)) << d.out;
        EXPECT_NE(d.out.find("counts INCOMPLETE\n"), std::string::npos) << d.out;
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
