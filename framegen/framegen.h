// Frame generator: builds link, network and transport headers byte by byte,
// for the tests, the benchmarks, the fuzz seeds and the demo capture.
//
//   auto f = framegen::Frame().eth(kBroadcast, mac(1), 0x0800)
//                .ipv4({10, 0, 0, 1}, {10, 0, 0, 2}, 6).tcp(1024, 80, framegen::SYN)
//                .bytes();
//
// Length fields (802.3 length, IPv4 total length, UDP length) are filled in
// when the frame is sealed, from what was added after their header, unless
// a value was given. Bytes added after seal() (padding, say) are not counted.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace framegen {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;
using Ip4 = std::array<uint8_t, 4>;

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A locally administered unicast address ending in n.
constexpr Mac mac(uint8_t n)
{
    return {0x02, 0x00, 0x00, 0x00, 0x00, n};
}

// TCP flag bits of byte 13.
enum TcpFlag : uint8_t { FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10, URG = 0x20 };

struct Ipv4Opts {
    uint8_t ihl = 5; // header length in 32-bit words
    bool more_fragments = false;
    uint16_t frag_offset = 0; // in 8-byte units, 13 bits
    bool dont_fragment = false;
    std::optional<uint16_t> total; // else from the bytes that follow

    static Ipv4Opts fragment(bool more, uint16_t offset)
    {
        Ipv4Opts o;
        o.more_fragments = more;
        o.frag_offset = offset;
        return o;
    }
    static Ipv4Opts words(uint8_t ihl)
    {
        Ipv4Opts o;
        o.ihl = ihl;
        return o;
    }
};

class Frame {
  public:
    Frame &raw(std::initializer_list<uint8_t> bytes)
    {
        b_.insert(b_.end(), bytes);
        return *this;
    }
    Frame &fill(size_t n, uint8_t value = 0)
    {
        b_.insert(b_.end(), n, value);
        return *this;
    }
    Frame &eth(const Mac &dst, const Mac &src, uint16_t type)
    {
        append(dst);
        append(src);
        return be16(type);
    }
    // IEEE 802.3: the length field counts what follows, unless given.
    Frame &ieee8023(const Mac &dst, const Mac &src, std::optional<uint16_t> length = {})
    {
        append(dst);
        append(src);
        fixups_.push_back({Fix::Len8023, b_.size(), b_.size(), length});
        return be16(0);
    }
    Frame &llc(uint8_t dsap, uint8_t ssap, uint8_t control = 0x03)
    {
        return raw({dsap, ssap, control});
    }
    Frame &snap(uint32_t org, uint16_t type)
    {
        raw({static_cast<uint8_t>(org >> 16), static_cast<uint8_t>(org >> 8),
             static_cast<uint8_t>(org)});
        return be16(type);
    }
    Frame &ipv4(const Ip4 &src, const Ip4 &dst, uint8_t proto, const Ipv4Opts &o = {})
    {
        size_t start = b_.size();
        uint16_t frag =
            static_cast<uint16_t>((o.dont_fragment ? 0x4000 : 0) | (o.more_fragments ? 0x2000 : 0) |
                                  (o.frag_offset & 0x1FFF));
        raw({static_cast<uint8_t>(0x40 | (o.ihl & 0x0F)), 0});
        fixups_.push_back({Fix::IpTotal, start, b_.size(), o.total});
        be16(0);      // total length
        be16(0x1234); // identification
        be16(frag);
        raw({64, proto}); // TTL, protocol
        be16(0);          // checksum, not checked by anyone here
        append(src);
        append(dst);
        if (o.ihl > 5)
            fill(4u * (o.ihl - 5u), 0x01); // NOP options
        return *this;
    }
    Frame &tcp(uint16_t sport, uint16_t dport, uint8_t flags = ACK, uint8_t data_offset = 5)
    {
        be16(sport);
        be16(dport);
        be32(1000); // sequence
        be32(0);    // acknowledgement
        raw({static_cast<uint8_t>(data_offset << 4), flags});
        be16(8192); // window
        be16(0);    // checksum
        be16(0);    // urgent pointer
        if (data_offset > 5)
            fill(4u * (data_offset - 5u), 0x01);
        return *this;
    }
    Frame &udp(uint16_t sport, uint16_t dport)
    {
        be16(sport);
        be16(dport);
        fixups_.push_back({Fix::UdpLen, b_.size() - 4, b_.size(), {}});
        be16(0);
        return be16(0);
    }
    Frame &icmp(uint8_t type, uint8_t code)
    {
        raw({type, code});
        be16(0);
        return be32(0x00010001); // identifier, sequence
    }
    // ARP (op 1, 2) or RARP (op 3, 4) for Ethernet hardware and IPv4.
    Frame &arp(uint16_t op, const Mac &sha, const Ip4 &spa, const Mac &tha, const Ip4 &tpa)
    {
        be16(1);
        be16(0x0800);
        raw({6, 4});
        be16(op);
        append(sha);
        append(spa);
        append(tha);
        return append(tpa);
    }
    Frame &ipv6_stub(uint8_t next_header)
    {
        raw({0x60, 0, 0, 0, 0, 0, next_header, 64});
        return fill(32, 0x20); // addresses
    }

    // Fill in the length fields from what follows them now.
    Frame &seal()
    {
        for (const Fixup &f : fixups_) {
            size_t value;
            switch (f.kind) {
            case Fix::Len8023:
                value = f.value ? *f.value : b_.size() - (f.field + 2);
                break;
            case Fix::IpTotal:
                value = f.value ? *f.value : b_.size() - f.start;
                break;
            default:
                value = b_.size() - f.start;
                break;
            }
            b_[f.field] = static_cast<uint8_t>(value >> 8);
            b_[f.field + 1] = static_cast<uint8_t>(value);
        }
        fixups_.clear();
        return *this;
    }

    Bytes bytes()
    {
        seal();
        return b_;
    }
    size_t size() const { return b_.size(); }

  private:
    enum class Fix { Len8023, IpTotal, UdpLen };
    struct Fixup {
        Fix kind;
        size_t start; // where the header starts
        size_t field; // where the 16-bit field is
        std::optional<uint16_t> value;
    };

    template <size_t N> Frame &append(const std::array<uint8_t, N> &a)
    {
        b_.insert(b_.end(), a.begin(), a.end());
        return *this;
    }
    Frame &be16(uint16_t v) { return raw({static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }
    Frame &be32(uint32_t v)
    {
        be16(static_cast<uint16_t>(v >> 16));
        return be16(static_cast<uint16_t>(v));
    }

    Bytes b_;
    std::vector<Fixup> fixups_;
};

} // namespace framegen
