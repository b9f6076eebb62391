// The capture-log reader, and round trips through writer and reader: either byte order, data cut
// to the caller's size, logs cut short, corrupt and hostile files, and nif_close_logfile. Logs
// are written from records; files the writer cannot produce (other versions, the other byte
// order, hostile values) are built by the tests' code.
#include <stdio.h>

#include <bit>
#include <climits>

#include "tests/log_test_support.h"

namespace {

using namespace logtest;

// A call of the reader: the header of session 0-3, the log header; an event whole (mode 0), or its
// header (mode 2) and then the rest (mode 1, or 3: bit 1 does nothing once the header is read); an
// event into the slot of session `bad`; and SetSesId, which has the handle's event header name
// session `bad` before it is handed back.
enum Call { Ses0, Ses1, Ses2, Ses3, LogHdr, Evt, EvtHdr, Rest, Rest3, EvtToBad, SetSesId };
enum Slot { Handle, Own, First }; // where events are read to: ses -1, their session, session 0

// How a log is read: to `slot`, whole or header first; in the other byte order; by its path or
// through a caller's stream from a pipe, which cannot seek; `size` bytes of event data; with a
// caller's array of `room` sessions (< 0: nses preset, no array); with the buffer asked for (< 0:
// the caller's); with swap preset; `bad` as the calls use it.
struct Read {
    Slot slot = Handle;
    Call rest = Evt;
    bool swapped = false, piped = false;
    int size = 1 << 17, room = 0, bufsize = 0, swap = 0, bad = 0;
};

class LogReader : public LogFixture {
  protected:
    // Reads file_ with `calls` as `o` says. Every call succeeds but the one at `fails` (-1: the
    // last) and, against a model `m`, those that find more data than `size`: they store that
    // much, skip the rest, say so and set truncated. Checks the counts and the message the reads
    // end with, who holds what before close (`holding`, when given) and what close releases;
    // against `m`, also every record read and the handle. Returns the closed handle.
    nif_log read_log(const std::vector<Call> &calls, const Read &o, const std::string &counts,
                     const std::string &message, const Model *m = nullptr, int fails = -1,
                     const Held &holding = {})
    {
        const Bytes file = m ? slurp(file_) : Bytes{};
        Sessions sessions(static_cast<size_t>(std::max(o.room, 0)));
        std::vector<char> buf(static_cast<size_t>(std::abs(o.bufsize)), 'Z');
        nif_log log = handle(o.piped ? nullptr : file_.c_str(), std::abs(o.room));
        log.sessions = o.room > 0 ? sessions.data() : nullptr;
        log.fp = o.piped ? popen(("cat " + file_).c_str(), "r") : nullptr;
        log.swap = o.swap;
        set_msg("");
        std::vector<int> before(256); // events of each session read so far
        Bytes data(static_cast<size_t>(o.size) + 1);
        size_t e = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            const Call c = calls[i];
            const auto *ev = m && e < m->evts.size() ? &m->evts[e] : nullptr;
            const bool reads = c == Evt || c == Rest || c == Rest3 || c == EvtToBad;
            const bool cut = ev && reads && ev->first.datalen > o.size;
            int ses = o.slot == Handle ? -1 : o.slot == First || !ev ? 0 : ev->first.ses_id;
            ses = c == EvtToBad ? o.bad : ses;
            const int mode = c == EvtHdr ? 2 : c == Rest ? 1 : c == Rest3 ? 3 : 0;
            const uint64_t nevts = log.nevts;
            int rc = 0, trunc = 7;
            std::fill(data.begin(), data.end(), 0xEE);
            if (m)
                set_msg("");
            if (c == LogHdr)
                rc = nif_read_loghdr(&log, o.bufsize < 0 ? buf.data() : nullptr,
                                     std::abs(o.bufsize));
            else if (c <= Ses3)
                rc = nif_read_seshdr(&log, c);
            else if (c == SetSesId)
                log.evt.ses_id = static_cast<uint8_t>(o.bad);
            else
                rc = nif_read_evt(&log, ses, data.data(), o.size, mode, &trunc);
            const bool last = i == (fails < 0 ? calls.size() - 1 : size_t(fails));
            EXPECT_EQ(rc ? (trunc == 1 ? "cut" : "fails") : (trunc == 1 ? "ok, cut" : "ok"),
                      std::string(cut    ? "cut"
                                  : last ? "fails"
                                         : "ok"))
                << "call " << i << ": " << msg();
            if (!m)
                continue;
            const int id = ev ? ev->first.ses_id : 0;
            EXPECT_EQ(msg(), !cut ? ""
                                  : "Event #" + std::to_string(id + 1) + ":" +
                                        std::to_string(before[id]) + " truncated by " +
                                        std::to_string(ev->first.datalen - o.size) + " bytes")
                << "call " << i;
            if (c <= Ses3 && rc == 0) {
                const nif_session &S = log.sessions[c];
                const Bytes &f = m->filters[c];
                EXPECT_EQ(hex(S.hdr), hex(m->ses[c].hdr)) << c;
                EXPECT_EQ(S.filter ? hex(S.filter, f.size()) : "-", f.empty() ? "-" : hex(f)) << c;
            }
            if (ev && (reads || c == EvtHdr) && (rc == 0 || cut)) {
                auto [hdr, stored] = *ev;
                stored.resize(c == EvtHdr ? 0 : std::min(stored.size(), size_t(o.size)));
                hdr.datalen = c == EvtHdr ? hdr.datalen : static_cast<int64_t>(stored.size());
                EXPECT_EQ(hex(ses < 0 ? log.evt : log.sessions[ses].evt), hex(hdr));
                EXPECT_TRUE(std::equal(stored.begin(), stored.end(), data.begin()) &&
                            data[stored.size()] == 0xEE)
                    << "event " << e << ": its data, and nothing past it";
                EXPECT_TRUE(c != EvtHdr || (trunc == 7 && log.nevts == nevts))
                    << "mode 2 sets and counts nothing";
                before[id] += c != EvtHdr;
                e += c != EvtHdr;
            }
        }
        EXPECT_EQ(state(log), counts);
        EXPECT_EQ(msg(), message);
        EXPECT_TRUE(holding == Held{} || held(log) == holding) << testing::PrintToString(held(log));
        if (m) {
            EXPECT_EQ(state(log, true), state(m->want, true));
            EXPECT_EQ(hex(log.hdr), hex(file.data(), 15)) << "the header is read as it is";
            EXPECT_EQ(log.swap, file[12] != m->bytes[12]);
            EXPECT_EQ(log.nobuf, 0) << "the reader consults neither the environment nor the file";
            const nif_evthdr zero{}; // only the slots the calls name receive headers
            EXPECT_EQ(hex(log.evt), hex(o.slot == Handle ? log.evt : zero));
            for (int k = o.slot == Handle ? 0 : 1; o.slot != Own && k < log.hdr.nses; ++k)
                EXPECT_EQ(hex(log.sessions[k].evt), hex(zero)) << k;
        }
        EXPECT_EQ(std::count(buf.begin(), buf.end(), 'Z') < std::abs(o.bufsize), o.bufsize < 0)
            << "the stream reads through the caller's buffer";
        FILE *fp = o.piped ? log.fp : nullptr;
        for (int pass = 0; pass < 2; ++pass) { // the second does nothing
            nif_close_logfile(&log);
            EXPECT_EQ(held(log),
                      (Held{fp ? "caller's" : "none", o.room > 0 ? "caller's" : "none", "none"}));
        }
        for (size_t k = 0; m && k < sessions.size() && k < m->ses.size(); ++k)
            EXPECT_EQ(sessions[k].filter_owned + 2 * (sessions[k].filter != nullptr),
                      m->ses[k].filter_owned)
                << "filter released, flag as it was: " << k;
        EXPECT_TRUE(!fp || (std::fgetc(fp) == EOF && pclose(fp) == 0))
            << "left open, where the reading ended";
        return log;
    }
};

// Four sessions: the web filter, none, a 3-node filter with a negation, a 1-node filter. Events of
// many types, data from 0 to 20000 bytes, totals past 32 bits, events only counted, an event the
// writer is given for session 1 whose header names session 2; sessions 0 and 3 are closed, 0
// after a frame only counted.
// clang-format off
const Recs kLog = {
    {.ses = 0, .header = true, .filter = kWebFilter}, {.ses = 0, .type = 0},
    {.ses = 0, .datalen = 60, .totlen = 74}, {.ses = 1, .header = true},
    {.ses = 2, .header = true, .filter = kTenNoSsh}, {.ses = 1, .datalen = 1, .totlen = 64},
    {.ses = 2, .type = 2, .datalen = 17}, {.ses = 0, .datalen = 1514}, {.ses = 2, .type = 5},
    {.ses = 1, .type = 255, .datalen = 9001},
    {.ses = 3, .header = true, .filter = kTenNet}, {.ses = 3, .datalen = 20000},
    {.ses = 2, .datalen = 2, .totlen = 4294967297},
    {.ses = 0, .datalen = 500, .totlen = 600, .count_only = true}, {.ses = 0, .type = 3},
    {.ses = 3, .type = 4, .datalen = 33}, {.ses = 2, .type = 0, .datalen = 10, .count_only = true},
    {.ses = 1, .datalen = 7, .totlen = 1094624909430}, {.ses = 1, .datalen = 5, .ses_id = 2},
    {.ses = 2, .type = 0, .datalen = 40}};
// clang-format on

// Round trips: kLog written as a row's writer is set up, and read back as its reader is. Writer:
// QOV_STDOUT_NOBUF, when set, decides nobuf: "y" or "Y" 1, anything else 0. Then a caller's
// stream that is not a regular file means 1 unless nobuf is set already; a path keeps the caller's
// choice; a stream without status is traced and buffered. With nobuf each event reaches the stream
// at once and no buffer is allocated. Reader: the other byte order is what its writer would have
// produced (the order mark and every 8-byte integer of the records reversed; filter, caller and
// data bytes as they are); events with more data than `size` are cut and the rest skipped.
struct Trip {
    const char *what;
    Writer w;
    Read r;
};

TEST_F(LogReader, RoundTrips)
{
    // clang-format off
    const Trip rows[] = {
        {"env Y; whole events", {.env = "Y", .bufsize = 4096, .decided = 1}, {}},
        {"env y, the caller's file; from a pipe, header first, to each slot",
         {.env = "y", .out = File, .bufsize = 4096, .decided = 1},
         {.slot = Own, .rest = Rest, .piped = true}},
        {"env yes, nobuf preset; to session 0, the caller's array, the library's buffer",
         {.env = "yes", .nobuf = 1, .bufsize = 4096}, {.slot = First, .room = 4, .bufsize = 4096}},
        {"env empty, the caller's file, nobuf preset; a larger array, the caller's buffer",
         {.env = "", .out = File, .nobuf = 1, .bufsize = 4096},
         {.slot = First, .rest = Rest, .room = 5, .bufsize = -4096}},
        {"env n, /dev/null: nobuf; other order, room preset",
         {.env = "n", .out = DevNull, .nobuf = 1, .bufsize = 4096, .decided = 1},
         {.rest = Rest, .swapped = true, .room = -5}},
        {"nobuf preset on a path; other order, a small buffer, the 60-byte event cut by 1",
         {.nobuf = 1, .bufsize = 4096, .decided = 1},
         {.slot = Own, .swapped = true, .size = 59, .bufsize = 100}},
        {"no buffer asked for; other order, from a pipe",
         {}, {.slot = First, .rest = Rest, .swapped = true, .piped = true}},
        {"a pipe: nobuf; a byte of each event, header first, from a pipe: 1 fits, 2 is cut by 1",
         {.out = Pipe, .bufsize = 8192, .decided = 1}, {.rest = Rest, .piped = true, .size = 1}},
        {"the caller's buffer; all data cut, mode 3",
         {.bufsize = -8192}, {.rest = Rest3, .size = 0}},
        {"memory, no status: buffered; mode 3 from a pipe, the 33-byte event cut by 1",
         {.out = Mem, .bufsize = 256}, {.rest = Rest3, .piped = true, .size = 32}},
        {"memory, nobuf preset; other order, the 17-byte event just fits",
         {.out = Mem, .nobuf = 1, .bufsize = 256, .decided = 1}, {.swapped = true, .size = 17}}};
    // clang-format on
    for (const Trip &t : rows) {
        SCOPED_TRACE(t.what);
        Model m;
        ASSERT_NO_FATAL_FAILURE(write_log(file_, 4, kLog, m, t.w));
        Bytes other = m.bytes;
        for (size_t off : m.ints)
            std::reverse(&other[off], &other[off + 8]);
        std::swap(other[12], other[13]);
        spit(file_, t.r.swapped ? other : m.bytes);
        std::vector<Call> calls = {LogHdr};
        for (const Rec &r : kLog)
            if (r.header)
                calls.push_back(static_cast<Call>(r.ses));
            else if (!r.count_only && t.r.rest == Evt)
                calls.push_back(Evt);
            else if (!r.count_only)
                calls.insert(calls.end(), {EvtHdr, t.r.rest});
        calls.push_back(Evt); // the end of the log
        read_log(calls, t.r, state(m.want), "", &m, -1,
                 {t.r.piped ? "caller's" : "ours", t.r.room > 0 ? "caller's" : "ours",
                  t.r.bufsize > 0 ? "ours" : "none"});
    }
}

// Where a log header comes from: a file of `keep` bytes of it, no file, or a directory. A handle
// with neither path nor stream fails in the same open_stream as the writer's (LogWriter.Failures).
enum Source { Header, NoFile, Directory };

// A log header to read (its magic is never checked), the handle's swap before, and its room: a
// caller's array of that many sessions on the heap, then the same count preset; the result and
// the message.
struct HeaderRow {
    int8_t major = 3, minor = 1, nses = 2;
    uint16_t mark = 0x1234;
    Source from = Header;
    long keep = 15;
    int swap = 0, room = 0, rc = 0;
    std::string message{};
};

// The header is read as it is. Another major version is refused before any session is set up, a
// minor one is a warning; the order mark's first byte decides, and swap is set, never cleared. A
// count byte of 128 or more is negative: no array, nor with no sessions. More sessions than the
// room of a caller's array, or than nses preset, are refused. Whatever fails, the handle closes
// safely: its count never exceeds its array, whose records the sanitizers watch.
TEST_F(LogReader, LogHeader)
{
    if (std::endian::native != std::endian::little) // the order mark rows are worked out for it
        GTEST_SKIP() << "expected bytes are those of a little-endian machine";
    const std::string major = "Different logfile major version (3.1 vs file=",
                      minor = "WARNING: Different logfile minor version (1 vs file=",
                      oom = std::to_string(-128 * static_cast<long>(sizeof(nif_session))),
                      short_read = "15-byte Read failed - errno=0 [Success]";
    // clang-format off
    const HeaderRow rows[] = {
        {.major = -1, .minor = 7, .rc = 1, .message = major + "-1.7) - can't continue"},
        {.minor = 2, .message = minor + "2) ... will try to continue"},
        {.minor = -3, .message = minor + "-3) ... will try to continue"},
        {.mark = 0x0034}, // order mark bytes 34 00
        {.swap = 1},
        {.nses = -128, .rc = 1, .message = "OUT OF MEMORY on " + oom + "-byte sessions array"},
        {.nses = 0},
        {.room = 1, .rc = 1, .message = "Log file has 2 sessions, handle has room for 1"},
        {.major = 4, .room = 1, .rc = 1, .message = major + "4.1) - can't continue"},
        {.major = 4, .nses = -3, .room = 1, .rc = 1, .message = major + "4.1) - can't continue"},
        {.keep = 14, .room = 1, .rc = 1, .message = short_read},
        {.from = NoFile, .room = 1, .rc = 1,
         .message = "Open failed on logfile=" + file_ + ", errno=2 [No such file or directory]"},
        {.from = Directory, .rc = 1, .message = "15-byte Read failed - errno=21 [Is a directory]"}};
    // clang-format on
    for (const HeaderRow &r : rows)
        for (int room : r.room ? std::vector{r.room, -r.room} : std::vector{0}) {
            SCOPED_TRACE(::testing::Message() << r.message << ", room " << room);
            std::filesystem::remove_all(file_);
            Bytes b = image(nif_loghdr{"XXXXXXXXX", r.major, r.minor, r.mark, r.nses});
            if (r.from == Header)
                spit(file_, Bytes(b.begin(), b.begin() + r.keep));
            if (r.from == Directory)
                std::filesystem::create_directory(file_);
            // A preset count has its array once the file is open, a file's once its header is good.
            const bool opened = r.from == Header || r.from == Directory;
            const bool made = room < 0 ? opened : room == 0 && r.rc == 0 && r.nses > 0;
            const char *sessions = room > 0 ? "caller's" : made ? "ours" : "none";
            const nif_log log =
                read_log({LogHdr}, {.room = room, .swap = r.swap}, "0/0/0", r.message, nullptr,
                         r.rc ? 0 : 1, {opened ? "ours" : "none", sessions, "none"});
            EXPECT_EQ(log.swap, r.swap) << "no row's order mark is foreign";
            const bool read = r.from == Header && r.keep == 15;
            EXPECT_EQ(log.nbytes, read ? 15u : 0u);
            b = read ? b : image(handle(nullptr, std::abs(room)).hdr);
            if (read && room) // nothing may index past the array
                b[14] = static_cast<uint8_t>(std::min<int>(r.nses, std::abs(room)));
            EXPECT_EQ(hex(log.hdr), hex(b));
        }
}

// A damaged log: `log` written, an 8-byte `value` written over offset `at` (0: none), its first
// `keep` bytes kept. It is read with `calls`, 64 bytes of data, a caller's array of as many
// sessions as `log` has headers, and `bad`; the call at `fails` fails (-1: the last), and the
// reads end with `counts` (as state() has them) and `message`.
struct Damage {
    const char *what = "";
    Recs log = kSmallLog;
    std::vector<Call> calls{};
    std::string counts = "0/0/0", message{};
    size_t keep = SIZE_MAX, at = 0;
    int64_t value = 0;
    int bad = 0, fails = -1;
};

// kSmallLog (session header at 15, filter at 231, events at 567 and 667, trailer at 707) cut
// short (a short log header is LogHeader's, a log ending between events every round trip's): an
// event header cut short is the end, anything else a failure naming the read's size. An event whose
// data cannot be read is not counted; a close is, before its trailer is read. The rest of a cut
// event is skipped in pieces of at most 9000 bytes; one that runs into the end is a failure, the
// event counted and not reported as cut. Events naming no session, or a closed one, are corrupt,
// also read header first or handed back changed; events count from 0 over the log, sessions from 1.
// Indexes outside the array are refused and nothing is read. Hostile filter and data lengths are
// refused before they are used (one is 336 when cut to 32 bits, with that many bytes after it).
TEST_F(LogReader, DamagedLogs)
{
    auto failed = [](int n) { return std::to_string(n) + "-byte Read failed - errno=0 [Success]"; };
    const std::string corrupt = "Log file is corrupt, got ";
    const Rec s0{.header = true}, s1{.ses = 1, .header = true}, s2{.ses = 2, .header = true};
    const Rec f3{.datalen = 3}; // a frame of 3 bytes of session 0
    const Recs frame400 = {s0, {.datalen = 400, .totlen = 10}};
    const int64_t big = int64_t{INT_MAX} + 1, wraps = int64_t{UINT32_MAX} + 337;
    // clang-format off
    const Damage rows[] = {
        {.what = "no session header", .calls = {LogHdr, Ses0}, .message = failed(216), .keep = 15},
        {.what = "no filter", .calls = {LogHdr, Ses0}, .counts = "0/0/0; s0 0/0/0 filter",
         .message = failed(336), .keep = 231},
        {.what = "event header cut", .calls = {LogHdr, Ses0, Evt},
         .counts = "eof 0/0/0; s0 0/0/0 filter", .keep = 606},
        {.what = "no event data", .calls = {LogHdr, Ses0, Evt}, .counts = "0/0/0; s0 0/0/0 filter",
         .message = failed(60), .keep = 607},
        {.what = "no trailer", .calls = {LogHdr, Ses0, Evt, Evt},
         .counts = "2/1/74; s0 2/1/74 filter", .message = failed(40), .keep = 707},
        {.what = "a skipped piece short", .log = {s0, {.datalen = 20000, .totlen = 77}},
         .calls = {LogHdr, Ses0, Evt}, .counts = "1/1/77; s0 1/1/77", .message = failed(9000),
         .keep = 271 + 5000},
        {.what = "ses_id 255", .log = {s0, f3, f3, {.datalen = 3, .ses_id = 255}},
         .calls = {LogHdr, Ses0, Evt, Evt, Evt}, .counts = "2/2/6; s0 2/2/6",
         .message = corrupt + "ses_id=255 on evt 2"},
        {.what = "ses_id past the count, header only",
         .log = {s0, s1, s2, {.datalen = 3, .ses_id = 3}},
         .calls = {LogHdr, Ses0, Ses1, Ses2, EvtHdr}, .message = corrupt + "ses_id=3 on evt 0"},
        {.what = "header handed back naming another session", .log = {s0, s1, {.datalen = 8}},
         .calls = {LogHdr, Ses0, Ses1, EvtHdr, SetSesId, Rest},
         .message = corrupt + "ses_id=2 on evt 0", .bad = 2},
        {.what = "second close, header only",
         .log = {s0, s1, s2, {.ses = 1, .datalen = 10}, {.ses = 2, .datalen = 1},
                 {.ses = 1, .type = 3}, {.ses = 1, .type = 3, .datalen = 4}},
         .calls = {LogHdr, Ses0, Ses1, Ses2, Evt, Evt, Evt, EvtHdr},
         .counts = "3/2/11; s1 2/1/10 trailer; s2 1/1/1",
         .message = corrupt + "event-type 3 after Session-2 trailer"},
        {.what = "slot -2", .log = {s0, s1, {.ses = 1, .datalen = 8}},
         .calls = {LogHdr, Ses0, Ses1, EvtToBad, Evt}, .counts = "1/1/8; s1 1/1/8",
         .message = "Session index -2 out of range (nses=2)", .bad = -2, .fails = 3},
        {.what = "filter length -1", .log = frame400, .calls = {LogHdr, Ses0},
         .message = corrupt + "-1-byte filter for session 1", .at = 159, .value = -1},
        {.what = "filter length past INT_MAX", .log = frame400, .calls = {LogHdr, Ses0},
         .message = corrupt + "2147483648-byte filter for session 1", .at = 159, .value = big},
        {.what = "filter length 336 in 32 bits", .log = frame400, .calls = {LogHdr, Ses0},
         .message = corrupt + "4294967632-byte filter for session 1", .at = 159, .value = wraps},
        {.what = "data length -1", .log = frame400, .calls = {LogHdr, Ses0, Evt},
         .message = corrupt + "-1-byte data on evt 0", .at = 255, .value = -1}};
    // clang-format on
    for (const Damage &d : rows) {
        SCOPED_TRACE(d.what);
        const auto nses =
            std::count_if(d.log.begin(), d.log.end(), [](auto &r) { return r.header; });
        Model m;
        ASSERT_NO_FATAL_FAILURE(write_log(file_, static_cast<int>(nses), d.log, m));
        Bytes b = m.bytes;
        if (d.at)
            std::memcpy(&b[d.at], &d.value, 8);
        b.resize(std::min(d.keep, b.size()));
        spit(file_, b);
        read_log(d.calls, {.size = 64, .room = static_cast<int>(nses), .bad = d.bad}, d.counts,
                 d.message, nullptr, d.fails);
    }
}

} // namespace
