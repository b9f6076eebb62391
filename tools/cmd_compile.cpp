// zeriza compile and zeriza short.
#include <cstdio>
#include <span>

#include "commands.h"
#include "describe.h"
#include "report.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace ztool {

CompiledFilter::CompiledFilter(const std::string &text) : nodes(nif_filt_parse(text.c_str(), &size))
{
    if (!nodes)
        throw Failure(std::string("bad filter: ") + gnl_usrmsg);
}

CompiledFilter::~CompiledFilter()
{
    nif_filt_free(nodes);
}

std::string expand_short(const std::string &form)
{
    const char *text = nif_filt_short(form.c_str());
    if (!text)
        throw Failure(std::string("bad short form: ") + gnl_usrmsg);
    return text;
}

int cmd_compile(const std::string &filter, Format format)
{
    CompiledFilter f(filter);
    std::span<const filt_node> nodes(f.nodes, static_cast<size_t>(f.size / NIF_NODE_SIZE));
    switch (format) {
    case Format::Dot:
        out(dot_graph(nodes));
        break;
    case Format::Hex:
        out(hex_dump(nodes));
        break;
    case Format::Table:
        out(node_table(nodes));
        break;
    }
    return 0;
}

int cmd_short(const std::string &form)
{
    out(expand_short(form) + "\n");
    return 0;
}

} // namespace ztool
