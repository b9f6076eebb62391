// nif_filt_short: the host:port short form, expanded into rule text.
//
//   host          (IP SD=host)
//   host:port     ((TCP SD=port) | (UDP SD=port)) & (IP SD=host)
//   :service      only the protocols the services database knows it for
//   !host, :!port negate that half
#include <netdb.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nifutils/usrmsg.h"
#include "zeriza.h"

namespace zeriza {
namespace {

constexpr size_t kShortMax = 1024;
char filtbuf[kShortMax + 1];

// Appends to filtbuf, never past it, remembering whether anything was cut.
class Expansion {
  public:
    Expansion() { filtbuf[0] = '\0'; }

    void add(const char *format, ...) GNL_PRINTF(2, 3)
    {
        va_list ap;
        va_start(ap, format);
        size_t room = used_ < sizeof filtbuf ? sizeof filtbuf - used_ : 0;
        int n = std::vsnprintf(filtbuf + (sizeof filtbuf - room), room, format, ap);
        va_end(ap);
        if (n > 0)
            used_ += static_cast<size_t>(n);
    }
    void piece(const char *proto, const char *value)
    {
        add("%c%s %s%c%s%c", '(', proto, "SD", '=', value, ')');
    }
    void join(char op) { add(" %c ", op); }
    void put(char c) { add("%c", c); }

    bool empty() const { return used_ == 0; }
    bool too_long() const { return used_ > kShortMax; }

  private:
    size_t used_ = 0; // length of the whole expansion, even past the buffer
};

// The port half: "(pieces)" for a number or a service name. False when the
// name is no service of either protocol.
bool expand_port(Expansion &out, char *port)
{
    if (*port == '!') {
        out.put('^');
        ++port;
    }
    out.put('(');
    if (isdecstr(port)) {
        out.piece("TCP", port);
        out.join('|');
        out.piece("UDP", port);
    } else {
        str2lcs(port);
        bool tcp = getservbyname(port, "tcp") != nullptr;
        bool udp = getservbyname(port, "udp") != nullptr;
        if (!tcp && !udp) {
            usrmsg("Unknown TCP/UDP service, '%s'", port);
            return false;
        }
        if (tcp)
            out.piece("TCP", port);
        if (tcp && udp)
            out.join('|');
        if (udp)
            out.piece("UDP", port);
    }
    out.put(')');
    return true;
}

char *expand(char *copy)
{
    Expansion out;
    char *host = copy;
    char *port = nullptr;
    if (char *colon = std::strchr(copy, ':')) {
        *colon = '\0';
        stript(host, 0);
        port = stripl(colon + 1, 0);
        if (!*port)
            port = nullptr;
    }
    if (port) {
        if (!expand_port(out, port))
            return nullptr;
        if (*host)
            out.join('&');
    }
    if (*host) {
        if (*host == '!') {
            out.put('^');
            ++host;
        }
        out.piece("IP", host);
    }
    if (out.empty()) {
        usrmsg("filter-spec evaluated to a null expression");
        return nullptr;
    }
    if (out.too_long()) {
        usrmsg("filter-spec too long (expansion exceeds %zu characters)", kShortMax);
        return nullptr;
    }
    return filtbuf;
}

} // namespace
} // namespace zeriza

extern "C" NIF_API char *nif_filt_short(const char *form)
{
    char *copy = strdup(form ? form : "");
    if (!copy) {
        zeriza::usrmsg("OUT OF MEMORY");
        return nullptr;
    }
    char *result = zeriza::expand(copy);
    std::free(copy);
    return result;
}
