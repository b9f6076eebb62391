// The capture-log writer: the bytes it puts in a file, the counts it keeps, its buffering
// decisions, its failures and nif_close_logfile.
//
// Expected bytes are worked out by hand from the record layouts (offsets, little-endian integers
// on this machine), never taken from a file the writer produced earlier.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/log_test_support.h"
#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using namespace logtest;

const char *const kNoSpace = "errno=28 [No space left on device]";

class LogWriter : public LogFixture {};

// ---- the log header -----------------------------------------------------------------------------

struct HeaderCase {
    const char *name;
    int8_t nses;
    const char *tail; // bytes 7-9 of the magic preset in the handle, null to leave them zero
    bool caller_stream;
    Bytes expect;
};

class LogHeaderBytes : public LogFixture, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(LogHeaderBytes, WritesFifteenBytes)
{
    if (!kLittleEndian)
        GTEST_SKIP() << "expected bytes are those of a little-endian writer";
    const HeaderCase &c = GetParam();
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.hdr.nses = c.nses;
    if (c.tail)
        std::memcpy(log.hdr.magic + 7, c.tail, 3);
    std::vector<nif_session> sessions(static_cast<size_t>(c.nses));
    log.sessions = sessions.data(); // the caller's array is used as it is
    FILE *fp = nullptr;
    if (c.caller_stream) {
        fp = std::fopen(file.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        log.fp = fp;
    } else {
        log.path = file.c_str();
    }
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(log.hdr.major, 3);
    EXPECT_EQ(log.hdr.minor, 1);
    EXPECT_EQ(log.hdr.order_mark, 0x1234);
    EXPECT_EQ(log.sessions, sessions.data());
    EXPECT_EQ(log.sessions_owned, 0);
    EXPECT_EQ(log.fp_owned, c.caller_stream ? 0 : 1);
    nif_close_logfile(&log);
    if (fp)
        std::fclose(fp);
    EXPECT_EQ(hex(slurp(file)), hex(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    , LogHeaderBytes,
    ::testing::Values(HeaderCase{"two_sessions",
                                 2,
                                 nullptr,
                                 false,
                                 {0x76, 0x61, 0x76, 0x75, 0x64, 0x61, 0x00, 0x00, 0x00, 0x00, 0x03,
                                  0x01, 0x34, 0x12, 0x02}},
                      HeaderCase{"caller_stream",
                                 2,
                                 nullptr,
                                 true,
                                 {0x76, 0x61, 0x76, 0x75, 0x64, 0x61, 0x00, 0x00, 0x00, 0x00, 0x03,
                                  0x01, 0x34, 0x12, 0x02}},
                      HeaderCase{"one_session",
                                 1,
                                 nullptr,
                                 false,
                                 {0x76, 0x61, 0x76, 0x75, 0x64, 0x61, 0x00, 0x00, 0x00, 0x00, 0x03,
                                  0x01, 0x34, 0x12, 0x01}},
                      HeaderCase{"most_sessions",
                                 127,
                                 nullptr,
                                 false,
                                 {0x76, 0x61, 0x76, 0x75, 0x64, 0x61, 0x00, 0x00, 0x00, 0x00, 0x03,
                                  0x01, 0x34, 0x12, 0x7F}},
                      // The magic's last three bytes belong to the caller and go out as they are.
                      HeaderCase{"caller_magic_tail",
                                 3,
                                 "xyz",
                                 false,
                                 {0x76, 0x61, 0x76, 0x75, 0x64, 0x61, 0x00, 'x', 'y', 'z', 0x03,
                                  0x01, 0x34, 0x12, 0x03}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(LogWriter, AllocatesZeroFilledSessionsWhenCallerGivesNone)
{
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 5;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    ASSERT_NE(log.sessions, nullptr);
    EXPECT_EQ(log.sessions_owned, 1);
    Bytes zero(sizeof(nif_session) * 5, 0);
    EXPECT_EQ(std::memcmp(log.sessions, zero.data(), zero.size()), 0);
    nif_close_logfile(&log);
    EXPECT_EQ(log.sessions, nullptr);
    EXPECT_EQ(log.sessions_owned, 0);
}

TEST_F(LogWriter, NoSessionsNoArray)
{
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(log.sessions, nullptr);
    EXPECT_EQ(log.sessions_owned, 0);
    nif_close_logfile(&log);
    EXPECT_EQ(file_size(file), 15);
}

// Names of log types, for callers that show them; entry 0 names nothing.
TEST(LogTypeNames, Table)
{
    const char *const expect[NIF_NLOGDESC] = {nullptr,   "Dorerez-O", "Snoop",
                                              "Tcpdump", "IP",        "Ethernet"};
    for (int i = 0; i < NIF_NLOGDESC; ++i) {
        if (expect[i] == nullptr) {
            EXPECT_EQ(nif_logdesc[i], nullptr) << i;
        } else {
            ASSERT_NE(nif_logdesc[i], nullptr) << i;
            EXPECT_STREQ(nif_logdesc[i], expect[i]) << i;
        }
    }
}

// ---- a whole log, byte by byte ----------------------------------------------------------------

// One session with the 3-node web filter, a type-1 event of 60 bytes and a type-3 close without
// data: 15 + 216 + 336 + (40 + 60) + (40 + 40) = 747 bytes.
TEST_F(LogWriter, SmallLogByteByByte)
{
    if (!kLittleEndian)
        GTEST_SKIP() << "expected bytes are those of a little-endian writer";
    int fsize = 0;
    FilterPtr filter = compile(kWebFilter, &fsize);
    ASSERT_TRUE(filter) << msg();
    ASSERT_EQ(fsize, 336);

    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    nif_session &S = log.sessions[0];
    S.hdr = make_seshdr(0, fsize);
    S.filter = filter.get();
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();

    const int64_t totlen = 74; // the frame was 74 bytes on the wire, 60 kept
    Bytes data = make_data(60, 1);
    S.evt = make_evthdr(0, 1, 60, totlen, 1);
    ASSERT_EQ(nif_write_evt(&log, 0, data.data(), 0), 0) << msg();
    S.evt = make_evthdr(0, 3, 0, 0, 2);
    set_trailer_words(S.trl, 0);
    ASSERT_EQ(nif_write_evt(&log, 0, nullptr, 0), 0) << msg();

    EXPECT_EQ(log.nevts, 2u);
    EXPECT_EQ(log.nframes, 1u);
    EXPECT_EQ(log.frame_bytes, 74u);
    EXPECT_EQ(S.nevts, 2u);
    EXPECT_EQ(S.trl_seen, 1);
    EXPECT_EQ(S.filter_owned, 0) << "the writer owns no filter";
    nif_close_logfile(&log);

    Bytes f = slurp(file);
    ASSERT_EQ(f.size(), 747u);
    EXPECT_EQ(hex(slice(f, 0, 15)), hex(Bytes{0x76, 0x61, 0x76, 0x75, 0x64, 0x61, 0x00, 0x00, 0x00,
                                              0x00, 0x03, 0x01, 0x34, 0x12, 0x01}));

    // Session header at 15: caller bytes and integers where the layout puts them.
    const nif_seshdr h = make_seshdr(0, 336);
    EXPECT_EQ(hex(slice(f, 15, 72)), hex(h.usr_bytes0, 72));
    EXPECT_EQ(le64(f, 15 + 72), static_cast<uint64_t>(h.usr_word0));
    EXPECT_EQ(hex(slice(f, 15 + 80, 40)), hex(h.usr_bytes1, 40));
    for (int j = 0; j < 3; ++j)
        EXPECT_EQ(le64(f, 15 + 120 + 8 * j), static_cast<uint64_t>(h.usr_words1[j])) << j;
    EXPECT_EQ(le64(f, 15 + 144), 336u) << "filtlen";
    for (int j = 0; j < 5; ++j)
        EXPECT_EQ(le64(f, 15 + 152 + 8 * j), static_cast<uint64_t>(h.usr_words2[j])) << j;
    EXPECT_EQ(hex(slice(f, 15 + 192, 24)), hex(h.usr_bytes2, 24));

    // The compiled filter, byte for byte.
    EXPECT_EQ(hex(slice(f, 231, 336)), hex(filter.get(), 336));

    // Type-1 event header at 567, its data at 607.
    const nif_evthdr e1 = make_evthdr(0, 1, 60, totlen, 1);
    EXPECT_EQ(f[567], 0) << "ses_id";
    EXPECT_EQ(f[568], 1) << "type";
    EXPECT_EQ(hex(slice(f, 569, 6)), hex(e1.usr_bytes, 6));
    EXPECT_EQ(le64(f, 575), static_cast<uint64_t>(e1.word1));
    EXPECT_EQ(le64(f, 583), static_cast<uint64_t>(e1.word2));
    EXPECT_EQ(le64(f, 591), 60u) << "datalen";
    EXPECT_EQ(le64(f, 599), 74u) << "totlen";
    EXPECT_EQ(hex(slice(f, 607, 60)), hex(data));

    // Type-3 event header at 667, then the trailer at 707 with the session's totals.
    const nif_evthdr e2 = make_evthdr(0, 3, 0, 0, 2);
    EXPECT_EQ(f[667], 0);
    EXPECT_EQ(f[668], 3);
    EXPECT_EQ(hex(slice(f, 669, 6)), hex(e2.usr_bytes, 6));
    EXPECT_EQ(le64(f, 675), static_cast<uint64_t>(e2.word1));
    EXPECT_EQ(le64(f, 683), static_cast<uint64_t>(e2.word2));
    EXPECT_EQ(le64(f, 691), 0u);
    EXPECT_EQ(le64(f, 699), 0u);
    nif_trailer t{};
    set_trailer_words(t, 0);
    EXPECT_EQ(le64(f, 707), static_cast<uint64_t>(t.usr_word0));
    EXPECT_EQ(le64(f, 715), 1u) << "nframes";
    EXPECT_EQ(le64(f, 723), 74u) << "frame_bytes = the type-1 event's totlen";
    EXPECT_EQ(le64(f, 731), static_cast<uint64_t>(t.usr_word1));
    EXPECT_EQ(le64(f, 739), static_cast<uint64_t>(t.usr_word2));
}

// A session without a filter is followed directly by the next record.
TEST_F(LogWriter, SessionWithoutFilterIsHeaderOnly)
{
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    log.sessions[0].hdr = make_seshdr(0, 0);
    log.sessions[1].hdr = make_seshdr(1, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();
    ASSERT_EQ(nif_write_seshdr(&log, 1), 0) << msg();
    nif_close_logfile(&log);
    Bytes f = slurp(file);
    ASSERT_EQ(f.size(), 15u + 2 * 216);
    EXPECT_EQ(hex(slice(f, 15, 216)), hex(make_seshdr(0, 0)));
    EXPECT_EQ(hex(slice(f, 231, 216)), hex(make_seshdr(1, 0)));
}

// ---- one event: bytes written and counts ------------------------------------------------------

struct EventCase {
    const char *name;
    int type;
    int64_t datalen;
    int count_only;
    size_t bytes; // what the event adds to the file
    bool trailer; // the last 40 of them are the session's trailer
    bool frame;   // counted as a frame
};

class LogEventBytes : public LogFixture, public ::testing::WithParamInterface<EventCase> {};

TEST_P(LogEventBytes, SizeAndCounts)
{
    const EventCase &c = GetParam();
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    log.sessions[1].hdr = make_seshdr(1, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 1), 0) << msg();

    const int64_t totlen = 1000 + c.datalen;
    nif_session &S = log.sessions[1];
    S.evt = make_evthdr(1, c.type, c.datalen, totlen, 4);
    set_trailer_words(S.trl, 1);
    Bytes data = make_data(c.datalen, 4);
    ASSERT_EQ(nif_write_evt(&log, 1, data.data(), c.count_only), 0) << msg();

    EXPECT_EQ(log.nevts, 1u);
    EXPECT_EQ(S.nevts, 1u);
    EXPECT_EQ(log.nframes, c.frame ? 1u : 0u);
    EXPECT_EQ(S.trl.nframes, c.frame ? 1u : 0u);
    EXPECT_EQ(log.frame_bytes, c.frame ? static_cast<uint64_t>(totlen) : 0u);
    EXPECT_EQ(S.trl.frame_bytes, c.frame ? static_cast<uint64_t>(totlen) : 0u);
    EXPECT_EQ(S.trl_seen, c.trailer ? 1 : 0);
    EXPECT_EQ(log.sessions[0].nevts, 0u) << "nothing goes to another session";
    EXPECT_EQ(log.sessions[0].trl.nframes, 0u);
    nif_close_logfile(&log);

    Bytes f = slurp(file);
    ASSERT_EQ(f.size(), 15 + 216 + c.bytes);
    size_t at = 15 + 216;
    if (!c.count_only) {
        EXPECT_EQ(hex(slice(f, at, 40)), hex(make_evthdr(1, c.type, c.datalen, totlen, 4)));
        EXPECT_EQ(hex(slice(f, at + 40, data.size())), hex(data));
        at += 40 + data.size();
    }
    if (c.trailer) {
        nif_trailer t{};
        set_trailer_words(t, 1);
        EXPECT_EQ(hex(slice(f, at, 40)), hex(t)) << "trailer of a session without frames";
    }
}

INSTANTIATE_TEST_SUITE_P(
    , LogEventBytes,
    ::testing::Values(EventCase{"type0_empty", 0, 0, 0, 40, false, false},
                      EventCase{"type1_empty", 1, 0, 0, 40, false, true},
                      EventCase{"type1_frame", 1, 60, 0, 100, false, true},
                      EventCase{"type2", 2, 5, 0, 45, false, false},
                      EventCase{"type3_empty", 3, 0, 0, 80, true, false},
                      EventCase{"type4_empty", 4, 0, 0, 80, true, false},
                      EventCase{"type3_data", 3, 7, 0, 87, true, false},
                      EventCase{"type4_data", 4, 1500, 0, 1580, true, false},
                      EventCase{"type5", 5, 0, 0, 40, false, false},
                      EventCase{"type255", 255, 3, 0, 43, false, false},
                      // count_only: no header, no data, but the counts and the trailer.
                      EventCase{"count_only_frame", 1, 60, 1, 0, false, true},
                      EventCase{"count_only_type0", 0, 10, 1, 0, false, false},
                      EventCase{"count_only_close", 3, 60, 1, 40, true, false},
                      EventCase{"count_only_abort", 4, 0, 1, 40, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

// Counters go to the session named by the call; the ses_id byte goes out as the caller set it.
TEST_F(LogWriter, CountsGoToTheNamedSession)
{
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    log.sessions[1].evt = make_evthdr(0, 1, 4, 64, 0);
    Bytes data = make_data(4, 0);
    ASSERT_EQ(nif_write_evt(&log, 1, data.data(), 0), 0) << msg();
    EXPECT_EQ(log.sessions[1].nevts, 1u);
    EXPECT_EQ(log.sessions[1].trl.nframes, 1u);
    EXPECT_EQ(log.sessions[1].trl.frame_bytes, 64u);
    EXPECT_EQ(log.sessions[0].nevts, 0u);
    EXPECT_EQ(log.sessions[0].trl.nframes, 0u);
    nif_close_logfile(&log);
    Bytes f = slurp(file);
    ASSERT_EQ(f.size(), 15u + 40 + 4);
    EXPECT_EQ(f[15], 0) << "ses_id as the caller set it";
}

// The writer does not police closed sessions: a later event is written and counted, and a second
// close writes a second trailer with the totals as they are then.
TEST_F(LogWriter, EventsAfterTrailerAreWritten)
{
    if (!kLittleEndian)
        GTEST_SKIP() << "reads trailer values as little-endian";
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    nif_session &S = log.sessions[0];
    S.evt = make_evthdr(0, 3, 0, 0, 0);
    ASSERT_EQ(nif_write_evt(&log, 0, nullptr, 0), 0) << msg();
    S.evt = make_evthdr(0, 1, 0, 300, 1);
    ASSERT_EQ(nif_write_evt(&log, 0, nullptr, 0), 0) << msg();
    S.evt = make_evthdr(0, 4, 0, 0, 2);
    ASSERT_EQ(nif_write_evt(&log, 0, nullptr, 0), 0) << msg();
    EXPECT_EQ(S.nevts, 3u);
    EXPECT_EQ(log.nframes, 1u);
    nif_close_logfile(&log);
    Bytes f = slurp(file);
    ASSERT_EQ(f.size(), 15u + 80 + 40 + 80);
    EXPECT_EQ(le64(f, 15 + 40 + 8), 0u) << "first trailer: no frames yet";
    EXPECT_EQ(le64(f, 175 + 8), 1u) << "second trailer: one frame";
    EXPECT_EQ(le64(f, 175 + 16), 300u);
}

// ---- failures -----------------------------------------------------------------------------------

// /dev/full accepts opening and buffering and refuses every byte that reaches it. The stream gets
// a buffer a little larger than what precedes the write under test and smaller than what it adds,
// so that everything before goes to the buffer and the write under test forces a flush that fails
// (no buffer at all when the log header itself is under test).
enum class Target { LogHdr, SesHdr, Filter, EvtHdr, EvtData, Trailer };

struct WriteFailCase {
    const char *name;
    Target target;
    int type;
    int64_t datalen;
    int count_only;
    std::string expect;
};

class LogWriteFailure : public LogFixture, public ::testing::WithParamInterface<WriteFailCase> {};

TEST_P(LogWriteFailure, ReportsAndKeepsCounters)
{
    const WriteFailCase &c = GetParam();
    int fsize = 0;
    FilterPtr filter = compile(kWebFilter, &fsize);
    ASSERT_TRUE(filter) << msg();

    size_t before = 0;
    switch (c.target) {
    case Target::LogHdr:
        before = 0;
        break;
    case Target::SesHdr:
        before = 15;
        break;
    case Target::Filter:
    case Target::EvtHdr:
        before = 15 + 216;
        break;
    case Target::EvtData:
        before = 15 + 216 + 40;
        break;
    case Target::Trailer:
        before = 15 + 216 + (c.count_only ? 0 : 40 + static_cast<size_t>(c.datalen));
        break;
    }
    FILE *fp = std::fopen("/dev/full", "w");
    ASSERT_NE(fp, nullptr);
    // glibc writes straight through a buffer of under 128 bytes, so never give it less.
    std::vector<char> sbuf(std::max<size_t>(before + 8, 128));
    if (before == 0)
        ASSERT_EQ(setvbuf(fp, nullptr, _IONBF, 0), 0);
    else
        ASSERT_EQ(setvbuf(fp, sbuf.data(), _IOFBF, sbuf.size()), 0);

    std::vector<nif_session> sessions(1);
    nif_log log = zeroed_log();
    log.fp = fp;
    log.hdr.nses = 1;
    log.sessions = sessions.data();
    nif_session &S = sessions[0];
    int rc = nif_write_loghdr(&log, nullptr, 0);
    if (c.target != Target::LogHdr) {
        ASSERT_EQ(rc, 0) << msg();
        S.hdr = make_seshdr(0, c.target == Target::Filter ? fsize : 0);
        S.filter = c.target == Target::Filter ? filter.get() : nullptr;
        rc = nif_write_seshdr(&log, 0);
    }
    if (c.target != Target::LogHdr && c.target != Target::SesHdr && c.target != Target::Filter) {
        ASSERT_EQ(rc, 0) << msg();
        S.evt = make_evthdr(0, c.type, c.datalen, 500, 0);
        set_trailer_words(S.trl, 0);
        Bytes data = make_data(c.datalen, 0);
        rc = nif_write_evt(&log, 0, data.data(), c.count_only);
        // A failed header or data write changes no counter; a failed trailer comes after the
        // event was counted.
        uint64_t counted = c.target == Target::Trailer ? 1 : 0;
        EXPECT_EQ(log.nevts, counted);
        EXPECT_EQ(S.nevts, counted);
        EXPECT_EQ(log.nframes, 0u);
        EXPECT_EQ(log.frame_bytes, 0u);
        EXPECT_EQ(S.trl.nframes, 0u);
        EXPECT_EQ(S.trl.frame_bytes, 0u);
        EXPECT_EQ(S.trl_seen, 0);
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(msg(), c.expect);
    nif_close_logfile(&log);
    std::fclose(fp);
}

INSTANTIATE_TEST_SUITE_P(
    , LogWriteFailure,
    ::testing::Values(
        WriteFailCase{"log_header", Target::LogHdr, 0, 0, 0,
                      std::string("Write failed for 15-byte logfile-header - ") + kNoSpace},
        WriteFailCase{"session_header", Target::SesHdr, 0, 0, 0,
                      std::string("Write failed for 216-byte session-header - ") + kNoSpace},
        WriteFailCase{"filter", Target::Filter, 0, 0, 0,
                      std::string("Write failed for 336-byte filter - ") + kNoSpace},
        WriteFailCase{"event_header_frame", Target::EvtHdr, 1, 60, 0,
                      std::string("Write failed for 40-byte event-header=1 - ") + kNoSpace},
        WriteFailCase{"event_header_close", Target::EvtHdr, 3, 0, 0,
                      std::string("Write failed for 40-byte event-header=3 - ") + kNoSpace},
        WriteFailCase{"event_header_type255", Target::EvtHdr, 255, 9, 0,
                      std::string("Write failed for 40-byte event-header=255 - ") + kNoSpace},
        WriteFailCase{"event_data_frame", Target::EvtData, 1, 60, 0,
                      std::string("Write failed for 60-byte event-1 - ") + kNoSpace},
        WriteFailCase{"event_data_abort", Target::EvtData, 4, 1500, 0,
                      std::string("Write failed for 1500-byte event-4 - ") + kNoSpace},
        WriteFailCase{"trailer_close", Target::Trailer, 3, 0, 0,
                      std::string("Write failed for 40-byte logfile-trailer - ") + kNoSpace},
        WriteFailCase{"trailer_abort_after_data", Target::Trailer, 4, 25, 0,
                      std::string("Write failed for 40-byte logfile-trailer - ") + kNoSpace},
        WriteFailCase{"trailer_count_only", Target::Trailer, 3, 25, 1,
                      std::string("Write failed for 40-byte logfile-trailer - ") + kNoSpace}),
    [](const auto &info) { return std::string(info.param.name); });

// With nobuf the event is flushed before the call returns; a device that refuses the bytes is
// reported by that call, after the event was counted.
struct FlushFailCase {
    const char *name;
    const char *env;
    int preset_nobuf;
};

class LogFlushFailure : public LogFixture, public ::testing::WithParamInterface<FlushFailCase> {};

TEST_P(LogFlushFailure, EventFlushIsChecked)
{
    const FlushFailCase &c = GetParam();
    EnvGuard env("QOV_STDOUT_NOBUF", c.env);
    nif_log log = zeroed_log();
    log.path = "/dev/full";
    log.nobuf = c.preset_nobuf;
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    ASSERT_EQ(log.nobuf, 1);
    log.sessions[0].hdr = make_seshdr(0, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg() << " (buffered, nothing flushed yet)";
    log.sessions[0].evt = make_evthdr(0, 1, 10, 10, 0);
    Bytes data = make_data(10, 0);
    EXPECT_EQ(nif_write_evt(&log, 0, data.data(), 0), 1);
    EXPECT_EQ(msg().rfind("Flush failed", 0), 0u) << msg();
    EXPECT_EQ(log.nevts, 1u);
    EXPECT_EQ(log.nframes, 1u);
    nif_close_logfile(&log);
    EXPECT_EQ(log.fp, nullptr);
}

INSTANTIATE_TEST_SUITE_P(, LogFlushFailure,
                         ::testing::Values(FlushFailCase{"caller_nobuf", nullptr, 1},
                                           FlushFailCase{"environment", "Y", 0}),
                         [](const auto &info) { return std::string(info.param.name); });

struct OpenFailCase {
    const char *name;
    const char *relpath; // under the scratch directory; "" is the directory itself
    const char *tail;    // after the path in the message
};

class LogWriterOpen : public LogFixture, public ::testing::WithParamInterface<OpenFailCase> {};

TEST_P(LogWriterOpen, ReportsPathAndErrno)
{
    const OpenFailCase &c = GetParam();
    std::string p = *c.relpath ? path(c.relpath) : dir_;
    nif_log log = zeroed_log();
    log.path = p.c_str();
    log.hdr.nses = 1;
    EXPECT_EQ(nif_write_loghdr(&log, nullptr, 0), 1);
    EXPECT_EQ(msg(), "Open failed on logfile=" + p + ", " + c.tail);
    EXPECT_EQ(log.fp, nullptr);
    EXPECT_EQ(log.fp_owned, 0);
    nif_close_logfile(&log);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogWriterOpen,
                         ::testing::Values(OpenFailCase{"missing_directory", "missing/log",
                                                        "errno=2 [No such file or directory]"},
                                           OpenFailCase{"deep_missing_directory", "a/b/c/log",
                                                        "errno=2 [No such file or directory]"},
                                           OpenFailCase{"path_is_a_directory", "",
                                                        "errno=21 [Is a directory]"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(LogWriter, NeitherPathNorStream)
{
    nif_log log = zeroed_log();
    log.hdr.nses = 1;
    EXPECT_EQ(nif_write_loghdr(&log, nullptr, 0), 1);
    EXPECT_NE(msg(), "");
    nif_close_logfile(&log);
}

// A count byte of 128 or more is negative, which gives a negative array size.
class LogWriterBadCount : public LogFixture, public ::testing::WithParamInterface<int> {};

TEST_P(LogWriterBadCount, NegativeSessionCount)
{
    const int nses = GetParam();
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = static_cast<int8_t>(nses);
    EXPECT_EQ(nif_write_loghdr(&log, nullptr, 0), 1);
    EXPECT_EQ(msg(), "OUT OF MEMORY on " +
                         std::to_string(nses * static_cast<long>(sizeof(nif_session))) +
                         "-byte sessions array");
    EXPECT_EQ(log.sessions, nullptr);
    EXPECT_EQ(log.sessions_owned, 0);
    nif_close_logfile(&log);
}

INSTANTIATE_TEST_SUITE_P(, LogWriterBadCount, ::testing::Values(-1, -128));

// Session indexes outside the array are refused before anything is touched or written.
struct IndexCase {
    const char *name;
    bool event; // nif_write_evt, else nif_write_seshdr
    int ses;
    int count_only;
};

class LogWriterIndex : public LogFixture, public ::testing::WithParamInterface<IndexCase> {};

TEST_P(LogWriterIndex, OutOfRange)
{
    const IndexCase &c = GetParam();
    std::string file = path("log");
    // Exactly two records on the heap: a stray index shows up under the sanitizers.
    std::vector<nif_session> sessions(2);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    log.sessions = sessions.data();
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    for (auto &s : sessions) {
        s.hdr = make_seshdr(0, 0);
        s.evt = make_evthdr(0, 3, 0, 0, 0);
    }
    int rc =
        c.event ? nif_write_evt(&log, c.ses, nullptr, c.count_only) : nif_write_seshdr(&log, c.ses);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(msg(), "Session index " + std::to_string(c.ses) + " out of range (nses=2)");
    EXPECT_EQ(log.nevts, 0u);
    for (auto &s : sessions) {
        EXPECT_EQ(s.nevts, 0u);
        EXPECT_EQ(s.trl_seen, 0);
    }
    nif_close_logfile(&log);
    EXPECT_EQ(file_size(file), 15) << "nothing written after the log header";
}

INSTANTIATE_TEST_SUITE_P(, LogWriterIndex,
                         ::testing::Values(IndexCase{"seshdr_minus1", false, -1, 0},
                                           IndexCase{"seshdr_nses", false, 2, 0},
                                           IndexCase{"seshdr_int_min", false, INT_MIN, 0},
                                           IndexCase{"event_minus1", true, -1, 0},
                                           IndexCase{"event_nses", true, 2, 0},
                                           IndexCase{"event_far", true, 127, 0},
                                           IndexCase{"count_only_nses", true, 2, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(LogWriter, NoSessionsRefusesEveryIndex)
{
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(nif_write_seshdr(&log, 0), 1);
    EXPECT_EQ(msg(), "Session index 0 out of range (nses=0)");
    set_msg("");
    EXPECT_EQ(nif_write_evt(&log, 0, nullptr, 0), 1);
    EXPECT_EQ(msg(), "Session index 0 out of range (nses=0)");
    nif_close_logfile(&log);
    EXPECT_EQ(file_size(file), 15);
}

// ---- buffering ----------------------------------------------------------------------------------

enum class Stream { Path, RegularFp, Pipe, DevNull };

struct NobufCase {
    const char *name;
    const char *env; // QOV_STDOUT_NOBUF, null when unset
    int preset;      // the caller's nobuf
    Stream stream;
    int bufsize;
    int expect_nobuf;
};

class LogNobuf : public LogFixture, public ::testing::WithParamInterface<NobufCase> {};

// Reads whatever the pipe holds now, without waiting.
Bytes drain(int fd)
{
    Bytes out;
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

TEST_P(LogNobuf, Decision)
{
    const NobufCase &c = GetParam();
    EnvGuard env("QOV_STDOUT_NOBUF", c.env);
    std::string file = path("log");
    int pfd[2] = {-1, -1};
    FILE *fp = nullptr;
    nif_log log = zeroed_log();
    switch (c.stream) {
    case Stream::Path:
        log.path = file.c_str();
        break;
    case Stream::RegularFp:
        fp = std::fopen(file.c_str(), "w");
        break;
    case Stream::DevNull:
        fp = std::fopen("/dev/null", "w");
        break;
    case Stream::Pipe:
        ASSERT_EQ(pipe(pfd), 0);
        ASSERT_EQ(fcntl(pfd[0], F_SETFL, O_NONBLOCK), 0);
        fp = fdopen(pfd[1], "w");
        break;
    }
    if (c.stream != Stream::Path) {
        ASSERT_NE(fp, nullptr);
        log.fp = fp;
    }
    log.nobuf = c.preset;
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, c.bufsize), 0) << msg();
    EXPECT_EQ(log.nobuf, c.expect_nobuf);
    // With nobuf the requested size is ignored, so the library allocates no buffer.
    bool lib_buf = c.expect_nobuf == 0 && c.bufsize > 0;
    EXPECT_EQ(log.stdio_buf != nullptr, lib_buf);

    log.sessions[0].hdr = make_seshdr(0, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();
    log.sessions[0].evt = make_evthdr(0, 1, 10, 10, 0);
    Bytes data = make_data(10, 0);
    ASSERT_EQ(nif_write_evt(&log, 0, data.data(), 0), 0) << msg();
    const long whole = 15 + 216 + 40 + 10;
    if (c.expect_nobuf) {
        // Flushed by the event itself: the bytes are there before anything is closed.
        if (c.stream == Stream::Pipe) {
            EXPECT_EQ(static_cast<long>(drain(pfd[0]).size()), whole);
        } else if (c.stream != Stream::DevNull) {
            EXPECT_EQ(file_size(file), whole);
        }
    }
    nif_close_logfile(&log);
    EXPECT_EQ(log.stdio_buf, nullptr);
    if (fp)
        std::fclose(fp);
    if (pfd[0] >= 0)
        close(pfd[0]);
    if (c.stream == Stream::Path || c.stream == Stream::RegularFp) {
        EXPECT_EQ(file_size(file), whole);
    }
}

INSTANTIATE_TEST_SUITE_P(
    , LogNobuf,
    ::testing::Values(
        // The environment decides when set: "y" in either case means 1, anything else 0.
        NobufCase{"env_Y", "Y", 0, Stream::Path, 4096, 1},
        NobufCase{"env_y", "y", 0, Stream::Path, 4096, 1},
        NobufCase{"env_yes", "yes", 1, Stream::Path, 4096, 0},
        NobufCase{"env_n", "n", 1, Stream::Path, 4096, 0},
        NobufCase{"env_empty", "", 1, Stream::Path, 4096, 0},
        NobufCase{"env_Y_regular_stream", "Y", 0, Stream::RegularFp, 4096, 1},
        NobufCase{"env_n_regular_stream", "n", 1, Stream::RegularFp, 4096, 0},
        // After the environment said 0, a stream that is not a regular file says 1 again.
        NobufCase{"env_yes_pipe", "yes", 1, Stream::Pipe, 4096, 1},
        NobufCase{"env_empty_pipe", "", 0, Stream::Pipe, 4096, 1},
        NobufCase{"env_n_device", "n", 1, Stream::DevNull, 4096, 1},
        // Without the environment: a file opened by path keeps the caller's choice ...
        NobufCase{"path_keeps_0", nullptr, 0, Stream::Path, 4096, 0},
        NobufCase{"path_keeps_1", nullptr, 1, Stream::Path, 4096, 1},
        NobufCase{"path_no_bufsize", nullptr, 0, Stream::Path, 0, 0},
        // ... a caller stream is looked at, unless the caller already asked for nobuf.
        NobufCase{"regular_stream", nullptr, 0, Stream::RegularFp, 4096, 0},
        NobufCase{"regular_stream_caller_1", nullptr, 1, Stream::RegularFp, 4096, 1},
        NobufCase{"pipe", nullptr, 0, Stream::Pipe, 4096, 1},
        NobufCase{"device", nullptr, 0, Stream::DevNull, 4096, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// A pipe reader sees every event as soon as nif_write_evt returns.
TEST_F(LogWriter, PipeGetsEveryEventAtOnce)
{
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    ASSERT_EQ(fcntl(pfd[0], F_SETFL, O_NONBLOCK), 0);
    FILE *fp = fdopen(pfd[1], "w");
    ASSERT_NE(fp, nullptr);
    nif_log log = zeroed_log();
    log.fp = fp;
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 8192), 0) << msg();
    EXPECT_EQ(log.nobuf, 1);
    EXPECT_EQ(log.stdio_buf, nullptr);
    log.sessions[0].hdr = make_seshdr(0, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();

    Bytes expect = loghdr_bytes(3, 1, 0x34, 0x12, 1);
    if (!kLittleEndian)
        std::swap(expect[12], expect[13]);
    append(expect, image(make_seshdr(0, 0)));
    Bytes got;
    const int lens[] = {0, 33, 1400, 5};
    const int types[] = {0, 1, 2, 3};
    for (int i = 0; i < 4; ++i) {
        nif_evthdr h = make_evthdr(0, types[i], lens[i], lens[i], i);
        Bytes data = make_data(lens[i], i);
        log.sessions[0].evt = h;
        ASSERT_EQ(nif_write_evt(&log, 0, data.data(), 0), 0) << msg();
        append(expect, image(h));
        append(expect, data);
        if (types[i] == 3) {
            nif_trailer t{}; // the one frame so far, no caller words
            t.nframes = 1;
            t.frame_bytes = 33;
            append(expect, image(t));
        }
        append(got, drain(pfd[0]));
        ASSERT_EQ(got.size(), expect.size()) << "after event " << i;
    }
    EXPECT_EQ(hex(got), hex(expect));
    nif_close_logfile(&log);
    std::fclose(fp);
    close(pfd[0]);
}

// A caller's buffer is the one the stream uses, and it stays the caller's.
TEST_F(LogWriter, CallerBufferIsUsedNotFreed)
{
    std::string file = path("log");
    std::vector<char> buf(8192, 'Z');
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, buf.data(), static_cast<int>(buf.size())), 0) << msg();
    EXPECT_EQ(log.nobuf, 0);
    EXPECT_EQ(log.stdio_buf, nullptr) << "the library allocated nothing";
    log.sessions[0].hdr = make_seshdr(0, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();
    const char magic[] = "vavuda";
    EXPECT_NE(std::search(buf.begin(), buf.end(), magic, magic + 7), buf.end())
        << "the log header sits in the caller's buffer until the stream is flushed";
    nif_close_logfile(&log);
    EXPECT_EQ(file_size(file), 15 + 216);
    buf.assign(buf.size(), 'Q'); // still ours to write; the sanitizers flag it if freed
}

// A buffer the library allocated for a caller's stream is released at close, and the stream,
// which stays open, no longer uses it.
TEST_F(LogWriter, LibraryBufferReleasedAndStreamStaysUsable)
{
    std::string file = path("log");
    FILE *fp = std::fopen(file.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    nif_log log = zeroed_log();
    log.fp = fp;
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 4096), 0) << msg();
    EXPECT_EQ(log.nobuf, 0);
    EXPECT_NE(log.stdio_buf, nullptr);
    log.sessions[0].hdr = make_seshdr(0, 0);
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();
    nif_close_logfile(&log);
    EXPECT_EQ(log.stdio_buf, nullptr);
    EXPECT_EQ(log.fp, fp) << "a caller's stream stays open";
    EXPECT_EQ(file_size(file), 15 + 216) << "close flushes the stream";
    ASSERT_EQ(std::fputs("TAIL", fp), 1);
    ASSERT_EQ(std::fclose(fp), 0);
    Bytes f = slurp(file);
    ASSERT_EQ(f.size(), 15u + 216 + 4);
    EXPECT_EQ(std::string(f.end() - 4, f.end()), "TAIL");
}

TEST_F(LogWriter, LibraryBufferOfOwnedStream)
{
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 16384), 0) << msg();
    EXPECT_NE(log.stdio_buf, nullptr);
    EXPECT_EQ(log.fp_owned, 1);
    nif_close_logfile(&log);
    EXPECT_EQ(log.stdio_buf, nullptr);
    EXPECT_EQ(log.fp, nullptr);
    EXPECT_EQ(log.fp_owned, 0);
    EXPECT_EQ(file_size(file), 15);
}

// Closing twice does nothing more the second time; close writes nothing and keeps the counts.
TEST_F(LogWriter, SecondCloseIsHarmless)
{
    int fsize = 0;
    FilterPtr filter = compile(kWebFilter, &fsize);
    ASSERT_TRUE(filter) << msg();
    std::string file = path("log");
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 1;
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 4096), 0) << msg();
    log.sessions[0].hdr = make_seshdr(0, fsize);
    log.sessions[0].filter = filter.get();
    ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();
    log.sessions[0].evt = make_evthdr(0, 1, 0, 99, 0);
    ASSERT_EQ(nif_write_evt(&log, 0, nullptr, 0), 0) << msg();
    nif_close_logfile(&log);
    nif_close_logfile(&log);
    EXPECT_EQ(log.fp, nullptr);
    EXPECT_EQ(log.fp_owned, 0);
    EXPECT_EQ(log.sessions, nullptr);
    EXPECT_EQ(log.sessions_owned, 0);
    EXPECT_EQ(log.stdio_buf, nullptr);
    EXPECT_EQ(log.nevts, 1u);
    EXPECT_EQ(log.nframes, 1u);
    EXPECT_EQ(log.frame_bytes, 99u);
    EXPECT_EQ(file_size(file), 15 + 216 + 336 + 40);
}

// When the status of a caller's stream cannot be had, the writer says so on the trace channel
// and buffers as for a file. Two streams without a usable descriptor: one whose descriptor was
// closed behind stdio's back, and a memory stream, which has none.
struct StatFailCase {
    const char *name;
    bool memstream;
    int preset;
};

class LogStatFailure : public LogFixture, public ::testing::WithParamInterface<StatFailCase> {};

TEST_P(LogStatFailure, TracesAndAssumesFullBuffering)
{
    const StatFailCase &c = GetParam();
    std::string file = path("log");
    std::vector<char> mem(4096, 0);
    FILE *fp = nullptr;
    if (c.memstream) {
        fp = fmemopen(mem.data(), mem.size(), "w");
        ASSERT_NE(fp, nullptr);
    } else {
        fp = std::fopen(file.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        ASSERT_EQ(close(fileno(fp)), 0);
    }
    nif_log log = zeroed_log();
    log.fp = fp;
    log.nobuf = c.preset;
    log.hdr.nses = 1;
    {
        zeriza_test::LogCapture cap;
        ASSERT_EQ(nif_write_loghdr(&log, nullptr, 256), 0) << msg();
        if (c.preset) {
            // A caller that asked for nobuf gets no status query at all.
            EXPECT_TRUE(cap.lines.empty());
        } else {
            ASSERT_EQ(cap.lines.size(), 1u);
            EXPECT_EQ(cap.lines[0], "Failed to stat niflog (errno=9) - assume full buffering");
            EXPECT_EQ(cap.sources[0], GNL_DBGTRC);
        }
    }
    EXPECT_EQ(log.nobuf, c.preset);
    EXPECT_EQ(log.stdio_buf != nullptr, c.preset == 0);
    nif_close_logfile(&log);
    EXPECT_EQ(log.stdio_buf, nullptr);
    if (c.memstream && c.preset == 0) {
        Bytes expect = loghdr_bytes(3, 1, 0x34, 0x12, 1);
        if (!kLittleEndian)
            std::swap(expect[12], expect[13]);
        EXPECT_EQ(hex(mem.data(), 15), hex(expect)) << "close flushed the header";
    }
    std::fclose(fp);
}

INSTANTIATE_TEST_SUITE_P(, LogStatFailure,
                         ::testing::Values(StatFailCase{"closed_descriptor", false, 0},
                                           StatFailCase{"memory_stream", true, 0},
                                           StatFailCase{"closed_descriptor_nobuf", false, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// The writer never takes ownership of the caller's sessions or filters.
TEST_F(LogWriter, CloseLeavesCallerRecordsAlone)
{
    int fsize = 0;
    FilterPtr filter = compile(kTenNet, &fsize);
    ASSERT_TRUE(filter) << msg();
    std::string file = path("log");
    std::vector<nif_session> sessions(2);
    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = 2;
    log.sessions = sessions.data();
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    sessions[1].hdr = make_seshdr(1, fsize);
    sessions[1].filter = filter.get();
    ASSERT_EQ(nif_write_seshdr(&log, 1), 0) << msg();
    nif_close_logfile(&log);
    EXPECT_EQ(log.sessions, sessions.data());
    EXPECT_EQ(sessions[1].filter, filter.get());
    EXPECT_EQ(sessions[1].filter_owned, 0);
    // `filter` and `sessions` are released by their owners here; a double free would show.
}

} // namespace
