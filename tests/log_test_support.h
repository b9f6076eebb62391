// Helpers shared by the capture-log tests: a scratch directory, an environment guard, byte and
// file helpers, and a scripted log. A script is a list of session headers and events; writing it
// through the library also builds, independently of the library, the model of what the file must
// hold: where every record starts, the values of every field, and the counts a reader must find.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "zeriza.h"
#include "zeriza_host.h"

// A hostile session count reaches malloc as a huge size; a production allocator answers null,
// and the sanitizer build must answer the same instead of aborting the run.
#if defined(__SANITIZE_ADDRESS__)
#define LOGTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LOGTEST_ASAN 1
#endif
#endif
#ifdef LOGTEST_ASAN
extern "C" inline __attribute__((used, visibility("default"))) const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

namespace logtest {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr size_t kLogHdr = 15, kSesHdr = 216, kEvtHdr = 40, kTrailer = 40;
constexpr const char *kSentinel = "sentinel: nothing written here";

// The two 3-node filters and a 1-node one used across the tests.
constexpr const char *kWebFilter = "(TCP SD=80) | (UDP SD=80)";
constexpr const char *kTenNoSsh = "(IP SRC=10.0.0.0/8) & (^(TCP SD=22))";
constexpr const char *kTenNet = "IP SRC=10.0.0.0/8";

// ---- environment and scratch space ------------------------------------------------------------

// Sets (or, with a null value, unsets) an environment variable; restores it when it goes.
class EnvGuard {
  public:
    EnvGuard(const char *name, const char *value) : name_(name)
    {
        if (const char *old = getenv(name))
            saved_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard()
    {
        if (saved_)
            setenv(name_.c_str(), saved_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

inline void set_msg(const char *text)
{
    std::snprintf(gnl_usrmsg, GNL_USRMSG_SIZE, "%s", text);
}
inline std::string msg()
{
    return gnl_usrmsg;
}

// Every test runs in its own scratch directory and without QOV_STDOUT_NOBUF, whatever the
// environment of the run holds; a test that wants the variable sets its own guard.
class LogFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zeriza-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << std::strerror(errno);
        dir_ = tmpl;
        set_msg("");
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    EnvGuard nobuf_env_{"QOV_STDOUT_NOBUF", nullptr};
    std::string dir_;
};

// A zero-filled handle, as every caller must hand over.
inline nif_log zeroed_log()
{
    nif_log log;
    std::memset(&log, 0, sizeof log);
    return log;
}

// ---- bytes and files ---------------------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

inline Bytes slurp(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void spit(const std::string &p, const Bytes &b)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline long file_size(const std::string &p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Little-endian 64-bit value at `off`, decoded byte by byte.
inline uint64_t le64(const Bytes &b, size_t off)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b.at(off + static_cast<size_t>(i));
    return v;
}

template <class T> Bytes image(const T &v)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    return Bytes(p, p + sizeof v);
}

inline Bytes slice(const Bytes &b, size_t off, size_t n)
{
    EXPECT_LE(off + n, b.size());
    if (off + n > b.size())
        return {};
    return Bytes(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + n));
}

inline void append(Bytes &to, const Bytes &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

inline std::string hex(const void *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) {
        if (i != 0)
            s += (i % 8 == 0) ? " | " : " ";
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}
template <class T> std::string hex(const T &v)
{
    return hex(&v, sizeof v);
}
inline std::string hex(const Bytes &b)
{
    return hex(b.data(), b.size());
}

// The 15 bytes of a log header, built by hand.
inline Bytes loghdr_bytes(int8_t major, int8_t minor, uint8_t mark0, uint8_t mark1, int8_t nses,
                          const char *magic = "vavuda")
{
    Bytes b(kLogHdr, 0);
    std::memcpy(b.data(), magic, std::min<size_t>(std::strlen(magic), 10));
    b[10] = static_cast<uint8_t>(major);
    b[11] = static_cast<uint8_t>(minor);
    b[12] = mark0;
    b[13] = mark1;
    b[14] = static_cast<uint8_t>(nses);
    return b;
}

// ---- compiled filters ---------------------------------------------------------------------------

using FilterPtr = std::unique_ptr<filt_node, decltype(&nif_filt_free)>;

inline FilterPtr compile(const char *text, int *size)
{
    return FilterPtr(nif_filt_parse(text, size), &nif_filt_free);
}

// ---- record values ------------------------------------------------------------------------------
// Every integer has eight distinct non-zero bytes or a sign, so that a reader that loses half of a
// field, or mixes fields up, gets a different value.

inline nif_seshdr make_seshdr(int ses, int64_t filtlen)
{
    nif_seshdr h;
    std::memset(&h, 0, sizeof h);
    for (size_t i = 0; i < sizeof h.usr_bytes0; ++i)
        h.usr_bytes0[i] = static_cast<unsigned char>(0x20 + ses * 31 + static_cast<int>(i));
    h.usr_word0 = static_cast<int64_t>(0x0102030405060708ULL) + ses;
    for (size_t i = 0; i < sizeof h.usr_bytes1; ++i)
        h.usr_bytes1[i] = static_cast<unsigned char>(0x80 + ses * 7 + static_cast<int>(i) * 3);
    h.usr_words1[0] = -1 - ses;
    h.usr_words1[1] = INT64_MIN + ses;
    h.usr_words1[2] = static_cast<int64_t>(0x7F00000000000001ULL) + ses;
    h.filtlen = filtlen;
    for (int j = 0; j < 5; ++j)
        h.usr_words2[j] = (static_cast<int64_t>(j + 1) << 40) + 0x1122334455LL * (ses + 1);
    h.usr_words2[4] = -(static_cast<int64_t>(1) << 33) - ses;
    for (size_t i = 0; i < sizeof h.usr_bytes2; ++i)
        h.usr_bytes2[i] = static_cast<unsigned char>(0xF0 - static_cast<int>(i) - ses);
    return h;
}

inline nif_evthdr make_evthdr(int ses_id, int type, int64_t datalen, int64_t totlen, int seq)
{
    nif_evthdr h;
    std::memset(&h, 0, sizeof h);
    h.ses_id = static_cast<uint8_t>(ses_id);
    h.type = static_cast<uint8_t>(type);
    for (int i = 0; i < 6; ++i)
        h.usr_bytes[i] = static_cast<unsigned char>(0xA0 + seq + i);
    h.word1 = static_cast<int64_t>(0x0A0B0C0D0E0F1011ULL) + seq;
    h.word2 = -123456789012LL * (seq + 1);
    h.datalen = datalen;
    h.totlen = totlen;
    return h;
}

inline Bytes make_data(int64_t n, int seq)
{
    Bytes v(static_cast<size_t>(n));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>(seq * 13 + static_cast<int>(i) * 7 + static_cast<int>(i >> 8));
    return v;
}

inline void set_trailer_words(nif_trailer &t, int ses)
{
    t.usr_word0 = static_cast<int64_t>(0x7766554433221100ULL) + ses;
    t.usr_word1 = -5 - ses;
    t.usr_word2 = INT64_MIN + 3 + ses;
}

// ---- scripted logs ------------------------------------------------------------------------------

struct Step {
    enum Kind { SesHdr, Event } kind;
    int ses;
    int type = 0;
    int64_t datalen = 0;
    int64_t totlen = 0;
    int ses_id = -1; // byte written as the event's ses_id; -1 writes `ses`
};
inline Step seshdr(int ses)
{
    return {Step::SesHdr, ses};
}
inline Step event(int ses, int type, int64_t datalen, int64_t totlen = 0)
{
    return {Step::Event, ses, type, datalen, totlen};
}

enum class Rec { LogHdr, SesHdr, EvtHdr, Trailer };
struct Placed {
    Rec kind;
    size_t off;
};

struct SessionModel {
    nif_seshdr hdr{};
    Bytes filter;
    uint64_t nevts = 0, nframes = 0, frame_bytes = 0;
    bool closed = false;
    nif_trailer trl{}; // the last trailer written
};

struct EventModel {
    int ses; // session the event belongs to (its ses_id)
    nif_evthdr hdr;
    Bytes data;
    size_t off; // offset of its header in the file
};

struct LogModel {
    int nses = 0;
    std::vector<Step> steps;
    std::vector<Placed> layout;
    size_t size = 0;
    std::vector<SessionModel> ses;
    std::vector<EventModel> evts;
    uint64_t nevts = 0, nframes = 0, frame_bytes = 0;
};

// Writes the script to `file` through the library (session k gets the filter compiled from
// filters[k], none when null) and fills `m` with what the file must hold.
inline void write_log(const std::string &file, int nses, const std::vector<const char *> &filters,
                      const std::vector<Step> &steps, LogModel &m)
{
    m = LogModel{};
    m.nses = nses;
    m.steps = steps;
    m.ses.resize(static_cast<size_t>(nses));

    std::vector<FilterPtr> compiled;
    std::vector<int> sizes(static_cast<size_t>(nses), 0);
    for (int k = 0; k < nses; ++k) {
        const char *text = k < static_cast<int>(filters.size()) ? filters[k] : nullptr;
        compiled.emplace_back(text ? compile(text, &sizes[k]) : FilterPtr(nullptr, &nif_filt_free));
        ASSERT_TRUE(text == nullptr || compiled.back()) << text << ": " << msg();
        if (text)
            m.ses[k].filter.assign(reinterpret_cast<const uint8_t *>(compiled.back().get()),
                                   reinterpret_cast<const uint8_t *>(compiled.back().get()) +
                                       sizes[k]);
    }

    nif_log log = zeroed_log();
    log.path = file.c_str();
    log.hdr.nses = static_cast<int8_t>(nses);
    ASSERT_EQ(nif_write_loghdr(&log, nullptr, 0), 0) << msg();
    m.layout.push_back({Rec::LogHdr, 0});
    size_t off = kLogHdr;

    for (const Step &s : steps) {
        SessionModel &sm = m.ses.at(static_cast<size_t>(s.ses));
        nif_session &S = log.sessions[s.ses];
        if (s.kind == Step::SesHdr) {
            S.hdr = make_seshdr(s.ses, static_cast<int64_t>(sm.filter.size()));
            S.filter = compiled[static_cast<size_t>(s.ses)].get();
            ASSERT_EQ(nif_write_seshdr(&log, s.ses), 0) << msg();
            sm.hdr = S.hdr;
            m.layout.push_back({Rec::SesHdr, off});
            off += kSesHdr + sm.filter.size();
            continue;
        }
        int seq = static_cast<int>(m.evts.size());
        int id = s.ses_id < 0 ? s.ses : s.ses_id;
        EventModel em{id, make_evthdr(id, s.type, s.datalen, s.totlen, seq),
                      make_data(s.datalen, seq), off};
        S.evt = em.hdr;
        if (s.type == 3 || s.type == 4)
            set_trailer_words(S.trl, s.ses);
        ASSERT_EQ(nif_write_evt(&log, s.ses, em.data.data(), 0), 0) << msg();
        m.layout.push_back({Rec::EvtHdr, off});
        off += kEvtHdr + em.data.size();
        ++m.nevts;
        ++sm.nevts;
        if (s.type == 1) {
            ++m.nframes;
            ++sm.nframes;
            m.frame_bytes += static_cast<uint64_t>(s.totlen);
            sm.frame_bytes += static_cast<uint64_t>(s.totlen);
        }
        if (s.type == 3 || s.type == 4) {
            m.layout.push_back({Rec::Trailer, off});
            off += kTrailer;
            sm.closed = true;
            std::memset(&sm.trl, 0, sizeof sm.trl);
            set_trailer_words(sm.trl, s.ses);
            sm.trl.nframes = sm.nframes;
            sm.trl.frame_bytes = sm.frame_bytes;
            EXPECT_EQ(hex(S.trl), hex(sm.trl)) << "trailer of session " << s.ses;
        }
        m.evts.push_back(std::move(em));
    }

    // The writer's own counts agree with the model.
    EXPECT_EQ(log.nevts, m.nevts);
    EXPECT_EQ(log.nframes, m.nframes);
    EXPECT_EQ(log.frame_bytes, m.frame_bytes);
    EXPECT_EQ(log.nbytes, 0u) << "the writer leaves nbytes alone";
    for (int k = 0; k < nses; ++k) {
        EXPECT_EQ(log.sessions[k].nevts, m.ses[k].nevts) << "session " << k;
        EXPECT_EQ(log.sessions[k].trl.nframes, m.ses[k].nframes) << "session " << k;
        EXPECT_EQ(log.sessions[k].trl.frame_bytes, m.ses[k].frame_bytes) << "session " << k;
        EXPECT_EQ(log.sessions[k].trl_seen, m.ses[k].closed ? 1 : 0) << "session " << k;
    }
    nif_close_logfile(&log);
    m.size = off;
    ASSERT_EQ(file_size(file), static_cast<long>(off));
}

// Where the reader puts each event header.
enum class Slot {
    Handle, // ses -1: the handle's own evt
    Own,    // the event's own session
    First,  // always session 0, whatever session the event belongs to
};

// How each event is read.
enum class Modes {
    Whole,      // mode 0
    HdrThenRest // mode 2, then mode 1
};

inline int slot_index(Slot slot, int own)
{
    return slot == Slot::Handle ? -1 : slot == Slot::Own ? own : 0;
}

inline nif_evthdr &slot_hdr(nif_log &log, int ses)
{
    return ses < 0 ? log.evt : log.sessions[ses].evt;
}

// Reads a whole scripted log through an opened-or-named handle and checks every record against
// the model, then the end of the log. The handle is left for the caller to examine and close.
inline void read_log(nif_log &log, const LogModel &m, Slot slot, Modes modes,
                     char *stdio_buf = nullptr, int bufsize = 0)
{
    ASSERT_EQ(nif_read_loghdr(&log, stdio_buf, bufsize), 0) << msg();
    ASSERT_EQ(log.hdr.nses, m.nses);
    ASSERT_NE(log.sessions, nullptr);
    Bytes buf(1 << 17, 0);
    size_t e = 0;
    for (const Step &s : m.steps) {
        if (s.kind == Step::SesHdr) {
            ASSERT_EQ(nif_read_seshdr(&log, s.ses), 0) << msg();
            const nif_session &S = log.sessions[s.ses];
            const SessionModel &sm = m.ses[static_cast<size_t>(s.ses)];
            EXPECT_EQ(hex(S.hdr), hex(sm.hdr)) << "session header " << s.ses;
            if (sm.filter.empty()) {
                EXPECT_EQ(S.filter, nullptr);
                EXPECT_EQ(S.filter_owned, 0);
            } else {
                ASSERT_NE(S.filter, nullptr);
                EXPECT_EQ(S.filter_owned, 1);
                EXPECT_EQ(hex(S.filter, sm.filter.size()), hex(sm.filter)) << "filter " << s.ses;
            }
            continue;
        }
        const EventModel &em = m.evts[e++];
        int ses = slot_index(slot, em.ses);
        nif_evthdr &H = slot_hdr(log, ses);
        int trunc = 7;
        std::fill(buf.begin(), buf.end(), 0xEE);
        if (modes == Modes::HdrThenRest) {
            uint64_t before = log.nevts;
            ASSERT_EQ(nif_read_evt(&log, ses, buf.data(), static_cast<int>(buf.size()), 2, &trunc),
                      0)
                << msg();
            EXPECT_EQ(trunc, 7) << "mode 2 leaves truncated alone";
            EXPECT_EQ(log.nevts, before) << "mode 2 counts nothing";
            EXPECT_EQ(hex(H), hex(em.hdr)) << "event " << e - 1 << " header after mode 2";
        }
        int rc = nif_read_evt(&log, ses, buf.data(), static_cast<int>(buf.size()),
                              modes == Modes::Whole ? 0 : 1, &trunc);
        ASSERT_EQ(rc, 0) << "event " << e - 1 << ": " << msg();
        EXPECT_EQ(trunc, 0);
        EXPECT_EQ(hex(H), hex(em.hdr)) << "event " << e - 1 << " header";
        EXPECT_TRUE(std::equal(em.data.begin(), em.data.end(), buf.begin()))
            << "event " << e - 1 << " data";
        EXPECT_EQ(buf[em.data.size()], 0xEE) << "event " << e - 1 << " wrote past its data";
    }
    set_msg(kSentinel);
    int trunc = 0;
    EXPECT_EQ(nif_read_evt(&log, slot == Slot::Handle ? -1 : 0, buf.data(),
                           static_cast<int>(buf.size()), 0, &trunc),
              1);
    EXPECT_EQ(log.eof, 1);
    EXPECT_EQ(msg(), kSentinel) << "the end of the log is not a failure";
}

// After read_log: the handle's and the sessions' counts equal the model's.
inline void expect_counts(const nif_log &log, const LogModel &m)
{
    EXPECT_EQ(log.nevts, m.nevts);
    EXPECT_EQ(log.nframes, m.nframes);
    EXPECT_EQ(log.frame_bytes, m.frame_bytes);
    EXPECT_EQ(log.nbytes, m.size) << "every byte of the file is consumed";
    for (int k = 0; k < m.nses; ++k) {
        const nif_session &S = log.sessions[k];
        const SessionModel &sm = m.ses[static_cast<size_t>(k)];
        EXPECT_EQ(S.nevts, sm.nevts) << "session " << k;
        EXPECT_EQ(S.trl.nframes, sm.nframes) << "session " << k;
        EXPECT_EQ(S.trl.frame_bytes, sm.frame_bytes) << "session " << k;
        EXPECT_EQ(S.trl_seen, sm.closed ? 1 : 0) << "session " << k;
        if (sm.closed) {
            EXPECT_EQ(hex(S.trl), hex(sm.trl)) << "trailer of session " << k;
        }
    }
}

// Everything a reader's handle holds, pointers aside, as text that gtest can diff.
inline std::string snapshot(const nif_log &log)
{
    std::ostringstream o;
    o << "hdr " << hex(&log.hdr, kLogHdr) << "\nevt " << hex(log.evt) << "\nnbytes " << log.nbytes
      << " nevts " << log.nevts << " nframes " << log.nframes << " frame_bytes " << log.frame_bytes
      << " eof " << log.eof << " swap " << log.swap << "\n";
    for (int k = 0; log.sessions != nullptr && k < log.hdr.nses; ++k) {
        const nif_session &S = log.sessions[k];
        o << "session " << k << " hdr " << hex(S.hdr) << "\n trl " << hex(S.trl) << "\n evt "
          << hex(S.evt) << "\n nevts " << S.nevts << " trl_seen " << S.trl_seen << " filter_owned "
          << S.filter_owned << " filter "
          << (S.filter ? hex(S.filter, static_cast<size_t>(S.hdr.filtlen)) : "null") << "\n";
    }
    return o.str();
}

} // namespace logtest
