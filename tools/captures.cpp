#include "captures.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "interrupt.h"
#include "report.h"
#include "zeriza.h"

namespace ztool {

namespace {

constexpr int64_t kNano = 1000000000;

// Bytes read from a capture file at a time.
constexpr size_t kReadBuffer = size_t{1} << 20;

} // namespace

void normalise_stamp(int64_t &sec, int64_t &nsec)
{
    int64_t carry = nsec / kNano;
    nsec %= kNano;
    if (nsec < 0) {
        nsec += kNano;
        --carry;
    }
    sec += carry;
}

CaptureReader::CaptureReader(const std::string &path)
{
    input_.name = path == "-" ? "standard input" : path;
    // The file is read through a stream of ours with a large buffer, so that
    // a big capture takes few system calls; libpcap closes it. Standard
    // input gets a stream of its own, which can be closed.
    FILE *fp = nullptr;
    if (path != "-") {
        fp = std::fopen(path.c_str(), "rb");
    } else if (int fd = dup(STDIN_FILENO); fd >= 0 && !(fp = fdopen(fd, "rb"))) {
        int err = errno;
        close(fd);
        errno = err;
    }
    if (!fp)
        throw Failure("cannot read capture " + input_.name + ": " + errno_text(errno));
    buf_ = std::make_unique<char[]>(kReadBuffer);
    std::setvbuf(fp, buf_.get(), _IOFBF, kReadBuffer);
    char err[PCAP_ERRBUF_SIZE] = "";
    // Nanosecond stamps keep whatever resolution the file has.
    pcap_ = pcap_fopen_offline_with_tstamp_precision(fp, PCAP_TSTAMP_PRECISION_NANO, err);
    if (!pcap_) {
        std::fclose(fp);
        throw Failure("cannot read capture " + input_.name + ": " + err);
    }
    input_.id = file_id(fileno(fp));
    if (auto link = link_of(dlt())) {
        link_ = *link;
    } else {
        std::string why = unsupported_link("capture " + input_.name, dlt());
        pcap_close(pcap_); // a constructor that throws gets no destructor
        throw Failure(why);
    }
}

CaptureReader::~CaptureReader()
{
    pcap_close(pcap_);
}

int CaptureReader::dlt() const
{
    return pcap_datalink(pcap_);
}

int CaptureReader::snaplen() const
{
    return pcap_snapshot(pcap_);
}

bool CaptureReader::next(Packet &p)
{
    if (stop_signal())
        return false;
    pcap_pkthdr *h;
    const u_char *data;
    int rc = pcap_next_ex(pcap_, &h, &data);
    if (rc == PCAP_ERROR_BREAK)
        return false;
    if (rc != 1) {
        if (stop_signal()) // the signal cut a read short: not the file's fault
            return false;
        throw ReadError("cannot read capture " + input_.name + ": " + pcap_geterr(pcap_));
    }
    ++frames_;
    p.sec = h->ts.tv_sec;
    p.nsec = h->ts.tv_usec; // nanoseconds: the file was opened with that precision
    if (p.nsec < 0 || p.nsec >= kNano)
        normalise_stamp(p.sec, p.nsec);
    p.caplen = h->caplen;
    p.origlen = h->len;
    p.data = data;
    return true;
}

MatchInput CaptureReader::for_matcher(const Packet &p)
{
    if (view_.size() < view_room(p.caplen))
        view_.resize(view_room(p.caplen));
    return present(link_, p.data, p.caplen, view_.data());
}

std::vector<std::unique_ptr<CaptureReader>> open_captures(const std::vector<std::string> &paths)
{
    if (std::count(paths.begin(), paths.end(), "-") > 1)
        throw UsageError("standard input ('-') can be read only once");
    std::vector<std::unique_ptr<CaptureReader>> readers;
    for (const std::string &p : paths)
        readers.push_back(std::make_unique<CaptureReader>(p));
    return readers;
}

std::vector<InputFile> inputs_of(const std::vector<std::unique_ptr<CaptureReader>> &readers)
{
    std::vector<InputFile> inputs;
    for (const auto &r : readers)
        inputs.push_back(r->input());
    return inputs;
}

CaptureWriter::CaptureWriter(const std::string &path, int dlt, int snaplen, bool nanosecond,
                             const std::vector<InputFile> &inputs)
    : out_(path, "capture", inputs), nano_(nanosecond)
{
    dead_ = pcap_open_dead_with_tstamp_precision(
        dlt, snaplen, nanosecond ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    if (!dead_)
        throw Failure("cannot prepare a capture of link type " + std::to_string(dlt));
    // The dumper writes to our stream, which is fully buffered, so writing
    // the file header cannot fail here; the stream stays ours to close (the
    // dumper is the stream itself and is not closed through libpcap).
    dumper_ = pcap_dump_fopen(dead_, out_.stream());
    if (!dumper_) {
        std::string why = pcap_geterr(dead_);
        pcap_close(dead_);
        throw Failure("cannot write " + out_.describe() + ": " + why);
    }
}

CaptureWriter::~CaptureWriter()
{
    pcap_close(dead_);
}

void CaptureWriter::write(const Packet &p)
{
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(p.sec);
    h.ts.tv_usec = static_cast<suseconds_t>(nano_ ? p.nsec : p.nsec / 1000);
    h.caplen = p.caplen;
    h.len = p.origlen;
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &h, p.data);
    out_.check();
}

void CaptureWriter::close()
{
    out_.commit();
}

} // namespace ztool
