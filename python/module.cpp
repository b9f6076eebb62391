// The zeriza Python extension: compiled filters, matching one frame or many
// (without the GIL), and capture logs written and read with the same caller
// fields as the zeriza tool's, so that each reads the other's logs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "describe.h"
#include "logfields.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace py = pybind11;

namespace {

// The library keeps its compiler's state and its last message in
// process-wide buffers: one caller at a time, and the message read before
// the lock is given back.
std::mutex g_library;

py::object g_filter_error, g_log_error;

[[noreturn]] void raise(const py::object &kind, const std::string &message)
{
    PyErr_SetString(kind.ptr(), message.c_str());
    throw py::error_already_set();
}

struct Filter {
    std::vector<filt_node> nodes;
    std::string text; // the rule text it was compiled from, when known

    std::span<const filt_node> span() const { return nodes; }
};

Filter compile(const std::string &text)
{
    std::lock_guard lock(g_library);
    int size = 0;
    filt_node *nodes = nif_filt_parse(text.c_str(), &size);
    if (!nodes)
        raise(g_filter_error, gnl_usrmsg);
    Filter f{std::vector<filt_node>(nodes, nodes + size / NIF_NODE_SIZE), text};
    nif_filt_free(nodes);
    return f;
}

std::string short_form(const std::string &form)
{
    std::lock_guard lock(g_library);
    const char *text = nif_filt_short(form.c_str());
    if (!text)
        raise(g_filter_error, gnl_usrmsg);
    return text;
}

Filter from_bytes(const py::bytes &b)
{
    const std::string bytes = b;
    std::lock_guard lock(g_library);
    if (nif_filt_check(bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), INT32_MAX))) !=
        0)
        raise(g_filter_error, gnl_usrmsg);
    Filter f;
    f.nodes.resize(bytes.size() / NIF_NODE_SIZE);
    std::memcpy(f.nodes.data(), bytes.data(), bytes.size());
    return f;
}

// The bytes of a bytes-like object (bytes, bytearray, memoryview, a numpy
// array...), contiguous, held for as long as the view lives: a bytes object
// is read in place, anything else through the buffer protocol, which also
// keeps a bytearray from being resized while the library reads it.
class Bytes {
  public:
    explicit Bytes(PyObject *o)
    {
        if (PyBytes_CheckExact(o)) {
            data_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(o));
            size_ = PyBytes_GET_SIZE(o);
            return;
        }
        if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        held_ = true;
        data_ = static_cast<const unsigned char *>(view_.buf);
        size_ = view_.len;
    }
    ~Bytes()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }
    Bytes(Bytes &&o) noexcept : view_(o.view_), held_(o.held_), data_(o.data_), size_(o.size_)
    {
        o.held_ = false;
    }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    Bytes &operator=(Bytes &&) = delete;

    const unsigned char *data() const { return data_; }
    int32_t len() const { return static_cast<int32_t>(std::min<Py_ssize_t>(size_, INT32_MAX)); }

  private:
    Py_buffer view_{};
    bool held_ = false;
    const unsigned char *data_ = nullptr;
    Py_ssize_t size_ = 0;
};

uint32_t opts_of(bool header)
{
    return header ? NIF_OPT_LINKHDR : 0;
}

bool match(const Filter &f, const py::object &frame, int32_t link, bool header)
{
    Bytes fr(frame.ptr());
    // The matcher may look at 16 bytes whatever the length: a shorter frame
    // is read from a copy, so that nothing past it is touched.
    unsigned char pad[16] = {};
    const unsigned char *p = fr.data();
    if (fr.len() < 16) {
        std::memcpy(pad, p, static_cast<size_t>(fr.len()));
        p = pad;
    }
    return nif_filt_match(f.nodes.data(), p, fr.len(), link, nullptr, nullptr, nullptr,
                          opts_of(header)) != 0;
}

py::array_t<bool> match_many(const Filter &f, const py::object &frames, int32_t link, bool header)
{
    // A tuple of the frames holds each of them while the GIL is released,
    // whatever another thread does to the caller's list.
    auto all = py::reinterpret_steal<py::object>(PySequence_Tuple(frames.ptr()));
    if (!all)
        throw py::error_already_set();
    const Py_ssize_t n = PyTuple_GET_SIZE(all.ptr());
    std::vector<const unsigned char *> ptrs(static_cast<size_t>(n));
    std::vector<int32_t> lens(static_cast<size_t>(n));
    std::vector<Bytes> views; // the frames that are not bytes objects
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *o = PyTuple_GET_ITEM(all.ptr(), i);
        const auto at = static_cast<size_t>(i);
        if (PyBytes_CheckExact(o)) { // the common case, read in place
            ptrs[at] = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(o));
            lens[at] = static_cast<int32_t>(std::min<Py_ssize_t>(PyBytes_GET_SIZE(o), INT32_MAX));
            continue;
        }
        if (views.empty())
            views.reserve(static_cast<size_t>(n - i)); // no move while pointers are taken
        views.emplace_back(o);
        ptrs[at] = views.back().data();
        lens[at] = views.back().len();
    }
    py::array_t<bool> out(n);
    // numpy's bool is one byte holding 0 or 1, as the library writes them.
    static_assert(sizeof(bool) == sizeof(unsigned char));
    auto *verdicts = reinterpret_cast<unsigned char *>(out.mutable_data());
    {
        py::gil_scoped_release free;
        nif_filt_match_batch(f.nodes.data(), ptrs.data(), lens.data(), static_cast<int32_t>(n),
                             link, opts_of(header), verdicts);
    }
    return out;
}

} // namespace

void bind_logs(py::module_ &m, const py::object &log_error);

PYBIND11_MODULE(_zeriza, m)
{
    m.doc() = "The zeriza library: compiled packet filters, matching and capture logs.";
    g_filter_error = py::exception<std::exception>(m, "FilterError", PyExc_ValueError);
    g_log_error = py::exception<std::exception>(m, "LogError", PyExc_OSError);

    m.attr("IEEE802_3") = NIF_LINK_8023;
    m.attr("ETHERNET") = NIF_LINK_ETHER;
    m.attr("HDLC") = NIF_LINK_HDLC;
    m.attr("FDDI") = NIF_LINK_FDDI;
    m.attr("RAW_IPV4") = NIF_LINK_RAWIP;

    py::class_<Filter>(m, "Filter", "A compiled filter: a flat array of 112-byte nodes.")
        .def("match", &match, py::arg("frame"), py::arg("link") = NIF_LINK_ETHER,
             py::arg("header") = true,
             "Whether the frame (any bytes-like object) passes; `link` is the library's "
             "link-type code, `header` whether the frame begins with its link header.")
        .def("match_many", &match_many, py::arg("frames"), py::arg("link") = NIF_LINK_ETHER,
             py::arg("header") = true,
             "The verdicts for a sequence of frames, as a numpy bool array, in one library "
             "call made without the GIL.")
        .def("__bytes__",
             [](const Filter &f) {
                 return py::bytes(reinterpret_cast<const char *>(f.nodes.data()),
                                  f.nodes.size() * NIF_NODE_SIZE);
             })
        .def_static("from_bytes", &from_bytes, py::arg("data"),
                    "A filter from stored nodes, checked first; raises FilterError with the "
                    "library's message when they are refused.")
        .def("__len__", [](const Filter &f) { return f.nodes.size(); })
        .def_property_readonly(
            "text", [](const Filter &f) { return f.text; },
            "The rule text the filter was compiled from ('' when unknown).")
        .def("__str__", [](const Filter &f) { return ztool::node_table(f.span()); })
        .def("__repr__", [](const Filter &f) { return ztool::node_table(f.span()); });

    m.def("compile", &compile, py::arg("text"),
          "Compile rule text; raises FilterError with the library's message.");
    m.def("short", &short_form, py::arg("form"),
          "The rule text of a host:port short form; raises FilterError when it is bad.");
    bind_logs(m, g_log_error);
}
