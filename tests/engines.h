// Comparing the matcher's engines on one frame: the reference engine, the
// fast nif_filt_match and nif_filt_match_batch. Used by the tests and by
// fuzz_match, so it needs nothing but the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "framegen/framegen.h"
#include "framegen/sample.h"
#include "pktfilt/matcher.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace zeriza_test {

// Filters that use every protocol, every parameter with each operator,
// negated parameters and nodes, and nested groups of both kinds.
inline const char *const kEngineFilters[] = {
    "ETH",
    "802.3",
    "LLC",
    "SNAP",
    "ARP",
    "RARP",
    "IP",
    "IPX",
    "ICMP",
    "IGMP",
    "OSPF",
    "TCP",
    "UDP",
    "IP#47",
    "IP#0",
    "IP #udp LEN<30",
    "IP#6 LEN>40",
    "ETH DST=M",
    "802.3 SD=M",
    "ETH SRC=B",
    "IP SRC=10.32.0.0/11",
    "IP DST=224.0.0.0/4",
    "IP SD:1=10.48.0.0/12",
    "IP SD=10.200.0.9",
    // Header and data lengths alone, where a header cut short covers the rest.
    "ETH HLEN=14",
    "ETH DLEN<1",
    "802.3 HLEN<14",
    "802.3 DLEN>0",
    "LLC LEN>2",
    "LLC DLEN<2",
    "SNAP LEN<6",
    "SNAP DLEN<1",
    "IP HLEN=20",
    "IP DLEN<1",
    "TCP HLEN>19",
    "TCP DLEN<0",
    "UDP HLEN=8",
    "UDP DLEN<0",
    "ICMP DLEN=0",
    "ARP HLEN>27",
    "IP#47 LEN<8",
    "ETH SRC=2:0:0:0:0:2 DST=2:0:0:0:0:1",
    "ETH SD=B",
    "ETH ^SD:1=M ETYPE=2048",
    "ETH SD:2=2:0:0:0:0:1 HLEN=14 DLEN>20 LEN<100",
    "ETH ^ETYPE=2054 HLEN>13 DLEN<30",
    "802.3 SRC=M ^DST=1:80:c2:0:0:0",
    "802.3 SD=2:0:0:0:0:7 HLEN<15 DLEN=35 LEN>40",
    "LLC SRC=66 DST=66 C=3",
    "LLC SD=194", // 66 with the top bit set: all eight bits count
    "LLC SD=170 ^C=3",
    "LLC ^SD:1=170",
    "LLC SD:2=170 DLEN>0 LEN<40",
    "SNAP ORG=0 ETYPE=2048",
    "SNAP ^ORG=0 LEN>10",
    "SNAP ETYPE=2054 DLEN<30",
    "ARP HLEN=28 LEN>27",
    "RARP LEN<60",
    "IPX LEN=30",
    "IP SRC=10.0.0.0/8 DST=192.168.0.0/16",
    "IP SD=10.16.0.0/12",
    "IP ^SD:1=192.168.1.2",
    "IP SD:2=10.0.0.1/31",
    "IP F=F",
    "IP F=^F HLEN>20 DLEN<30 LEN>40",
    "IP SRC=0.0.0.0/1 ^DST=10.0.0.3 HLEN<21",
    "ICMP TYPE=echo CODE=0",
    "ICMP TYPE=unreach ^CODE=port",
    "ICMP HLEN=8 DLEN=0 LEN>20",
    "TCP SRC<1024 DST>1023",
    "TCP SD=80 F=S^A",
    "TCP ^SD:1=22 F=A*",
    "TCP SD:2>1000 F=^R* HLEN>20",
    "TCP SD=443 DLEN>0 LEN<80",
    "TCP ^SRC=1024 ^F=S HLEN<24",
    "UDP SRC=53 ^DST<1024",
    "UDP SD>60000",
    "UDP SD:1=161 DLEN=20",
    "UDP SD:2=2049 HLEN=8 LEN>8",
    "(TCP SD=80) | (UDP SD=53)",
    "((TCP SD>1023) & (IP SD=10.16.1.1)) | (UDP ^SD:1=7) | (IP#1 LEN<100)",
    "^((ARP) | (RARP) | (IPX)) & ^(IGMP)",
    "^(^(TCP))",
    "((ETH) & (IP)) | ((802.3) & (LLC SD=66))",
    "^((SNAP) & ^(IP))",
    "(((TCP) | (UDP)) & ((IP SRC=10.0.0.0/8) | (IP DST=10.0.0.0/8))) & ^(ICMP)",
};

// A frame with the link type and options to match it with.
using EngineFrame = std::tuple<framegen::Bytes, int32_t, uint32_t>;

// Frames of every kind the generator makes, on every link type the library
// knows, with and without their link header.
inline std::vector<EngineFrame> engine_frames()
{
    using namespace framegen;
    std::vector<EngineFrame> out;
    for (const auto &t : sample::frames(240))
        out.push_back({t.bytes, NIF_LINK_ETHER, NIF_OPT_LINKHDR});
    for (const auto &t : sample::raw_ip_frames(40)) {
        out.push_back({t.bytes, NIF_LINK_RAWIP, 0});
        out.push_back({t.bytes, NIF_LINK_ETHER, 0}); // the payload of an Ethernet frame
    }
    // IPv4 over Ethernet with addresses on both sides of prefix boundaries,
    // multicast and broadcast destinations, fragments near and far, odd
    // header lengths, and transport headers of every length.
    const Ip4 addrs[] = {{10, 48, 1, 1}, {10, 32, 1, 1},  {10, 200, 0, 9},
                         {224, 0, 0, 1}, {172, 16, 5, 4}, {10, 16, 0, 255}};
    const Mac dsts[] = {mac(1), {0x01, 0x00, 0x5E, 0, 0, 1}, kBroadcast, {0x03, 0, 0, 0, 0, 9}};
    const Ipv4Opts ip_opts[] = {{},
                                Ipv4Opts::fragment(false, 256),
                                Ipv4Opts::fragment(true, 0),
                                Ipv4Opts::fragment(true, 0x1F00),
                                Ipv4Opts::words(7),
                                Ipv4Opts::words(2),
                                Ipv4Opts::words(0)};
    int k = 0;
    for (const Ipv4Opts &o : ip_opts)
        for (uint8_t proto : {6, 17, 1, 47}) {
            const Ip4 &src = addrs[k % 6], &dst = addrs[(k + 2) % 6];
            Frame f = Frame().eth(dsts[k % 4], dsts[(k + 1) % 4], 0x0800).ipv4(src, dst, proto, o);
            ++k;
            if (proto == 6)
                f.tcp(static_cast<uint16_t>(1000 + 7 * k), 80, static_cast<uint8_t>(k * 37),
                      static_cast<uint8_t>(k % 16));
            else if (proto == 17)
                f.udp(53, static_cast<uint16_t>(60000 + k));
            else if (proto == 1)
                f.icmp(static_cast<uint8_t>(k % 6), 3);
            out.push_back(
                {f.fill(static_cast<size_t>(k % 5) * 3).bytes(), NIF_LINK_ETHER, NIF_OPT_LINKHDR});
        }
    const Ip4 a = {10, 16, 1, 1}, b = {192, 168, 1, 2};
    Frame chain; // more nested 802.3 headers than there are records
    for (int i = 0; i < 11; ++i)
        chain.ieee8023(mac(1), mac(2)).llc(0xAA, 0xAA).snap(0x0080C2, 7);
    const Bytes arp = Frame().arp(1, mac(1), a, {}, b).bytes(),
                rarp = Frame().arp(3, mac(1), a, {}, b).bytes();
    for (const auto &[bytes, link, opts] : std::vector<EngineFrame>{
             {chain.fill(8).bytes(), NIF_LINK_ETHER, NIF_OPT_LINKHDR},
             {arp, NIF_LINK_ETHER, 0},
             {rarp, NIF_LINK_ETHER, 0},
             {Frame().raw({0xFE, 0xFE, 0x03, 0xCC}).ipv4(a, b, 17).udp(7, 7).bytes(), 0, 0},
             {Frame()
                  .raw({0xFE, 0xFE, 0x03, 0x80})
                  .snap(0, 0x0806)
                  .arp(2, mac(1), a, mac(2), b)
                  .bytes(),
              0, 0},
             {Frame().raw({0xE0, 0xE0, 0x03}).fill(30, 0xFF).bytes(), 0, 0},
             {Frame().raw({0xFF, 0xFF}).fill(30).bytes(), 0, 0},
             {Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(30).bytes(), 0, 1},
             {Frame().raw({0x00, 0x21}).ipv4(a, b, 6).tcp(5, 80).bytes(), NIF_LINK_HDLC, 0},
             {Frame().raw({0xC0, 0x21}).fill(20).bytes(), NIF_LINK_HDLC, 0},
             {Frame().raw({0xFF, 0x03, 0x00, 0x21}).ipv4(a, b, 6).bytes(), NIF_LINK_HDLC, 1},
             {Frame().llc(0x42, 0x42).fill(20).bytes(), 1, 0},
             {Frame().fill(30, 0x11).bytes(), 2, 1},
             {Frame().fill(30, 0x11).bytes(), 3, 1},
             {Frame().fill(30, 0x11).bytes(), NIF_LINK_FDDI, 1},
             {Frame().fill(30, 0x11).bytes(), -1, 1},
             {Frame().fill(30, 0x11).bytes(), 200, 0},
             {Frame().ipv4(a, b, 6, Ipv4Opts::fragment(true, 0)).tcp(5, 6).bytes(), NIF_LINK_RAWIP,
              0},
         })
        out.push_back({bytes, link, opts});
    // Ethernet frames of the kinds the rest lacks: RARP, IPX in three forms, LLC with its other
    // protocols, CDP, bridged 802.3, VLAN, ICMP errors, broadcast UDP, a fragment whose offset has
    // only its top bit set, TCP ports around 1023 and above 32767, and the don't-fragment bit.
    const Mac cdp = {1, 0, 0x0C, 0xCC, 0xCC, 0xCC};
    Ipv4Opts dont_fragment;
    dont_fragment.dont_fragment = true;
    for (Frame f : {
             Frame().eth(kBroadcast, mac(2), 0x8035).arp(3, mac(2), {}, {}, {}),
             Frame().eth(mac(1), mac(2), 0x8137).fill(30),
             Frame().ieee8023(mac(1), mac(2)).llc(0xE0, 0xE0).fill(30),
             Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(28),
             Frame().ieee8023(mac(1), mac(2)).raw({0xFE, 0xFE, 3, 0xCC}).ipv4(a, b, 17).udp(53, 7),
             Frame()
                 .ieee8023(mac(1), mac(2))
                 .raw({0xFE, 0xFE, 3, 0x80})
                 .snap(0, 0x0806)
                 .arp(1, mac(2), a, {}, b),
             Frame().ieee8023(cdp, mac(2)).llc(0xAA, 0xAA).snap(12, 0x2000).fill(40),
             Frame()
                 .ieee8023(mac(1), mac(2))
                 .llc(0xAA, 0xAA)
                 .snap(0x0080C2, 7)
                 .ieee8023(mac(3), mac(4))
                 .llc(6, 6)
                 .fill(10),
             Frame().ieee8023(mac(1), mac(2)).llc(69, 16).fill(50),
             Frame().ieee8023(mac(1), mac(2)).llc(0xFE, 0x42).fill(20),
             Frame().eth(mac(1), mac(2), 0x8100).fill(30),
             Frame().eth(mac(1), mac(2), 0x0800).ipv4(a, b, 1).icmp(3, 1).fill(28),
             Frame().eth(kBroadcast, mac(2), 0x0800).ipv4({11, 0, 0, 1}, b, 17).udp(68, 67),
             Frame()
                 .eth(mac(1), mac(2), 0x0800)
                 .ipv4(a, b, 17, Ipv4Opts::fragment(false, 0x1000))
                 .udp(1, 2),
             Frame().eth(mac(1), mac(2), 0x0800).ipv4(a, b, 6).tcp(0xFF00, 80),
             Frame().eth(mac(1), mac(2), 0x0800).ipv4(a, b, 6).tcp(1023, 80),
             Frame().eth(mac(1), mac(2), 0x0800).ipv4(a, b, 6).tcp(2000, 1024),
             Frame().eth(mac(1), mac(2), 0x0800).ipv4(a, b, 17, dont_fragment).udp(1, 2),
         })
        out.push_back({f.bytes(), NIF_LINK_ETHER, NIF_OPT_LINKHDR});
    return out;
}

// The cuts of a frame from 0 to `max_len` bytes, and the whole frame: each
// in a block that ends exactly where the cut ends (for the batch, which must
// read nothing beyond), and in one of at least 16 bytes, zeros after the
// cut, as nif_filt_match needs.
struct Cuts {
    std::vector<framegen::Bytes> exact, padded;
    std::vector<const unsigned char *> frames; // null for an empty cut
    std::vector<int32_t> lens;
    int32_t link;
    uint32_t opts;

    Cuts(const framegen::Bytes &frame, int32_t link_type, uint32_t options, size_t max_len)
        : link(link_type), opts(options)
    {
        for (size_t len = 0; len <= frame.size(); ++len) {
            if (len > max_len && len < frame.size())
                continue;
            exact.emplace_back(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(len));
            padded.push_back(exact.back());
            padded.back().resize(std::max<size_t>(len, 16));
            lens.push_back(static_cast<int32_t>(len));
        }
        for (const framegen::Bytes &e : exact)
            frames.push_back(e.empty() ? nullptr : e.data());
    }
};

// The lines an engine logs while it works (an atom with a parameter its
// protocol cannot have logs one each time it is reached).
struct Logged {
    std::vector<std::string> lines;
    Logged()
    {
        gnl_set_sink([](int, const char *line,
                        void *self) { static_cast<Logged *>(self)->lines.emplace_back(line); },
                     this);
    }
    ~Logged() { gnl_set_sink(nullptr, nullptr); }
    Logged(const Logged &) = delete;
    Logged &operator=(const Logged &) = delete;
};

// The verdicts of `filter` on the cuts of a frame by the three engines;
// empty when they all agree, and log the same lines, else what differs.
// `passed` adds the passing cuts.
inline std::string engines_disagree(const filt_node *filter, const Cuts &cuts,
                                    long *passed = nullptr)
{
    const auto n = static_cast<int32_t>(cuts.lens.size());
    std::vector<unsigned char> batch(cuts.lens.size(), 9);
    Logged batch_log;
    const int32_t batch_passed = nif_filt_match_batch(filter, cuts.frames.data(), cuts.lens.data(),
                                                      n, cuts.link, cuts.opts, batch.data());
    const std::vector<std::string> batch_lines = std::move(batch_log.lines);
    std::vector<std::string> ref_lines;
    int32_t ref_passed = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t len = cuts.lens[static_cast<size_t>(i)];
        const unsigned char *frame = cuts.padded[static_cast<size_t>(i)].data();
        int32_t out[2][3] = {{7, 7, 7}, {8, 8, 8}};
        Logged log;
        const int32_t ref = zeriza::reference_match(filter, frame, len, cuts.link, &out[0][0],
                                                    &out[0][1], &out[0][2], cuts.opts);
        const std::vector<std::string> lines = std::move(log.lines);
        log.lines.clear();
        const int32_t fast = nif_filt_match(filter, frame, len, cuts.link, &out[1][0], &out[1][1],
                                            &out[1][2], cuts.opts);
        const int v = batch[static_cast<size_t>(i)];
        if (ref != fast || ref != v || std::memcmp(out[0], out[1], sizeof out[0]) != 0) {
            std::ostringstream os;
            os << "at " << len << " bytes: reference " << ref << ", nif_filt_match " << fast
               << ", batch " << v << "; out-values " << out[0][0] << "/" << out[0][1] << "/"
               << out[0][2] << " and " << out[1][0] << "/" << out[1][1] << "/" << out[1][2];
            return os.str();
        }
        if (log.lines != lines)
            return "at " + std::to_string(len) + " bytes: nif_filt_match logs " +
                   std::to_string(log.lines.size()) + " lines, the reference " +
                   std::to_string(lines.size());
        ref_lines.insert(ref_lines.end(), lines.begin(), lines.end());
        ref_passed += ref;
    }
    if (batch_passed != ref_passed)
        return "the batch counts " + std::to_string(batch_passed) + " passing, not " +
               std::to_string(ref_passed);
    if (batch_lines != ref_lines)
        return "the batch logs " + std::to_string(batch_lines.size()) + " lines, the reference " +
               std::to_string(ref_lines.size());
    if (passed)
        *passed += ref_passed;
    return "";
}

} // namespace zeriza_test
