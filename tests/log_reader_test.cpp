// The capture-log reader: round trips through a file, the other byte order, truncation, logs cut
// short anywhere, corrupt and hostile files, and what nif_close_logfile releases for a reader.
//
// Logs are written through the library from a script (tests/log_test_support.h); the expected
// values come from the script's model, and files the writer cannot produce (other versions, other
// byte order, hostile counts) are built or converted by the tests' own code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tests/log_test_support.h"
#include "tools/framegen.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using namespace logtest;

const char *const kEofRead = "errno=0 [Success]"; // a read that ran into the end of the file

class LogReader : public LogFixture {};

// A log header in this machine's byte order.
Bytes native_loghdr(int8_t nses, int8_t major = 3, int8_t minor = 1)
{
    uint16_t mark = 0x1234;
    uint8_t m[2];
    std::memcpy(m, &mark, 2);
    return loghdr_bytes(major, minor, m[0], m[1], nses);
}

// Four sessions: the web filter, none, a 3-node filter with a negation, a 1-node filter. Events of
// every kind of type, data from 0 to 20000 bytes, totals past 32 bits; sessions 0 and 3 are
// closed, 1 and 2 left open.
const std::vector<const char *> kFilters = {kWebFilter, nullptr, kTenNoSsh, kTenNet};

std::vector<Step> round_trip_steps()
{
    return {seshdr(0),
            event(0, 0, 0),
            event(0, 1, 60, 74),
            seshdr(1),
            seshdr(2),
            event(1, 1, 1, 64),
            event(2, 2, 17),
            event(0, 1, 1514, 1514),
            event(2, 5, 0),
            event(1, 255, 9001),
            seshdr(3),
            event(3, 1, 20000, 20000),
            event(2, 1, 2, 0x100000001LL),
            event(0, 3, 0),
            event(3, 4, 33),
            event(1, 1, 7, 0xFEDCBA9876LL),
            event(2, 0, 40)};
}

// ---- the log header
// -------------------------------------------------------------------------------

struct VersionCase {
    const char *name;
    int8_t major, minor;
    int rc;
    const char *expect; // null: the message is left alone
    const char *magic = "vavuda";
};

class LogVersion : public LogFixture, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(LogVersion, Checked)
{
    const VersionCase &c = GetParam();
    std::string file = path("log");
    Bytes b = native_loghdr(2, c.major, c.minor);
    std::memcpy(b.data(), c.magic, std::min<size_t>(std::strlen(c.magic), 10));
    spit(file, b);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    set_msg(kSentinel);
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), c.rc);
    EXPECT_EQ(msg(), c.expect ? c.expect : kSentinel);
    EXPECT_EQ(log.nbytes, 15u);
    EXPECT_EQ(hex(&log.hdr, 15), hex(b)) << "the header is read as it is";
    // A log of another major version is given up before any session is set up.
    EXPECT_EQ(log.sessions != nullptr, c.rc == 0);
    EXPECT_EQ(log.sessions_owned, c.rc == 0 ? 1 : 0);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(
    , LogVersion,
    ::testing::Values(
        VersionCase{"older_major", 2, 0, 1,
                    "Different logfile major version (3.1 vs file=2.0) - can't continue"},
        VersionCase{"newer_major", 4, 1, 1,
                    "Different logfile major version (3.1 vs file=4.1) - can't continue"},
        VersionCase{"negative_major", -1, 7, 1,
                    "Different logfile major version (3.1 vs file=-1.7) - can't continue"},
        VersionCase{"older_minor", 3, 0, 0,
                    "WARNING: Different logfile minor version (1 vs file=0) ... will try to "
                    "continue"},
        VersionCase{"newer_minor", 3, 2, 0,
                    "WARNING: Different logfile minor version (1 vs file=2) ... will try to "
                    "continue"},
        VersionCase{"negative_minor", 3, -3, 0,
                    "WARNING: Different logfile minor version (1 vs file=-3) ... will try to "
                    "continue"},
        VersionCase{"current", 3, 1, 0, nullptr},
        VersionCase{"magic_not_checked", 3, 1, 0, nullptr, "XXXXXXXXXX"}),
    [](const auto &info) { return std::string(info.param.name); });

// The first byte of the order mark decides; swap is set, never cleared.
struct MarkCase {
    const char *name;
    uint8_t m0, m1;
    int preset;
    int expect;
};

class LogOrderMark : public LogFixture, public ::testing::WithParamInterface<MarkCase> {};

TEST_P(LogOrderMark, SetsSwap)
{
    if (!kLittleEndian)
        GTEST_SKIP() << "the marks are those seen by a little-endian reader";
    const MarkCase &c = GetParam();
    std::string file = path("log");
    spit(file, loghdr_bytes(3, 1, c.m0, c.m1, 1));
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.swap = c.preset;
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(log.swap, c.expect);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogOrderMark,
                         ::testing::Values(MarkCase{"native", 0x34, 0x12, 0, 0},
                                           MarkCase{"other", 0x12, 0x34, 0, 1},
                                           MarkCase{"first_byte_native", 0x34, 0x00, 0, 0},
                                           MarkCase{"first_byte_other", 0x00, 0x12, 0, 1},
                                           MarkCase{"never_cleared", 0x34, 0x12, 1, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// A count byte of 128 or more is negative: no array of that size can be had.
class LogReaderBadCount : public LogFixture, public ::testing::WithParamInterface<int> {};

TEST_P(LogReaderBadCount, NegativeSessionCount)
{
    const int nses = GetParam();
    std::string file = path("log");
    spit(file, native_loghdr(static_cast<int8_t>(nses)));
    nif_log log = zeroed_log();
    log.path = file.c_str();
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 1);
    EXPECT_EQ(msg(), "OUT OF MEMORY on " +
                         std::to_string(nses * static_cast<long>(sizeof(nif_session))) +
                         "-byte sessions array");
    EXPECT_EQ(log.sessions, nullptr);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogReaderBadCount, ::testing::Values(-1, -128));

// ---- round trips --------------------------------------------------------------------------------

class LogRoundTrip : public LogFixture,
                     public ::testing::WithParamInterface<std::tuple<Slot, Modes>> {};

TEST_P(LogRoundTrip, ReadsBackWhatWasWritten)
{
    const auto [slot, modes] = GetParam();
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_NO_FATAL_FAILURE(read_log(log, m, slot, modes));
    expect_counts(log, m);
    EXPECT_EQ(log.swap, 0);
    EXPECT_EQ(log.sessions_owned, 1);
    // Only the slots named by the calls receive headers.
    nif_evthdr zero;
    std::memset(&zero, 0, sizeof zero);
    if (slot != Slot::Handle) {
        EXPECT_EQ(hex(log.evt), hex(zero));
    }
    for (int k = 0; k < 4; ++k) {
        if (slot == Slot::Handle || (slot == Slot::First && k > 0)) {
            EXPECT_EQ(hex(log.sessions[k].evt), hex(zero)) << "session " << k;
        }
    }
    nif_close_logfile(&log);
}

std::string round_trip_name(const ::testing::TestParamInfo<std::tuple<Slot, Modes>> &info)
{
    static const char *const slots[] = {"handle_slot", "own_slot", "first_slot"};
    return std::string(slots[static_cast<int>(std::get<0>(info.param))]) +
           (std::get<1>(info.param) == Modes::Whole ? "_whole" : "_header_first");
}

INSTANTIATE_TEST_SUITE_P(, LogRoundTrip,
                         ::testing::Combine(::testing::Values(Slot::Handle, Slot::Own, Slot::First),
                                            ::testing::Values(Modes::Whole, Modes::HdrThenRest)),
                         round_trip_name);

// Reading the header with mode 2 and the rest with mode 1 (or 3, where bit 1 has no effect since
// no header is read) leaves after every event exactly the state of a single mode-0 call, also
// when the data is cut.
struct SplitCase {
    const char *name;
    int second_mode;
    int size;
    Slot slot;
};

class LogModeSplit : public LogFixture, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(LogModeSplit, SameStateAsOneCall)
{
    const SplitCase &c = GetParam();
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    nif_log a = zeroed_log(), b = zeroed_log();
    a.path = b.path = file.c_str();
    ASSERT_EQ(nif_read_loghdr(&a, nullptr, 0), 0) << msg();
    ASSERT_EQ(nif_read_loghdr(&b, nullptr, 0), 0) << msg();
    Bytes bufa(static_cast<size_t>(c.size) + 64, 0xEE), bufb = bufa;
    size_t e = 0;
    for (const Step &s : m.steps) {
        if (s.kind == Step::SesHdr) {
            ASSERT_EQ(nif_read_seshdr(&a, s.ses), 0) << msg();
            ASSERT_EQ(nif_read_seshdr(&b, s.ses), 0) << msg();
            continue;
        }
        int ses = slot_index(c.slot, m.evts[e++].ses);
        int ta = 5, tb = 5;
        set_msg("");
        int ra = nif_read_evt(&a, ses, bufa.data(), c.size, 0, &ta);
        std::string ma = msg();
        set_msg("");
        ASSERT_EQ(nif_read_evt(&b, ses, bufb.data(), c.size, 2, &tb), 0) << msg();
        int rb = nif_read_evt(&b, ses, bufb.data(), c.size, c.second_mode, &tb);
        EXPECT_EQ(ra, rb) << "event " << e - 1;
        EXPECT_EQ(ta, tb) << "event " << e - 1;
        EXPECT_EQ(ma, msg()) << "event " << e - 1;
        EXPECT_EQ(hex(bufa), hex(bufb)) << "event " << e - 1;
        EXPECT_EQ(snapshot(a), snapshot(b)) << "event " << e - 1;
    }
    int ta = 0, tb = 0;
    EXPECT_EQ(nif_read_evt(&a, -1, bufa.data(), c.size, 0, &ta), 1);
    EXPECT_EQ(nif_read_evt(&b, -1, bufb.data(), c.size, 2, &tb), 1);
    EXPECT_EQ(a.eof, 1);
    EXPECT_EQ(b.eof, 1);
    nif_close_logfile(&a);
    nif_close_logfile(&b);
}

INSTANTIATE_TEST_SUITE_P(, LogModeSplit,
                         ::testing::Values(SplitCase{"then_1", 1, 1 << 17, Slot::Handle},
                                           SplitCase{"then_3", 3, 1 << 17, Slot::Own},
                                           SplitCase{"then_1_cut_to_10", 1, 10, Slot::Own},
                                           SplitCase{"then_3_cut_to_10", 3, 10, Slot::Handle},
                                           SplitCase{"then_1_size_0", 1, 0, Slot::First}),
                         [](const auto &info) { return std::string(info.param.name); });

// A filter read back from a log decides frames exactly as the one that was written.
TEST_F(LogReader, FiltersReadBackMatchLikeTheOriginals)
{
    using namespace framegen;
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_NO_FATAL_FAILURE(read_log(log, m, Slot::Handle, Modes::Whole));

    auto tcp = [](Ip4 src, Ip4 dst, uint16_t sp, uint16_t dp) {
        return Frame()
            .eth(mac(2), mac(1), 0x0800)
            .ipv4(src, dst, 6)
            .tcp(sp, dp)
            .fill(20, 0x55)
            .bytes();
    };
    auto udp = [](Ip4 src, Ip4 dst, uint16_t sp, uint16_t dp) {
        return Frame()
            .eth(mac(2), mac(1), 0x0800)
            .ipv4(src, dst, 17)
            .udp(sp, dp)
            .fill(12, 0x66)
            .bytes();
    };
    struct FrameCase {
        const char *name;
        framegen::Bytes frame;
        int web, ten_no_ssh, ten; // verdicts of sessions 0, 2 and 3
    };
    const FrameCase frames[] = {
        {"tcp_to_80", tcp({10, 0, 0, 1}, {10, 0, 0, 2}, 1024, 80), 1, 1, 1},
        {"tcp_from_80_outside", tcp({192, 168, 1, 5}, {10, 0, 0, 2}, 80, 3333), 1, 0, 0},
        {"udp_to_80", udp({10, 9, 8, 7}, {172, 16, 0, 1}, 5000, 80), 1, 1, 1},
        {"udp_dns", udp({10, 1, 1, 1}, {10, 1, 1, 2}, 53, 53), 0, 1, 1},
        {"tcp_ssh", tcp({10, 0, 0, 5}, {10, 0, 0, 6}, 22, 40000), 0, 0, 1},
        {"tcp_to_80_from_11", tcp({11, 0, 0, 1}, {10, 0, 0, 1}, 8080, 80), 1, 0, 0},
        {"arp",
         Frame()
             .eth(kBroadcast, mac(1), 0x0806)
             .arp(1, mac(1), {10, 0, 0, 1}, Mac{}, {10, 0, 0, 2})
             .fill(18)
             .bytes(),
         0, 0, 0},
    };
    const int sessions[] = {0, 2, 3};
    for (int i = 0; i < 3; ++i) {
        const int k = sessions[i];
        const nif_session &S = log.sessions[k];
        ASSERT_NE(S.filter, nullptr) << "session " << k;
        EXPECT_EQ(nif_filt_check(S.filter, static_cast<int>(S.hdr.filtlen)), 0) << msg();
        int size = 0;
        FilterPtr original = compile(kFilters[static_cast<size_t>(k)], &size);
        ASSERT_TRUE(original) << msg();
        for (const FrameCase &f : frames) {
            int expect = i == 0 ? f.web : i == 1 ? f.ten_no_ssh : f.ten;
            int len = static_cast<int>(f.frame.size());
            EXPECT_EQ(
                nif_filt_match(S.filter, f.frame.data(), len, 4, nullptr, nullptr, nullptr, 1),
                expect)
                << f.name << " session " << k;
            EXPECT_EQ(nif_filt_match(original.get(), f.frame.data(), len, 4, nullptr, nullptr,
                                     nullptr, 1),
                      expect)
                << f.name << " original of session " << k;
        }
    }
    nif_close_logfile(&log);
}

// ---- the other byte order -----------------------------------------------------------------------

// What a writer of the opposite byte order would have produced: the order mark and every 8-byte
// integer of the session headers, event headers and trailers reversed; filter, caller and data
// bytes as they are.
Bytes to_other_order(Bytes b, const std::vector<Placed> &layout)
{
    auto flip = [&b](size_t off) { std::reverse(b.begin() + off, b.begin() + off + 8); };
    for (const Placed &r : layout) {
        switch (r.kind) {
        case Rec::LogHdr:
            std::swap(b[r.off + 12], b[r.off + 13]);
            break;
        case Rec::SesHdr:
            for (size_t f : {72, 120, 128, 136, 144, 152, 160, 168, 176, 184})
                flip(r.off + f);
            break;
        case Rec::EvtHdr:
            for (size_t f : {8, 16, 24, 32})
                flip(r.off + f);
            break;
        case Rec::Trailer:
            for (size_t f : {0, 8, 16, 24, 32})
                flip(r.off + f);
            break;
        }
    }
    return b;
}

class LogOtherOrder : public LogFixture, public ::testing::WithParamInterface<Slot> {};

TEST_P(LogOtherOrder, ReadsTheSameValues)
{
    std::string file = path("log"), other = path("other");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    Bytes native = slurp(file);
    Bytes converted = to_other_order(native, m.layout);
    ASSERT_EQ(converted.size(), native.size());
    ASSERT_NE(converted, native);
    spit(other, converted);

    nif_log log = zeroed_log();
    log.path = other.c_str();
    ASSERT_NO_FATAL_FAILURE(read_log(log, m, GetParam(), Modes::Whole));
    EXPECT_EQ(log.swap, 1);
    expect_counts(log, m);
    EXPECT_EQ(hex(&log.hdr, 15), hex(slice(converted, 0, 15))) << "the header is not converted";
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogOtherOrder, ::testing::Values(Slot::Handle, Slot::Own),
                         [](const auto &info) {
                             return std::string(info.param == Slot::Handle ? "handle_slot"
                                                                           : "own_slot");
                         });

// ---- truncation
// -----------------------------------------------------------------------------------

struct TruncCase {
    const char *name;
    std::vector<int> priors; // sessions of the events before the one under test
    int ses;
    int64_t datalen;
    int size;
    const char *expect; // null: read whole, result 0
};

class LogTruncation : public LogFixture,
                      public ::testing::WithParamInterface<std::tuple<TruncCase, bool>> {};

TEST_P(LogTruncation, CutsSkipsAndCounts)
{
    const auto &[c, through_pipe] = GetParam();
    std::vector<Step> steps = {seshdr(0), seshdr(1)};
    for (int p : c.priors)
        steps.push_back(event(p, 2, 3));
    const int64_t totlen = c.datalen + 1000;
    steps.push_back(event(c.ses, 1, c.datalen, totlen));
    steps.push_back(event(c.ses, 1, 5, 5));
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 2, {nullptr, nullptr}, steps, m));

    nif_log log = zeroed_log();
    FILE *fp = nullptr;
    if (through_pipe) {
        // A pipe cannot seek: the excess must be skipped by reading it.
        Bytes b = slurp(file);
        ASSERT_LT(b.size(), 60000u);
        int pfd[2];
        ASSERT_EQ(pipe(pfd), 0);
        ASSERT_EQ(write(pfd[1], b.data(), b.size()), static_cast<ssize_t>(b.size()));
        close(pfd[1]);
        fp = fdopen(pfd[0], "r");
        ASSERT_NE(fp, nullptr);
        log.fp = fp;
    } else {
        log.path = file.c_str();
    }
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    ASSERT_EQ(nif_read_seshdr(&log, 0), 0) << msg();
    ASSERT_EQ(nif_read_seshdr(&log, 1), 0) << msg();
    Bytes big(1 << 16);
    int trunc = 0;
    for (size_t i = 0; i < c.priors.size(); ++i)
        ASSERT_EQ(nif_read_evt(&log, -1, big.data(), static_cast<int>(big.size()), 0, &trunc), 0)
            << msg();

    const nif_session &S = log.sessions[c.ses];
    const uint64_t nevts = log.nevts, snevts = S.nevts;
    set_msg(kSentinel);
    Bytes buf(static_cast<size_t>(c.size) + 64, 0xEE);
    trunc = 7;
    int rc = nif_read_evt(&log, -1, buf.data(), c.size, 0, &trunc);
    const EventModel &em = m.evts[c.priors.size()];
    const size_t keep =
        std::min<size_t>(static_cast<size_t>(c.datalen), static_cast<size_t>(c.size));
    EXPECT_EQ(rc, c.expect ? 1 : 0);
    EXPECT_EQ(trunc, c.expect ? 1 : 0);
    EXPECT_EQ(msg(), c.expect ? c.expect : kSentinel);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + static_cast<long>(keep), em.data.begin()));
    EXPECT_TRUE(std::all_of(buf.begin() + static_cast<long>(keep), buf.end(), [](uint8_t v) {
        return v == 0xEE;
    })) << "no more than `size` bytes are stored";
    nif_evthdr want = em.hdr;
    want.datalen = static_cast<int64_t>(keep); // totlen keeps its value
    EXPECT_EQ(hex(log.evt), hex(want));
    EXPECT_EQ(log.nevts, nevts + 1);
    EXPECT_EQ(S.nevts, snevts + 1);
    EXPECT_EQ(log.nframes, 1u);
    EXPECT_EQ(log.frame_bytes, static_cast<uint64_t>(totlen));
    EXPECT_EQ(S.trl.nframes, 1u);
    EXPECT_EQ(S.trl.frame_bytes, static_cast<uint64_t>(totlen));

    // The next event starts where the cut one ended.
    std::fill(big.begin(), big.end(), 0);
    ASSERT_EQ(nif_read_evt(&log, -1, big.data(), static_cast<int>(big.size()), 0, &trunc), 0)
        << msg();
    EXPECT_EQ(hex(log.evt), hex(m.evts.back().hdr));
    EXPECT_TRUE(std::equal(m.evts.back().data.begin(), m.evts.back().data.end(), big.begin()));
    EXPECT_EQ(nif_read_evt(&log, -1, big.data(), static_cast<int>(big.size()), 0, &trunc), 1);
    EXPECT_EQ(log.eof, 1);
    EXPECT_EQ(log.nbytes, m.size);
    nif_close_logfile(&log);
    if (fp)
        std::fclose(fp);
}

INSTANTIATE_TEST_SUITE_P(
    , LogTruncation,
    ::testing::Combine(
        ::testing::Values(
            TruncCase{"cut_to_60", {}, 0, 100, 60, "Event #1:0 truncated by 40 bytes"},
            TruncCase{"cut_by_one", {}, 0, 100, 99, "Event #1:0 truncated by 1 bytes"},
            TruncCase{"fits_exactly", {}, 0, 100, 100, nullptr},
            TruncCase{"larger_buffer", {}, 0, 100, 4096, nullptr},
            // Numbered by session (from 1) and the session's events before this one.
            TruncCase{"after_other_events",
                      {1, 0, 1, 1, 0},
                      1,
                      10000,
                      1,
                      "Event #2:3 truncated by 9999 bytes"},
            TruncCase{
                "skip_spans_pieces", {}, 0, 30000, 100, "Event #1:0 truncated by 29900 bytes"},
            // A size of 0 stores nothing and skips all of the data.
            TruncCase{"size_zero", {}, 0, 100, 0, "Event #1:0 truncated by 100 bytes"},
            TruncCase{"size_zero_large", {0}, 0, 20000, 0, "Event #1:1 truncated by 20000 bytes"},
            TruncCase{"size_zero_no_data", {}, 0, 0, 0, nullptr}),
        ::testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_pipe" : "_file");
    });

// ---- logs cut short
// -------------------------------------------------------------------------------

// The 747-byte log: header 0, session header 15, filter 231, type-1 event 567 with data at 607,
// type-3 event 667, trailer 707. Cut at `cut`, the calls loghdr, seshdr, event, event, event are
// made in turn until `failing` (0 to 4). A header cut short is the end of the log; anything else
// cut short is a failure that names the size of the read.
struct CutCase {
    const char *name;
    size_t cut;
    int failing;
    std::string expect; // empty: end of log
};

class LogCutShort : public LogFixture, public ::testing::WithParamInterface<CutCase> {};

TEST_P(LogCutShort, EndOrFailure)
{
    const CutCase &c = GetParam();
    std::string file = path("log"), cut = path("cut");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(
        write_log(file, 1, {kWebFilter}, {seshdr(0), event(0, 1, 60, 74), event(0, 3, 0)}, m));
    ASSERT_EQ(m.size, 747u);
    Bytes b = slurp(file);
    b.resize(c.cut);
    spit(cut, b);

    nif_log log = zeroed_log();
    log.path = cut.c_str();
    set_msg(kSentinel);
    Bytes buf(4096);
    int trunc = 0, rc = 0;
    for (int call = 0; call <= c.failing; ++call) {
        if (call == 0)
            rc = nif_read_loghdr(&log, nullptr, 0);
        else if (call == 1)
            rc = nif_read_seshdr(&log, 0);
        else
            rc = nif_read_evt(&log, -1, buf.data(), static_cast<int>(buf.size()), 0, &trunc);
        if (call < c.failing) {
            ASSERT_EQ(rc, 0) << "call " << call << ": " << msg();
        }
    }
    EXPECT_EQ(rc, 1);
    if (c.expect.empty()) {
        EXPECT_EQ(log.eof, 1);
        EXPECT_EQ(msg(), kSentinel);
    } else {
        EXPECT_EQ(log.eof, 0) << "a failure is not the end of the log";
        EXPECT_EQ(msg(), c.expect);
    }
    if (c.failing == 1 && c.cut >= 231) {
        // The filter stays allocated and owned, for close to release.
        EXPECT_NE(log.sessions[0].filter, nullptr);
        EXPECT_EQ(log.sessions[0].filter_owned, 1);
    }
    if (c.failing == 2 && !c.expect.empty()) {
        EXPECT_EQ(log.nevts, 0u) << "data that cannot be read is not counted";
    }
    if (c.failing == 3 && !c.expect.empty()) {
        EXPECT_EQ(log.nevts, 2u) << "the close event is counted before its trailer is read";
        EXPECT_EQ(log.sessions[0].trl_seen, 0);
    }
    nif_close_logfile(&log);
    EXPECT_EQ(log.sessions, nullptr);
}

std::string failed(int n)
{
    return std::to_string(n) + "-byte Read failed - " + kEofRead;
}

INSTANTIATE_TEST_SUITE_P(
    , LogCutShort,
    ::testing::Values(
        CutCase{"empty", 0, 0, failed(15)}, CutCase{"log_header_1", 1, 0, failed(15)},
        CutCase{"log_header_14", 14, 0, failed(15)},
        CutCase{"session_header_0", 15, 1, failed(216)},
        CutCase{"session_header_100", 115, 1, failed(216)},
        CutCase{"session_header_215", 230, 1, failed(216)},
        CutCase{"filter_0", 231, 1, failed(336)}, CutCase{"filter_1", 232, 1, failed(336)},
        CutCase{"filter_335", 566, 1, failed(336)}, CutCase{"event_header_0", 567, 2, ""},
        CutCase{"event_header_1", 568, 2, ""}, CutCase{"event_header_39", 606, 2, ""},
        CutCase{"data_0", 607, 2, failed(60)}, CutCase{"data_30", 637, 2, failed(60)},
        CutCase{"data_59", 666, 2, failed(60)}, CutCase{"close_header_0", 667, 3, ""},
        CutCase{"close_header_20", 687, 3, ""}, CutCase{"trailer_0", 707, 3, failed(40)},
        CutCase{"trailer_39", 746, 3, failed(40)}, CutCase{"whole", 747, 4, ""}),
    [](const auto &info) { return std::string(info.param.name); });

// The excess of a cut event is skipped in pieces of at most 9000 bytes; a piece that runs into the
// end of the file is a failure, the event is counted, and it is not reported as cut.
struct SkipCutCase {
    const char *name;
    int64_t datalen;
    int size;
    size_t present; // data bytes left in the file
    std::string expect;
};

class LogSkipCut : public LogFixture, public ::testing::WithParamInterface<SkipCutCase> {};

TEST_P(LogSkipCut, FailsButCounts)
{
    const SkipCutCase &c = GetParam();
    std::string file = path("log"), cut = path("cut");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(
        write_log(file, 1, {nullptr}, {seshdr(0), event(0, 1, c.datalen, 77)}, m));
    Bytes b = slurp(file);
    b.resize(15 + 216 + 40 + c.present);
    spit(cut, b);
    nif_log log = zeroed_log();
    log.path = cut.c_str();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    ASSERT_EQ(nif_read_seshdr(&log, 0), 0) << msg();
    Bytes buf(static_cast<size_t>(c.size) + 1);
    int trunc = 7;
    EXPECT_EQ(nif_read_evt(&log, -1, buf.data(), c.size, 0, &trunc), 1);
    EXPECT_EQ(msg(), c.expect);
    EXPECT_EQ(trunc, 0);
    EXPECT_EQ(log.eof, 0);
    EXPECT_EQ(log.nevts, 1u);
    EXPECT_EQ(log.nframes, 1u);
    EXPECT_EQ(log.frame_bytes, 77u);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(
    , LogSkipCut,
    ::testing::Values(SkipCutCase{"short_skip", 100, 60, 80, failed(40)},
                      SkipCutCase{"first_piece", 20000, 100, 5000, failed(9000)},
                      SkipCutCase{"second_piece", 20000, 0, 15000, failed(9000)},
                      SkipCutCase{"last_piece", 20000, 0, 19999, failed(2000)}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- corrupt logs
// ---------------------------------------------------------------------------------

struct BadIdCase {
    const char *name;
    int nses;
    int priors;
    int bad_id;
    int mode;
};

class LogBadSessionId : public LogFixture, public ::testing::WithParamInterface<BadIdCase> {};

TEST_P(LogBadSessionId, Refused)
{
    const BadIdCase &c = GetParam();
    std::vector<Step> steps;
    for (int k = 0; k < c.nses; ++k)
        steps.push_back(seshdr(k));
    for (int i = 0; i < c.priors; ++i)
        steps.push_back(event(i % c.nses, 1, 3, 3));
    Step bad = event(0, 1, 3, 3);
    bad.ses_id = c.bad_id; // the writer sends the byte as it is given
    steps.push_back(bad);
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(
        write_log(file, c.nses, std::vector<const char *>(static_cast<size_t>(c.nses)), steps, m));

    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    for (int k = 0; k < c.nses; ++k)
        ASSERT_EQ(nif_read_seshdr(&log, k), 0) << msg();
    Bytes buf(64);
    int trunc = 0;
    for (int i = 0; i < c.priors; ++i)
        ASSERT_EQ(nif_read_evt(&log, -1, buf.data(), 64, 0, &trunc), 0) << msg();
    EXPECT_EQ(nif_read_evt(&log, -1, buf.data(), 64, c.mode, &trunc), 1);
    EXPECT_EQ(msg(), "Log file is corrupt, got ses_id=" + std::to_string(c.bad_id) + " on evt " +
                         std::to_string(c.priors));
    EXPECT_EQ(log.eof, 0);
    EXPECT_EQ(log.nevts, static_cast<uint64_t>(c.priors));
    EXPECT_EQ(log.nframes, static_cast<uint64_t>(c.priors));
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogBadSessionId,
                         ::testing::Values(BadIdCase{"after_twelve", 3, 12, 5, 0},
                                           BadIdCase{"first_event", 3, 0, 3, 0},
                                           BadIdCase{"top_byte", 1, 2, 255, 0},
                                           BadIdCase{"header_only", 3, 4, 7, 2}),
                         [](const auto &info) { return std::string(info.param.name); });

struct AfterCloseCase {
    const char *name;
    int ses;
    int close_type;
    int type;
    int mode;
    std::string expect;
};

class LogAfterClose : public LogFixture, public ::testing::WithParamInterface<AfterCloseCase> {};

TEST_P(LogAfterClose, Refused)
{
    const AfterCloseCase &c = GetParam();
    const int other = (c.ses + 1) % 3;
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(
        write_log(file, 3, {nullptr, nullptr, nullptr},
                  {seshdr(0), seshdr(1), seshdr(2), event(c.ses, 1, 10, 10), event(other, 1, 1, 1),
                   event(c.ses, c.close_type, 0), event(c.ses, c.type, 4, 4)},
                  m));
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    for (int k = 0; k < 3; ++k)
        ASSERT_EQ(nif_read_seshdr(&log, k), 0) << msg();
    Bytes buf(64);
    int trunc = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(nif_read_evt(&log, -1, buf.data(), 64, 0, &trunc), 0) << msg();
    ASSERT_EQ(log.sessions[c.ses].trl_seen, 1);
    EXPECT_EQ(nif_read_evt(&log, c.ses, buf.data(), 64, c.mode, &trunc), 1);
    EXPECT_EQ(msg(), c.expect);
    EXPECT_EQ(log.nevts, 3u);
    EXPECT_EQ(log.sessions[c.ses].nevts, 2u);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(
    , LogAfterClose,
    ::testing::Values(
        AfterCloseCase{"frame_after_close", 0, 3, 1, 0,
                       "Log file is corrupt, got event-type 1 after Session-1 trailer"},
        AfterCloseCase{"any_after_abort", 2, 4, 255, 0,
                       "Log file is corrupt, got event-type 255 after Session-3 trailer"},
        AfterCloseCase{"close_after_close", 1, 3, 3, 0,
                       "Log file is corrupt, got event-type 3 after Session-2 trailer"},
        AfterCloseCase{"header_only", 0, 4, 0, 2,
                       "Log file is corrupt, got event-type 0 after Session-1 trailer"}),
    [](const auto &info) { return std::string(info.param.name); });

// A log without sessions gets no array, and every event in it is corrupt.
class LogNoSessions : public LogFixture, public ::testing::WithParamInterface<int> {};

TEST_P(LogNoSessions, EveryEventIsCorrupt)
{
    std::string file = path("log");
    Bytes b = native_loghdr(0);
    append(b, image(make_evthdr(GetParam(), 1, 0, 0, 0)));
    spit(file, b);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(log.sessions, nullptr);
    EXPECT_EQ(log.sessions_owned, 0);
    Bytes buf(16);
    int trunc = 0;
    EXPECT_EQ(nif_read_evt(&log, -1, buf.data(), 16, 0, &trunc), 1);
    EXPECT_EQ(msg(), "Log file is corrupt, got ses_id=" + std::to_string(GetParam()) + " on evt 0");
    EXPECT_EQ(log.nevts, 0u);
    set_msg("");
    EXPECT_EQ(nif_read_seshdr(&log, 0), 1);
    EXPECT_EQ(msg(), "Session index 0 out of range (nses=0)");
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogNoSessions, ::testing::Values(0, 9));

// A header handed back with mode bit 0 may have been changed since it was read: its ses_id is
// checked again before it indexes the sessions.
class LogHandedBackHeader : public LogFixture, public ::testing::WithParamInterface<int> {};

TEST_P(LogHandedBackHeader, CheckedAgain)
{
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(
        write_log(file, 2, {nullptr, nullptr}, {seshdr(0), seshdr(1), event(0, 1, 8, 8)}, m));
    std::vector<nif_session> sessions(2);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    log.sessions = sessions.data();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    ASSERT_EQ(nif_read_seshdr(&log, 0), 0) << msg();
    ASSERT_EQ(nif_read_seshdr(&log, 1), 0) << msg();
    Bytes buf(64);
    int trunc = 0;
    ASSERT_EQ(nif_read_evt(&log, -1, buf.data(), 64, 2, &trunc), 0) << msg();
    log.evt.ses_id = static_cast<uint8_t>(GetParam());
    set_msg("");
    EXPECT_EQ(nif_read_evt(&log, -1, buf.data(), 64, 1, &trunc), 1);
    EXPECT_NE(msg(), "");
    EXPECT_EQ(log.nevts, 0u);
    EXPECT_EQ(sessions[0].nevts + sessions[1].nevts, 0u);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogHandedBackHeader, ::testing::Values(2, 200));

// Hostile lengths are refused before they are used to allocate or read.
class LogHostileFiltlen : public LogFixture, public ::testing::WithParamInterface<int64_t> {};

TEST_P(LogHostileFiltlen, Refused)
{
    std::string file = path("log");
    Bytes b = native_loghdr(1);
    append(b, image(make_seshdr(0, GetParam())));
    append(b, Bytes(512, 0));
    spit(file, b);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(nif_read_seshdr(&log, 0), 1);
    EXPECT_NE(msg(), "");
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogHostileFiltlen,
                         ::testing::Values(-1, -336, static_cast<int64_t>(INT_MAX) + 1,
                                           static_cast<int64_t>(UINT32_MAX) + 337, INT64_MIN,
                                           INT64_MAX));

class LogHostileDatalen : public LogFixture,
                          public ::testing::WithParamInterface<std::tuple<int64_t, int>> {};

TEST_P(LogHostileDatalen, Refused)
{
    const auto [datalen, size] = GetParam();
    std::string file = path("log");
    Bytes b = native_loghdr(1);
    append(b, image(make_seshdr(0, 0)));
    append(b, image(make_evthdr(0, 1, datalen, 10, 0)));
    append(b, Bytes(64, 0));
    spit(file, b);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    ASSERT_EQ(nif_read_seshdr(&log, 0), 0) << msg();
    Bytes buf(static_cast<size_t>(size) + 1);
    int trunc = 0;
    EXPECT_EQ(nif_read_evt(&log, -1, buf.data(), size, 0, &trunc), 1);
    EXPECT_NE(msg(), "");
    EXPECT_EQ(log.eof, 0);
    EXPECT_EQ(log.nevts, 0u);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogHostileDatalen,
                         ::testing::Combine(::testing::Values(-1, -40, INT64_MIN),
                                            ::testing::Values(0, 64)));

// ---- the sessions array
// ---------------------------------------------------------------------------

struct RoomCase {
    const char *name;
    int preset;        // nses set before reading
    bool caller_array; // the caller supplies `preset` records, else the reader allocates
    bool fits;
};

class LogSessionsRoom : public LogFixture, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(LogSessionsRoom, FileCountAgainstRoom)
{
    const RoomCase &c = GetParam();
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(
        file, 3, kFilters,
        {seshdr(0), seshdr(1), seshdr(2), event(2, 1, 9, 9), event(0, 3, 1), event(1, 1, 2, 2)},
        m));
    std::vector<nif_session> sessions(static_cast<size_t>(c.preset));
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = static_cast<int8_t>(c.preset);
    if (c.caller_array)
        log.sessions = sessions.data();
    if (c.fits) {
        ASSERT_NO_FATAL_FAILURE(read_log(log, m, Slot::Own, Modes::Whole));
        expect_counts(log, m);
    } else {
        EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 1);
        EXPECT_EQ(msg(),
                  "Log file has 3 sessions, handle has room for " + std::to_string(c.preset));
        EXPECT_EQ(log.hdr.nses, c.preset) << "nothing may index past the array";
    }
    if (c.caller_array) {
        EXPECT_EQ(log.sessions, sessions.data());
        EXPECT_EQ(log.sessions_owned, 0);
    } else {
        EXPECT_NE(log.sessions, nullptr);
        EXPECT_EQ(log.sessions_owned, 1);
    }
    nif_close_logfile(&log);
    EXPECT_EQ(log.sessions, c.caller_array ? sessions.data() : nullptr);
}

INSTANTIATE_TEST_SUITE_P(, LogSessionsRoom,
                         ::testing::Values(RoomCase{"caller_one_of_three", 1, true, false},
                                           RoomCase{"caller_two_of_three", 2, true, false},
                                           RoomCase{"caller_exact", 3, true, true},
                                           RoomCase{"caller_larger", 5, true, true},
                                           RoomCase{"allocated_one_of_three", 1, false, false},
                                           RoomCase{"allocated_larger", 5, false, true},
                                           RoomCase{"allocated_from_file", 0, false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

struct ReadIndexCase {
    const char *name;
    bool event; // nif_read_evt, else nif_read_seshdr
    int ses;
};

class LogReaderIndex : public LogFixture, public ::testing::WithParamInterface<ReadIndexCase> {};

TEST_P(LogReaderIndex, OutOfRange)
{
    const ReadIndexCase &c = GetParam();
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(
        write_log(file, 2, {kTenNet, nullptr}, {seshdr(0), seshdr(1), event(1, 1, 8, 8)}, m));
    std::vector<nif_session> sessions(2); // exactly nses records
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    log.sessions = sessions.data();
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    Bytes buf(64);
    int trunc = 0;
    if (c.event) {
        ASSERT_EQ(nif_read_seshdr(&log, 0), 0) << msg();
        ASSERT_EQ(nif_read_seshdr(&log, 1), 0) << msg();
    }
    const uint64_t nbytes = log.nbytes;
    int rc = c.event ? nif_read_evt(&log, c.ses, buf.data(), 64, 0, &trunc)
                     : nif_read_seshdr(&log, c.ses);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(msg(), "Session index " + std::to_string(c.ses) + " out of range (nses=2)");
    EXPECT_EQ(log.nbytes, nbytes) << "nothing is read";
    // The log goes on from where it was.
    if (!c.event) {
        ASSERT_EQ(nif_read_seshdr(&log, 0), 0) << msg();
        ASSERT_EQ(nif_read_seshdr(&log, 1), 0) << msg();
        EXPECT_EQ(hex(sessions[0].hdr), hex(m.ses[0].hdr));
    }
    ASSERT_EQ(nif_read_evt(&log, 1, buf.data(), 64, 0, &trunc), 0) << msg();
    EXPECT_EQ(hex(sessions[1].evt), hex(m.evts[0].hdr));
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogReaderIndex,
                         ::testing::Values(ReadIndexCase{"seshdr_minus1", false, -1},
                                           ReadIndexCase{"seshdr_nses", false, 2},
                                           ReadIndexCase{"seshdr_far", false, 1000},
                                           ReadIndexCase{"event_nses", true, 2},
                                           ReadIndexCase{"event_minus2", true, -2},
                                           ReadIndexCase{"event_int_max", true, INT_MAX}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- opening and buffering
// ------------------------------------------------------------------------

struct ReadOpenCase {
    const char *name;
    const char *relpath;
};

class LogReaderOpen : public LogFixture, public ::testing::WithParamInterface<ReadOpenCase> {};

TEST_P(LogReaderOpen, MissingFile)
{
    std::string p = path(GetParam().relpath);
    nif_log log = zeroed_log();
    log.path = p.c_str();
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 1);
    EXPECT_EQ(msg(), "Open failed on logfile=" + p + ", errno=2 [No such file or directory]");
    EXPECT_EQ(log.fp, nullptr);
    EXPECT_EQ(log.fp_owned, 0);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogReaderOpen,
                         ::testing::Values(ReadOpenCase{"missing_directory", "missing/log"},
                                           ReadOpenCase{"missing_file", "nolog"}),
                         [](const auto &info) { return std::string(info.param.name); });

// A directory opens for reading; the first read says what it is.
TEST_F(LogReader, DirectoryFailsAtFirstRead)
{
    nif_log log = zeroed_log();
    log.path = dir_.c_str();
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 1);
    EXPECT_EQ(msg(), "15-byte Read failed - errno=21 [Is a directory]");
    EXPECT_EQ(log.fp_owned, 1);
    nif_close_logfile(&log);
    EXPECT_EQ(log.fp, nullptr);
    EXPECT_EQ(log.fp_owned, 0);
}

TEST_F(LogReader, NeitherPathNorStream)
{
    nif_log log = zeroed_log();
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 1);
    EXPECT_NE(msg(), "");
    nif_close_logfile(&log);
}

struct ReadBufCase {
    const char *name;
    bool caller_buf;
    int bufsize;
    const char *env;
};

class LogReaderBuffer : public LogFixture, public ::testing::WithParamInterface<ReadBufCase> {};

TEST_P(LogReaderBuffer, RequestedBufferAndNothingElse)
{
    const ReadBufCase &c = GetParam();
    EnvGuard env("QOV_STDOUT_NOBUF", c.env);
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    std::vector<char> buf(static_cast<size_t>(c.bufsize), 'Z');
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_NO_FATAL_FAILURE(
        read_log(log, m, Slot::Own, Modes::Whole, c.caller_buf ? buf.data() : nullptr, c.bufsize));
    expect_counts(log, m);
    EXPECT_EQ(log.nobuf, 0) << "the reader consults neither environment nor file status";
    EXPECT_EQ(log.stdio_buf != nullptr, !c.caller_buf && c.bufsize > 0);
    if (c.caller_buf) {
        EXPECT_TRUE(std::any_of(buf.begin(), buf.end(), [](char v) { return v != 'Z'; }))
            << "the stream reads through the caller's buffer";
    }
    nif_close_logfile(&log);
    EXPECT_EQ(log.stdio_buf, nullptr);
}

INSTANTIATE_TEST_SUITE_P(, LogReaderBuffer,
                         ::testing::Values(ReadBufCase{"library_buffer", false, 4096, nullptr},
                                           ReadBufCase{"small_library_buffer", false, 100, nullptr},
                                           ReadBufCase{"caller_buffer", true, 4096, nullptr},
                                           ReadBufCase{"no_buffer", false, 0, nullptr},
                                           ReadBufCase{"environment_ignored", false, 4096, "Y"}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- close
// ----------------------------------------------------------------------------------------

class LogReaderClose : public LogFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(LogReaderClose, ReleasesWhatTheReaderAllocated)
{
    const bool caller_array = GetParam();
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    std::vector<nif_session> sessions(4);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    if (caller_array) {
        log.hdr.nses = 4;
        log.sessions = sessions.data();
    }
    ASSERT_NO_FATAL_FAILURE(read_log(log, m, Slot::Handle, Modes::Whole));
    nif_close_logfile(&log);
    EXPECT_EQ(log.fp, nullptr);
    EXPECT_EQ(log.fp_owned, 0);
    EXPECT_EQ(log.sessions_owned, 0);
    if (caller_array) {
        EXPECT_EQ(log.sessions, sessions.data());
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(sessions[k].filter, nullptr) << "session " << k;
            EXPECT_EQ(sessions[k].filter_owned, kFilters[k] ? 1 : 0) << "flag left as it was";
        }
    } else {
        EXPECT_EQ(log.sessions, nullptr);
    }
    nif_close_logfile(&log); // nothing more to release
    EXPECT_EQ(log.sessions, caller_array ? sessions.data() : nullptr);
}

INSTANTIATE_TEST_SUITE_P(, LogReaderClose, ::testing::Bool(), [](const auto &info) {
    return std::string(info.param ? "caller_sessions" : "reader_sessions");
});

// A caller's stream is read as it is and left open.
TEST_F(LogReader, CallerStreamStaysOpen)
{
    std::string file = path("log");
    LogModel m;
    ASSERT_NO_FATAL_FAILURE(write_log(file, 4, kFilters, round_trip_steps(), m));
    FILE *fp = std::fopen(file.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    nif_log log = zeroed_log();
    log.fp = fp;
    ASSERT_NO_FATAL_FAILURE(read_log(log, m, Slot::Own, Modes::HdrThenRest));
    expect_counts(log, m);
    EXPECT_EQ(log.fp_owned, 0);
    nif_close_logfile(&log);
    EXPECT_EQ(log.fp, fp);
    EXPECT_EQ(std::fgetc(fp), EOF);
    EXPECT_EQ(std::fclose(fp), 0);
}

} // namespace
