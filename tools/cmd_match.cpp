// zeriza match: count the frames of a capture that pass a filter.
#include <cstdio>
#include <memory>

#include "tools/captures.h"
#include "tools/commands.h"
#include "zeriza.h"

namespace ztool {

int cmd_match(const MatchOptions &o)
{
    CompiledFilter filter(o.short_form.empty() ? o.filter : expand_short(o.short_form));
    CaptureReader in(o.capture);
    LinkMapping link = map_link_type(in.dlt());
    std::unique_ptr<CaptureWriter> out;
    if (!o.out.empty())
        out = std::make_unique<CaptureWriter>(o.out, in.dlt(), in.snaplen(), true);
    uint64_t passed = 0;
    Packet p;
    while ((o.count == 0 || in.frames() < o.count) && in.next(p)) {
        if (!nif_filt_match(filter.nodes, p.data, static_cast<int32_t>(p.caplen), link.link_type,
                            nullptr, nullptr, nullptr, link.opts))
            continue;
        ++passed;
        if (out)
            out->write(p);
    }
    if (out)
        out->close();
    std::printf("%llu frames read, %llu passed\n", static_cast<unsigned long long>(in.frames()),
                static_cast<unsigned long long>(passed));
    return 0;
}

} // namespace ztool
