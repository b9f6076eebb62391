// zeriza record: a capture log with one session per input capture.
#include <cstdio>
#include <ctime>
#include <memory>

#include "captures.h"
#include "commands.h"
#include "interrupt.h"
#include "live.h"
#include "logfields.h"
#include "progress.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace ztool {
namespace {

// The library's writer on our output stream. It is closed before the
// output is committed, since closing flushes the stream.
class LogWriter {
  public:
    LogWriter(OutputFile &out, int nses) : out_(out)
    {
        log_.fp = out.stream();
        log_.hdr.nses = static_cast<int8_t>(nses);
        // No buffer of the library's: the stream already has a large one.
        check(nif_write_loghdr(&log_, nullptr, 0));
    }
    ~LogWriter()
    {
        if (log_.fp)
            nif_close_logfile(&log_);
    }
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    nif_session &session(int ses) { return log_.sessions[ses]; }
    void write_session(int ses) { check(nif_write_seshdr(&log_, ses)); }
    void write_event(int ses, const void *data) { check(nif_write_evt(&log_, ses, data, 0)); }
    void close()
    {
        nif_close_logfile(&log_);
        log_.fp = nullptr;
    }

  private:
    void check(int rc)
    {
        if (rc != 0)
            throw Failure("cannot write " + out_.describe() + ": " + gnl_usrmsg);
    }
    OutputFile &out_;
    nif_log log_{};
};

// Where a session's frames come from, as its header tells it.
struct SessionSource {
    std::string name; // the capture's path, or the interface
    Source kind;
    int dlt;
    Link link;
    int snaplen;
};

void begin_session(LogWriter &w, int ses, const SessionSource &from, const std::string &text,
                   const CompiledFilter *filter)
{
    nif_session &s = w.session(ses);
    put_text(s.hdr.usr_bytes0, from.name);
    s.hdr.usr_word0 = from.dlt;
    put_text(s.hdr.usr_bytes1, text);
    s.hdr.usr_words1[0] = link_code(from.link);
    s.hdr.usr_words1[1] = from.snaplen;
    s.hdr.usr_words2[0] = static_cast<int64_t>(std::time(nullptr));
    s.hdr.usr_words2[1] = static_cast<int64_t>(from.kind);
    put_text(s.hdr.usr_bytes2, "zeriza " ZERIZA_VERSION);
    s.hdr.filtlen = filter ? filter->size : 0;
    s.filter = filter ? filter->nodes : nullptr;
    w.write_session(ses);
}

void write_frame(LogWriter &w, int ses, const Packet &p)
{
    nif_session &s = w.session(ses);
    s.evt = nif_evthdr{};
    s.evt.ses_id = static_cast<uint8_t>(ses);
    s.evt.type = kEvtFrame;
    s.evt.word1 = p.sec;
    s.evt.word2 = p.nsec;
    s.evt.datalen = p.caplen;
    s.evt.totlen = p.origlen;
    w.write_event(ses, p.data);
}

void end_session(LogWriter &w, int ses, uint64_t frames_read, SessionEnd end)
{
    nif_session &s = w.session(ses);
    s.evt = nif_evthdr{};
    s.evt.ses_id = static_cast<uint8_t>(ses);
    s.evt.type = static_cast<uint8_t>(end == SessionEnd::Complete ? kEvtClose : kEvtEarly);
    s.evt.word1 = static_cast<int64_t>(frames_read);
    s.trl.usr_word0 = static_cast<int64_t>(frames_read);
    s.trl.usr_word1 = static_cast<int64_t>(end);
    w.write_event(ses, nullptr);
}

// One session of what an interface delivers, until the count, the duration
// or a stop signal: all of them normal ends of a live capture.
int record_live(const RecordOptions &o, const CompiledFilter *filter)
{
    LiveCapture cap(o.live);
    OutputFile out(o.log, "log", {});
    LogWriter w(out, 1);
    begin_session(w, 0, {cap.name(), Source::Interface, cap.dlt(), cap.link(), cap.snaplen()},
                  o.filter, filter);
    LiveRun run = run_live(cap, filter ? filter->nodes : nullptr, o.live, o.count, "recorded",
                           [&](const Packet &p) { write_frame(w, 0, p); });
    end_session(w, 0, run.seen, run.end);
    w.close();
    out.commit();
    std::fputs(live_summary(cap, run, "recorded").c_str(), stderr);
    if (run.end == SessionEnd::ReadError) {
        std::fprintf(stderr, "zeriza: %s; %s holds the %llu frames recorded before it\n",
                     one_line(run.error).c_str(), one_line(out.describe()).c_str(),
                     static_cast<unsigned long long>(run.passed));
        return 1;
    }
    return 0;
}

} // namespace

int cmd_record(const RecordOptions &o)
{
    // From the start, so that a signal never ends the command with its
    // output half made.
    catch_stop_signals();
    if (o.captures.size() > 127)
        throw UsageError("a log holds at most 127 sessions, one per capture");
    std::unique_ptr<CompiledFilter> filter;
    if (!o.filter.empty())
        filter = std::make_unique<CompiledFilter>(o.filter);
    if (!o.live.interface.empty())
        return record_live(o, filter.get());
    // Every capture is opened and checked before the log gets a byte, so that
    // a log is only written with sessions it can complete.
    auto readers = open_captures(o.captures);
    OutputFile out(o.log, "log", inputs_of(readers));
    LogWriter w(out, static_cast<int>(readers.size()));

    SessionEnd stop = SessionEnd::Complete; // why the recording stopped, if it did
    std::string read_error;
    uint64_t recorded = 0;
    std::string summary; // a line per capture
    Progress progress;
    for (size_t i = 0; i < readers.size(); ++i) {
        const int ses = static_cast<int>(i);
        CaptureReader &in = *readers[i];
        begin_session(w, ses, {o.captures[i], Source::File, in.dlt(), in.link(), in.snaplen()},
                      o.filter, filter.get());

        SessionEnd end = stop;
        Packet p;
        try {
            while (end == SessionEnd::Complete) {
                if (o.count != 0 && recorded >= static_cast<uint64_t>(o.count)) {
                    end = SessionEnd::Count;
                } else if (!in.next(p)) {
                    if (stop_signal())
                        end = SessionEnd::Signal;
                    break;
                } else {
                    progress.tick([&] {
                        return in.name() + ": " + std::to_string(in.frames()) + " frames read, " +
                               std::to_string(recorded) + " recorded";
                    });
                    MatchInput m = in.for_matcher(p);
                    if (filter && !nif_filt_match(filter->nodes, m.frame, m.len, m.link_type,
                                                  nullptr, nullptr, nullptr, m.opts))
                        continue;
                    write_frame(w, ses, p);
                    ++recorded;
                }
            }
        } catch (const ReadError &e) {
            end = SessionEnd::ReadError;
            read_error = e.what();
        }
        if (stop == SessionEnd::Complete)
            stop = end;
        end_session(w, ses, in.frames(), end);
        summary += one_line(in.name()) + ": " + std::to_string(in.frames()) + " frames read, " +
                   std::to_string(w.session(ses).trl.nframes) + " recorded" +
                   (end == SessionEnd::Complete ? "" : std::string(", ") + describe(end)) + "\n";
    }
    w.close();
    out.commit();
    // Said once the log is safe, so that a failure to write it is not
    // preceded by counts of frames it does not hold.
    progress.clear();
    std::fputs(summary.c_str(), stderr);

    if (stop == SessionEnd::Signal) {
        std::fprintf(stderr, "zeriza: interrupted by %s; %s holds the %llu frames recorded\n",
                     signal_name(stop_signal()), one_line(out.describe()).c_str(),
                     static_cast<unsigned long long>(recorded));
        return stopped_status(stop_signal());
    }
    if (stop == SessionEnd::ReadError) {
        std::fprintf(stderr, "zeriza: %s; %s holds the %llu frames recorded before it\n",
                     one_line(read_error).c_str(), one_line(out.describe()).c_str(),
                     static_cast<unsigned long long>(recorded));
        return 1;
    }
    return 0;
}

} // namespace ztool
