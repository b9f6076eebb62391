// Compiles each argument as a filter and prints its node table; an argument
// of the form -s FORM is expanded as a host:port short form first.
#include <cstdio>
#include <cstring>

#include "pktfilt/vocabulary.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

void print_filter(const char *text)
{
    int size = 0;
    filt_node *f = nif_filt_parse(text, &size);
    if (!f) {
        std::printf("%s\n  error: %s\n", text, gnl_usrmsg);
        return;
    }
    std::printf("%s\n  %d nodes, %d bytes\n", text, size / NIF_NODE_SIZE, size);
    for (int i = 0; i < size / NIF_NODE_SIZE; ++i) {
        const filt_node &n = f[i];
        std::printf("  [%d] %s%s", i, n.flags & NIF_FLAG_NEGATE ? "NOT " : "",
                    n.nkids ? (n.flags & NIF_FLAG_OR ? "OR" : "AND") : zeriza::tok2txt(n.tok));
        if (n.nkids)
            std::printf(" of [%d..%d]", i + n.kid_off, i + n.kid_off + n.nkids - 1);
        else
            std::printf(" layer %d id %d parms 0x%x", n.lyr, n.proto, n.parms);
        std::printf("\n");
    }
    nif_filt_free(f);
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            const char *form = argv[++i];
            const char *text = nif_filt_short(form);
            if (!text) {
                std::printf("%s\n  error: %s\n", form, gnl_usrmsg);
                continue;
            }
            std::printf("short form %s expands to:\n", form);
            print_filter(text);
        } else {
            print_filter(argv[i]);
        }
    }
    return 0;
}
