#include "framegen/sample.h"

#include <pcap/pcap.h>

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
