// Capture files through libpcap: reading pcap and pcapng (or standard
// input), presenting each frame to the matcher as the library understands
// its link type, and writing pcap.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "links.h"
#include "output.h"
#include "report.h"

namespace ztool {

// A capture that cannot be read to its end.
struct ReadError : Failure {
    using Failure::Failure;
};

// A timestamp with its nanoseconds brought into 0 to 999 999 999, the
// whole seconds carried over: a writer that let the fraction overflow
// still meant that instant.
void normalise_stamp(int64_t &sec, int64_t &nsec);

class CaptureReader {
  public:
    // Opens `path` ("-" for standard input) and checks that the library can
    // match its link type. Throws Failure naming the capture.
    explicit CaptureReader(const std::string &path);
    ~CaptureReader();
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;

    // The next packet, or false at the end or once a stop signal has
    // interrupted the read. Throws ReadError when the capture cannot be read.
    bool next(Packet &p);

    // The frame as the matcher must see it.
    MatchInput for_matcher(const Packet &p);

    Link link() const { return link_; }
    int dlt() const;
    int snaplen() const;
    const InputFile &input() const { return input_; }
    const std::string &name() const { return input_.name; } // for messages
    uint64_t frames() const { return frames_; }

  private:
    InputFile input_;
    Link link_ = Link::Ethernet;
    std::unique_ptr<char[]> buf_; // the stream's buffer: outlives pcap_
    pcap_t *pcap_ = nullptr;
    uint64_t frames_ = 0;
    std::vector<uint8_t> view_; // for frames the matcher sees rebuilt or padded
};

// Readers of every capture, opened and checked before anything is written.
// Throws UsageError when standard input is named twice.
std::vector<std::unique_ptr<CaptureReader>> open_captures(const std::vector<std::string> &paths);

// The inputs that an output must not overwrite.
std::vector<InputFile> inputs_of(const std::vector<std::unique_ptr<CaptureReader>> &readers);

class CaptureWriter {
  public:
    // A pcap file with the given link type, microsecond or nanosecond
    // stamps, written through OutputFile (refusing to overwrite `inputs`).
    CaptureWriter(const std::string &path, int dlt, int snaplen, bool nanosecond,
                  const std::vector<InputFile> &inputs);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    void write(const Packet &p); // throws Failure when the write fails
    void close();                // throws Failure when the file is not whole

  private:
    OutputFile out_;
    pcap_t *dead_ = nullptr;
    pcap_dumper_t *dumper_ = nullptr;
    bool nano_;
};

} // namespace ztool
