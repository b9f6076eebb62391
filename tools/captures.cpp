#include "tools/captures.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace ztool {

LinkMapping map_link_type(int dlt)
{
    switch (dlt) {
    case DLT_EN10MB:
        return {4, 1}; // Ethernet, frames begin with the Ethernet header
    case DLT_RAW:
    case DLT_IPV4:
        return {129, 0}; // raw IPv4
    default: {
        const char *name = pcap_datalink_val_to_name(dlt);
        throw Failure("unsupported link type " + std::string(name ? name : "?") + " (" +
                      std::to_string(dlt) +
                      "); supported: EN10MB (Ethernet), RAW and IPV4 (raw IPv4)");
    }
    }
}

// A line on standard error every half second while a long read goes on,
// when standard error is a terminal.
class CaptureReader::Progress {
  public:
    explicit Progress(const std::string &path) : path_(path), last_(clock::now()) {}
    ~Progress()
    {
        if (shown_)
            std::fprintf(stderr, "\r\033[K");
    }
    void tick(uint64_t frames)
    {
        if (frames % 4096 != 0)
            return;
        auto now = clock::now();
        if (now - last_ < std::chrono::milliseconds(500))
            return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r%s: %llu frames read...", path_.c_str(),
                     static_cast<unsigned long long>(frames));
    }

  private:
    using clock = std::chrono::steady_clock;
    std::string path_;
    clock::time_point last_;
    bool shown_ = false;
};

CaptureReader::CaptureReader(const std::string &path) : path_(path)
{
    char err[PCAP_ERRBUF_SIZE] = "";
    // Nanosecond stamps keep whatever resolution the file has.
    pcap_ = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, err);
    if (!pcap_)
        throw Failure("cannot read capture " + path + ": " + err);
    if (isatty(STDERR_FILENO))
        progress_ = std::make_unique<Progress>(path);
    pad_.resize(16);
}

CaptureReader::~CaptureReader()
{
    if (pcap_)
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
    pcap_pkthdr *h;
    const u_char *data;
    int rc = pcap_next_ex(pcap_, &h, &data);
    if (rc == PCAP_ERROR_BREAK)
        return false;
    if (rc != 1)
        throw Failure("cannot read capture " + path_ + ": " + pcap_geterr(pcap_));
    ++frames_;
    if (progress_)
        progress_->tick(frames_);
    p.sec = h->ts.tv_sec;
    p.nsec = h->ts.tv_usec; // nanoseconds: the file was opened with that precision
    p.caplen = h->caplen;
    p.origlen = h->len;
    p.data = data;
    if (h->caplen < 16) { // the matcher may look at 16 bytes, whatever the length
        std::fill(pad_.begin(), pad_.end(), 0);
        std::copy(data, data + h->caplen, pad_.begin());
        p.data = pad_.data();
    }
    return true;
}

CaptureWriter::CaptureWriter(const std::string &path, int dlt, int snaplen, bool nanosecond)
    : path_(path), nano_(nanosecond)
{
    dead_ = pcap_open_dead_with_tstamp_precision(
        dlt, snaplen, nanosecond ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    if (!dead_)
        throw Failure("cannot prepare a capture of link type " + std::to_string(dlt));
    dumper_ = pcap_dump_open(dead_, path.c_str());
    if (!dumper_) {
        std::string why = pcap_geterr(dead_);
        pcap_close(dead_);
        throw Failure("cannot write capture " + path + ": " + why);
    }
}

CaptureWriter::~CaptureWriter()
{
    if (dumper_)
        pcap_dump_close(dumper_);
    if (dead_)
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
}

void CaptureWriter::close()
{
    bool ok = pcap_dump_flush(dumper_) == 0;
    FILE *f = pcap_dump_file(dumper_);
    ok = ok && !std::ferror(f);
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (!ok)
        throw Failure("cannot write capture " + path_);
}

} // namespace ztool
