// The log reader: version and byte-order checks, session headers with their
// filters, events checked against the sessions, data cut to the caller's
// buffer, and the same counts as the writer keeps.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "niflog/handle.h"
#include "nifutils/usrmsg.h"

namespace zeriza {
namespace {

// One read of n bytes, errno cleared first so that a short read at the end
// of the file reports errno 0.
bool read_bytes(nif_log *log, void *p, size_t n)
{
    errno = 0;
    return n == 0 || std::fread(p, n, 1, log->fp) == 1;
}

bool read_failed(long n)
{
    usrmsg_errno("%d-byte Read failed - ", static_cast<int>(n));
    return false;
}

bool read_exact(nif_log *log, void *p, size_t n)
{
    if (!read_bytes(log, p, n))
        return read_failed(static_cast<long>(n));
    log->nbytes += n;
    return true;
}

// A writer of the other byte order wrote these 8-byte integers.
void swap_words(void *record, std::initializer_list<int> offsets)
{
    auto *bytes = static_cast<unsigned char *>(record);
    for (int off : offsets)
        std::reverse(bytes + off, bytes + off + 8);
}

void swap_seshdr(nif_seshdr *h)
{
    swap_words(h, {72, 120, 128, 136, 144, 152, 160, 168, 176, 184});
}

void swap_evthdr(nif_evthdr *e)
{
    swap_words(e, {8, 16, 24, 32});
}

void swap_trailer(nif_trailer *t)
{
    swap_words(t, {0, 8, 16, 24, 32});
}

bool native_first_byte(uint8_t first)
{
    const uint16_t mark = kOrderMark;
    uint8_t native;
    std::memcpy(&native, &mark, 1);
    return first == native;
}

// Skip n bytes of the stream by reading them: the log may be a pipe.
bool do_fwdseek(nif_log *log, int64_t n)
{
    char scratch[9000];
    while (n > 0) {
        size_t piece = static_cast<size_t>(std::min<int64_t>(n, sizeof scratch));
        if (!read_exact(log, scratch, piece))
            return false;
        n -= static_cast<int64_t>(piece);
    }
    return true;
}

} // namespace
} // namespace zeriza

using namespace zeriza;

extern "C" NIF_API int nif_read_loghdr(nif_log *log, char *buf, int bufsize)
{
    if (!open_stream(log, "r") || !set_buffer(log, buf, bufsize))
        return 1;
    const int room = log->hdr.nses; // the caller's preset, if any
    if (room != 0 && !log->sessions && !alloc_sessions(log, room))
        return 1;
    // Read beside the handle, so that a short read leaves the count that
    // sizes the array as it was.
    nif_loghdr file;
    if (!read_exact(log, &file, kLogHdrSize))
        return 1;
    log->hdr = file;
    // From here on every return leaves a handle that nif_close_logfile can
    // walk: an array that cannot hold the file's sessions keeps the count it
    // was made for, whatever else is wrong with the header.
    const bool too_many = log->sessions && file.nses > room;
    if (too_many)
        log->hdr.nses = static_cast<int8_t>(room);
    if (file.major != kMajor) {
        usrmsg("Different logfile major version (%d.%d vs file=%d.%d) - can't continue", kMajor,
               kMinor, file.major, file.minor);
        return 1;
    }
    if (file.minor != kMinor)
        usrmsg("WARNING: Different logfile minor version (%d vs file=%d) ... will try to continue",
               kMinor, file.minor);
    uint8_t first;
    std::memcpy(&first, &file.order_mark, 1);
    if (!native_first_byte(first))
        log->swap = 1;
    if (too_many) {
        usrmsg("Log file has %d sessions, handle has room for %d", file.nses, room);
        return 1;
    }
    if (log->hdr.nses != 0 && !log->sessions && !alloc_sessions(log, log->hdr.nses))
        return 1;
    return 0;
}

extern "C" NIF_API int nif_read_seshdr(nif_log *log, int ses)
{
    nif_session *s = session_at(log, ses);
    if (!s || !read_exact(log, &s->hdr, kSesHdrSize))
        return 1;
    if (log->swap)
        swap_seshdr(&s->hdr);
    int64_t filtlen = s->hdr.filtlen;
    if (filtlen == 0)
        return 0;
    if (filtlen < 0 || filtlen > INT_MAX) {
        usrmsg("Log file is corrupt, got %ld-byte filter for session %d",
               static_cast<long>(filtlen), ses + 1);
        return 1;
    }
    if (s->filter_owned) { // a slot read again: its earlier filter is ours
        std::free(s->filter);
        s->filter = nullptr;
    }
    // Read in growing pieces, so that a corrupt length costs no more memory
    // than the file really holds.
    const auto want = static_cast<size_t>(filtlen);
    size_t have = 0;
    while (have < want) {
        size_t room = std::min(want, std::max(have * 2, size_t{1} << 16));
        void *grown = std::realloc(s->filter, room);
        if (!grown) {
            usrmsg("OUT OF MEMORY on %ld-byte filter", static_cast<long>(filtlen));
            return 1;
        }
        s->filter = static_cast<filt_node *>(grown);
        s->filter_owned = 1;
        if (!read_bytes(log, reinterpret_cast<char *>(s->filter) + have, room - have)) {
            read_failed(static_cast<long>(filtlen));
            return 1;
        }
        have = room;
    }
    log->nbytes += want;
    return 0;
}

extern "C" NIF_API int nif_read_evt(nif_log *log, int ses, void *data, int size, int mode,
                                    int *truncated)
{
    nif_evthdr *h = &log->evt;
    if (ses != -1) {
        nif_session *slot = session_at(log, ses);
        if (!slot)
            return 1;
        h = &slot->evt;
    }
    if (size < 0) {
        usrmsg("Invalid %d-byte event data buffer", size);
        return 1;
    }
    if (!(mode & NIF_READ_HAVE_HDR)) {
        if (!read_bytes(log, h, kEvtHdrSize)) {
            if (std::feof(log->fp)) { // even mid-header: the log ends here
                log->eof = 1;
                return 1;
            }
            read_failed(kEvtHdrSize);
            return 1;
        }
        log->nbytes += kEvtHdrSize;
        if (log->swap)
            swap_evthdr(h);
    }
    // Checked whether or not this call read the header: a header handed
    // back by the caller picks the session record that is written next.
    if (h->ses_id >= log->hdr.nses || !log->sessions) {
        usrmsg("Log file is corrupt, got ses_id=%u on evt %lu", h->ses_id,
               static_cast<unsigned long>(log->nevts));
        return 1;
    }
    nif_session &s = log->sessions[h->ses_id];
    if (s.trl_seen) {
        usrmsg("Log file is corrupt, got event-type %u after Session-%d trailer", h->type,
               h->ses_id + 1);
        return 1;
    }
    if (h->datalen < 0) {
        usrmsg("Log file is corrupt, got %ld-byte data on evt %lu", static_cast<long>(h->datalen),
               static_cast<unsigned long>(log->nevts));
        return 1;
    }
    if ((mode & NIF_READ_HDR_ONLY) && !(mode & NIF_READ_HAVE_HDR))
        return 0;

    int dummy;
    int *cut = truncated ? truncated : &dummy;
    *cut = 0;
    int result = 0;
    int64_t excess = 0;
    if (h->datalen > size) {
        excess = h->datalen - size;
        h->datalen = size;
    }
    if (h->datalen > 0 && !read_bytes(log, data, static_cast<size_t>(h->datalen))) {
        read_failed(static_cast<long>(h->datalen));
        return 1;
    }
    log->nbytes += static_cast<uint64_t>(h->datalen);
    if (excess > 0) {
        result = 1;
        if (do_fwdseek(log, excess)) {
            usrmsg("Event #%u:%lu truncated by %d bytes", h->ses_id + 1u,
                   static_cast<unsigned long>(s.nevts), static_cast<int>(excess));
            *cut = 1;
        }
    }

    ++log->nevts;
    ++s.nevts;
    if (h->type == NIF_EVT_FRAME) {
        ++log->nframes;
        ++s.trl.nframes;
        log->frame_bytes += static_cast<uint64_t>(h->totlen);
        s.trl.frame_bytes += static_cast<uint64_t>(h->totlen);
    } else if (h->type == NIF_EVT_CLOSE || h->type == NIF_EVT_ABORT) {
        // The file's totals replace what was counted here.
        if (!read_exact(log, &s.trl, kTrailerSize))
            return 1;
        s.trl_seen = 1;
        if (log->swap)
            swap_trailer(&s.trl);
    }
    return result;
}
