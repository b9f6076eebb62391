#include "nifutils/usrmsg.h"

#include <cstdio>
#include <cstring>

namespace zeriza {

void usrmsg(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(gnl_usrmsg, sizeof gnl_usrmsg, format, ap);
    va_end(ap);
}

void usrmsg_append(const char *format, ...)
{
    size_t used = strnlen(gnl_usrmsg, sizeof gnl_usrmsg - 1);
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(gnl_usrmsg + used, sizeof gnl_usrmsg - used, format, ap);
    va_end(ap);
}

const char *errno_text(int err)
{
    const char *text = std::strerror(err);
    return text && *text ? text : "UNKNOWN";
}

} // namespace zeriza
