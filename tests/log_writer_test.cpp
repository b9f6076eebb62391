// The capture-log writer: the bytes it puts in a file, its counts, its buffering, its failures and
// nif_close_logfile. Expected bytes are worked out by hand from the record layouts (offsets,
// little-endian integers on this machine), never taken from a file the writer produced earlier.
#include <fcntl.h>
#include <unistd.h>

#include <tuple>

#include "tests/log_test_support.h"
#include "tests/support.h"

namespace {

using namespace logtest;
using LogWriter = LogFixture;

TEST(LogTypeNames, Table)
{
    EXPECT_EQ(nif_logdesc[0], nullptr);
    const char *const names[NIF_NLOGDESC] = {"", "Dorerez-O", "Snoop", "Tcpdump", "IP", "Ethernet"};
    for (int i = 1; i < NIF_NLOGDESC; ++i)
        EXPECT_STREQ(nif_logdesc[i], names[i]) << i;
}

// One session with the 3-node web filter, a type-1 event of 60 bytes (74 on the wire) and a type-3
// close without data: 15 + 216 + 336 + (40 + 60) + (40 + 40) = 747 bytes, field by field.
TEST_F(LogWriter, SmallLogFieldByField)
{
    SKIP_UNLESS_LITTLE_ENDIAN;
    Model m;
    ASSERT_NO_FATAL_FAILURE(write_log(file_, 1, {kWebFilter}, "s0 0:1:60:74 0:3", m));
    const Bytes f = slurp(file_);
    ASSERT_EQ(f.size(), 747u);
    const nif_seshdr &h = m.ses[0].hdr;
    const nif_evthdr &e1 = m.evts[0].first, &e2 = m.evts[1].first;
    const nif_trailer &t = m.ses[0].trl;
    auto le = [](int64_t v) { return hex(v); };
    // Field by field: the log header; the session header at 15 (caller bytes and words, filtlen
    // 336); the filter at 231; the type-1 event at 567 (ses_id, type, caller bytes and words,
    // datalen 60, totlen 74) and its data; the type-3 event at 667; the trailer at 707 with the
    // session's one frame of 74 bytes.
    EXPECT_EQ(hex(f), "76 61 76 75 64 61 00 00 00 00 03 01 34 12 01 " + hex(h.usr_bytes0) +
                          le(h.usr_word0) + hex(h.usr_bytes1) + hex(h.usr_words1) + le(336) +
                          hex(h.usr_words2) + hex(h.usr_bytes2) + hex(m.filters[0]) + "00 01 " +
                          hex(e1.usr_bytes) + le(e1.word1) + le(e1.word2) + le(60) + le(74) +
                          hex(make_data(60, 0)) + "00 03 " + hex(e2.usr_bytes) + le(e2.word1) +
                          le(e2.word2) + le(0) + le(0) + le(t.usr_word0) + le(1) + le(74) +
                          le(t.usr_word1) + le(t.usr_word2));
}

// What an event adds to file and counts (write_log checks both). count_only writes no header nor
// data, but a close still writes its trailer. Events after a close are written and counted, a
// second close writes the totals then; ses_id goes out as set, counts go to the session named.
TEST_F(LogWriter, Events)
{
    const std::pair<const char *, size_t> cases[] = {
        // scripts and the size of their file
        {"s1 1:0", 271},     {"s1 1:1:60:1060", 331}, {"s1 1:255:3:1003", 274},
        {"s1 1:3", 311},     {"s1 1:4:7", 318},       {"s1 1:1:60:1060c", 231},
        {"s1 1:0:10c", 231}, {"s1 1:3:60c", 271},     {"1:3:0:300=0 1:1:0:300=0 1:4:0:300=0", 215}};
    for (const auto &[script, size] : cases) {
        Model m;
        ASSERT_NO_FATAL_FAILURE(write_log(file_, 2, {}, script, m)) << script;
        EXPECT_EQ(m.bytes.size(), size) << script;
    }
}

// Failures, in the last call: L log header, s2 session 2's header (f: session 0's, web filter),
// 0:1:60 an event of session 0, type 1, 60 data bytes (c: count_only). /dev/full (F) takes what is
// buffered and fails the flush; its buffer is a little larger than what precedes the write under
// test. Failed writes count nothing, but a failed trailer or nobuf flush comes after the count.
// Refused before anything is written: paths that cannot be opened (m missing, d a directory),
// none (n), a negative count byte, indexes outside an array of exactly nses records on the heap.
// Magic bytes 7-9 go out as the caller set them.
TEST_F(LogWriter, Failures)
{
    int fsize = 0;
    filt_node *filter = nif_filt_parse(kWebFilter, &fsize);
    ASSERT_NE(filter, nullptr) << msg();
    const std::string w = "Write failed for ", full = " - errno=28 [No space left on device]",
                      trl = w + "40-byte logfile-trailer" + full, missing = dir_ + "/missing/log",
                      open = "Open failed on logfile=", range = "Session index ",
                      oom = "OUT OF MEMORY on -" + std::to_string(sizeof(nif_session)) +
                            "-byte sessions array";
    // Where, nses, bytes before the failure (F), nobuf, calls, message ("...*": a prefix), counts.
    const std::tuple<char, int, size_t, int, const char *, std::string, const char *> cases[] = {
        {'F', 1, 0, 0, "L", w + "15-byte logfile-header" + full, "0 0 0 0"},
        {'F', 1, 15, 0, "L s0", w + "216-byte session-header" + full, "0 0 0 0"},
        {'F', 1, 231, 0, "L f", w + "336-byte filter" + full, "0 0 0 0"},
        {'F', 1, 231, 0, "L s0 0:1:60", w + "40-byte event-header=1" + full, "0 0 0 0"},
        {'F', 1, 271, 0, "L s0 0:1:60", w + "60-byte event-1" + full, "0 0 0 0"},
        {'F', 1, 271, 0, "L s0 0:3:0", trl, "0 1 0 0 s0 1/0/0"},
        {'F', 1, 231, 0, "L s0 0:3:25c", trl, "0 1 0 0 s0 1/0/0"},
        {'F', 1, 4096, 1, "L s0 0:1:10", "Flush failed*", "0 1 1 10 s0 1/1/10"},
        {'m', 1, 0, 0, "L", open + missing + ", errno=2 [No such file or directory]", "0 0 0 0"},
        {'d', 1, 0, 0, "L", open + dir_ + ", errno=21 [Is a directory]", "0 0 0 0"},
        {'n', 1, 0, 0, "L", "*", "0 0 0 0"},
        {'f', -1, 0, 0, "L", oom, "0 0 0 0"},
        {'f', 2, 0, 0, "L s-1", range + "-1 out of range (nses=2)", "0 0 0 0"},
        {'f', 2, 0, 0, "L s2", range + "2 out of range (nses=2)", "0 0 0 0"},
        {'f', 2, 0, 0, "L s-2147483648", range + "-2147483648 out of range (nses=2)", "0 0 0 0"},
        {'f', 2, 0, 0, "L -1:3:0", range + "-1 out of range (nses=2)", "0 0 0 0"},
        {'f', 2, 0, 0, "L 2:3:0", range + "2 out of range (nses=2)", "0 0 0 0"},
        {'f', 2, 0, 0, "L 2:3:0c", range + "2 out of range (nses=2)", "0 0 0 0"},
        {'f', 0, 0, 0, "L s0", range + "0 out of range (nses=0)", "0 0 0 0"},
        {'f', 0, 0, 0, "L 0:3:0", range + "0 out of range (nses=0)", "0 0 0 0"}};
    for (const auto &[where, nses, before, nobuf, calls, expect, counts] : cases) {
        SCOPED_TRACE(calls + (" " + expect));
        set_msg("");
        FILE *fp = where == 'F' ? std::fopen("/dev/full", "w") : nullptr;
        // glibc writes straight through a buffer of under 128 bytes, so never give it less.
        std::vector<char> sbuf(std::max<size_t>(before + 8, 128));
        ASSERT_TRUE(!fp || setvbuf(fp, before ? sbuf.data() : nullptr, before ? _IOFBF : _IONBF,
                                   sbuf.size()) == 0);
        std::vector<nif_session> sessions(static_cast<size_t>(std::max(nses, 0)));
        const std::string path = where == 'f' ? file_ : where == 'm' ? missing : dir_;
        nif_log log = handle(where == 'F' || where == 'n' ? nullptr : path.c_str(), nses);
        log.fp = fp;
        log.nobuf = nobuf;
        log.sessions = sessions.empty() ? nullptr : sessions.data();
        std::memcpy(log.hdr.magic + 7, "xyz", 3);
        for (auto &S : sessions)
            S.evt = make_evthdr(0, 3, 0, 0, 0);
        std::istringstream in(calls);
        int rc = 0;
        for (std::string t; rc == 0 && in >> t;) { // each call but the last succeeds
            int ses = 0, type = 0, datalen = 0;
            std::sscanf(t.c_str(), t[0] == 's' ? "s%d" : "%d:%d:%d", &ses, &type, &datalen);
            const bool ses_hdr = t[0] == 's' || t == "f";
            nif_session *S =
                t != "L" && ses >= 0 && ses < nses ? &sessions[static_cast<size_t>(ses)] : nullptr;
            if (S && ses_hdr) {
                fill(&S->hdr, sizeof S->hdr, ses);
                S->hdr.filtlen = t == "f" ? fsize : 0;
                S->filter = t == "f" ? filter : nullptr;
            } else if (S) {
                S->evt = make_evthdr(ses, type, datalen, datalen, 0);
            }
            rc = t == "L" ? nif_write_loghdr(&log, nullptr, 0)
                 : ses_hdr
                     ? nif_write_seshdr(&log, ses)
                     : nif_write_evt(&log, ses, make_data(datalen, 0).data(), t.back() == 'c');
            EXPECT_EQ(rc, in.eof()) << t << ": " << msg();
        }
        EXPECT_EQ(expect.back() == '*' ? msg().substr(0, expect.size() - 1) + "*" : msg_as(expect),
                  expect);
        EXPECT_EQ(state(log), counts);
        EXPECT_EQ(log.sessions, sessions.empty() ? nullptr : sessions.data())
            << "the caller's, or none";
        EXPECT_TRUE(where == 'F' || where == 'f' || held(log).substr(0, 6) == "fp 0/0")
            << "nothing opened";
        Bytes hdr = image(nif_loghdr{"vavuda", 3, 1, 0x1234, static_cast<int8_t>(nses)});
        std::memcpy(&hdr[7], "xyz", 3);
        EXPECT_TRUE(where != 'f' || nses < 0 || hex(log.hdr) == hex(hdr))
            << "version and order mark set";
        nif_close_logfile(&log);
        nif_close_logfile(&log);
        EXPECT_EQ(held(log), std::string(fp ? "fp 1/0" : "fp 0/0") + " sessions " +
                                 (sessions.empty() ? "0" : "1") + "/0 buf 0");
        if (fp)
            std::fclose(fp);
        EXPECT_EQ(hex(slurp(file_)), where == 'f' && nses >= 0 ? hex(hdr) : "")
            << "nothing after the log header";
    }
    nif_filt_free(filter);
}

// Buffering. QOV_STDOUT_NOBUF, when set, decides nobuf: "y" or "Y" 1, anything else 0. Then a
// caller's stream that is not a regular file means 1 unless nobuf is set already; a path keeps the
// caller's choice; a stream without status is traced and buffered. With nobuf each event is
// flushed and no buffer allocated. Close releases the buffer and the zero-filled sessions the
// library allocated, once; a caller's stream stays usable, a caller's buffer the caller's.
enum Stream { Path, File, DevNull, Pipe, Mem };

TEST_F(LogWriter, Buffering)
{
    // QOV_STDOUT_NOBUF, the caller's nobuf, stream, size, the caller's buffer, nobuf decided.
    const std::tuple<const char *, int, Stream, int, bool, int> cases[] = {
        {"Y", 0, Path, 4096, false, 1},     {"y", 0, File, 4096, false, 1},
        {"yes", 1, Path, 4096, false, 0},   {"", 1, File, 4096, false, 0},
        {"n", 1, DevNull, 4096, false, 1},  {"yes", 1, Pipe, 8192, false, 1},
        {nullptr, 0, Path, 0, false, 0},    {nullptr, 1, Path, 4096, false, 1},
        {nullptr, 0, File, 4096, false, 0}, {nullptr, 1, File, 4096, false, 1},
        {nullptr, 0, Pipe, 8192, false, 1}, {nullptr, 0, Path, 8192, true, 0},
        {nullptr, 0, Mem, 256, false, 0},   {nullptr, 1, Mem, 256, false, 1}};
    for (const auto &[env, preset, stream, bufsize, caller_buf, nobuf] : cases) {
        SCOPED_TRACE(::testing::Message() << (env ? env : "-") << preset << stream << bufsize);
        nobuf_env(env);
        std::vector<char> buf(8192, 'Z'), mem(4096, 0);
        int pfd[2] = {-1, -1};
        ASSERT_TRUE(stream != Pipe || (pipe(pfd) == 0 && fcntl(pfd[0], F_SETFL, O_NONBLOCK) == 0));
        FILE *fp = stream == Pipe   ? fdopen(pfd[1], "w")
                   : stream == Mem  ? fmemopen(mem.data(), mem.size(), "w")
                   : stream == Path ? nullptr
                                    : std::fopen(stream == File ? file_.c_str() : "/dev/null", "w");
        Bytes want = image(nif_loghdr{"vavuda", 3, 1, 0x1234, 2}), piped;
        auto output = [&, stream = stream] {
            uint8_t chunk[4096];
            for (ssize_t n; stream == Pipe && (n = read(pfd[0], chunk, sizeof chunk)) > 0;)
                piped.insert(piped.end(), chunk, chunk + n);
            return stream == Pipe  ? piped
                   : stream == Mem ? Bytes(mem.begin(), mem.begin() + want.size())
                                   : slurp(file_);
        };
        nif_log log = handle(stream == Path ? file_.c_str() : nullptr, 2);
        log.fp = fp;
        log.nobuf = preset;
        zeriza_test::LogCapture cap;
        ASSERT_EQ(nif_write_loghdr(&log, caller_buf ? buf.data() : nullptr, bufsize), 0) << msg();
        const std::string trace = "Failed to stat niflog (errno=9) - assume full buffering";
        EXPECT_EQ(cap.lines, std::vector<std::string>(stream == Mem && !preset, trace));
        EXPECT_EQ(cap.sources, std::vector<int>(stream == Mem && !preset, GNL_DBGTRC));
        EXPECT_EQ(log.nobuf, nobuf);
        EXPECT_EQ(held(log), "fp 1/" + std::to_string(stream == Path) + " sessions 1/1 buf " +
                                 std::to_string(!nobuf && bufsize && !caller_buf));
        EXPECT_EQ(hex(log.sessions, 2 * sizeof(nif_session)), hex(Bytes(2 * sizeof(nif_session))));
        fill(&log.sessions[0].hdr, sizeof(nif_seshdr), 0);
        log.sessions[0].hdr.filtlen = 0;
        ASSERT_EQ(nif_write_seshdr(&log, 0), 0) << msg();
        append(want, image(log.sessions[0].hdr));
        const int lens[] = {0, 33, 1400, 5};
        for (int type = 0; type < 4; ++type) {
            log.sessions[0].evt = make_evthdr(0, type, lens[type], lens[type], type);
            ASSERT_EQ(nif_write_evt(&log, 0, make_data(lens[type], type).data(), 0), 0) << msg();
            append(want, image(log.sessions[0].evt));
            append(want, make_data(lens[type], type));
            if (type == 3) // the trailer: the one frame so far, no caller words
                append(want, image(nif_trailer{0, 1, 33, 0, 0}));
            EXPECT_TRUE(!nobuf || stream == DevNull || output() == want)
                << "flushed by event " << type;
        }
        const char magic[] = "vavuda";
        EXPECT_EQ(std::search(buf.begin(), buf.end(), magic, magic + 7) != buf.end(), caller_buf)
            << "the caller's buffer holds what is not flushed yet";
        for (int pass = 0; pass < 2; ++pass) {
            nif_close_logfile(&log);
            EXPECT_EQ(held(log), fp ? "fp 1/0 sessions 0/0 buf 0" : "fp 0/0 sessions 0/0 buf 0");
            EXPECT_EQ(state(log), "0 4 1 33");
        }
        if (stream == File) {
            ASSERT_EQ(std::fputs("TAIL", fp), 1);
            append(want, {'T', 'A', 'I', 'L'});
        }
        if (fp)
            std::fclose(fp);
        EXPECT_TRUE(stream == DevNull || output() == want);
        if (pfd[0] >= 0)
            close(pfd[0]);
        buf.assign(buf.size(), 'Q'); // still ours; the sanitizers flag it if it was freed
    }
}

} // namespace
