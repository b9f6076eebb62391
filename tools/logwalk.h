// Reading a log the way the tool records it: a session header before each
// session's events, the next one after the event that closes a session.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/captures.h"
#include "zeriza.h"

namespace ztool {

struct LogVisitor {
    std::function<void(const nif_log &)> header;
    // A session header with its filter (checked with nif_filt_check).
    std::function<void(int ses, const nif_session &)> session;
    // An event; `data` holds its (possibly cut) data.
    std::function<void(const nif_evthdr &, const uint8_t *data, uint64_t index)> event;
    // The trailer of a session that was just closed.
    std::function<void(int ses, const nif_trailer &)> trailer;
};

// Walk the log at `path`; throws Failure with the library's message when the
// log is corrupt or a session's filter is refused.
void walk_log(const std::string &path, const LogVisitor &visit);

} // namespace ztool
