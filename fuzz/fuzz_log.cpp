// Bytes read as a capture log: header, session headers, events read into
// small buffers, either byte order; any filter it yields goes through
// nif_filt_check and, when accepted, nif_filt_match. The first byte says
// how many session headers to read first and how big the event buffer is.
#include <cstdio>

#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::frames(); // made once, before the first input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size < 2)
        return 0;
    int sessions_first = data[0] & 3;
    int bufsize = (data[0] >> 2) * 4; // 0 to 252 bytes
    FILE *fp = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
    if (!fp)
        return 0;
    nif_log log{};
    log.fp = fp;
    std::vector<uint8_t> buf(static_cast<size_t>(bufsize) + 1);
    auto check_filter = [&](int ses) {
        const nif_session &s = log.sessions[ses];
        if (s.filter && s.hdr.filtlen > 0 && s.hdr.filtlen <= (1 << 20) &&
            nif_filt_check(s.filter, static_cast<int>(s.hdr.filtlen)) == 0)
            fuzz::match_all(s.filter);
    };
    if (nif_read_loghdr(&log, nullptr, 0) == 0) {
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
