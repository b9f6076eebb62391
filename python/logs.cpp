// Capture logs from Python, in the layout the zeriza tool records (its
// caller fields, one session after another, each closed by an event), so
// that the tool and Python programs read each other's logs.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logfields.h"
#include "logwalk.h"
#include "report.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace py = pybind11;

namespace {

py::object g_log_error;

[[noreturn]] void raise_log_error(const std::string &message)
{
    PyErr_SetString(g_log_error.ptr(), message.c_str());
    throw py::error_already_set();
}

// A path (str or os.PathLike), or else a binary file object.
std::optional<std::string> path_of(const py::object &target)
{
    if (py::isinstance<py::str>(target) || py::hasattr(target, "__fspath__"))
        return py::str(py::module_::import("os").attr("fspath")(target)).cast<std::string>();
    return std::nullopt;
}

// A file object's name for messages: its `name` when it has one (an open
// file), else what repr() says.
std::string name_of(const py::object &file)
{
    if (py::hasattr(file, "name") && py::isinstance<py::str>(file.attr("name")))
        return file.attr("name").cast<std::string>();
    return py::repr(file).cast<std::string>();
}

// The pcap link type (DLT) a session records for a library link-type code:
// Ethernet (and the 802.3 frames it carries), FDDI, PPP in HDLC framing,
// raw IP.
int64_t dlt_of(int32_t link)
{
    switch (link) {
    case NIF_LINK_8023:
    case NIF_LINK_ETHER:
        return 1;
    case NIF_LINK_FDDI:
        return 10;
    case NIF_LINK_HDLC:
        return 50;
    case NIF_LINK_RAWIP:
        return 12;
    default:
        return 0;
    }
}

class LogWriter {
  public:
    LogWriter(py::object target, int sessions) : target_(std::move(target))
    {
        if (sessions < 1 || sessions > 127)
            throw py::value_error("a log holds 1 to 127 sessions");
        if (auto path = path_of(target_)) {
            name_ = *path;
            log_.path = name_.data();
        } else {
            if (!py::hasattr(target_, "write"))
                throw py::type_error("a log is written to a path or a binary file object");
            name_ = name_of(target_);
            cookie_io_functions_t io{};
            io.write = &LogWriter::write_to_file;
            log_.fp = fopencookie(this, "w", io);
            if (!log_.fp)
                raise_log_error("cannot write log " + name_ + ": " + std::strerror(errno));
            own_fp_ = true;
            // The stream buffers for itself; a file object has no descriptor
            // for the library to look at.
            log_.nobuf = 1;
        }
        log_.hdr.nses = static_cast<int8_t>(sessions);
        frames_.assign(static_cast<size_t>(sessions), 0);
        filters_.resize(static_cast<size_t>(sessions));
        if (nif_write_loghdr(&log_, nullptr, 0) != 0) {
            // No destructor runs for a constructor that throws.
            const std::string why = failed_ ? failure_ : std::string(gnl_usrmsg);
            release();
            raise_log_error("cannot write log " + name_ + ": " + why);
        }
    }
    ~LogWriter() { release(); }

    int session(const py::object &filter, int32_t link, const std::string &capture,
                std::optional<int64_t> dlt, int64_t snaplen)
    {
        writable();
        if (next_ >= log_.hdr.nses)
            raise_log_error("the log was opened for " + std::to_string(log_.hdr.nses) +
                            " sessions");
        close_open_session();
        const int ses = next_++;
        std::string text;
        if (!filter.is_none()) {
            py::bytes nodes = filter.attr("__bytes__")();
            filters_[static_cast<size_t>(ses)] = nodes;
            text = filter.attr("text").cast<std::string>();
        }
        const std::string &nodes = filters_[static_cast<size_t>(ses)];
        nif_session &s = log_.sessions[ses];
        ztool::put_text(s.hdr.usr_bytes0, capture);
        s.hdr.usr_word0 = dlt.value_or(dlt_of(link));
        ztool::put_text(s.hdr.usr_bytes1, text);
        s.hdr.usr_words1[0] = link;
        s.hdr.usr_words1[1] = snaplen;
        s.hdr.usr_words2[0] = static_cast<int64_t>(std::time(nullptr));
        s.hdr.usr_words2[1] = static_cast<int64_t>(ztool::Source::File);
        ztool::put_text(s.hdr.usr_bytes2, "zeriza " ZERIZA_VERSION);
        s.hdr.filtlen = static_cast<int64_t>(nodes.size());
        s.filter = nodes.empty() ? nullptr
                                 : reinterpret_cast<filt_node *>(const_cast<char *>(nodes.data()));
        check(nif_write_seshdr(&log_, ses));
        open_ = ses;
        return ses;
    }

    void write_frame(int ses, const py::buffer &data, int64_t sec, int64_t nsec,
                     std::optional<int64_t> orig_len)
    {
        writable();
        if (ses != open_ || open_ < 0)
            raise_log_error("session " + std::to_string(ses) + " is not the open one");
        py::buffer_info b = data.request();
        if (b.itemsize != 1 || !PyBuffer_IsContiguous(b.view(), 'C'))
            throw py::type_error("frame data must be contiguous bytes");
        nif_session &s = log_.sessions[ses];
        s.evt = nif_evthdr{};
        s.evt.ses_id = static_cast<uint8_t>(ses);
        s.evt.type = ztool::kEvtFrame;
        s.evt.word1 = sec;
        s.evt.word2 = nsec;
        s.evt.datalen = b.size;
        s.evt.totlen = orig_len.value_or(b.size);
        check(nif_write_evt(&log_, ses, b.ptr, 0));
        ++frames_[static_cast<size_t>(ses)];
    }

    // Each session opened is closed, and each never opened written empty,
    // so that the log reads back whole.
    void close()
    {
        if (closed_)
            return;
        close_open_session();
        while (next_ < log_.hdr.nses) {
            const int ses = next_++;
            nif_session &s = log_.sessions[ses];
            s.filter = nullptr;
            check(nif_write_seshdr(&log_, ses));
            open_ = ses;
            close_open_session();
        }
        closed_ = true;
        const bool flushed = std::fflush(log_.fp) == 0;
        release();
        if (!flushed || failed_)
            raise_log_error("cannot write log " + name_ + ": " + failure_);
    }

  private:
    void writable() const
    {
        if (closed_)
            raise_log_error("the log " + name_ + " is closed");
    }

    void close_open_session()
    {
        if (open_ < 0)
            return;
        const int ses = open_;
        open_ = -1;
        nif_session &s = log_.sessions[ses];
        const auto frames = static_cast<int64_t>(frames_[static_cast<size_t>(ses)]);
        s.evt = nif_evthdr{};
        s.evt.ses_id = static_cast<uint8_t>(ses);
        s.evt.type = ztool::kEvtClose;
        s.evt.word1 = frames;
        s.trl.usr_word0 = frames;
        s.trl.usr_word1 = static_cast<int64_t>(ztool::SessionEnd::Complete);
        check(nif_write_evt(&log_, ses, nullptr, 0));
    }

    void check(int rc)
    {
        if (rc != 0)
            raise_log_error("cannot write log " + name_ + ": " +
                            (failed_ ? failure_ : std::string(gnl_usrmsg)));
    }

    void release()
    {
        if (log_.sessions || log_.fp) {
            FILE *fp = own_fp_ ? log_.fp : nullptr;
            nif_close_logfile(&log_);
            if (fp && std::fclose(fp) != 0 && !failed_) {
                failed_ = true;
                failure_ = std::strerror(errno);
            }
            log_.fp = nullptr;
            log_.sessions = nullptr;
        }
    }

    // The stream's bytes to the Python file; the GIL is held, since every
    // write happens inside a call from Python.
    static ssize_t write_to_file(void *cookie, const char *buf, size_t n)
    {
        auto *w = static_cast<LogWriter *>(cookie);
        try {
            w->target_.attr("write")(py::bytes(buf, n));
            return static_cast<ssize_t>(n);
        } catch (py::error_already_set &e) {
            w->failed_ = true;
            w->failure_ = e.what();
            errno = EIO;
            return -1;
        }
    }

    py::object target_;
    std::string name_;
    nif_log log_{};
    bool own_fp_ = false, closed_ = false, failed_ = false;
    std::string failure_;
    int next_ = 0, open_ = -1;
    std::vector<uint64_t> frames_;
    std::vector<std::string> filters_; // the nodes each session header points at
};

// A whole log read as far as it is whole: its sessions' header fields, its
// events as (session, type, ts_sec, ts_nsec, data, orig_len), and why it
// ends early (None when it does not).
py::tuple read_log(const py::object &target)
{
    std::unique_ptr<ztool::LogSource> src;
    std::string python_error;
    try {
        if (auto path = path_of(target)) {
            src = std::make_unique<ztool::LogSource>(*path);
        } else {
            if (!py::hasattr(target, "read"))
                throw py::type_error("a log is read from a path or a binary file object");
            py::object read = target.attr("read");
            src = std::make_unique<ztool::LogSource>(
                name_of(target), [read, &python_error](char *buf, size_t n) {
                    try {
                        std::string got = py::bytes(read(n));
                        std::memcpy(buf, got.data(), std::min(n, got.size()));
                        return static_cast<ssize_t>(std::min(n, got.size()));
                    } catch (py::error_already_set &e) {
                        python_error = e.what();
                        errno = EIO;
                        return ssize_t{-1};
                    }
                });
        }
        py::list sessions, events;
        ztool::LogVisitor v;
        v.session = [&](int ses, const nif_session &s) {
            py::dict d;
            d["index"] = ses;
            d["capture"] = ztool::get_text(s.hdr.usr_bytes0);
            d["dlt"] = s.hdr.usr_word0;
            d["filter_text"] = ztool::get_text(s.hdr.usr_bytes1);
            d["link"] = s.hdr.usr_words1[0];
            d["snaplen"] = s.hdr.usr_words1[1];
            d["recorded"] = s.hdr.usr_words2[0];
            d["interface"] =
                static_cast<ztool::Source>(s.hdr.usr_words2[1]) == ztool::Source::Interface;
            d["filter"] = s.hdr.filtlen == 0
                              ? py::object(py::none())
                              : py::object(py::bytes(reinterpret_cast<const char *>(s.filter),
                                                     static_cast<size_t>(s.hdr.filtlen)));
            sessions.append(d);
        };
        v.event = [&](const nif_evthdr &e, const uint8_t *data, uint64_t) {
            const auto kept = static_cast<size_t>(std::clamp<int64_t>(e.datalen, 0, 262144));
            events.append(py::make_tuple(e.ses_id, e.type, e.word1, e.word2,
                                         py::bytes(reinterpret_cast<const char *>(data), kept),
                                         e.totlen));
        };
        ztool::LogEnd end = ztool::walk_log(*src, v);
        py::object problem = py::none();
        if (!end.problem.empty())
            problem =
                py::str(end.problem + (python_error.empty() ? "" : " (" + python_error + ")"));
        return py::make_tuple(sessions, events, problem);
    } catch (const ztool::Failure &e) {
        raise_log_error(std::string(e.what()) +
                        (python_error.empty() ? "" : " (" + python_error + ")"));
    }
}

} // namespace

void bind_logs(py::module_ &m, const py::object &log_error)
{
    g_log_error = log_error;
    m.def("_read_log", &read_log, py::arg("target"));
    py::class_<LogWriter>(m, "_LogWriter")
        .def(py::init<py::object, int>(), py::arg("target"), py::arg("sessions") = 1)
        .def("session", &LogWriter::session, py::arg("filter") = py::none(),
             py::arg("link") = NIF_LINK_ETHER, py::arg("capture") = "", py::arg("dlt") = py::none(),
             py::arg("snaplen") = 262144)
        .def("write_frame", &LogWriter::write_frame, py::arg("session"), py::arg("data"),
             py::arg("ts_sec"), py::arg("ts_nsec"), py::arg("orig_len") = py::none())
        .def("close", &LogWriter::close);
}
