#include "framegen/sample.h"

#include <pcap/pcap.h>

#include <optional>

namespace sample {

using framegen::Frame;
using framegen::Ip4;
using framegen::mac;

namespace {

Ip4 host(int net, int n)
{
    return {static_cast<uint8_t>(net), 0, 0, static_cast<uint8_t>(n)};
}

framegen::Bytes make(int i)
{
    Ip4 a = host(10, 1 + i % 7), b = host(192, 1 + i % 3);
    b[1] = 168;
    auto port = static_cast<uint16_t>(1024 + i);
    Frame eth_ip;
    switch (i % 12) {
    case 0:
        return Frame()
            .eth(mac(1), mac(2), 0x0800)
            .ipv4(a, b, 6)
            .tcp(port, 80, framegen::SYN)
            .bytes();
    case 1:
        return Frame()
            .eth(mac(2), mac(1), 0x0800)
            .ipv4(b, a, 6)
            .tcp(80, port, framegen::SYN | framegen::ACK)
            .bytes();
    case 2:
        return Frame()
            .eth(mac(1), mac(2), 0x0800)
            .ipv4(a, b, 6)
            .tcp(port, 443)
            .fill(100, 0x17)
            .bytes();
    case 3:
        return Frame()
            .eth(mac(1), mac(3), 0x0800)
            .ipv4(a, host(8, 8), 17)
            .udp(port, 53)
            .fill(30)
            .bytes();
    case 4:
        return Frame().eth(mac(1), mac(2), 0x0800).ipv4(a, b, 1).icmp(8, 0).fill(32).bytes();
    case 5:
        return Frame().eth(framegen::kBroadcast, mac(4), 0x0806).arp(1, mac(4), a, {}, b).bytes();
    case 6:
        return Frame().eth(mac(5), mac(6), 0x86DD).ipv6_stub(17).fill(16).bytes();
    case 7:
        return Frame()
            .ieee8023({0x01, 0x80, 0xC2, 0, 0, 0}, mac(7))
            .llc(0x42, 0x42)
            .fill(35)
            .bytes();
    case 8:
        return Frame()
            .ieee8023(mac(8), mac(9))
            .llc(0xAA, 0xAA)
            .snap(0, 0x0800)
            .ipv4(a, b, 17)
            .udp(port, 161)
            .fill(20)
            .bytes();
    case 9:
        return Frame()
            .eth(mac(1), mac(2), 0x0800)
            .ipv4(a, b, 17, framegen::Ipv4Opts::fragment(true, 0))
            .udp(port, 2049)
            .fill(40)
            .bytes();
    case 10:
        return Frame()
            .eth(mac(1), mac(2), 0x0800)
            .ipv4(a, b, 17, framegen::Ipv4Opts::fragment(false, 6))
            .fill(40)
            .bytes();
    default:
        return Frame()
            .eth(mac(1), mac(2), 0x0800)
            .ipv4(a, b, 6)
            .tcp(port, 22, framegen::PSH | framegen::ACK)
            .fill(48)
            .bytes();
    }
}

} // namespace

std::vector<TimedFrame> frames(int n)
{
    std::vector<TimedFrame> out;
    for (int i = 0; i < n; ++i) {
        // Ten frames a second; the microseconds stay below a million.
        TimedFrame f{1700000000 + i / 10, (i % 10) * 100000 + i % 100000, make(i), 0};
        f.origlen = static_cast<uint32_t>(f.bytes.size());
        if (i % 29 == 28) { // cut by a short snapshot length
            f.bytes.resize(f.bytes.size() / 2);
        }
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<TimedFrame> raw_ip_frames(int n)
{
    std::vector<TimedFrame> out;
    for (int i = 0; i < n; ++i) {
        Ip4 a = host(10, 1 + i % 5), b = host(172, 2);
        auto port = static_cast<uint16_t>(2000 + i);
        framegen::Bytes bytes;
        switch (i % 4) {
        case 0:
            bytes = Frame().ipv4(a, b, 6).tcp(port, 80, framegen::SYN).bytes();
            break;
        case 1:
            bytes = Frame().ipv4(b, a, 17).udp(53, port).fill(24).bytes();
            break;
        case 2:
            bytes = Frame().ipv4(a, b, 1).icmp(8, 0).fill(16).bytes();
            break;
        default: // IPv6 carrying TCP to port 80: no IPv4 rule may see it
            bytes = Frame().ipv6_stub(6).tcp(port, 80, framegen::SYN).bytes();
            break;
        }
        TimedFrame f{1700000000 + i, 250000, std::move(bytes), 0};
        f.origlen = static_cast<uint32_t>(f.bytes.size());
        out.push_back(std::move(f));
    }
    return out;
}

namespace {

void put16(framegen::Bytes &b, unsigned v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put32(framegen::Bytes &b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

// The link header that stands for the Ethernet header of `e` (at least 14
// bytes), or nothing when the link cannot carry the frame.
std::optional<framegen::Bytes> link_header(const framegen::Bytes &e, int dlt)
{
    const unsigned type = e[12] << 8 | e[13];
    const bool ipv4 = type == 0x0800, ipv6 = type == 0x86DD;
    // A cooked header has the protocol, or for IEEE 802.3 frames the kind of
    // what follows (LLC, or Novell's raw IPX that starts with FF FF).
    const unsigned protocol = type > 1500                                       ? type
                              : e.size() > 15 && e[14] == 0xFF && e[15] == 0xFF ? 0x0001
                                                                                : 0x0004;
    const unsigned pkttype = e[0] == 0xFF ? 1 : e[0] & 1 ? 2 : 0; // broadcast, multicast, to us
    constexpr uint32_t kInet = 2, kInet6 = 24;                    // BSD address families
    framegen::Bytes h;
    switch (dlt) {
    case DLT_LINUX_SLL:
        put16(h, pkttype);
        put16(h, 1); // ARPHRD_ETHER
        put16(h, 6);
        h.insert(h.end(), e.begin() + 6, e.begin() + 12);
        put16(h, 0);
        put16(h, protocol);
        return h;
    case DLT_LINUX_SLL2:
        put16(h, protocol);
        put16(h, 0);
        put32(h, 1); // interface index
        put16(h, 1);
        h.push_back(static_cast<uint8_t>(pkttype));
        h.push_back(6);
        h.insert(h.end(), e.begin() + 6, e.begin() + 12);
        put16(h, 0);
        return h;
    case DLT_NULL: // written on a little-endian machine
        if (!ipv4 && !ipv6)
            return std::nullopt;
        put32(h, __builtin_bswap32(ipv4 ? kInet : kInet6));
        return h;
    case DLT_LOOP:
        if (!ipv4 && !ipv6)
            return std::nullopt;
        put32(h, ipv4 ? kInet : kInet6);
        return h;
    case DLT_RAW:
        return ipv4 || ipv6 ? std::optional(h) : std::nullopt;
    case DLT_IPV4:
        return ipv4 ? std::optional(h) : std::nullopt;
    default:
        return std::nullopt;
    }
}

} // namespace

std::vector<TimedFrame> as_link(const std::vector<TimedFrame> &ethernet, int dlt)
{
    std::vector<TimedFrame> out;
    for (const TimedFrame &f : ethernet) {
        if (f.bytes.size() < 14)
            continue;
        auto header = link_header(f.bytes, dlt);
        if (!header)
            continue;
        TimedFrame g = f;
        g.bytes = *header;
        g.bytes.insert(g.bytes.end(), f.bytes.begin() + 14, f.bytes.end());
        g.origlen = static_cast<uint32_t>(f.origlen - 14 + header->size());
        out.push_back(std::move(g));
    }
    return out;
}

bool write_pcap(const std::string &path, const std::vector<TimedFrame> &frames, int dlt)
{
    pcap_t *dead = pcap_open_dead(dlt, 65535);
    if (!dead)
        return false;
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    if (!d) {
        pcap_close(dead);
        return false;
    }
    for (const auto &f : frames) {
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(f.sec);
        h.ts.tv_usec = static_cast<suseconds_t>(f.usec);
        h.caplen = static_cast<uint32_t>(f.bytes.size());
        h.len = f.origlen;
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.bytes.data());
    }
    bool ok = pcap_dump_flush(d) == 0 && !std::ferror(pcap_dump_file(d));
    pcap_dump_close(d);
    pcap_close(dead);
    return ok;
}

} // namespace sample
