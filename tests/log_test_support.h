// Helpers of the capture-log tests. A log is written through the library from a list of records
// while a model of what the file must hold is built beside it, independently: its bytes, its
// records, and the counts of the writer and of a reader that reads it all.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

// A hostile session count reaches malloc as a huge size; a production allocator answers null, and
// under AddressSanitizer the allocator must answer the same instead of aborting the run.
extern "C" inline __attribute__((used, visibility("default"))) const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace logtest {

using Bytes = std::vector<uint8_t>;
using Sessions = std::vector<nif_session>;
using Nodes = std::vector<filt_node>;
using Held = std::array<std::string, 3>;
constexpr const char *kWebFilter = "(TCP SD=80) | (UDP SD=80)";           // 3 nodes
constexpr const char *kTenNoSsh = "(IP SRC=10.0.0.0/8) & (^(TCP SD=22))"; // 3 nodes, a negation
constexpr const char *kTenNet = "IP SRC=10.0.0.0/8";                      // 1 node

// A record of a log: the header of session `ses` followed by `filter` compiled, or an event of the
// session: a frame (type 1) unless `type` says otherwise, with `datalen` data bytes and `totlen`
// on the wire (-1: datalen). Its header names session `ses_id` instead when that is set, and
// count_only has the writer count the event without writing it.
struct Rec {
    int ses = 0;
    bool header = false;
    const char *filter = nullptr;
    int type = NIF_EVT_FRAME;
    int64_t datalen = 0, totlen = -1;
    int ses_id = -1;
    bool count_only = false;
};
using Recs = std::vector<Rec>;

// One session with the 3-node web filter, a frame of 60 bytes (74 on the wire) and a close:
// 15 + 216 + 336 + (40 + 60) + (40 + 40) = 747 bytes.
const Recs kSmallLog = {
    {.header = true, .filter = kWebFilter}, {.datalen = 60, .totlen = 74}, {.type = 3}};

// Where the writer's log goes: the file by its path, or a stream of the caller's on the file, on
// /dev/null, on a pipe or on memory.
enum Out { Path, File, DevNull, Pipe, Mem };

// How the writer is set up: QOV_STDOUT_NOBUF (null: unset), the stream, the caller's nobuf, the
// buffer size asked for (< 0: the caller's buffer of that size); and the nobuf the writer must
// settle on.
struct Writer {
    const char *env = nullptr;
    Out out = Path;
    int nobuf = 0, bufsize = 0, decided = 0;
};

// A log written from records: its bytes, the offsets of its 8-byte integers (those a writer of
// the other byte order writes reversed), the compiled filters and the events in the file; what the
// writer's handle must hold at the end (wrote) and what a reader's must hold once it has read it
// all (want). A reader sees no count_only event, but a trailer carries the writer's totals.
struct Model {
    Bytes bytes{};
    std::vector<size_t> ints{};
    std::vector<Bytes> filters{};
    std::vector<std::pair<nif_evthdr, Bytes>> evts{};
    Sessions wses{}, ses{};
    nif_log wrote{}, want{};
};

// Every test runs in a scratch directory of its own (file_ is "log" in it), with an empty message
// buffer and QOV_STDOUT_NOBUF unset, whatever the environment of the run holds.
class LogFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zeriza-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << std::strerror(errno);
        dir_ = tmpl;
        file_ = dir_ + "/log";
        unsetenv("QOV_STDOUT_NOBUF");
        set_msg("");
    }
    void TearDown() override { std::filesystem::remove_all(dir_, ec_); }
    std::string dir_, file_;
    std::error_code ec_;

    static std::string msg() { return gnl_usrmsg; }
    static void set_msg(const char *t) { std::snprintf(gnl_usrmsg, GNL_USRMSG_SIZE, "%s", t); }

    // A handle with every field zero, as a caller must hand it over, on `path` with `nses`
    // sessions.
    static nif_log handle(const char *path, int nses = 0)
    {
        nif_log log{};
        log.path = path;
        log.hdr.nses = static_cast<int8_t>(nses);
        return log;
    }
    static Bytes slurp(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static void spit(const std::string &p, const Bytes &b)
    {
        std::ofstream(p) << std::string(b.begin(), b.end());
    }
    static void append(Bytes &to, const Bytes &b) { to.insert(to.end(), b.begin(), b.end()); }
    template <class T> static Bytes image(const T &v)
    {
        const auto *p = reinterpret_cast<const uint8_t *>(&v);
        return Bytes(p, p + sizeof v);
    }
    // Bytes as text that gtest can diff.
    static std::string hex(const void *p, size_t n)
    {
        std::string s;
        for (const auto *b = static_cast<const uint8_t *>(p); n-- > 0; ++b)
            s += {"0123456789abcdef"[*b >> 4], "0123456789abcdef"[*b & 15], ' '};
        return s;
    }
    static std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }
    template <class T> static std::string hex(const T &v) { return hex(&v, sizeof v); }

    // Records and data are filled with a pattern that differs at every offset and from seed to
    // seed, so that a reader that loses part of a field, or mixes fields up, gets other values.
    static void fill(void *to, size_t n, int seed)
    {
        for (size_t i = 0; i < n; ++i)
            static_cast<uint8_t *>(to)[i] = static_cast<uint8_t>(seed * 37 + i * 7 + (i >> 8) + 1);
    }
    static nif_evthdr make_evthdr(const Rec &r, int seed)
    {
        nif_evthdr h;
        fill(&h, sizeof h, 100 + seed);
        h.ses_id = static_cast<uint8_t>(r.ses_id < 0 ? r.ses : r.ses_id);
        h.type = static_cast<uint8_t>(r.type);
        h.datalen = r.datalen;
        h.totlen = r.totlen < 0 ? r.datalen : r.totlen;
        return h;
    }
    // Who holds a handle's stream, sessions and stdio buffer, in that order: "ours" (the
    // library's), "caller's", or "none".
    static Held held(const nif_log &l)
    {
        auto who = [](const void *p, int ours) {
            return p ? (ours ? "ours" : "caller's") : (ours ? "none, owned" : "none");
        };
        return {who(l.fp, l.fp_owned), who(l.sessions, l.sessions_owned),
                l.stdio_buf ? "ours" : "none"};
    }
    // A handle's counts as "events/frames/frame bytes", after "eof" when it met the end; then the
    // same for each session with any, with "trailer" when its trailer was seen and "filter" when
    // the library owns its filter. `trailers` adds every trailer and nbytes.
    static std::string state(const nif_log &l, bool trailers = false)
    {
        std::ostringstream o;
        o << (l.eof ? "eof " : "") << l.nevts << '/' << l.nframes << '/' << l.frame_bytes;
        for (int k = 0; l.sessions != nullptr && k < l.hdr.nses; ++k) {
            const nif_session &S = l.sessions[k];
            if (S.nevts || S.trl_seen || S.filter_owned || trailers)
                o << "; s" << k << ' ' << S.nevts << '/' << S.trl.nframes << '/'
                  << S.trl.frame_bytes << (S.trl_seen ? " trailer" : "")
                  << (S.filter_owned ? " filter" : "");
            if (trailers)
                o << "\n trl " << hex(S.trl) << "\n";
        }
        if (trailers)
            o << "nbytes " << l.nbytes;
        return o.str();
    }

    // Writes `recs` with `nses` sessions as `w` sets the writer up, and fills `m`. Checks the
    // buffering the writer settles on, that under nobuf each event reaches the stream at once, the
    // writer's counts, what close releases, and the bytes of the log.
    static void write_log(const std::string &file, int nses, const Recs &recs, Model &m,
                          const Writer &w = {})
    {
        const auto n = static_cast<size_t>(nses);
        m = Model{.filters = std::vector<Bytes>(n), .wses = Sessions(n), .ses = Sessions(n)};
        m.wrote.hdr.nses = m.want.hdr.nses = static_cast<int8_t>(nses);
        m.wrote.sessions = m.wses.data();
        m.want.sessions = m.ses.data();
        w.env ? setenv("QOV_STDOUT_NOBUF", w.env, 1) : unsetenv("QOV_STDOUT_NOBUF");
        std::vector<char> buf(8192, 'Z'), mem(1 << 16, 0);
        int pfd[2] = {-1, -1};
        ASSERT_TRUE(w.out != Pipe || (pipe(pfd) == 0 && fcntl(pfd[0], F_SETFL, O_NONBLOCK) == 0));
        FILE *fp = w.out == Pipe   ? fdopen(pfd[1], "w")
                   : w.out == Mem  ? fmemopen(mem.data(), mem.size(), "w")
                   : w.out == Path ? nullptr
                                   : std::fopen(w.out == File ? file.c_str() : "/dev/null", "w");
        Bytes piped;
        auto output = [&] {
            uint8_t chunk[4096];
            for (ssize_t k; w.out == Pipe && (k = read(pfd[0], chunk, sizeof chunk)) > 0;)
                piped.insert(piped.end(), chunk, chunk + k);
            return w.out == Pipe  ? piped
                   : w.out == Mem ? Bytes(mem.begin(), mem.begin() + m.bytes.size())
                                  : slurp(file);
        };
        nif_log log = handle(w.out == Path ? file.c_str() : nullptr, nses);
        log.fp = fp;
        log.nobuf = w.nobuf;
        zeriza_test::LogCapture cap;
        ASSERT_EQ(nif_write_loghdr(&log, w.bufsize < 0 ? buf.data() : nullptr, std::abs(w.bufsize)),
                  0)
            << msg();
        // fmemopen's stream has no descriptor to ask whether it is a regular file.
        const std::string trace = "Failed to stat niflog (errno=9) - assume full buffering";
        EXPECT_EQ(cap.lines, std::vector<std::string>(w.out == Mem && !w.nobuf, trace));
        EXPECT_EQ(cap.sources, std::vector<int>(w.out == Mem && !w.nobuf, GNL_DBGTRC));
        EXPECT_EQ(log.nobuf, w.decided);
        EXPECT_EQ(held(log), (Held{fp ? "caller's" : "ours", "ours",
                                   !w.decided && w.bufsize > 0 ? "ours" : "none"}));
        EXPECT_EQ(std::string(buf.data(), 7) == std::string("vavuda", 7), w.bufsize < 0)
            << "the stream writes through the caller's buffer, from its start";
        m.bytes = image(nif_loghdr{"vavuda", 3, 1, 0x1234, static_cast<int8_t>(nses)});
        auto ints = [&m](std::initializer_list<size_t> offsets) {
            for (size_t off : offsets)
                m.ints.push_back(m.bytes.size() + off);
        };
        for (const Rec &r : recs) {
            const auto k = static_cast<size_t>(r.ses);
            nif_session &S = log.sessions[k], &W = m.wses[k];
            if (r.header) {
                const auto nodes = r.filter ? zeriza_test::compiled(r.filter) : Nodes{};
                const auto *f = reinterpret_cast<const uint8_t *>(nodes.data());
                m.filters[k].assign(f, f + nodes.size() * sizeof(filt_node));
                fill(&S.hdr, sizeof S.hdr, r.ses);
                S.hdr.filtlen = static_cast<int64_t>(m.filters[k].size());
                S.filter = reinterpret_cast<filt_node *>(f ? m.filters[k].data() : nullptr);
                fill(&S.trl.usr_word0, 8, 200 + r.ses); // the caller's words of the trailer
                fill(&S.trl.usr_word1, 16, 210 + r.ses);
                W.trl = S.trl;
                m.ses[k].hdr = S.hdr;
                m.ses[k].filter_owned = f != nullptr; // as a reader will have it
                ASSERT_EQ(nif_write_seshdr(&log, r.ses), 0) << msg();
                ints({72, 120, 128, 136, 144, 152, 160, 168, 176, 184});
                append(m.bytes, image(S.hdr));
                append(m.bytes, m.filters[k]);
                continue;
            }
            const int seq = static_cast<int>(m.evts.size());
            const nif_evthdr hdr = S.evt = make_evthdr(r, seq);
            Bytes data(static_cast<size_t>(r.datalen));
            fill(data.data(), data.size(), seq);
            ASSERT_EQ(nif_write_evt(&log, r.ses, data.data(), r.count_only), 0) << msg();
            // The writer counts in the session it is called for, a reader in the one the event
            // names (logs that name no session are not read to their end).
            nif_session &R = m.ses[hdr.ses_id < n ? hdr.ses_id : k];
            for (auto [l, s] : {std::pair{&m.wrote, &W}, {&m.want, &R}}) {
                if (l == &m.want && r.count_only)
                    break; // a reader meets no count_only event
                ++l->nevts, ++s->nevts;
                const bool frame = r.type == NIF_EVT_FRAME;
                l->nframes += frame, s->trl.nframes += frame;
                l->frame_bytes += frame ? uint64_t(hdr.totlen) : 0;
                s->trl.frame_bytes += frame ? uint64_t(hdr.totlen) : 0;
            }
            if (!r.count_only) {
                m.evts.emplace_back(hdr, data);
                ints({8, 16, 24, 32});
                append(m.bytes, image(hdr));
                append(m.bytes, data);
            }
            if (r.type == NIF_EVT_CLOSE || r.type == NIF_EVT_ABORT) {
                R.trl = W.trl;
                R.trl_seen = W.trl_seen = 1;
                ints({0, 8, 16, 24, 32});
                append(m.bytes, image(W.trl));
            }
            EXPECT_TRUE(!w.decided || w.out == DevNull || output() == m.bytes)
                << "flushed by event " << seq;
        }
        EXPECT_EQ(state(log, true), state(m.wrote, true)) << "the writer's counts";
        // What close releases is read_log's to check, with every way a reader's handle is held.
        nif_close_logfile(&log);
        m.wrote.sessions = nullptr; // freed, and the handle's counts kept
        EXPECT_EQ(state(log), state(m.wrote));
        Bytes want = m.bytes;
        if (w.out == File) { // the caller's stream is still theirs to use
            ASSERT_EQ(std::fputs("TAIL", fp), 1);
            append(want, {'T', 'A', 'I', 'L'});
        }
        if (fp)
            std::fclose(fp);
        EXPECT_TRUE(w.out == DevNull || output() == want) << "the log, and nothing else";
        if (pfd[0] >= 0)
            close(pfd[0]);
        buf.assign(buf.size(), 'Q'); // still ours; the sanitizers flag it if it was freed
        m.want.nbytes = m.bytes.size();
        m.want.eof = 1;
    }
};

} // namespace logtest
