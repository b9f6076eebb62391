#include "tools/logwalk.h"

#include <memory>

#include "zeriza_host.h"

namespace ztool {
namespace {

// Room for the largest frame a capture can hold.
constexpr int kDataMax = 262144;

struct LogHandle {
    nif_log log{};
    ~LogHandle() { nif_close_logfile(&log); }
};

[[noreturn]] void fail(const std::string &path, const std::string &what)
{
    throw Failure(path + ": " + what);
}

} // namespace

void walk_log(const std::string &path, const LogVisitor &visit)
{
    LogHandle h;
    h.log.path = path.c_str();
    if (nif_read_loghdr(&h.log, nullptr, 1 << 16) != 0)
        fail(path, gnl_usrmsg);
    if (visit.header)
        visit.header(h.log);
    int nses = h.log.hdr.nses;
    auto read_session = [&](int ses) {
        if (nif_read_seshdr(&h.log, ses) != 0)
            fail(path, gnl_usrmsg);
        const nif_session &s = h.log.sessions[ses];
        if (s.hdr.filtlen != 0 && nif_filt_check(s.filter, static_cast<int>(s.hdr.filtlen)) != 0)
            fail(path, "session " + std::to_string(ses + 1) + ": filter refused: " + gnl_usrmsg);
        if (visit.session)
            visit.session(ses, s);
    };
    if (nses > 0)
        read_session(0);
    auto data = std::make_unique<uint8_t[]>(kDataMax);
    for (uint64_t index = 0;; ++index) {
        int truncated = 0;
        int rc = nif_read_evt(&h.log, -1, data.get(), kDataMax, 0, &truncated);
        if (rc != 0 && h.log.eof)
            break;
        if (rc != 0 && !truncated)
            fail(path, gnl_usrmsg);
        const nif_evthdr &e = h.log.evt;
        if (visit.event)
            visit.event(e, data.get(), index);
        if (e.type == NIF_EVT_CLOSE || e.type == NIF_EVT_ABORT) {
            if (visit.trailer)
                visit.trailer(e.ses_id, h.log.sessions[e.ses_id].trl);
            if (e.ses_id + 1 < nses)
                read_session(e.ses_id + 1);
        }
    }
}

} // namespace ztool
