// Small in-place string routines of the reference host.
#include <cctype>
#include <cstring>

#include "zeriza_host.h"

namespace {
bool blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
} // namespace

extern "C" {

char *str2lcs(char *text)
{
    for (char *p = text; p && *p; ++p)
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return text;
}

char *stripl(char *text, int /*flags*/)
{
    if (!text)
        return text;
    size_t n = 0;
    while (blank(text[n]))
        ++n;
    if (n)
        std::memmove(text, text + n, std::strlen(text + n) + 1);
    return text;
}

char *stript(char *text, int /*flags*/)
{
    if (!text)
        return text;
    size_t n = std::strlen(text);
    while (n > 0 && blank(text[n - 1]))
        text[--n] = '\0';
    return text;
}

int isdecstr(const char *text)
{
    if (!text || !*text)
        return 0;
    for (const char *p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return 0;
    return 1;
}

int buf_hton(int64_t value, void *dest, int count)
{
    if (!dest || count < 1 || count > 8)
        return -1;
    auto *out = static_cast<unsigned char *>(dest);
    auto v = static_cast<uint64_t>(value);
    for (int i = count - 1; i >= 0; --i, v >>= 8)
        out[i] = static_cast<unsigned char>(v & 0xFF);
    return 0;
}

} // extern "C"
