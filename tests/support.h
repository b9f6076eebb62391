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
