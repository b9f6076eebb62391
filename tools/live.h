// Capture on a network interface through libpcap. The filtering is the
// library's: frames are taken in the batches libpcap delivers and judged in
// one call each.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <functional>
#include <string>

#include "commands.h"
#include "frames.h"
#include "links.h"
#include "logfields.h"

namespace ztool {

class LiveCapture {
  public:
    // Opens and activates the interface. Throws Failure with the reason
    // (a capture without the privilege says which one it needs).
    explicit LiveCapture(const LiveOptions &o);
    ~LiveCapture();
    LiveCapture(const LiveCapture &) = delete;
    LiveCapture &operator=(const LiveCapture &) = delete;

    // Waits at most `wait_ms` for frames and adds what libpcap holds to
    // `batch`. Throws ReadError when the capture fails.
    void read(FrameBatch &batch, int wait_ms);

    struct Drops {
        bool known = false;
        uint64_t kernel = 0, interface = 0;
    };
    Drops drops();

    const std::string &name() const { return name_; }
    int dlt() const;
    int snaplen() const;
    Link link() const { return link_; }
    bool nanosecond() const { return nano_; }

  private:
    std::string name_;
    pcap_t *pcap_ = nullptr;
    int fd_ = -1;
    Link link_ = Link::Ethernet;
    bool nano_ = false;
};

struct LiveRun {
    uint64_t seen = 0, passed = 0;
    SessionEnd end = SessionEnd::Signal;
    std::string error; // when end is ReadError
    LiveCapture::Drops drops;
};

// Capture until `count` frames passed (0: no limit), the duration is over,
// a stop signal came or the capture failed; `pass` gets each passing frame
// (every frame when `filter` is null). `passed` names the passing frames in
// the status line and the summary ("passed", "recorded").
LiveRun run_live(LiveCapture &cap, const filt_node *filter, const LiveOptions &o, int64_t count,
                 const char *passed, const std::function<void(const Packet &)> &pass);

// "lo: 120 frames seen, 4 passed, 0 dropped by the kernel, 0 dropped by the
// interface", a line.
std::string live_summary(const LiveCapture &cap, const LiveRun &run, const char *passed);

} // namespace ztool
