// The capture-log reader: round trips on either byte order, truncation, logs cut short, corrupt
// and hostile files, and nif_close_logfile. Logs are written from scripts; files the writer cannot
// produce (other versions, the other byte order, hostile values) are built by the tests' code.
#include <stdio.h>

#include <climits>
#include <cstring>
#include <tuple>

#include "tests/log_test_support.h"
#include "framegen/framegen.h"

namespace {

using namespace logtest;

// Four sessions: the web filter, none, a 3-node filter with a negation, a 1-node filter. Events of
// many types, data from 0 to 20000 bytes, totals past 32 bits; sessions 0 and 3 are closed.
const std::vector<const char *> kFilters = {kWebFilter, nullptr, kTenNoSsh, kTenNet};
const char *const kScript =
    "s0 0:0 0:1:60:74 s1 s2 1:1:1:64 2:2:17 0:1:1514:1514 2:5 1:255:9001 s3 "
    "3:1:20000:20000 2:1:2:4294967297 0:3 3:4:33 1:1:7:1094624909430 2:0:40";

enum Slot { Handle, Own, First }; // where events are read to: ses -1, their session, session 0

// How check reads: `size` bytes of event data; x, y and m use `bad`; a caller's array of `room`
// sessions (< 0: nses preset, no array); a model to check each record and the end against; a
// caller's stream, or a pipe, which cannot seek; the buffer asked for (< 0: the caller's).
struct Read {
    int size = 1 << 17, bad = 0, room = 0;
    const Model *m = nullptr;
    Slot slot = Handle;
    bool stream = false, piped = false;
    int bufsize = 0;
};

class LogReader : public LogFixture {
  protected:
    // A read that ran into the end of the file.
    static std::string failed(int n) { return std::to_string(n) + "-byte Read failed - " + kEnd; }
    static constexpr const char *kEnd = "errno=0 [Success]";

    // Reads file_ with `calls`, a letter a call: L the log header, 0-9 a session header, x that of
    // `bad`; e an event (mode 0), h a header (mode 2), r and R the rest (modes 1, 3), y an event to
    // slot `bad`; m sets the handle's event ses_id to `bad`. '!' marks a failure, 't' a cut. Checks
    // the calls, the counts (see state), the message ("*": any), and what close releases.
    void check(const std::string &calls, const std::string &counts, const std::string &message,
               const Read &o = {})
    {
        const Bytes file = o.m ? slurp(file_) : Bytes{};
        std::vector<nif_session> sessions(static_cast<size_t>(std::max(o.room, 0)));
        std::vector<char> buf(static_cast<size_t>(std::abs(o.bufsize)), 'Z');
        nif_log log = handle(o.stream || o.piped ? nullptr : file_.c_str(), std::abs(o.room));
        log.sessions = o.room > 0 ? sessions.data() : nullptr;
        log.fp = o.stream ? std::fopen(file_.c_str(), "r") : nullptr;
        log.fp = o.piped ? popen(("cat " + file_).c_str(), "r") : log.fp;
        set_msg("");
        std::string got;
        Bytes data(static_cast<size_t>(o.size) + 1);
        size_t e = 0;
        for (char c : calls) {
            if (c == '!' || c == 't')
                continue;
            const auto *ev = o.m && e < o.m->evts.size() ? &o.m->evts[e] : nullptr;
            int ses = o.slot == Handle ? -1 : o.slot == First || !ev ? 0 : ev->first.ses_id, rc = 0;
            ses = c == 'y' ? o.bad : ses;
            const int mode = c == 'h' ? 2 : c == 'r' ? 1 : c == 'R' ? 3 : 0;
            const uint64_t nevts = log.nevts;
            trunc_ = 7;
            std::fill(data.begin(), data.end(), 0xEE);
            if (c == 'L')
                rc = nif_read_loghdr(&log, o.bufsize < 0 ? buf.data() : nullptr,
                                     std::abs(o.bufsize));
            else if ((c >= '0' && c <= '9') || c == 'x')
                rc = nif_read_seshdr(&log, c == 'x' ? o.bad : c - '0');
            else if (c == 'm')
                log.evt.ses_id = static_cast<uint8_t>(o.bad);
            else
                rc = nif_read_evt(&log, ses, data.data(), o.size, mode, &trunc_);
            got += std::string(1, c) + (rc ? "!" : "") + (trunc_ == 1 ? "t" : "");
            if (o.m && c >= '0' && c <= '9' && rc == 0) {
                const nif_session &S = log.sessions[c - '0'];
                const Bytes &f = o.m->filters[static_cast<size_t>(c - '0')];
                EXPECT_EQ(hex(S.hdr), hex(o.m->ses[static_cast<size_t>(c - '0')].hdr)) << c;
                EXPECT_EQ(S.filter ? hex(S.filter, f.size()) : "-", f.empty() ? "-" : hex(f)) << c;
            }
            if (ev && std::strchr("ehrRy", c) && (rc == 0 || trunc_ == 1)) {
                auto [hdr, want] = *ev;
                want.resize(c == 'h' ? 0 : std::min(want.size(), static_cast<size_t>(o.size)));
                hdr.datalen = c == 'h' ? hdr.datalen : static_cast<int64_t>(want.size());
                EXPECT_EQ(hex(ses < 0 ? log.evt : log.sessions[ses].evt), hex(hdr));
                EXPECT_TRUE(std::equal(want.begin(), want.end(), data.begin()) &&
                            data[want.size()] == 0xEE)
                    << "event " << e << ": its data, and nothing past it";
                EXPECT_TRUE(c != 'h' || (trunc_ == 7 && log.nevts == nevts))
                    << "mode 2 sets and counts nothing";
                e += c != 'h';
            }
        }
        EXPECT_EQ(got + " " + state(log), calls + " " + counts);
        EXPECT_EQ(msg_as(message), message);
        if (o.m) {
            EXPECT_EQ(state(log, true), state(o.m->want, true));
            EXPECT_EQ(hex(log.hdr), hex(file.data(), 15)) << "the header is read as it is";
            EXPECT_EQ(log.swap, file[12] != o.m->bytes[12]);
            EXPECT_EQ(log.nobuf, 0) << "the reader consults neither the environment nor the file";
            EXPECT_EQ(held(log), "fp 1/" + std::to_string(!o.stream && !o.piped) + " sessions 1/" +
                                     std::to_string(o.room <= 0) + " buf " +
                                     std::to_string(o.bufsize > 0));
            const nif_evthdr zero{}; // only the slots the calls name receive headers
            EXPECT_EQ(hex(log.evt), hex(o.slot == Handle ? log.evt : zero));
            for (int k = o.slot == Handle ? 0 : 1; o.slot != Own && k < log.hdr.nses; ++k)
                EXPECT_EQ(hex(log.sessions[k].evt), hex(zero)) << k;
        }
        EXPECT_EQ(std::count(buf.begin(), buf.end(), 'Z') < std::abs(o.bufsize), o.bufsize < 0)
            << "the stream reads through the caller's buffer";
        FILE *fp = o.stream || o.piped ? log.fp : nullptr;
        for (int pass = 0; pass < 2; ++pass) { // the second does nothing
            nif_close_logfile(&log);
            EXPECT_EQ(held(log), std::string(fp ? "fp 1/0" : "fp 0/0") + " sessions " +
                                     (o.room > 0 ? "1" : "0") + "/0 buf 0");
        }
        for (size_t k = 0; o.m && k < sessions.size() && k < o.m->ses.size(); ++k)
            EXPECT_EQ(sessions[k].filter_owned + 2 * (sessions[k].filter != nullptr),
                      o.m->ses[k].filter_owned)
                << "filter released, flag as it was: " << k;
        EXPECT_TRUE(!fp || (std::fgetc(fp) == EOF && (o.piped ? pclose(fp) : std::fclose(fp)) == 0))
            << "left open, where the reading ended";
    }
    int trunc_ = 0;
};

// The header is read as it is. Another major version is refused before any session is set up, a
// minor one is a warning; the order mark's first byte decides, and swap is set, never cleared; the
// magic is not checked. A count byte of 128 or more is negative: no array. More sessions than the
// room of a caller's array (room > 0), or than nses preset (room < 0), are refused.
TEST_F(LogReader, LogHeader)
{
    SKIP_UNLESS_LITTLE_ENDIAN;
    const std::string major = "Different logfile major version (3.1 vs file=",
                      minor = "WARNING: Different logfile minor version (1 vs file=",
                      oom = std::to_string(-128 * static_cast<long>(sizeof(nif_session)));
    // The file's major, minor, order mark, nses; the handle's swap and room; result, swap, message.
    const std::tuple<int8_t, int8_t, uint16_t, int8_t, int, int, int, int, std::string> cases[] = {
        {2, 0, 0x1234, 2, 0, 0, 1, 0, major + "2.0) - can't continue"},
        {-1, 7, 0x1234, 2, 0, 0, 1, 0, major + "-1.7) - can't continue"},
        {3, 2, 0x1234, 2, 0, 0, 0, 0, minor + "2) ... will try to continue"},
        {3, -3, 0x1234, 2, 0, 0, 0, 0, minor + "-3) ... will try to continue"},
        {3, 1, 0x0034, 2, 0, 0, 0, 0, ""}, // order mark bytes 34 00
        {3, 1, 0x1200, 2, 0, 0, 0, 1, ""}, // 00 12
        {3, 1, 0x1234, 2, 1, 0, 0, 1, ""},
        {3, 1, 0x1234, -128, 0, 0, 1, 0, "OUT OF MEMORY on " + oom + "-byte sessions array"},
        {3, 1, 0x1234, 3, 0, 2, 1, 0, "Log file has 3 sessions, handle has room for 2"},
        {3, 1, 0x1234, 3, 0, -1, 1, 0, "Log file has 3 sessions, handle has room for 1"}};
    for (const auto &[major, minor, mark, nses, swap, room, rc, swapped, expect] : cases) {
        SCOPED_TRACE(expect);
        Bytes b = image(nif_loghdr{"XXXXXXXXX", major, minor, mark, nses});
        spit(file_, b);
        std::vector<nif_session> sessions(static_cast<size_t>(std::max(room, 0)));
        nif_log log = handle(file_.c_str(), std::abs(room));
        log.sessions = room > 0 ? sessions.data() : nullptr;
        log.swap = swap;
        set_msg("");
        EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), rc);
        EXPECT_EQ(msg(), expect);
        EXPECT_EQ(log.swap, swapped);
        EXPECT_EQ(log.nbytes, 15u);
        b[14] = static_cast<uint8_t>(room && rc ? std::abs(room) : nses);
        EXPECT_EQ(hex(log.hdr), hex(b)) << "nothing may index past the array";
        const bool present = rc == 0 || room != 0;
        EXPECT_EQ(held(log).substr(7, 12), "sessions " + std::to_string(present) + "/" +
                                               std::to_string(present && room <= 0));
        nif_close_logfile(&log);
        EXPECT_EQ(log.sessions, room > 0 ? sessions.data() : nullptr);
    }
}

// Round trips: either byte order, each slot, whole events or header first; a caller's array,
// larger or not, or room preset; a caller's stream; the library's buffer or the caller's, whatever
// QOV_STDOUT_NOBUF says. The other byte order is what its writer would have produced: the order
// mark and every 8-byte integer of the records reversed; filter, caller and data bytes as they are.
TEST_F(LogReader, RoundTrips)
{
    Model m;
    ASSERT_NO_FATAL_FAILURE(write_log(file_, 4, kFilters, kScript, m));
    Bytes other = m.bytes;
    const std::vector<size_t> words[] = {
        {}, {72, 120, 128, 136, 144, 152, 160, 168, 176, 184}, {8, 16, 24, 32}, {0, 8, 16, 24, 32}};
    for (const auto &[kind, off] : m.layout)
        for (size_t w : words[std::string("LSET").find(kind)])
            std::reverse(&other[off + w], &other[off + w + 8]);
    std::swap(other[12], other[13]);
    std::string whole = "L", split = "L";
    for (const Step &s : m.steps) {
        whole += s.type < 0 ? std::to_string(s.ses) : "e";
        split += s.type < 0 ? std::to_string(s.ses) : "hr";
    }
    // Other byte order, slot, split, room, a caller's stream, buffer size, QOV_STDOUT_NOBUF.
    const std::tuple<bool, Slot, bool, int, bool, int, const char *> cases[] = {
        {0, Handle, 0, 0, 0, 0, nullptr},  {0, Own, 1, 0, 1, 0, nullptr},
        {0, First, 0, 4, 0, 4096, "Y"},    {0, First, 1, 5, 0, -4096, nullptr},
        {1, Handle, 1, -5, 0, 0, nullptr}, {1, Own, 0, 0, 0, 100, nullptr},
        {1, First, 1, 0, 1, 0, nullptr}};
    for (const auto &[swapped, slot, halves, room, stream, bufsize, env] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << swapped << slot << halves << room << stream << bufsize);
        nobuf_env(env);
        spit(file_, swapped ? other : m.bytes);
        check((halves ? split : whole) + "e!", state(m.want), "",
              {.room = room, .m = &m, .slot = slot, .stream = stream, .bufsize = bufsize});
    }
}

// A filter read back from a log decides frames exactly as the one that was written.
TEST_F(LogReader, FiltersReadBackMatchLikeTheOriginals)
{
    using namespace framegen;
    Model m;
    ASSERT_NO_FATAL_FAILURE(write_log(file_, 4, kFilters, "s0 s1 s2 s3", m));
    nif_log log = handle(file_.c_str());
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    auto ip = [](Ip4 src, Ip4 dst, uint8_t proto, uint16_t sp, uint16_t dp) {
        Frame f;
        f.eth(mac(2), mac(1), 0x0800).ipv4(src, dst, proto);
        return (proto == 6 ? f.tcp(sp, dp) : f.udp(sp, dp)).fill(20, 0x55).bytes();
    };
    Frame arp;
    arp.eth(kBroadcast, mac(1), 0x0806)
        .arp(1, mac(1), {10, 0, 0, 1}, Mac{}, {10, 0, 0, 2})
        .fill(18);
    // Frames and their verdicts by the filters of sessions 0, 2 and 3.
    const std::pair<framegen::Bytes, std::string> frames[] = {
        {ip({192, 168, 1, 5}, {10, 0, 0, 2}, 6, 80, 3333), "100"},
        {ip({10, 9, 8, 7}, {172, 16, 0, 1}, 17, 5000, 80), "111"},
        {ip({10, 1, 1, 1}, {10, 1, 1, 2}, 17, 53, 53), "011"},
        {ip({10, 0, 0, 5}, {10, 0, 0, 6}, 6, 22, 40000), "001"},
        {arp.bytes(), "000"}};
    for (int k = 0; k < 4; ++k)
        ASSERT_EQ(nif_read_seshdr(&log, k), 0) << msg();
    for (int i = 0; i < 3; ++i) {
        const nif_session &S = log.sessions[i ? i + 1 : 0];
        EXPECT_EQ(nif_filt_check(S.filter, static_cast<int>(S.hdr.filtlen)), 0) << msg();
        for (const auto &[frame, verdicts] : frames)
            EXPECT_EQ(nif_filt_match(S.filter, frame.data(), static_cast<int>(frame.size()),
                                     NIF_LINK_ETHER, nullptr, nullptr, nullptr, NIF_OPT_LINKHDR),
                      verdicts[i] - '0')
                << "filter " << i << ", frame " << hex(frame);
    }
    nif_close_logfile(&log);
}

// An event with more data than `size`: that much is stored, the rest skipped, truncated set, the
// header tells the bytes kept, the event counts in full, and the next one follows. Events are named
// by session (from 1) and the session's events before. Mode 2 then 1, or 3 (bit 1 does nothing
// when no header is read), ends as one mode-0 call: E in the calls.
TEST_F(LogReader, Truncation)
{
    // Script after the session headers, size, calls after theirs, counts, and the event cut.
    const std::tuple<const char *, int, const char *, const char *, const char *, int> cases[] = {
        {"0:1:100:1100 0:1", 99, "E!tee!", "1 2 2 1100 s0 2/2/1100", "1:0", 1},
        {"0:1:100:1100 0:1", 100, "Eee!", "1 2 2 1100 s0 2/2/1100", "", 0},
        {"1:2 0:2 1:2 1:2 0:2 1:1:10000:11000 1:1", 1, "eeeeeE!tee!",
         "1 7 2 11000 s0 2/0/0 s1 5/2/11000", "2:3", 9999},
        {"0:1:30000:31000 0:1", 100, "E!tee!", "1 2 2 31000 s0 2/2/31000", "1:0", 29900},
        {"0:2 0:1:20000:21000 0:1", 0, "eE!tee!", "1 3 2 21000 s0 3/2/21000", "1:1", 20000},
        {"0:1:0:1000 0:1", 0, "Eee!", "1 2 2 1000 s0 2/2/1000", "", 0}};
    for (const auto &[script, size, calls, counts, event, by] : cases)
        for (const char *way : {"e", "hr", "hR"})
            for (bool piped : {false, true}) {
                SCOPED_TRACE(::testing::Message() << script << " " << way << " " << piped);
                Model m;
                ASSERT_NO_FATAL_FAILURE(
                    write_log(file_, 2, {}, ("s0 s1 " + std::string(script)).c_str(), m));
                std::string c = "L01" + std::string(calls);
                const std::string cut = "Event #" + std::string(event) + " truncated by " +
                                        std::to_string(by) + " bytes";
                check(c.replace(c.find('E'), 1, way), counts, by ? cut : "",
                      {.size = size, .m = &m, .piped = piped});
            }
}

// The 747-byte log (session header at 15, filter at 231, events at 567 and 667, trailer at 707) cut
// short: an event header cut short is the end, anything else a failure naming the read's size. An
// event whose data cannot be read is not counted; a close is, before its trailer is read. The rest
// of a cut event is skipped in pieces of at most 9000 bytes; one that runs into the end is a
// failure, the event counted and not reported as cut.
TEST_F(LogReader, CutShort)
{
    Model m;
    ASSERT_NO_FATAL_FAILURE(write_log(file_, 1, {kWebFilter}, "s0 0:1:60:74 0:3", m));
    const std::tuple<long, const char *, const char *, int> cases[] = {
        {0, "L!", "0 0 0 0", 15},
        {14, "L!", "0 0 0 0", 15},
        {15, "L0!", "0 0 0 0", 216},
        {231, "L0!", "0 0 0 0 s0 0/0/0f", 336},
        {567, "L0e!", "1 0 0 0 s0 0/0/0f", 0},
        {606, "L0e!", "1 0 0 0 s0 0/0/0f", 0},
        {607, "L0e!", "0 0 0 0 s0 0/0/0f", 60},
        {687, "L0ee!", "1 1 1 74 s0 1/1/74f", 0},
        {707, "L0ee!", "0 2 1 74 s0 2/1/74f", 40},
        {747, "L0eee!", "1 2 1 74 s0 2/1/74tf", 0}};
    for (const auto &[cut, calls, counts, read] : cases) {
        SCOPED_TRACE(cut);
        spit(file_, Bytes(m.bytes.begin(), m.bytes.begin() + cut));
        check(calls, counts, read ? failed(read) : "");
    }
    for (const auto &[datalen, size, present, read] :
         {std::tuple{100, 60, 80, 40}, {20000, 100, 5000, 9000}, {20000, 0, 19999, 2000}}) {
        ASSERT_NO_FATAL_FAILURE(
            write_log(file_, 1, {}, ("s0 0:1:" + std::to_string(datalen) + ":77").c_str(), m));
        spit(file_, Bytes(m.bytes.begin(), m.bytes.begin() + 271 + present));
        check("L0e!", "0 1 1 77 s0 1/1/77", failed(read), {.size = size});
        EXPECT_EQ(trunc_, 0) << "not reported as cut";
    }
}

// Events naming no session, or a closed one, are corrupt, also read header first or handed back
// changed; events count from 0 over the log, sessions from 1. Without sessions there is no array.
// Indexes outside the array (nses records on the heap) are refused and nothing is read.
TEST_F(LogReader, CorruptEventsAndIndexes)
{
    const std::string corrupt = "Log file is corrupt, got ", range = "Session index ";
    // Sessions (a caller's array that big), script, calls, bad index or ses_id, counts, message.
    const std::tuple<int, const char *, const char *, int, const char *, std::string> cases[] = {
        {3, "s0 s1 s2 0:1:3:3=3", "L012e!", 0, "0 0 0 0", corrupt + "ses_id=3 on evt 0"},
        {1, "s0 0:1:3:3 0:1:3:3 0:1:3:3=255", "L0eee!", 0, "0 2 2 6 s0 2/2/6",
         corrupt + "ses_id=255 on evt 2"},
        {3, "s0 s1 s2 0:1:3:3 1:1:3:3 2:1:3:3 0:1:3:3 0:1:3:3=7", "L012eeeeh!", 0,
         "0 4 4 12 s0 2/2/6 s1 1/1/3 s2 1/1/3", corrupt + "ses_id=7 on evt 4"},
        {2, "s0 s1 0:1:8:8", "L01hmr!", 2, "0 0 0 0", "*"},
        {3, "s0 s1 s2 0:1:10:10 1:1:1:1 0:3 0:1:4:4", "L012eeee!", 0,
         "0 3 2 11 s0 2/1/10t s1 1/1/1", corrupt + "event-type 1 after Session-1 trailer"},
        {3, "s0 s1 s2 2:1:10:10 0:1:1:1 2:4 2:255:4:4", "L012eeey!", 2,
         "0 3 2 11 s0 1/1/1 s2 2/1/10t", corrupt + "event-type 255 after Session-3 trailer"},
        {3, "s0 s1 s2 1:1:10:10 2:1:1:1 1:3 1:3:4:4", "L012eeeh!", 0,
         "0 3 2 11 s1 2/1/10t s2 1/1/1", corrupt + "event-type 3 after Session-2 trailer"},
        {2, "s0 s1 1:1:8:8", "Lx!01e", -1, "0 1 1 8 s1 1/1/8", range + "-1 out of range (nses=2)"},
        {2, "s0 s1 1:1:8:8", "Lx!01e", 2, "0 1 1 8 s1 1/1/8", range + "2 out of range (nses=2)"},
        {2, "s0 s1 1:1:8:8", "L01y!e", 2, "0 1 1 8 s1 1/1/8", range + "2 out of range (nses=2)"},
        {2, "s0 s1 1:1:8:8", "L01y!e", -2, "0 1 1 8 s1 1/1/8", range + "-2 out of range (nses=2)"},
        {0, "0:1", "L0!", 0, "0 0 0 0", range + "0 out of range (nses=0)"},
        {0, "0:1", "Le!", 0, "0 0 0 0", corrupt + "ses_id=0 on evt 0"}};
    Model m;
    for (const auto &[nses, script, calls, bad, counts, expect] : cases) {
        SCOPED_TRACE(script);
        ASSERT_NO_FATAL_FAILURE(write_log(file_, std::max(nses, 1), {}, script, m));
        m.bytes[14] = static_cast<uint8_t>(nses); // the writer needs a session for the event
        spit(file_, m.bytes);
        check(calls, counts, expect, {.size = 64, .bad = bad, .room = nses});
    }
    nif_log log = handle(file_.c_str());
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << msg();
    EXPECT_EQ(held(log), "fp 1/1 sessions 0/0 buf 0") << "no sessions, no array";
    nif_close_logfile(&log);
}

// Hostile filter and data lengths are refused before they are used (one is 336 when cut to 32 bits,
// with that many bytes after it). Open failures, and reading a directory, say what went wrong.
TEST_F(LogReader, HostileAndUnreadable)
{
    Model m;
    ASSERT_NO_FATAL_FAILURE(write_log(file_, 1, {}, "s0 0:1:400:10", m));
    const int64_t big = int64_t{INT_MAX} + 1, wraps = int64_t{UINT32_MAX} + 337;
    const std::tuple<size_t, int64_t, const char *, int> cases[] = {
        {159, -1, "L0!", 0},         {159, big, "L0!", 0},   {159, INT64_MIN, "L0!", 0},
        {255, -1, "L0e!", 64},       {159, wraps, "L0!", 0}, {255, -40, "L0e!", 0},
        {255, INT64_MIN, "L0e!", 64}};
    for (const auto &[at, value, calls, size] : cases) {
        Bytes b = m.bytes;
        std::memcpy(&b[at], &value, 8);
        spit(file_, b);
        check(calls, "0 0 0 0", "*", {.size = size});
    }
    std::filesystem::remove(file_);
    check("L!", "0 0 0 0",
          "Open failed on logfile=" + file_ + ", errno=2 [No such file or directory]");
    std::filesystem::create_directory(file_);
    check("L!", "0 0 0 0", "15-byte Read failed - errno=21 [Is a directory]");
    nif_log log = handle(nullptr);
    EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), 1) << "neither path nor stream";
    EXPECT_NE(msg(), "");
    nif_close_logfile(&log);
}

} // namespace

// Whatever step of nif_read_loghdr fails, the handle it leaves closes safely: its session count
// never exceeds the array it holds (the caller's, or the one the library made from a preset
// count), so that nif_close_logfile walks no session record past the array.
TEST_F(LogReader, EveryFailingHeaderLeavesAHandleSafeToClose)
{
    const auto header = [](int8_t major, int8_t nses) {
        return image(nif_loghdr{"vavuda", major, 1, 0x1234, nses});
    };
    const Bytes v4 = header(4, 2), v3 = header(3, 2), negative = header(4, -3);
    // The file (none when null), the result, and the start of the message.
    const std::tuple<const Bytes *, size_t, int, std::string> files[] = {
        {nullptr, 0, 1, "Open failed on logfile="},
        {&v3, 0, 1, "15-byte Read failed"},
        {&v3, 14, 1, "15-byte Read failed"},
        {&v4, 15, 1, "Different logfile major version (3.1 vs file=4.1)"},
        {&negative, 15, 1, "Different logfile major version (3.1 vs file=4.1)"},
        {&v3, 15, 1, "Log file has 2 sessions, handle has room for 1"},
    };
    for (const auto &[bytes, keep, rc, message] : files)
        for (bool callers_array : {false, true}) {
            SCOPED_TRACE(message + (callers_array ? " with the caller's array" : " with a preset"));
            std::filesystem::remove(file_);
            if (bytes)
                spit(file_, Bytes(bytes->begin(), bytes->begin() + static_cast<long>(keep)));
            // Exactly one record, on the heap, so that AddressSanitizer sees a step past it.
            auto one = std::make_unique<nif_session[]>(1);
            nif_log log = handle(file_.c_str(), 1);
            if (callers_array)
                log.sessions = one.get();
            EXPECT_EQ(nif_read_loghdr(&log, nullptr, 0), rc);
            EXPECT_EQ(msg().substr(0, message.size()), message);
            EXPECT_LE(log.hdr.nses, 1) << "more sessions than the array holds";
            nif_close_logfile(&log);
            EXPECT_EQ(log.sessions, callers_array ? one.get() : nullptr);
            EXPECT_EQ(log.fp, nullptr);
        }
}
