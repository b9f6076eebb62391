// Filter text into nif_filt_parse: whatever compiles must pass nif_filt_check
// and be matched safely.
#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::frames(); // made once, before the first input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    std::string text(reinterpret_cast<const char *>(data), size);
    int bytes = -1;
    filt_node *f = nif_filt_parse(text.c_str(), &bytes);
    if (!f) {
        if (bytes != -1 || std::strlen(gnl_usrmsg) == 0)
            std::abort(); // a failure must leave size alone and say why
        return 0;
    }
    if (nif_filt_check(f, bytes) != 0)
        std::abort();
    fuzz::match_all(f);
    nif_filt_free(f);
    return 0;
}
