#include "nifutils/usrmsg.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zeriza {
namespace {

// Format into gnl_usrmsg from its byte `at`, cut to the buffer's size.
void format_at(size_t at, const char *format, va_list ap) GNL_PRINTF(2, 0);

void format_at(size_t at, const char *format, va_list ap)
{
    std::vsnprintf(gnl_usrmsg + at, sizeof gnl_usrmsg - at, format, ap);
}

// The C library's text for an errno value, or "UNKNOWN" when it has none.
const char *errno_text(int err)
{
    const char *text = std::strerror(err);
    return text && *text ? text : "UNKNOWN";
}

} // namespace

void usrmsg(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    format_at(0, format, ap);
    va_end(ap);
}

void usrmsg_append(const char *format, ...)
{
    size_t used = strnlen(gnl_usrmsg, sizeof gnl_usrmsg - 1);
    va_list ap;
    va_start(ap, format);
    format_at(used, format, ap);
    va_end(ap);
}

void usrmsg_errno(const char *format, ...)
{
    const int err = errno; // formatting the message may change it
    va_list ap;
    va_start(ap, format);
    format_at(0, format, ap);
    va_end(ap);
    // A message cut short stays cut: the tail finds the buffer full. So the
    // result is the one message formatted at once would be.
    usrmsg_append("errno=%d [%s]", err, errno_text(err));
}

Quoted quoted(const char *at, char open, char close)
{
    Quoted q;
    std::snprintf(q.text, sizeof q.text, "%c%.20s...%c", open, at, close);
    return q;
}

} // namespace zeriza
