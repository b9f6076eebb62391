// zeriza record: a capture log with one session per input capture.
#include <cstdio>
#include <ctime>

#include "tools/captures.h"
#include "tools/commands.h"
#include "tools/logfields.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace ztool {
namespace {

struct LogWriter {
    nif_log log{};
    ~LogWriter() { nif_close_logfile(&log); }

    void check(int rc)
    {
        if (rc != 0)
            throw Failure(std::string("cannot write log: ") + gnl_usrmsg);
    }
};

} // namespace

int cmd_record(const RecordOptions &o)
{
    if (o.captures.size() > 127)
        throw Failure("a log holds at most 127 sessions, one per capture");
    std::unique_ptr<CompiledFilter> filter;
    if (!o.filter.empty())
        filter = std::make_unique<CompiledFilter>(o.filter);

    LogWriter w;
    if (o.log == "-")
        w.log.fp = stdout;
    else
        w.log.path = o.log.c_str();
    w.log.hdr.nses = static_cast<int8_t>(o.captures.size());
    w.check(nif_write_loghdr(&w.log, nullptr, 1 << 16));

    for (size_t i = 0; i < o.captures.size(); ++i) {
        int ses = static_cast<int>(i);
        CaptureReader in(o.captures[i]);
        LinkMapping link = map_link_type(in.dlt());

        nif_session &s = w.log.sessions[ses];
        put_text(s.hdr.usr_bytes0, o.captures[i]);
        s.hdr.usr_word0 = in.dlt();
        put_text(s.hdr.usr_bytes1, o.filter);
        s.hdr.usr_words1[0] = link.link_type;
        s.hdr.usr_words1[1] = in.snaplen();
        s.hdr.usr_words2[0] = static_cast<int64_t>(std::time(nullptr));
        put_text(s.hdr.usr_bytes2, "zeriza " ZERIZA_VERSION);
        s.hdr.filtlen = filter ? filter->size : 0;
        s.filter = filter ? filter->nodes : nullptr;
        w.check(nif_write_seshdr(&w.log, ses));

        Packet p;
        while (in.next(p)) {
            if (filter && !nif_filt_match(filter->nodes, p.data, static_cast<int32_t>(p.caplen),
                                          link.link_type, nullptr, nullptr, nullptr, link.opts))
                continue;
            s.evt = nif_evthdr{};
            s.evt.ses_id = static_cast<uint8_t>(ses);
            s.evt.type = kEvtFrame;
            s.evt.word1 = p.sec;
            s.evt.word2 = p.nsec;
            s.evt.datalen = p.caplen;
            s.evt.totlen = p.origlen;
            w.check(nif_write_evt(&w.log, ses, p.data, 0));
        }
        s.evt = nif_evthdr{};
        s.evt.ses_id = static_cast<uint8_t>(ses);
        s.evt.type = kEvtClose;
        s.evt.word1 = static_cast<int64_t>(in.frames());
        s.trl.usr_word0 = static_cast<int64_t>(in.frames());
        w.check(nif_write_evt(&w.log, ses, nullptr, 0));
        std::fprintf(stderr, "%s: %llu frames read, %llu recorded\n", o.captures[i].c_str(),
                     static_cast<unsigned long long>(in.frames()),
                     static_cast<unsigned long long>(s.trl.nframes));
    }
    if (std::fflush(w.log.fp) != 0 || std::ferror(w.log.fp))
        throw Failure("cannot write log " + o.log);
    return 0;
}

} // namespace ztool
