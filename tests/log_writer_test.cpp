// The capture-log writer's failures, and nif_close_logfile after them. What it writes for each
// kind of event, its buffering and its counts are checked with every round trip and damaged log
// (log_reader_test.cpp), as write_log compares the file with a model built from the record images
// (their layout is pinned by the static_asserts of zeriza.h), never with a file the writer
// produced earlier.
#include "tests/log_test_support.h"

namespace {

using namespace logtest;
using LogWriter = LogFixture;

// Where a failing writer's log goes: /dev/full, no path nor stream, or the test's file. A path
// that cannot be opened fails in the same open_stream as the reader's (LogReader.LogHeader).
enum Target { DevFull, Nowhere, LogFile };

// A writer that fails in its last call: the log header, then `calls` on sessions of an array of
// exactly `nses` records on the heap. /dev/full takes `buffered` bytes (a little more than what
// precedes the failing write, less than that write; 0: none) and fails the flush.
struct Failure {
    const char *what = "";
    Target to = LogFile;
    size_t buffered = 0;
    bool nobuf = false;
    int nses = 1;
    Recs calls{};
    std::string message{}, counts = "0/0/0"; // counts as state() has them
};

// Failed writes count nothing, but a trailer or a nobuf flush fails after the count. Refused
// before anything is written: streams that cannot be opened, a negative count byte, indexes
// outside the array. Magic bytes 7-9 go out as the caller set them.
TEST_F(LogWriter, Failures)
{
    const std::string nospace = " - errno=28 [No space left on device]", w = "Write failed for ",
                      range = "Session index ";
    const Rec s0{.header = true};
    // clang-format off
    const Failure rows[] = {
        {.what = "log header", .to = DevFull, .message = w + "15-byte logfile-header" + nospace},
        {.what = "session header", .to = DevFull, .buffered = 15, .calls = {s0},
         .message = w + "216-byte session-header" + nospace},
        {.what = "filter", .to = DevFull, .buffered = 231,
         .calls = {{.header = true, .filter = kWebFilter}},
         .message = w + "336-byte filter" + nospace},
        {.what = "event header", .to = DevFull, .buffered = 231, .calls = {s0, {.datalen = 60}},
         .message = w + "40-byte event-header=1" + nospace},
        {.what = "event data", .to = DevFull, .buffered = 271, .calls = {s0, {.datalen = 60}},
         .message = w + "60-byte event-1" + nospace},
        {.what = "trailer of a count_only close, which writes neither header nor data, counted",
         .to = DevFull, .buffered = 231,
         .calls = {s0, {.type = 3, .datalen = 25, .count_only = true}},
         .message = w + "40-byte logfile-trailer" + nospace, .counts = "1/0/0; s0 1/0/0"},
        {.what = "flush under nobuf, the frame counted", .to = DevFull, .buffered = 4096,
         .nobuf = true, .calls = {s0, {.datalen = 10}},
         .message = "Flush failed for logfile after event-1" + nospace,
         .counts = "1/1/10; s0 1/1/10"},
        {.what = "no path nor stream", .to = Nowhere,
         .message = "No logfile: the handle has neither a path nor a stream"},
        {.what = "count byte -1", .nses = -1,
         .message = "OUT OF MEMORY on -" + std::to_string(sizeof(nif_session)) +
                    "-byte sessions array"},
        {.what = "event of session 2 of 2", .nses = 2, .calls = {{.ses = 2, .type = 3}},
         .message = range + "2 out of range (nses=2)"},
        {.what = "session header, no sessions", .nses = 0, .calls = {s0},
         .message = range + "0 out of range (nses=0)"}};
    // clang-format on
    for (const Failure &r : rows) {
        SCOPED_TRACE(r.what);
        set_msg("");
        FILE *fp = r.to == DevFull ? std::fopen("/dev/full", "w") : nullptr;
        // glibc writes straight through a buffer of under 128 bytes, so never give it less.
        std::vector<char> sbuf(std::max<size_t>(r.buffered + 8, 128));
        ASSERT_TRUE(!fp || setvbuf(fp, r.buffered ? sbuf.data() : nullptr,
                                   r.buffered ? _IOFBF : _IONBF, sbuf.size()) == 0);
        std::vector<nif_session> sessions(static_cast<size_t>(std::max(r.nses, 0)));
        nif_log log = handle(r.to == LogFile ? file_.c_str() : nullptr, r.nses);
        log.fp = fp;
        log.nobuf = r.nobuf;
        log.sessions = sessions.empty() ? nullptr : sessions.data();
        std::memcpy(log.hdr.magic + 7, "xyz", 3);
        for (auto &S : sessions) // what a call on the wrong session would write
            S.evt = make_evthdr({.type = 3}, 0);
        int rc = nif_write_loghdr(&log, nullptr, 0);
        for (const Rec &c : r.calls) {
            EXPECT_EQ(rc, 0) << msg();
            nif_session *S = c.ses >= 0 && c.ses < r.nses ? &sessions[size_t(c.ses)] : nullptr;
            const auto filter = c.filter ? zeriza_test::compiled(c.filter) : Nodes{};
            if (S && c.header) {
                fill(&S->hdr, sizeof S->hdr, c.ses);
                S->filter = const_cast<filt_node *>(filter.data());
                S->hdr.filtlen = static_cast<int64_t>(filter.size() * sizeof(filt_node));
            } else if (S) {
                S->evt = make_evthdr(c, 0);
            }
            rc = c.header
                     ? nif_write_seshdr(&log, c.ses)
                     : nif_write_evt(&log, c.ses, Bytes(size_t(c.datalen)).data(), c.count_only);
        }
        EXPECT_EQ(rc, 1) << "the last call fails";
        EXPECT_EQ(msg(), r.message);
        EXPECT_EQ(state(log), r.counts);
        nif_close_logfile(&log);
        EXPECT_EQ(held(log),
                  (Held{fp ? "caller's" : "none", sessions.empty() ? "none" : "caller's", "none"}));
        if (fp)
            std::fclose(fp);
        Bytes hdr = image(nif_loghdr{"vavuda", 3, 1, 0x1234, static_cast<int8_t>(r.nses)});
        std::memcpy(&hdr[7], "xyz", 3); // version and order mark set, the caller's magic kept
        EXPECT_EQ(hex(slurp(file_)), r.to == LogFile && r.nses >= 0 ? hex(hdr) : "")
            << "nothing after the log header";
    }
}

} // namespace
