// Looks up each argument as a filter keyword, the way the compiler does, and
// prints its token and the keyword text the token renders as.
#include <cstdio>

#include "pktfilt/vocabulary.h"
#include "zeriza.h"

int main(int argc, char **argv)
{
    if (zeriza::build_keywords() != 0) {
        std::fprintf(stderr, "zeriza-demo: cannot build the keyword tree\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        int n = zeriza::keyword_span(argv[i]);
        int32_t tok = zeriza::keyword_token(argv[i], n);
        std::printf("%-10s word '%.*s' token %d (%s)\n", argv[i], n, argv[i], tok,
                    zeriza::tok2txt(tok));
    }
    zeriza::destroy_keywords();
    std::printf("log types:");
    for (int i = 1; i < NIF_NLOGDESC; ++i)
        std::printf(" %d=%s", i, nif_logdesc[i]);
    std::printf("\n");
    return 0;
}
