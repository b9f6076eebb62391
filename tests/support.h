// Helpers shared by the tests.
#pragma once

#include <string>
#include <vector>

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

} // namespace zeriza_test
