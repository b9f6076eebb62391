// A small capture of many kinds of frames, made by the frame generator:
// the demo's sample capture, and material for the tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framegen/framegen.h"

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

// `n` raw IP packets, without a link header: IPv4 TCP, UDP and ICMP, with
// an IPv6 packet every fourth; the same every time.
std::vector<TimedFrame> raw_ip_frames(int n = 60);

// The frames of an Ethernet capture as another link type would carry them,
// with their stamps: Linux cooked (LINUX_SLL, LINUX_SLL2) for every frame,
// the cooked header standing for the Ethernet one; BSD loopback (NULL in
// little-endian order, LOOP in network order) and raw IP (RAW) for the IPv4
// and IPv6 frames; IPV4 for the IPv4 frames. Frames the link cannot carry
// are left out.
std::vector<TimedFrame> as_link(const std::vector<TimedFrame> &ethernet, int dlt);

// Write frames as a pcap file of a link type (Ethernet unless given),
// microsecond stamps. False on failure.
bool write_pcap(const std::string &path, const std::vector<TimedFrame> &frames, int dlt = 1);

} // namespace sample
