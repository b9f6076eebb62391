// Capture files through libpcap: reading pcap and pcapng (or standard
// input), the link types the library understands, and writing pcap.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ztool {

// Bad input or a failed operation: the tool says the message and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The library's link-type code and options for a capture's link type.
struct LinkMapping {
    int32_t link_type;
    uint32_t opts;
};

// The mapping of a pcap link type; throws Failure for one the library
// cannot match, naming the supported ones.
LinkMapping map_link_type(int dlt);

struct Packet {
    int64_t sec = 0;
    int64_t nsec = 0;
    uint32_t caplen = 0;
    uint32_t origlen = 0;
    const uint8_t *data = nullptr; // at least 16 readable bytes
};

class CaptureReader {
  public:
    // Opens `path` ("-" for standard input). Throws Failure.
    explicit CaptureReader(const std::string &path);
    ~CaptureReader();
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;

    // The next packet, or false at the end. Throws Failure on a read error.
    bool next(Packet &p);

    int dlt() const;
    int snaplen() const;
    const std::string &path() const { return path_; }
    uint64_t frames() const { return frames_; }

  private:
    std::string path_;
    pcap_t *pcap_ = nullptr;
    uint64_t frames_ = 0;
    std::vector<uint8_t> pad_; // short frames are copied here
    class Progress;
    std::unique_ptr<Progress> progress_;
};

class CaptureWriter {
  public:
    // A pcap file with the given link type, microsecond or nanosecond stamps.
    CaptureWriter(const std::string &path, int dlt, int snaplen, bool nanosecond);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    void write(const Packet &p);
    void close(); // throws Failure when the file could not be written whole

  private:
    std::string path_;
    pcap_t *dead_ = nullptr;
    pcap_dumper_t *dumper_ = nullptr;
    bool nano_;
};

} // namespace ztool
