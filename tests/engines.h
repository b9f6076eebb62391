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
#include <utility>
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
    "802.3 DLEN>0",
    "LLC DLEN<2",
    "SNAP DLEN<1",
    "IP HLEN=20",
    "IP DLEN<1",
    "TCP HLEN>19",
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
    auto add = [&out](const Bytes &b, int32_t link = NIF_LINK_ETHER,
                      uint32_t opts = NIF_OPT_LINKHDR) {
        out.push_back({b, link, opts});
    };
    // `head` with `payload` after it.
    auto behind = [](Frame head, const Bytes &payload) {
        Bytes b = head.bytes();
        b.insert(b.end(), payload.begin(), payload.end());
        return b;
    };
    for (const auto &t : sample::frames(240))
        add(t.bytes);
    for (const auto &t : sample::raw_ip_frames(40)) {
        add(t.bytes, NIF_LINK_RAWIP, 0);
        add(t.bytes, NIF_LINK_ETHER, 0); // the payload of an Ethernet frame
    }
    // IPv4 over Ethernet, and alone as raw IP: addresses on both sides of prefix boundaries,
    // multicast and broadcast destinations, fragments near and far (one whose offset has only its
    // top bit set), the don't-fragment bit, odd header lengths, transport headers of every length,
    // TCP ports around 1023 and above 32767, ICMP errors of several codes.
    const Ip4 addrs[] = {{10, 48, 1, 1},  {10, 32, 1, 1},   {10, 200, 0, 9}, {224, 0, 0, 1},
                         {172, 16, 5, 4}, {10, 16, 0, 255}, {11, 0, 0, 1}};
    const Mac dsts[] = {mac(1), {0x01, 0x00, 0x5E, 0, 0, 1}, kBroadcast, {0x03, 0, 0, 0, 0, 9}};
    const uint16_t ports[] = {80, 1023, 1024, 0xFF00, 53, 443, 0x8000};
    Ipv4Opts dont_fragment;
    dont_fragment.dont_fragment = true;
    const Ipv4Opts ip_opts[] = {{},
                                Ipv4Opts::fragment(false, 256),
                                Ipv4Opts::fragment(false, 0x1000),
                                Ipv4Opts::fragment(true, 0),
                                Ipv4Opts::fragment(true, 0x1F00),
                                dont_fragment,
                                Ipv4Opts::words(7),
                                Ipv4Opts::words(2),
                                Ipv4Opts::words(0)};
    int k = 0;
    for (const Ipv4Opts &o : ip_opts)
        for (uint8_t proto : {6, 17, 1, 47}) {
            Frame f = Frame().ipv4(addrs[k % 7], addrs[(k + 2) % 7], proto, o);
            ++k;
            if (proto == 6)
                f.tcp(ports[k % 7], ports[(k + 3) % 7], static_cast<uint8_t>(k * 37),
                      static_cast<uint8_t>(k % 16));
            else if (proto == 17)
                f.udp(ports[k % 7], static_cast<uint16_t>(60000 + k));
            else if (proto == 1)
                f.icmp(static_cast<uint8_t>(k % 6), static_cast<uint8_t>(k % 7));
            const Bytes packet = f.fill(static_cast<size_t>(k % 5) * 3).bytes();
            add(behind(Frame().eth(dsts[k % 4], dsts[(k + 1) % 4], 0x0800), packet));
            add(packet, NIF_LINK_RAWIP, 0);
        }
    // What an Ethernet II header announces by its type, behind the header and alone (where the
    // bytes tell what it is): ARP, RARP, IPX, a VLAN tag.
    const Ip4 a = {10, 16, 1, 1}, b = {192, 168, 1, 2};
    const std::pair<uint16_t, Bytes> typed[] = {
        {0x0806, Frame().arp(1, mac(1), a, {}, b).bytes()},
        {0x8035, Frame().arp(3, mac(1), a, {}, b).bytes()},
        {0x8137, Frame().fill(30).bytes()},
        {0x8100, Frame().fill(30).bytes()},
    };
    for (const auto &[type, payload] : typed) {
        add(behind(Frame().eth(kBroadcast, mac(2), type), payload));
        add(payload, NIF_LINK_ETHER, 0);
    }
    // What an 802.3 header carries: IPX over LLC and Novell raw, IP and SNAP under the FE FE
    // service access points, CDP, bridged 802.3, more nested 802.3 headers than there are records,
    // LLC with other protocols. Behind an 802.3 header on Ethernet and on 802.3 (with padding after
    // what its length counts), and alone on 802.3 and on a link type that carries LLC.
    std::vector<Bytes> carried = {
        Frame().llc(0xE0, 0xE0).fill(30, 0xFF).bytes(),
        Frame().raw({0xFF, 0xFF}).fill(30).bytes(),
        Frame().raw({0xFE, 0xFE, 3, 0xCC}).ipv4(a, b, 17).udp(53, 7).bytes(),
        Frame().raw({0xFE, 0xFE, 3, 0x80}).snap(0, 0x0806).arp(2, mac(1), a, mac(2), b).bytes(),
        Frame().llc(0xAA, 0xAA).snap(12, 0x2000).fill(40).bytes(),
        Frame().llc(69, 16).fill(42).bytes(),
        Frame().llc(0xFE, 0x42).fill(50).bytes(),
        Frame().llc(0x42, 0x42).fill(20).bytes(),
        Frame().llc(0xFF, 0xFE).fill(20).bytes(), // LLC: Novell raw takes both bytes FF
    };
    for (int n : {1, 11}) { // bridged once, and more times than there are records
        Frame f;
        for (int i = 0; i < n; ++i)
            f.llc(0xAA, 0xAA).snap(0x0080C2, 7).ieee8023(mac(3), mac(4));
        carried.push_back(f.raw({0xFE, 0xFE, 3, 0xCC}).ipv4(a, b, 17).udp(53, 7).bytes());
    }
    for (const Bytes &payload : carried) { // the last 4 bytes, beyond the 802.3 length, padding
        const Frame head =
            Frame().ieee8023(dsts[k++ % 4], mac(2), static_cast<uint16_t>(payload.size() - 4));
        add(behind(head, payload));
        add(behind(head, payload), NIF_LINK_8023, NIF_OPT_LINKHDR);
        add(payload, NIF_LINK_8023, 0);
        add(payload, 1, 0);
    }
    // HDLC, with its header and without; media named by the link type alone; unknown link types.
    for (const Bytes &payload : {Frame().raw({0x00, 0x21}).ipv4(a, b, 6).tcp(5, 80).bytes(),
                                 Frame().raw({0xC0, 0x21}).fill(20).bytes(),
                                 Frame().raw({0xFF, 0x03, 0x00, 0x21}).ipv4(a, b, 6).bytes()})
        for (uint32_t opts : {0u, 1u})
            add(payload, NIF_LINK_HDLC, opts);
    for (int32_t link : {1, 2, 3, NIF_LINK_FDDI, -1, 200})
        for (uint32_t opts : {0u, 1u})
            add(Frame().fill(30, 0x11).bytes(), link, opts);
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
