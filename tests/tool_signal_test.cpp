// SIGINT and SIGTERM during a recording leave a log that reads back whole,
// and the status line of a terminal never runs into the summary.
#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "tests/tool_support.h"

namespace {

using namespace tooltest;
using namespace std::chrono_literals;

// Whatever the moment of the signal, the log reads back whole, its counts
// agree, and it holds the first passing frames of the input. Gives what
// dump -q says of it.
std::string expect_whole_prefix(Tool &t, const fs::path &log, const std::vector<Rec> &want)
{
    Outcome d = t.ok("dump -q " + q(log));
    EXPECT_NE(d.out.find("counts agree\n"), std::string::npos) << d.out;
    t.ok("export " + q(log) + " -w " + q(t.dir / "back.pcap"));
    std::vector<Rec> got = read_pcap(t.dir / "back.pcap");
    const auto n = static_cast<long>(std::min(got.size(), want.size())); // more fails as well
    EXPECT_EQ(got, std::vector<Rec>(want.begin(), want.begin() + n));
    return d.out;
}

// The capture comes through a pipe that the test holds open, so that the
// tool is still recording, with nothing to read, when the signal comes.
TEST_F(Tool, AStopSignalLeavesAWholeLog)
{
    const auto frames = sample::frames();
    fs::path half = dir / "half.pcap", ref = dir / "ref.log";
    ASSERT_TRUE(sample::write_pcap(
        half, std::vector<sample::TimedFrame>(frames.begin(), frames.begin() + 120)));
    const std::string half_bytes = slurp(half);
    ok("match TCP -r " + q(half) + " -w " + q(dir / "passing.pcap"));
    const std::vector<Rec> want = read_pcap(dir / "passing.pcap");
    ok("record -r " + q(half) + " -w " + q(ref) + " TCP");
    const size_t before_close = fs::file_size(ref) - 80; // all but the closing event and trailer

    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        const std::string name = sig == SIGINT ? "SIGINT" : "SIGTERM";
        // The log on a pipe: once every passing frame of the half has come
        // through, the tool waits for more input.
        Child c({"record", "-r", "-", "-w", "-", "TCP"}, io / "err", true);
        c.feed(half_bytes);
        std::string log = c.read(before_close);
        ASSERT_EQ(log.size(), before_close);
        c.signal(sig);
        log += c.read();
        EXPECT_EQ(c.wait(), 128 + sig);
        spit(dir / "piped.log", log);
        EXPECT_EQ(slurp(io / "err"), "standard input: 120 frames read, " +
                                         std::to_string(want.size()) +
                                         " recorded, interrupted\nzeriza: interrupted by " + name +
                                         "; log on standard output holds the " +
                                         std::to_string(want.size()) + " frames recorded\n");
        EXPECT_NE(expect_whole_prefix(*this, dir / "piped.log", want)
                      .find("(120 frames read from the capture, interrupted)"),
                  std::string::npos);
        EXPECT_EQ(read_pcap(dir / "back.pcap"), want);
    }
}

// A capture file large enough to be read while the signal comes: the log
// holds the first passing frames, however many were read.
TEST_F(Tool, AStopSignalDuringALargeCaptureLeavesAWholeLog)
{
    fs::path big = dir / "big.pcap", log = dir / "big.log";
    ASSERT_TRUE(sample::write_pcap(big, sample::frames(100000)));
    ok("match UDP -r " + q(big) + " -w " + q(dir / "passing.pcap"));
    const std::vector<Rec> want = read_pcap(dir / "passing.pcap");
    // The log is created (under a temporary name, one more file in the folder)
    // once the capture is open and checked, and the reading starts then:
    // 100000 frames take far longer to record than the signal takes to come.
    auto files = [&] { return std::distance(fs::directory_iterator(dir), {}); };
    const auto before = files();
    Child c({"record", "-r", big.string(), "-w", log.string(), "UDP"}, io / "err");
    for (int i = 0; i < 5000 && files() == before; ++i)
        std::this_thread::sleep_for(1ms);
    c.signal(SIGINT);
    EXPECT_EQ(c.wait(), 130) << slurp(io / "err");
    expect_whole_prefix(*this, log, want);
}

// With standard error on a terminal, match, record and export show a status
// line while they work and wipe it before the summary.
TEST_F(Tool, TheStatusLineIsWipedBeforeTheSummary)
{
    fs::path log = dir / "all.log";
    ok("record -r " + q(sample) + " -w " + q(log));
    const struct {
        std::vector<std::string> args;
        fs::path input;
        std::string status, summary;
    } cases[] = {
        {{"match", "-r", "-", "ARP"}, sample, " frames read, ", "240 frames read, 20 passed"},
        {{"record", "-r", "-", "-w", (dir / "r.log").string(), "ARP"},
         sample,
         "standard input: ",
         "standard input: 240 frames read, 20 recorded"},
        {{"export", "-", "-w", (dir / "e.pcap").string()},
         log,
         "standard input: ",
         "240 frames exported"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        // Held open until the tool has drawn on it, so that the terminal is
        // not hung up before the tool opens it.
        int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        std::string text;
        {
            Child child(c.args, ptsname(master));
            const std::string bytes = slurp(c.input);
            // The line is drawn only after a quarter second of work, so feed
            // the input a little at a time until it shows (however slowly a
            // loaded machine draws it), then the rest.
            const size_t step = bytes.size() / 64 + 1;
            size_t fed = 0;
            char buf[4096];
            pollfd wait_for{master, POLLIN, 0};
            for (auto until = std::chrono::steady_clock::now() + 20s;
                 text.find("\x1b[K") == std::string::npos &&
                 std::chrono::steady_clock::now() < until;) {
                if (fed < bytes.size()) {
                    child.feed(bytes.substr(fed, step));
                    fed += step;
                }
                if (poll(&wait_for, 1, 20) > 0)
                    if (ssize_t n = read(master, buf, sizeof buf); n > 0)
                        text.append(buf, static_cast<size_t>(n));
            }
            close(terminal);
            if (fed < bytes.size())
                child.feed(bytes.substr(fed));
            child.close_in();
            EXPECT_EQ(child.wait(), 0);
            for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
                text.append(buf, static_cast<size_t>(n));
        }
        close(master);
        // The first line drawn: \r, the status, then an erase to its end.
        size_t drawn = text.find('\r'), erased = text.find("\x1b[K", drawn);
        ASSERT_TRUE(drawn == 0 && erased != std::string::npos) << text;
        EXPECT_NE(text.substr(0, erased).find(c.status), std::string::npos) << text;
        // The terminal turns each newline into \r\n.
        EXPECT_NE(text.find("\r\x1b[K" + c.summary + "\r\n"), std::string::npos) << text;
    }
}

} // namespace
