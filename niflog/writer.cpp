// The log writer: header, session headers with their filters, events with
// their data and trailers, and the counts of both the handle and the
// sessions. Records are written as the memory images of the public records.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "niflog/handle.h"
#include "nifutils/usrmsg.h"
#include "zeriza_host.h"

namespace zeriza {
namespace {

bool write_bytes(nif_log *log, const void *p, size_t n)
{
    return std::fwrite(p, n, 1, log->fp) == 1;
}

// Whether every event is flushed at once: the environment decides when it
// speaks; otherwise a caller stream that is not a regular file (a pipe, a
// terminal) is written through so that its reader sees events as they come.
// Returns the buffer size still to apply.
int choose_buffering(nif_log *log, int bufsize)
{
    if (const char *env = std::getenv("QOV_STDOUT_NOBUF"))
        log->nobuf = strcasecmp(env, "y") == 0;
    if (log->nobuf)
        return 0;
    if (log->fp) {
        struct stat st;
        if (fstat(fileno(log->fp), &st) != 0) {
            dbgtrc(1, 0, "Failed to stat niflog (errno=%d) - assume full buffering", errno);
        } else if (!S_ISREG(st.st_mode)) {
            log->nobuf = 1;
            return 0;
        }
    }
    return bufsize;
}

} // namespace
} // namespace zeriza

using namespace zeriza;

extern "C" NIF_API int nif_write_loghdr(nif_log *log, char *buf, int bufsize)
{
    bufsize = choose_buffering(log, bufsize);
    if (!open_stream(log, "w") || !set_buffer(log, buf, bufsize))
        return 1;
    if (log->hdr.nses != 0 && !log->sessions && !alloc_sessions(log, log->hdr.nses))
        return 1;
    std::memcpy(log->hdr.magic, "vavuda", 7);
    log->hdr.major = kMajor;
    log->hdr.minor = kMinor;
    log->hdr.order_mark = kOrderMark;
    if (!write_bytes(log, &log->hdr, kLogHdrSize)) {
        usrmsg_errno("Write failed for %d-byte logfile-header - ", kLogHdrSize);
        return 1;
    }
    return 0;
}

extern "C" NIF_API int nif_write_seshdr(nif_log *log, int ses)
{
    nif_session *s = session_at(log, ses);
    if (!s)
        return 1;
    int64_t filtlen = s->hdr.filtlen;
    if (filtlen < 0 || (filtlen > 0 && !s->filter)) {
        usrmsg("Session %d has no %ld-byte filter to write", ses, static_cast<long>(filtlen));
        return 1;
    }
    if (!write_bytes(log, &s->hdr, kSesHdrSize)) {
        usrmsg_errno("Write failed for %d-byte session-header - ", kSesHdrSize);
        return 1;
    }
    if (filtlen != 0 && !write_bytes(log, s->filter, static_cast<size_t>(filtlen))) {
        usrmsg_errno("Write failed for %ld-byte filter - ", static_cast<long>(filtlen));
        return 1;
    }
    return 0;
}

extern "C" NIF_API int nif_write_evt(nif_log *log, int ses, const void *data, int count_only)
{
    nif_session *s = session_at(log, ses);
    if (!s)
        return 1;
    nif_evthdr &e = s->evt;
    if (!count_only) {
        if (e.datalen < 0 || (e.datalen > 0 && !data)) {
            usrmsg("Event of session %d has no %ld data bytes to write", ses,
                   static_cast<long>(e.datalen));
            return 1;
        }
        if (!write_bytes(log, &e, kEvtHdrSize)) {
            usrmsg_errno("Write failed for %d-byte event-header=%d - ", kEvtHdrSize, e.type);
            return 1;
        }
        if (e.datalen != 0 && !write_bytes(log, data, static_cast<size_t>(e.datalen))) {
            usrmsg_errno("Write failed for %ld-byte event-%d - ", static_cast<long>(e.datalen),
                         e.type);
            return 1;
        }
    }
    ++log->nevts;
    ++s->nevts;
    if (e.type == NIF_EVT_FRAME) {
        ++log->nframes;
        ++s->trl.nframes;
        log->frame_bytes += static_cast<uint64_t>(e.totlen);
        s->trl.frame_bytes += static_cast<uint64_t>(e.totlen);
    } else if (e.type == NIF_EVT_CLOSE || e.type == NIF_EVT_ABORT) {
        // The trailer goes out even when only counting: it closes the session.
        if (!write_bytes(log, &s->trl, kTrailerSize)) {
            usrmsg_errno("Write failed for %d-byte logfile-trailer - ", kTrailerSize);
            return 1;
        }
        s->trl_seen = 1;
    }
    if (log->nobuf && std::fflush(log->fp) != 0) {
        // The event is counted, but its bytes did not reach the file.
        usrmsg_errno("Flush failed for logfile after event-%d - ", e.type);
        return 1;
    }
    return 0;
}
