// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framegen/framegen.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace zeriza_test {

// `inner` inside `levels` brackets, each opened with `open` ("(" or "^(").
inline std::string nest(int levels, const std::string &inner, const std::string &open = "(")
{
    std::string s;
    for (int i = 0; i < levels; ++i)
        s += open;
    s += inner;
    s.append(levels, ')');
    return s;
}

// Collects the lines of gnl_msglog and dbgtrc while it lives.
struct LogCapture {
    std::vector<std::string> lines;
    std::vector<int> sources;

    LogCapture() { gnl_set_sink(&LogCapture::sink, this); }
    ~LogCapture() { gnl_set_sink(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

  private:
    static void sink(int source, const char *line, void *ctx)
    {
        auto *self = static_cast<LogCapture *>(ctx);
        self->lines.emplace_back(line);
        self->sources.push_back(source);
    }
};

// The nodes `text` compiles to; none, and a failure, when it is refused.
inline std::vector<filt_node> compiled(const std::string &text)
{
    int size = 0;
    filt_node *f = nif_filt_parse(text.c_str(), &size);
    EXPECT_NE(f, nullptr) << text << ": " << gnl_usrmsg;
    std::vector<filt_node> v;
    if (f)
        v.assign(f, f + size / NIF_NODE_SIZE);
    nif_filt_free(f);
    return v;
}

// nif_filt_match on the first `len` bytes of `frame` (all of it when `len` is
// negative), with at least 16 bytes readable as callers promise; -1 for a
// filter that did not compile.
inline int match(const std::vector<filt_node> &f, const framegen::Bytes &frame, int32_t len = -1,
                 int32_t link = NIF_LINK_ETHER, uint32_t opts = NIF_OPT_LINKHDR)
{
    framegen::Bytes b = frame;
    b.resize(std::max<size_t>(b.size(), 16));
    if (f.empty())
        return -1;
    len = len < 0 ? static_cast<int32_t>(frame.size()) : len;
    return nif_filt_match(f.data(), b.data(), len, link, nullptr, nullptr, nullptr, opts);
}

// Filters that test every parameter, several in one atom, with negations and
// groups of both kinds: the engines are compared on them for every cut of
// the sample frames and on the frames of a real capture.
inline const char *const kCutFilters[] = {
    "ETH SD=2:0:0:0:0:2 ETYPE=2048 HLEN=14 DLEN>0",
    "ETH ^SD:1=B",
    "802.3 SRC=M",
    "LLC SD=170 C=3 DLEN>2",
    "LLC ^SD:1=66",
    "SNAP ORG=0 ETYPE=2048",
    "IP SRC=10.16.0.0/12 ^DST=1.2.3.4 F=^F LEN>10",
    "IP SD:1=192.168.0.0/16 HLEN>20",
    "TCP SD=80 F=S DLEN=0",
    "TCP ^SRC<1000 F=A* HLEN=20",
    "UDP SD:2=53 LEN>8",
    "ICMP TYPE=unreach CODE=port DLEN=0",
    "((ARP) | (RARP) | (IPX)) & ^(IGMP)",
    "((TCP SD>1023) & (IP SD=10.16.1.1)) | (UDP ^SD:1=7) | (IP#1 LEN<100)"};

// Addresses of generated frames.
constexpr framegen::Ip4 kA = {10, 16, 1, 1}, kB = {192, 168, 1, 2};

// Ethernet II from mac(2) to mac(1), then IPv4 from kA to kB.
inline framegen::Frame eth_ip(uint8_t proto, const framegen::Ipv4Opts &o = {})
{
    return framegen::Frame().eth(framegen::mac(1), framegen::mac(2), 0x0800).ipv4(kA, kB, proto, o);
}

// 802.3 from mac(2) to mac(1), then LLC AA AA 03 and SNAP.
inline framegen::Frame snap(uint32_t org, uint16_t type)
{
    return framegen::Frame()
        .ieee8023(framegen::mac(1), framegen::mac(2))
        .llc(0xAA, 0xAA)
        .snap(org, type);
}

} // namespace zeriza_test
