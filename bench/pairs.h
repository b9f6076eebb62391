// What the benchmark programs share: the frames they match (the real
// capture when present, else the generated mix), and the filter pairs with
// their hand-written checks.
#pragma once

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framegen/sample.h"
#include "zeriza.h"

namespace bench {

namespace fs = std::filesystem;

// ---- the frames ---------------------------------------------------------------

struct Frame {
    std::vector<uint8_t> bytes; // at least 16 bytes, as the matcher may read
    uint32_t caplen, len;
    int64_t sec, usec;
};

struct Corpus {
    std::string source;
    std::vector<Frame> frames;
    uint64_t bytes = 0;
};

inline Corpus load()
{
    Corpus c;
    fs::path real = fs::path(ZERIZA_SOURCE_DIR) / ".." / "shared" / "captures" / "ether_all.pcap";
    if (const char *env = std::getenv("ZERIZA_CAPTURES"))
        real = fs::path(env) / "ether_all.pcap";
    char err[PCAP_ERRBUF_SIZE];
    if (pcap_t *p = fs::exists(real) ? pcap_open_offline(real.c_str(), err) : nullptr) {
        c.source = "ether_all.pcap";
        pcap_pkthdr *h;
        const u_char *d;
        while (pcap_next_ex(p, &h, &d) == 1) {
            Frame f{std::vector<uint8_t>(d, d + h->caplen), h->caplen, h->len, h->ts.tv_sec,
                    h->ts.tv_usec};
            f.bytes.resize(std::max<size_t>(f.bytes.size(), 16));
            c.frames.push_back(std::move(f));
        }
        pcap_close(p);
    } else {
        c.source = "generated mix";
        for (auto &t : sample::frames(8000)) {
            Frame f{t.bytes, static_cast<uint32_t>(t.bytes.size()), t.origlen, t.sec, t.usec};
            f.bytes.resize(std::max<size_t>(f.bytes.size(), 16));
            c.frames.push_back(std::move(f));
        }
    }
    for (const Frame &f : c.frames)
        c.bytes += f.caplen;
    return c;
}

inline const Corpus &corpus()
{
    static const Corpus c = load();
    return c;
}

// ---- filter pairs -----------------------------------------------------------------

inline uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Hand-written checks of Ethernet II frames, as a program would write them
// for one fixed filter: the floor that a general matcher is measured against.
inline int ipv4_transport(const uint8_t *f, uint32_t n, int proto)
{
    if (n < 34 || be16(f + 12) != 0x0800 || f[23] != proto || (be16(f + 20) & 0x1FFF))
        return -1;
    int off = 14 + 4 * (f[14] & 0x0F);
    return static_cast<uint32_t>(off + 4) <= n ? off : -1;
}
inline bool port_is(const uint8_t *f, int off, uint16_t port)
{
    return be16(f + off) == port || be16(f + off + 2) == port;
}
inline bool hand_ip(const uint8_t *f, uint32_t n)
{
    return n >= 14 && be16(f + 12) == 0x0800;
}
inline bool hand_arp(const uint8_t *f, uint32_t n)
{
    return n >= 14 && be16(f + 12) == 0x0806;
}
inline bool hand_tcp80(const uint8_t *f, uint32_t n)
{
    int off = ipv4_transport(f, n, 6);
    return off > 0 && port_is(f, off, 80);
}
inline bool hand_udp53(const uint8_t *f, uint32_t n)
{
    int off = ipv4_transport(f, n, 17);
    return off > 0 && port_is(f, off, 53);
}
inline bool hand_tcp80_or_udp53(const uint8_t *f, uint32_t n)
{
    int t = ipv4_transport(f, n, 6), u = ipv4_transport(f, n, 17);
    return (t > 0 && port_is(f, t, 80)) || (u > 0 && port_is(f, u, 53));
}
inline bool hand_src10(const uint8_t *f, uint32_t n)
{
    return n >= 30 && be16(f + 12) == 0x0800 && f[26] == 10;
}
inline bool hand_syn(const uint8_t *f, uint32_t n)
{
    int off = ipv4_transport(f, n, 6);
    return off > 0 && static_cast<uint32_t>(off + 14) <= n && (f[off + 13] & 0x12) == 0x02;
}
inline bool hand_not_tcp80(const uint8_t *f, uint32_t n)
{
    return !hand_tcp80(f, n);
}

struct Pair {
    const char *name;
    const char *zeriza;
    const char *bpf;
    bool (*hand)(const uint8_t *, uint32_t);
};

inline const Pair kPairs[] = {
    {"ip", "IP", "ip", hand_ip},
    {"arp", "ARP", "arp", hand_arp},
    {"tcp-port", "TCP SD=80", "ip and tcp port 80", hand_tcp80},
    {"udp-port", "UDP SD=53", "ip and udp port 53", hand_udp53},
    {"tcp-or-udp", "(TCP SD=80) | (UDP SD=53)", "ip and (tcp port 80 or udp port 53)",
     hand_tcp80_or_udp53},
    {"ip-net", "IP SRC=10.0.0.0/8", "ip src net 10.0.0.0/8", hand_src10},
    {"tcp-syn", "TCP F=S^A", "ip and tcp[13] & 0x12 = 0x02", hand_syn},
    {"negated", "^(TCP SD=80)", "not (ip and tcp port 80)", hand_not_tcp80},
};

// Both sides of a pair, compiled.
struct Compiled {
    filt_node *zeriza = nullptr;
    bpf_program bpf{};
    explicit Compiled(const Pair &p)
    {
        zeriza = nif_filt_parse(p.zeriza, nullptr);
        pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
        if (!zeriza || pcap_compile(dead, &bpf, p.bpf, 1, PCAP_NETMASK_UNKNOWN) != 0)
            std::fprintf(stderr, "bench: cannot compile %s\n", p.name);
        pcap_close(dead);
    }
    ~Compiled()
    {
        nif_filt_free(zeriza);
        pcap_freecode(&bpf);
    }
};

} // namespace bench
