// What the fuzz targets share: a few fixed frames to match against, and a
// resolver that never leaves the machine.
#pragma once

#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framegen/sample.h"
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

// Compile rule text: a failure must leave the size alone and say why; what
// compiles must pass nif_filt_check and is matched against every frame.
inline void compile_and_match(const std::string &text)
{
    int bytes = -1;
    filt_node *f = nif_filt_parse(text.c_str(), &bytes);
    if (!f) {
        if (bytes != -1 || std::strlen(gnl_usrmsg) == 0)
            std::abort();
        return;
    }
    if (nif_filt_check(f, bytes) != 0)
        std::abort();
    match_all(f);
    nif_filt_free(f);
}

// Keep the log channels quiet: a stored filter may log on every frame.
inline void quiet()
{
    gnl_set_sink([](int, const char *, void *) {}, nullptr);
}

} // namespace fuzz
