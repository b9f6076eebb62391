// Helpers of the capture-log tests. A script is written through the library while a model of what
// the file must hold is built beside it, independently: its bytes, its records, the counts.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "zeriza.h"
#include "zeriza_host.h"

// A hostile session count reaches malloc as a huge size; a production allocator answers null, and
// under AddressSanitizer the allocator must answer the same instead of aborting the run.
extern "C" inline __attribute__((used, visibility("default"))) const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

// Exact bytes are worked out for a little-endian machine.
#define SKIP_UNLESS_LITTLE_ENDIAN                                                                  \
    if (std::endian::native != std::endian::little)                                                \
    GTEST_SKIP() << "expected bytes are those of a little-endian machine"

namespace logtest {

using Bytes = std::vector<uint8_t>;
constexpr const char *kWebFilter = "(TCP SD=80) | (UDP SD=80)";           // 3 nodes
constexpr const char *kTenNoSsh = "(IP SRC=10.0.0.0/8) & (^(TCP SD=22))"; // 3 nodes, a negation
constexpr const char *kTenNet = "IP SRC=10.0.0.0/8";                      // 1 node

// A step of a script: the header of session `ses` (type -1), or an event of it.
struct Step {
    int ses, type;
    long long datalen, totlen;
    int ses_id; // -1: ses
    bool count_only;
};
// A scripted log: its bytes, its records ('L'og header, 'S'ession, 'E'vent, 'T'railer) by offset,
// filters, events, and in `want` (sessions `ses`) what a reader's handle must hold at its end.
struct Model {
    std::vector<Step> steps;
    Bytes bytes;
    std::vector<std::pair<char, size_t>> layout;
    std::vector<Bytes> filters;
    std::vector<std::pair<nif_evthdr, Bytes>> evts;
    std::vector<nif_session> ses;
    nif_log want{};
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
        nobuf_env(nullptr);
        set_msg("");
    }
    void TearDown() override { std::filesystem::remove_all(dir_, ec_); }
    std::string dir_, file_;
    std::error_code ec_;

    static constexpr const char *kNobuf = "QOV_STDOUT_NOBUF";
    static void nobuf_env(const char *v) { v ? setenv(kNobuf, v, 1) : unsetenv(kNobuf); }
    static std::string msg() { return gnl_usrmsg; }
    static void set_msg(const char *t) { std::snprintf(gnl_usrmsg, GNL_USRMSG_SIZE, "%s", t); }
    // The message, or "*" for any message when that is what `w` asks.
    static std::string msg_as(const std::string &w) { return w == "*" && *gnl_usrmsg ? w : msg(); }

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
    static Bytes make_data(long long n, int seed)
    {
        Bytes v(static_cast<size_t>(n));
        fill(v.data(), v.size(), seed);
        return v;
    }
    static nif_evthdr make_evthdr(int ses_id, int type, int64_t datalen, int64_t totlen, int seq)
    {
        nif_evthdr h;
        fill(&h, sizeof h, 100 + seq);
        h.ses_id = static_cast<uint8_t>(ses_id);
        h.type = static_cast<uint8_t>(type);
        h.datalen = datalen;
        h.totlen = totlen;
        return h;
    }

    // What a handle holds: a stream (and whether it owns it), sessions (likewise), a buffer.
    static std::string held(const nif_log &l)
    {
        char s[64];
        std::snprintf(s, sizeof s, "fp %d/%d sessions %d/%d buf %d", l.fp != nullptr, l.fp_owned,
                      l.sessions != nullptr, l.sessions_owned, l.stdio_buf != nullptr);
        return s;
    }
    // A handle's "eof events frames frame_bytes", then "s<k> events/frames/frame_bytes" for each
    // session with any, t: trailer seen, f: filter owned; `trailers` adds all trailers and nbytes.
    static std::string state(const nif_log &l, bool trailers = false)
    {
        std::ostringstream o;
        o << l.eof << ' ' << l.nevts << ' ' << l.nframes << ' ' << l.frame_bytes;
        for (int k = 0; l.sessions != nullptr && k < l.hdr.nses; ++k) {
            const nif_session &S = l.sessions[k];
            if (S.nevts || S.trl_seen || S.filter_owned || trailers)
                o << " s" << k << ' ' << S.nevts << '/' << S.trl.nframes << '/' << S.trl.frame_bytes
                  << (S.trl_seen ? "t" : "") << (S.filter_owned ? "f" : "");
            if (trailers)
                o << "\n trl " << hex(S.trl) << "\n";
        }
        if (trailers)
            o << "nbytes " << l.nbytes;
        return o.str();
    }

    // Writes a script and fills `m`: "s2" the header of session 2 with filters[2] compiled (if
    // any), "0:1:60:74" an event of session 0, type 1, 60 data bytes, totlen 74 (0 if left out),
    // "=5" after it with ses_id 5, "c" count_only. Checks the writer's counts and the file.
    static void write_log(const std::string &file, int nses, std::vector<const char *> filters,
                          const char *script, Model &m)
    {
        m = Model{};
        std::istringstream in(script);
        for (std::string t; in >> t;) {
            Step s{0, -1, 0, 0, -1, t.back() == 'c'};
            ASSERT_GE(std::sscanf(t.c_str(), t[0] == 's' ? "s%d" : "%d:%d:%lld:%lld=%d", &s.ses,
                                  &s.type, &s.datalen, &s.totlen, &s.ses_id),
                      t[0] == 's' ? 1 : 2)
                << t;
            m.steps.push_back(s);
        }
        filters.resize(static_cast<size_t>(nses));
        m.ses.resize(filters.size());
        m.filters.resize(filters.size());
        m.want.hdr.nses = static_cast<int8_t>(nses);
        m.want.sessions = m.ses.data();
        for (size_t k = 0; k < filters.size(); ++k) {
            int size = 0;
            auto *f = reinterpret_cast<uint8_t *>(filters[k] ? nif_filt_parse(filters[k], &size)
                                                             : nullptr);
            ASSERT_TRUE(f || !filters[k]) << filters[k] << ": " << msg();
            m.filters[k].assign(f, f + size);
            nif_filt_free(reinterpret_cast<filt_node *>(f));
        }
        nif_log log = handle(file.c_str(), nses);
        ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
        m.bytes = image(nif_loghdr{"vavuda", 3, 1, 0x1234, static_cast<int8_t>(nses)});
        m.layout = {{'L', 0}};
        for (const Step &s : m.steps) {
            nif_session &S = log.sessions[s.ses], &want = m.ses[static_cast<size_t>(s.ses)];
            Bytes &filter = m.filters[static_cast<size_t>(s.ses)];
            const bool close = s.type == NIF_EVT_CLOSE || s.type == NIF_EVT_ABORT;
            if (s.type < 0) {
                fill(&S.hdr, sizeof S.hdr, s.ses);
                S.hdr.filtlen = static_cast<int64_t>(filter.size());
                want.hdr = S.hdr;
                S.filter = filter.empty() ? nullptr : reinterpret_cast<filt_node *>(filter.data());
                ASSERT_EQ(nif_write_seshdr(&log, s.ses), 0) << msg();
                m.layout.push_back({'S', m.bytes.size()});
                append(m.bytes, image(S.hdr));
                append(m.bytes, filter);
                continue;
            }
            const int seq = static_cast<int>(m.evts.size()), id = s.ses_id < 0 ? s.ses : s.ses_id;
            const auto &[hdr, data] = m.evts.emplace_back(
                make_evthdr(id, s.type, s.datalen, s.totlen, seq), make_data(s.datalen, seq));
            S.evt = hdr;
            if (close) // the caller's words of the trailer this writes
                for (nif_trailer *t : {&S.trl, &want.trl})
                    for (int off : {0, 24, 32})
                        fill(reinterpret_cast<char *>(t) + off, 8, 200 + s.ses * 3 + off);
            ASSERT_EQ(nif_write_evt(&log, s.ses, data.data(), s.count_only), 0) << msg();
            ++want.nevts;
            want.trl.nframes += s.type == NIF_EVT_FRAME;
            want.trl.frame_bytes += s.type == NIF_EVT_FRAME ? static_cast<uint64_t>(s.totlen) : 0;
            if (!s.count_only) {
                m.layout.push_back({'E', m.bytes.size()});
                append(m.bytes, image(hdr));
                append(m.bytes, data);
            }
            if (close) {
                m.layout.push_back({'T', m.bytes.size()});
                append(m.bytes, image(want.trl));
                want.trl_seen = 1;
            }
        }
        for (const nif_session &S : m.ses) {
            m.want.nevts += S.nevts;
            m.want.nframes += S.trl.nframes;
            m.want.frame_bytes += S.trl.frame_bytes;
        }
        EXPECT_EQ(state(log, true), state(m.want, true))
            << "the writer's counts; it owns no filter";
        nif_close_logfile(&log);
        for (size_t k = 0; k < m.ses.size(); ++k)
            m.ses[k].filter_owned = !m.filters[k].empty(); // as a reader will have it
        m.want.nbytes = m.bytes.size();
        m.want.eof = 1;
        ASSERT_TRUE(slurp(file) == m.bytes) << "the file holds every record as the model has it";
    }
};

} // namespace logtest
