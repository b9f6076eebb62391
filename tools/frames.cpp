#include "frames.h"

#include <utility>

namespace ztool {

void FrameBatch::clear()
{
    bytes_.clear();
    packets_.clear();
    offsets_.clear();
}

void FrameBatch::add(const Packet &p)
{
    Packet copy = p;
    copy.data = nullptr;
    packets_.push_back(copy);
    offsets_.push_back(bytes_.size());
    bytes_.insert(bytes_.end(), p.data, p.data + p.caplen);
}

Packet FrameBatch::packet(size_t i) const
{
    Packet p = packets_[i];
    p.data = bytes_.data() + offsets_[i];
    return p;
}

void FrameBatch::match(const filt_node *filter, Link link)
{
    verdicts_.assign(packets_.size(), 1);
    if (!filter || packets_.empty())
        return;
    size_t room = 0;
    for (const Packet &p : packets_)
        room += view_room(p.caplen);
    views_.resize(room);

    // A batch call takes one link-type code, and raw IP gives the packets
    // that are not IPv4 another: one call per code met.
    std::vector<MatchInput> in;
    in.reserve(packets_.size());
    const uint8_t *data = bytes_.data();
    uint8_t *view = views_.data();
    for (const Packet &p : packets_) {
        in.push_back(present(link, data, p.caplen, view));
        data += p.caplen;
        view += view_room(p.caplen);
    }
    std::vector<const unsigned char *> frames;
    std::vector<int32_t> lens;
    std::vector<size_t> which;
    std::vector<unsigned char> got;
    std::vector<bool> done(in.size(), false);
    for (size_t first = 0; first < in.size(); ++first) {
        if (done[first])
            continue;
        const auto code = std::pair(in[first].link_type, in[first].opts);
        frames.clear();
        lens.clear();
        which.clear();
        for (size_t i = first; i < in.size(); ++i) {
            if (done[i] || std::pair(in[i].link_type, in[i].opts) != code)
                continue;
            frames.push_back(in[i].frame);
            lens.push_back(in[i].len);
            which.push_back(i);
            done[i] = true;
        }
        got.resize(frames.size());
        nif_filt_match_batch(filter, frames.data(), lens.data(),
                             static_cast<int32_t>(frames.size()), code.first, code.second,
                             got.data());
        for (size_t k = 0; k < which.size(); ++k)
            verdicts_[which[k]] = got[k];
    }
}

} // namespace ztool
