// The parts of a log handle that the writer and the reader share, and
// nif_close_logfile, which ends the use of a handle for both.
#include "niflog/handle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "nifutils/usrmsg.h"

namespace zeriza {

bool open_stream(nif_log *log, const char *mode)
{
    if (log->path && !log->fp) {
        errno = 0;
        log->fp = std::fopen(log->path, mode);
        if (!log->fp) {
            usrmsg_errno("Open failed on logfile=%s, ", log->path);
            return false;
        }
        log->fp_owned = 1;
    }
    if (!log->fp) {
        usrmsg("No logfile: the handle has neither a path nor a stream");
        return false;
    }
    return true;
}

bool set_buffer(nif_log *log, char *buf, int bufsize)
{
    if (bufsize == 0)
        return true;
    if (bufsize < 0) {
        usrmsg("Invalid %d-byte stdio buffer", bufsize);
        return false;
    }
    if (!buf) {
        buf = static_cast<char *>(std::malloc(static_cast<size_t>(bufsize)));
        if (!buf) {
            usrmsg("OUT OF MEMORY on %d-byte stdio buffer", bufsize);
            return false;
        }
        log->stdio_buf = buf;
    }
    std::fflush(log->fp);
    std::setvbuf(log->fp, buf, _IOFBF, static_cast<size_t>(bufsize));
    return true;
}

bool alloc_sessions(nif_log *log, int nses)
{
    // A count byte of 128 or more is negative: the size says so.
    long bytes = static_cast<long>(nses) * static_cast<long>(sizeof(nif_session));
    if (nses > 0)
        log->sessions =
            static_cast<nif_session *>(std::calloc(static_cast<size_t>(nses), sizeof(nif_session)));
    if (!log->sessions) {
        usrmsg("OUT OF MEMORY on %d-byte sessions array", static_cast<int>(bytes));
        return false;
    }
    log->sessions_owned = 1;
    return true;
}

nif_session *session_at(nif_log *log, int ses)
{
    if (ses < 0 || ses >= log->hdr.nses || !log->sessions) {
        usrmsg("Session index %d out of range (nses=%d)", ses, log->hdr.nses);
        return nullptr;
    }
    return &log->sessions[ses];
}

} // namespace zeriza

extern "C" NIF_API void nif_close_logfile(nif_log *log)
{
    std::fflush(log->fp); // a null stream flushes every output stream
    if (log->fp_owned) {
        if (log->fp)
            std::fclose(log->fp);
        log->fp = nullptr;
        log->fp_owned = 0;
    }
    if (log->stdio_buf) {
        if (log->fp) // the caller's stream stays open: take it off our buffer
            std::setbuf(log->fp, nullptr);
        std::free(log->stdio_buf);
        log->stdio_buf = nullptr;
    }
    if (log->sessions && log->hdr.nses > 0)
        for (int i = 0; i < log->hdr.nses; ++i) {
            nif_session &s = log->sessions[i];
            if (s.filter_owned && s.filter) {
                std::free(s.filter);
                s.filter = nullptr;
            }
        }
    if (log->sessions_owned) {
        std::free(log->sessions);
        log->sessions = nullptr;
        log->sessions_owned = 0;
    }
}
