// zeriza match: count the frames of captures that pass a filter, and write
// them to a pcap file if asked.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "captures.h"
#include "commands.h"
#include "interrupt.h"
#include "live.h"
#include "progress.h"
#include "zeriza.h"

namespace ztool {
namespace {

// What an interface delivers, until the count, the duration or a stop
// signal: all of them normal ends of a live capture.
int match_live(const MatchOptions &o, const CompiledFilter &filter)
{
    LiveCapture cap(o.live);
    std::unique_ptr<CaptureWriter> out;
    if (!o.out.empty())
        out = std::make_unique<CaptureWriter>(o.out, cap.dlt(), cap.snaplen(), cap.nanosecond(),
                                              std::vector<InputFile>{});
    LiveRun run = run_live(cap, filter.nodes, o.live, o.count, "passed", [&](const Packet &p) {
        if (out)
            out->write(p);
    });
    if (out)
        out->close();
    std::fputs(live_summary(cap, run, "passed").c_str(), stderr);
    if (run.end == SessionEnd::ReadError) {
        std::fprintf(stderr, "zeriza: %s\n", one_line(run.error).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int cmd_match(const MatchOptions &o)
{
    // From the start, so that a signal never ends the command with its
    // output half made.
    catch_stop_signals();
    CompiledFilter filter(o.short_form.empty() ? o.filter : expand_short(o.short_form));
    if (!o.live.interface.empty())
        return match_live(o, filter);
    auto readers = open_captures(o.captures);
    std::unique_ptr<CaptureWriter> out;
    if (!o.out.empty()) {
        // One pcap file has one link type.
        const CaptureReader &first = *readers.front();
        int snaplen = 0;
        for (const auto &r : readers) {
            if (r->dlt() != first.dlt())
                throw Failure("captures " + first.name() + " and " + r->name() +
                              " have different link types; a pcap file holds only one");
            snaplen = std::max(snaplen, r->snaplen());
        }
        out =
            std::make_unique<CaptureWriter>(o.out, first.dlt(), snaplen, true, inputs_of(readers));
    }

    uint64_t read = 0, passed = 0;
    std::string read_error;
    Progress progress;
    for (const auto &r : readers) {
        CaptureReader &in = *r;
        Packet p;
        try {
            while ((o.count == 0 || passed < static_cast<uint64_t>(o.count)) && in.next(p)) {
                progress.tick([&] {
                    return std::to_string(read + in.frames()) + " frames read, " +
                           std::to_string(passed) + " passed";
                });
                MatchInput m = in.for_matcher(p);
                if (!nif_filt_match(filter.nodes, m.frame, m.len, m.link_type, nullptr, nullptr,
                                    nullptr, m.opts))
                    continue;
                ++passed;
                if (out)
                    out->write(p);
            }
        } catch (const ReadError &e) {
            read_error = e.what();
        }
        read += in.frames();
        if (!read_error.empty() || stop_signal() ||
            (o.count != 0 && passed >= static_cast<uint64_t>(o.count)))
            break;
    }
    if (out)
        out->close();
    progress.clear();
    std::fprintf(stderr, "%llu frames read, %llu passed\n", static_cast<unsigned long long>(read),
                 static_cast<unsigned long long>(passed));
    if (!read_error.empty()) {
        std::fprintf(stderr, "zeriza: %s\n", one_line(read_error).c_str());
        return 1;
    }
    if (int sig = stop_signal()) {
        std::fprintf(stderr, "zeriza: interrupted by %s\n", signal_name(sig));
        return stopped_status(sig);
    }
    return 0;
}

} // namespace ztool
