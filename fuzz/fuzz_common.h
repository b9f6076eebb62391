// What the fuzz targets share: a few fixed frames to match against, and a
// resolver that never leaves the machine.
#pragma once

#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/sample.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace fuzz {

// Frames of many kinds, each in a block that ends where the frame ends
// (at least 16 bytes), so that the sanitizer sees any read past it.
inline const std::vector<std::vector<uint8_t>> &frames()
{
    static const std::vector<std::vector<uint8_t>> all = [] {
        std::vector<std::vector<uint8_t>> v;
        for (const auto &f : sample::frames(24)) {
            v.push_back(f.bytes);
            v.back().resize(std::max<size_t>(f.bytes.size(), 16));
        }
        return v;
    }();
    return all;
}

// Match a filter that passed nif_filt_check against every frame, cut short too.
inline void match_all(const filt_node *filter)
{
    for (const auto &f : frames())
        for (int32_t len : {static_cast<int32_t>(f.size()), 20, 3})
            nif_filt_match(filter, f.data(), len, 4, nullptr, nullptr, nullptr, 1);
}

// Keep the log channels quiet: a stored filter may log on every frame.
inline void quiet()
{
    gnl_set_sink([](int, const char *, void *) {}, nullptr);
}

} // namespace fuzz
