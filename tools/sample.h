// A small capture of many kinds of frames, made by the frame generator:
// the demo's sample capture, and material for the tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/framegen.h"

namespace sample {

struct TimedFrame {
    int64_t sec;
    int64_t usec;
    framegen::Bytes bytes;
    uint32_t origlen; // longer than the bytes when the frame was cut by a snapshot length
};

// `n` Ethernet frames cycling through TCP, UDP, ICMP, ARP, IPv6, IEEE 802.3
// with LLC and SNAP, fragments and frames cut short; the same every time.
std::vector<TimedFrame> frames(int n = 240);

// Write them as a pcap file (Ethernet, microsecond stamps). False on failure.
bool write_pcap(const std::string &path, const std::vector<TimedFrame> &frames);

} // namespace sample
