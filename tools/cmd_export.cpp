// zeriza export: the frames of a log back as a pcap file.
#include <cstdio>
#include <memory>
#include <set>

#include "captures.h"
#include "commands.h"
#include "interrupt.h"
#include "logfields.h"
#include "logwalk.h"
#include "progress.h"

namespace ztool {
namespace {

// Room for a snapshot length when the log names none.
constexpr int kDefaultSnaplen = 262144;

} // namespace

int cmd_export(const std::string &log, const std::string &out, int session)
{
    catch_stop_signals();
    const InputFile input = log_input(log);
    auto wanted = [session](int ses) { return session == 0 || ses + 1 == session; };
    auto check_session = [&](const nif_log &l) {
        if (session > l.hdr.nses)
            throw UsageError("--session " + std::to_string(session) + ": the log has " +
                             std::to_string(l.hdr.nses) + " session" +
                             (l.hdr.nses == 1 ? "" : "s"));
    };

    // The pcap header must give the link type and the stamp resolution
    // before the first frame. A log in a regular file is read twice: first
    // to learn them (microsecond stamps unless one needs nanoseconds), then
    // to copy the frames. A log from a pipe can be read only once: its
    // frames are written with nanosecond stamps, in the link type of the
    // first session exported.
    const bool two_passes = log != "-" && input.id.has_value();
    std::set<int64_t> dlts;
    int64_t snaplen = 0;
    bool nano = !two_passes;
    if (two_passes) {
        LogVisitor scan;
        scan.header = check_session;
        scan.session = [&](int ses, const nif_session &s) {
            if (!wanted(ses))
                return;
            dlts.insert(s.hdr.usr_word0);
            snaplen = std::max(snaplen, s.hdr.usr_words1[1]);
        };
        scan.event = [&](const nif_evthdr &e, const uint8_t *, uint64_t) {
            int64_t sec = e.word1, nsec = e.word2;
            normalise_stamp(sec, nsec);
            if (e.type == kEvtFrame && wanted(e.ses_id) && nsec % 1000 != 0)
                nano = true;
        };
        if (const LogEnd scanned = walk_log(log, scan); scanned.signal)
            return scanned.report();
        if (dlts.size() > 1)
            throw Failure(input.name +
                          ": its sessions have different link types; choose one with --session");
    }

    std::unique_ptr<CaptureWriter> w;
    auto open_output = [&](int64_t dlt, int64_t snap) {
        w = std::make_unique<CaptureWriter>(out, static_cast<int>(dlt),
                                            snap > 0 ? static_cast<int>(snap) : kDefaultSnaplen,
                                            nano, std::vector<InputFile>{input});
    };
    if (two_passes)
        open_output(dlts.empty() ? 1 : *dlts.begin(), snaplen);

    uint64_t written = 0;
    int64_t first_dlt = -1;
    Progress progress;
    LogVisitor copy;
    copy.header = [&](const nif_log &l) {
        check_session(l);
        if (!w && l.hdr.nses <= 0) // nothing to learn the link type from
            open_output(1, 0);
    };
    copy.session = [&](int ses, const nif_session &s) {
        if (two_passes || !wanted(ses))
            return;
        if (!w) {
            first_dlt = s.hdr.usr_word0;
            open_output(first_dlt, s.hdr.usr_words1[1]);
        } else if (s.hdr.usr_word0 != first_dlt) {
            throw Failure(input.name +
                          ": its sessions have different link types; choose one with --session");
        }
    };
    copy.event = [&](const nif_evthdr &e, const uint8_t *data, uint64_t index) {
        progress.tick([&] {
            return input.name + ": " + std::to_string(index + 1) + " events read, " +
                   std::to_string(written) + " frames exported";
        });
        if (e.type != kEvtFrame || !wanted(e.ses_id))
            return;
        Packet p;
        p.sec = e.word1;
        p.nsec = e.word2;
        normalise_stamp(p.sec, p.nsec);
        p.caplen = static_cast<uint32_t>(e.datalen);
        p.origlen = static_cast<uint32_t>(e.totlen);
        p.data = data;
        w->write(p);
        ++written;
    };
    LogEnd end = walk_log(log, copy);
    if (!w) // a log from a pipe without the session asked for
        open_output(1, 0);
    w->close();
    progress.clear();
    std::fprintf(stderr, "%llu frames exported\n", static_cast<unsigned long long>(written));
    return end.report();
}

} // namespace ztool
