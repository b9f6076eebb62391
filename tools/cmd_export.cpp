// zeriza export: the frames of a log back as a pcap file.
#include <cstdio>
#include <memory>
#include <set>

#include "tools/captures.h"
#include "tools/commands.h"
#include "tools/logfields.h"
#include "tools/logwalk.h"

namespace ztool {

int cmd_export(const std::string &log, const std::string &out, int session)
{
    // A first pass learns the link type and whether any stamp needs
    // nanoseconds, which the pcap header must say before the first frame.
    std::set<int64_t> dlts;
    int64_t snaplen = 0;
    bool nano = false;
    int nses = 0;
    auto wanted = [session](int ses) { return session == 0 || ses + 1 == session; };
    LogVisitor scan;
    scan.header = [&](const nif_log &l) { nses = l.hdr.nses; };
    scan.session = [&](int ses, const nif_session &s) {
        if (!wanted(ses))
            return;
        dlts.insert(s.hdr.usr_word0);
        snaplen = std::max(snaplen, s.hdr.usr_words1[1]);
    };
    scan.event = [&](const nif_evthdr &e, const uint8_t *, uint64_t) {
        if (e.type == kEvtFrame && wanted(e.ses_id) && e.word2 % 1000 != 0)
            nano = true;
    };
    walk_log(log, scan);
    if (session < 0 || session > nses)
        throw Failure(log + ": no session " + std::to_string(session) + " (the log has " +
                      std::to_string(nses) + ")");
    if (dlts.size() > 1)
        throw Failure(log + ": its sessions have different link types; choose one with --session");
    int dlt = dlts.empty() ? 1 : static_cast<int>(*dlts.begin());

    CaptureWriter w(out, dlt, snaplen > 0 ? static_cast<int>(snaplen) : 262144, nano);
    uint64_t written = 0;
    LogVisitor copy;
    copy.event = [&](const nif_evthdr &e, const uint8_t *data, uint64_t) {
        if (e.type != kEvtFrame || !wanted(e.ses_id))
            return;
        Packet p;
        p.sec = e.word1;
        p.nsec = e.word2;
        p.caplen = static_cast<uint32_t>(e.datalen);
        p.origlen = static_cast<uint32_t>(e.totlen);
        p.data = data;
        w.write(p);
        ++written;
    };
    walk_log(log, copy);
    w.close();
    std::fprintf(stderr, "%llu frames exported\n", static_cast<unsigned long long>(written));
    return 0;
}

} // namespace ztool
