#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ztool {

std::string one_line(std::string_view text)
{
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            s += c;
            continue;
        }
        switch (c) {
        case '\n':
            s += "\\n";
            break;
        case '\t':
            s += "\\t";
            break;
        case '\r':
            s += "\\r";
            break;
        default: {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            s += hex;
        }
        }
    }
    return s;
}

std::string errno_text(int err)
{
    const char *t = std::strerror(err);
    return t && *t ? t : "error " + std::to_string(err);
}

namespace {

[[noreturn]] void stdout_failed(int err)
{
    throw Failure("cannot write standard output: " + errno_text(err));
}

} // namespace

void out(std::string_view text)
{
    errno = 0;
    if (!text.empty() && std::fwrite(text.data(), text.size(), 1, stdout) != 1)
        stdout_failed(errno);
}

void outf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    errno = 0;
    int n = std::vfprintf(stdout, format, ap);
    va_end(ap);
    if (n < 0)
        stdout_failed(errno);
}

void finish_stdout()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        stdout_failed(errno ? errno : EIO);
}

} // namespace ztool
