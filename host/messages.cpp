// Message buffer and the two log channels of the reference host.
#include <cstdarg>
#include <cstdio>

#include "zeriza_host.h"

char gnl_usrmsg[GNL_USRMSG_SIZE];

namespace {

gnl_sink_fn g_sink = nullptr;
void *g_sink_ctx = nullptr;

// Lines longer than this are cut; the channels carry one-line diagnostics.
constexpr int kLineMax = 1024;

int emit(int source, const char *format, va_list ap)
{
    char line[kLineMax];
    int n = std::vsnprintf(line, sizeof line, format, ap);
    if (gnl_sink_fn sink = g_sink)
        sink(source, line, g_sink_ctx);
    else
        std::fprintf(stderr, "%s\n", line);
    return n;
}

} // namespace

extern "C" {

void gnl_set_sink(gnl_sink_fn sink, void *ctx)
{
    g_sink = sink;
    g_sink_ctx = ctx;
}

int gnl_msglog(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = emit(GNL_MSGLOG, format, ap);
    va_end(ap);
    return n;
}

int dbgtrc(int /*level*/, int /*flags*/, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = emit(GNL_DBGTRC, format, ap);
    va_end(ap);
    return n;
}

} // extern "C"
