// Reading a log the way the tool records it (a session header before each
// session's events, the next one after the event that closes a session), as
// far as it is whole: a damaged or cut log yields every complete event
// before the damage, then says where and why it ends early.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "output.h"
#include "zeriza.h"

namespace ztool {

struct LogVisitor {
    std::function<void(const nif_log &)> header;
    // A session header with its filter (checked with nif_filt_check).
    std::function<void(int ses, const nif_session &)> session;
    // An event; `data` holds its (possibly cut) data; `index` counts from 0.
    std::function<void(const nif_evthdr &, const uint8_t *data, uint64_t index)> event;
    // The trailer of a session that was just closed.
    std::function<void(int ses, const nif_trailer &)> trailer;
};

// How a walk ended.
struct LogEnd {
    int nses = 0;             // sessions the log header announces
    std::vector<bool> closed; // by session: its trailer was read
    uint64_t bytes = 0;       // bytes of whole records read
    std::string problem;      // empty, or where and why the log ends early
    int signal = 0;           // the stop signal that ended the walk, or 0
    bool whole() const { return problem.empty() && signal == 0; }

    // Say on standard error why the log was not read whole, and give the
    // exit status for it: 0 when it was.
    int report() const;
};

// The log to read ("-" for standard input), as an input of a command.
InputFile log_input(const std::string &path);

// Walk the log at `path`. Throws Failure when it cannot be read at all or is
// no zeriza log; anything after a good log header ends the walk instead and
// is told in the result.
LogEnd walk_log(const std::string &path, const LogVisitor &visit);

} // namespace ztool
