#include "logwalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "interrupt.h"
#include "report.h"
#include "zeriza_host.h"

namespace ztool {
namespace {

// Room for the largest frame a capture can hold.
constexpr int kDataMax = 262144;

struct LogHandle {
    nif_log log{};
    ~LogHandle() { nif_close_logfile(&log); }
};

// What a file that fails as a log is, for the message.
std::string not_a_log(const LogSource &src)
{
    std::string_view h = src.head();
    if (h.empty())
        return src.name() + ": empty, not a zeriza log";
    constexpr std::string_view magic("vavuda\0", 7);
    if (h.substr(0, std::min(h.size(), magic.size())) != magic.substr(0, h.size())) {
        auto starts = [&](std::string_view m) { return h.substr(0, m.size()) == m; };
        const char *hint = starts("\xd4\xc3\xb2\xa1") || starts("\xa1\xb2\xc3\xd4") ||
                                   starts("\x4d\x3c\xb2\xa1") || starts("\xa1\xb2\x3c\x4d")
                               ? " (it is a pcap capture)"
                           : starts("\x0a\x0d\x0d\x0a") ? " (it is a pcapng capture)"
                                                        : "";
        return src.name() + ": not a zeriza log" + hint;
    }
    return "";
}

} // namespace

LogSource::LogSource(const std::string &path) : name_(path == "-" ? "standard input" : path)
{
    fd_ = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw Failure("cannot read log " + name_ + ": " + errno_text(errno));
    own_ = path != "-";
    open_stream();
}

LogSource::LogSource(std::string name, std::function<ssize_t(char *, size_t)> read)
    : name_(std::move(name)), reader_(std::move(read))
{
    open_stream();
}

void LogSource::open_stream()
{
    cookie_io_functions_t io{};
    io.read = &LogSource::read;
    fp_ = fopencookie(this, "r", io);
    if (!fp_) {
        int err = errno;
        if (own_)
            ::close(fd_);
        throw Failure("cannot read log " + name_ + ": " + errno_text(err));
    }
}

LogSource::~LogSource()
{
    std::fclose(fp_);
    if (own_)
        ::close(fd_);
}

std::string_view LogSource::head() const
{
    return {reinterpret_cast<const char *>(head_), std::min<uint64_t>(total_, sizeof head_)};
}

ssize_t LogSource::read(void *cookie, char *buf, size_t n)
{
    auto *s = static_cast<LogSource *>(cookie);
    for (;;) {
        ssize_t got = s->reader_ ? s->reader_(buf, n) : ::read(s->fd_, buf, n);
        if (got < 0 && errno == EINTR && !stop_signal())
            continue;
        if (got > 0) {
            for (ssize_t i = 0; i < got && s->total_ + static_cast<uint64_t>(i) < sizeof s->head_;
                 ++i)
                s->head_[s->total_ + static_cast<uint64_t>(i)] = static_cast<uint8_t>(buf[i]);
            s->total_ += static_cast<uint64_t>(got);
        }
        return got;
    }
}

int LogEnd::report() const
{
    if (signal) {
        std::fprintf(stderr, "zeriza: interrupted by %s\n", signal_name(signal));
        return stopped_status(signal);
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "zeriza: %s\n", one_line(problem).c_str());
        return 1;
    }
    return 0;
}

InputFile log_input(const std::string &path)
{
    return {path == "-" ? "standard input" : path,
            path == "-" ? file_id(STDIN_FILENO) : file_id(path)};
}

LogEnd walk_log(const std::string &path, const LogVisitor &visit)
{
    LogSource src(path);
    return walk_log(src, visit);
}

LogEnd walk_log(LogSource &src, const LogVisitor &visit)
{
    LogHandle h;
    h.log.fp = src.stream();
    const int rc = nif_read_loghdr(&h.log, nullptr, 1 << 16);
    if (std::string why = not_a_log(src); !why.empty())
        throw Failure(why);
    if (rc != 0 && src.total() < sizeof(nif_loghdr))
        throw Failure(src.name() + ": log truncated at byte " + std::to_string(src.total()) +
                      ", inside its header");
    if (rc != 0)
        throw Failure(src.name() + ": " + gnl_usrmsg);

    LogEnd end;
    end.nses = std::max(0, static_cast<int>(h.log.hdr.nses));
    end.closed.assign(static_cast<size_t>(end.nses), false);
    if (visit.header)
        visit.header(h.log);

    // Where the log stops being whole: at the end of its bytes when they
    // run out, else where the record that failed begins.
    auto stopped = [&](const std::string &what, uint64_t record_start) {
        end.bytes = h.log.nbytes;
        const std::string total = std::to_string(src.total());
        if (stop_signal())
            end.signal = stop_signal();
        else if (src.at_end() && src.total() == record_start)
            end.problem = src.name() + ": log ends at byte " + total + ", before " + what;
        else if (src.at_end())
            end.problem = src.name() + ": log truncated at byte " + total + ", inside " + what;
        else
            end.problem = src.name() + ": log damaged at byte " + std::to_string(record_start) +
                          ", " + what + ": " + gnl_usrmsg;
        return end;
    };
    auto read_session = [&](int ses) {
        const uint64_t at = h.log.nbytes;
        if (nif_read_seshdr(&h.log, ses) != 0)
            return false;
        const nif_session &s = h.log.sessions[ses];
        if (s.hdr.filtlen != 0 && nif_filt_check(s.filter, static_cast<int>(s.hdr.filtlen)) != 0) {
            end.problem = src.name() + ": log damaged at byte " + std::to_string(at) +
                          ", the filter of session " + std::to_string(ses + 1) +
                          " is refused: " + gnl_usrmsg;
            return false;
        }
        if (visit.session)
            visit.session(ses, s);
        return true;
    };
    auto session_failed = [&](int ses, uint64_t at) {
        if (!end.problem.empty()) // the filter was refused
            return end;
        return stopped("the header of session " + std::to_string(ses + 1), at);
    };

    if (end.nses > 0 && !read_session(0))
        return session_failed(0, sizeof(nif_loghdr));
    auto data = std::make_unique<uint8_t[]>(kDataMax);
    for (uint64_t index = 0;; ++index) {
        const uint64_t at = h.log.nbytes;
        int truncated = 0;
        int rc_evt = nif_read_evt(&h.log, -1, data.get(), kDataMax, 0, &truncated);
        const std::string what = "event " + std::to_string(index + 1);
        if (rc_evt != 0 && h.log.eof) {
            // The library ends the log at any short header; bytes left over
            // are an event cut short, not the end.
            if (src.total() > h.log.nbytes)
                return stopped(what, at);
            if (stop_signal())
                return stopped(what, at);
            break;
        }
        if (rc_evt != 0 && !truncated)
            return stopped(what, at);
        const nif_evthdr &e = h.log.evt;
        if (visit.event)
            visit.event(e, data.get(), index);
        if (e.type == NIF_EVT_CLOSE || e.type == NIF_EVT_ABORT) {
            end.closed[e.ses_id] = true;
            if (visit.trailer)
                visit.trailer(e.ses_id, h.log.sessions[e.ses_id].trl);
            const int next = e.ses_id + 1;
            if (next < end.nses && !read_session(next))
                return session_failed(next, h.log.nbytes);
        }
        if (stop_signal())
            return stopped(what, h.log.nbytes);
    }
    end.bytes = h.log.nbytes;
    auto open = std::find(end.closed.begin(), end.closed.end(), false);
    if (open != end.closed.end())
        end.problem = src.name() + ": log ends at byte " + std::to_string(src.total()) +
                      ", before the trailer of session " +
                      std::to_string(open - end.closed.begin() + 1);
    return end;
}

} // namespace ztool
