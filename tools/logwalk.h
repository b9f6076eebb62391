// Reading a log the way the tool records it (a session header before each
// session's events, the next one after the event that closes a session), as
// far as it is whole: a damaged or cut log yields every complete event
// before the damage, then says where and why it ends early.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
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

// The log's bytes reach the library through a stream that counts them and
// keeps the first few, so that a file that is no log can be told from one
// that is cut short, and the byte at which a log ends said, even on a pipe.
class LogSource {
  public:
    // The file at `path`, "-" for standard input. Throws Failure.
    explicit LogSource(const std::string &path);
    // Bytes from `read` (as read(2) gives them), named `name` in messages.
    LogSource(std::string name, std::function<ssize_t(char *, size_t)> read);
    ~LogSource();
    LogSource(const LogSource &) = delete;
    LogSource &operator=(const LogSource &) = delete;

    FILE *stream() const { return fp_; }
    uint64_t total() const { return total_; }
    bool at_end() const { return std::feof(fp_) != 0; }
    const std::string &name() const { return name_; }
    // The first bytes of the file, as many as it had (at most 16).
    std::string_view head() const;

  private:
    void open_stream();
    static ssize_t read(void *cookie, char *buf, size_t n);

    std::string name_;
    std::function<ssize_t(char *, size_t)> reader_;
    int fd_ = -1;
    bool own_ = false;
    FILE *fp_ = nullptr;
    uint64_t total_ = 0;
    uint8_t head_[16] = {};
};

// The log to read ("-" for standard input), as an input of a command.
InputFile log_input(const std::string &path);

// Walk the log at `path`. Throws Failure when it cannot be read at all or is
// no zeriza log; anything after a good log header ends the walk instead and
// is told in the result.
LogEnd walk_log(const std::string &path, const LogVisitor &visit);
LogEnd walk_log(LogSource &src, const LogVisitor &visit);

} // namespace ztool
