// Captured frames: one packet as a capture gives it, and a batch of copied
// packets that the matcher judges in one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "links.h"
#include "zeriza.h"

namespace ztool {

struct Packet {
    int64_t sec = 0;
    int64_t nsec = 0; // 0 to 999 999 999
    uint32_t caplen = 0;
    uint32_t origlen = 0;
    const uint8_t *data = nullptr;
};

// Packets copied as libpcap delivers them (its buffer is reused once the
// delivery ends), then matched together.
class FrameBatch {
  public:
    void clear();
    void add(const Packet &p);
    size_t size() const { return packets_.size(); }

    // The i-th packet; its data stays valid until the next add or clear.
    Packet packet(size_t i) const;

    // Judge every packet of the batch with `filter` (every packet passes
    // when it is null).
    void match(const filt_node *filter, Link link);
    bool passed(size_t i) const { return verdicts_[i] != 0; }

  private:
    std::vector<uint8_t> bytes_;  // the packets' data, one after another
    std::vector<Packet> packets_; // without their data: bytes_ may move
    std::vector<size_t> offsets_; // where each packet's data is in bytes_
    std::vector<uint8_t> views_;  // what present() builds, for all of them
    std::vector<unsigned char> verdicts_;
};

} // namespace ztool
