// zeriza dump: a log in readable form.
#include <cinttypes>
#include <cstdio>
#include <span>
#include <vector>

#include "captures.h"
#include "commands.h"
#include "describe.h"
#include "interrupt.h"
#include "logfields.h"
#include "logwalk.h"
#include "report.h"

namespace ztool {
namespace {

struct Totals {
    uint64_t events = 0, frames = 0, bytes = 0;
};

} // namespace

int cmd_dump(const std::string &path, bool quiet)
{
    catch_stop_signals();
    std::vector<Totals> counted;
    bool all_agree = true;
    LogVisitor v;
    v.header = [&](const nif_log &log) {
        const nif_loghdr &h = log.hdr;
        outf("log %s: version %d.%d, %s byte order, %d sessions\n",
             one_line(path == "-" ? "on standard input" : path).c_str(), h.major, h.minor,
             log.swap ? "other" : "own", h.nses);
        counted.resize(h.nses > 0 ? static_cast<size_t>(h.nses) : 0);
    };
    v.session = [&](int ses, const nif_session &s) {
        outf("session %d: %s %s, link type %" PRId64 " (code %" PRId64 "), snaplen %" PRId64 "\n",
             ses + 1,
             static_cast<Source>(s.hdr.usr_words2[1]) == Source::Interface ? "interface"
                                                                           : "capture",
             one_line(get_text(s.hdr.usr_bytes0)).c_str(), s.hdr.usr_word0, s.hdr.usr_words1[0],
             s.hdr.usr_words1[1]);
        if (s.hdr.filtlen == 0) {
            out("  no filter\n");
            return;
        }
        outf("  filter '%s', %" PRId64 " bytes:\n", one_line(get_text(s.hdr.usr_bytes1)).c_str(),
             s.hdr.filtlen);
        out(node_table(std::span(s.filter, static_cast<size_t>(s.hdr.filtlen) / NIF_NODE_SIZE),
                       "    "));
    };
    v.event = [&](const nif_evthdr &e, const uint8_t *, uint64_t index) {
        Totals &t = counted[e.ses_id];
        ++t.events;
        if (e.type == kEvtFrame) {
            ++t.frames;
            t.bytes += static_cast<uint64_t>(e.totlen);
        }
        if (quiet)
            return;
        if (e.type == kEvtFrame) {
            int64_t sec = e.word1, nsec = e.word2;
            normalise_stamp(sec, nsec);
            outf("event %" PRIu64 ": session %u frame %" PRId64 ".%09" PRId64 " captured %" PRId64
                 " of %" PRId64 "\n",
                 index + 1, e.ses_id + 1u, sec, nsec, e.datalen, e.totlen);
        } else {
            outf("event %" PRIu64 ": session %u type %u, %" PRId64 " data bytes\n", index + 1,
                 e.ses_id + 1u, e.type, e.datalen);
        }
    };
    v.trailer = [&](int ses, const nif_trailer &t) {
        const Totals &c = counted[static_cast<size_t>(ses)];
        bool agree = t.nframes == c.frames && t.frame_bytes == c.bytes;
        all_agree = all_agree && agree;
        auto end = static_cast<SessionEnd>(t.usr_word1);
        outf("session %d trailer: %" PRIu64 " frames, %" PRIu64 " bytes (%" PRId64
             " frames read from the capture%s%s); events counted: %" PRIu64 " frames, %" PRIu64
             " bytes: %s\n",
             ses + 1, t.nframes, t.frame_bytes, t.usr_word0,
             end == SessionEnd::Complete ? "" : ", ",
             end == SessionEnd::Complete ? "" : describe(end), c.frames, c.bytes,
             agree ? "agree" : "DISAGREE");
    };
    LogEnd end = walk_log(path, v);
    for (size_t i = 0; i < counted.size(); ++i)
        outf("session %zu: %" PRIu64 " events, %" PRIu64 " frames, %" PRIu64 " bytes%s\n", i + 1,
             counted[i].events, counted[i].frames, counted[i].bytes,
             end.closed[i] ? "" : ", NO TRAILER: the log ends before the session was closed");
    outf("counts %s\n", !end.whole() ? "INCOMPLETE" : all_agree ? "agree" : "DISAGREE");
    finish_stdout();
    if (int status = end.report())
        return status;
    return all_agree ? 0 : 1;
}

} // namespace ztool
