// Bytes read as a capture log: header, session headers, events read into
// small buffers, either byte order; any filter it yields goes through
// nif_filt_check and, when accepted, nif_filt_match. Two control bytes come
// first. Byte 0: how many session headers to read first (bits 0-1) and how
// big the event buffer is (bits 2-7, in 4-byte steps). Byte 1: the handle's
// room for sessions before the header is read (bits 2-7: 1 to 64 records),
// given as nothing (bits 0-1 zero), a preset count for the library to
// allocate (1), or a caller's array of exactly that many records (2, 3).
#include <cstdio>
#include <memory>
#include <span>

#include "fuzz/fuzz_common.h"
#include "tools/describe.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::frames(); // made once, before the first input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size < 3)
        return 0;
    int sessions_first = data[0] & 3;
    int bufsize = (data[0] >> 2) * 4; // 0 to 252 bytes
    const int preset = data[1] & 3, room = (data[1] >> 2) + 1;
    FILE *fp = fmemopen(const_cast<uint8_t *>(data + 2), size - 2, "r");
    if (!fp)
        return 0;
    nif_log log{};
    log.fp = fp;
    // On the heap and exactly `room` long, so that the sanitizer sees any
    // step past the caller's array.
    std::unique_ptr<nif_session[]> callers;
    if (preset != 0)
        log.hdr.nses = static_cast<int8_t>(room);
    if (preset >= 2) {
        callers = std::make_unique<nif_session[]>(static_cast<size_t>(room));
        log.sessions = callers.get();
    }
    std::vector<uint8_t> buf(static_cast<size_t>(bufsize) + 1);
    // What the check accepts is matched, and printed as `zeriza dump` would.
    auto check_filter = [&](int ses) {
        const nif_session &s = log.sessions[ses];
        if (s.filter && s.hdr.filtlen > 0 && s.hdr.filtlen <= (1 << 20) &&
            nif_filt_check(s.filter, static_cast<int>(s.hdr.filtlen)) == 0) {
            fuzz::match_all(s.filter);
            std::span nodes(s.filter, static_cast<size_t>(s.hdr.filtlen) / NIF_NODE_SIZE);
            ztool::node_table(nodes);
            ztool::dot_graph(nodes);
        }
    };
    const int hdr_rc = nif_read_loghdr(&log, nullptr, 0);
    if (preset != 0 && log.sessions && log.hdr.nses > room)
        std::abort(); // whatever the result, the count must fit the array
    if (hdr_rc == 0) {
        int next = 0;
        for (; next < sessions_first && next < log.hdr.nses; ++next)
            if (nif_read_seshdr(&log, next) == 0)
                check_filter(next);
        for (int n = 0; n < 10000; ++n) {
            int truncated = 0;
            int rc = nif_read_evt(&log, n % 2 ? -1 : 0, buf.data(), bufsize, 0, &truncated);
            if (rc != 0 && !truncated)
                break;
            const nif_evthdr &e = n % 2 ? log.evt : log.sessions[0].evt;
            // Where a recorder writes the next session header.
            if ((e.type == 3 || e.type == 4) && next < log.hdr.nses &&
                nif_read_seshdr(&log, next) == 0)
                check_filter(next++);
        }
    }
    nif_close_logfile(&log);
    std::fclose(fp);
    return 0;
}
