// Short forms through nif_filt_short and then nif_filt_parse.
#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::frames(); // made once, before the first input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    std::string form(reinterpret_cast<const char *>(data), size);
    const char *text = nif_filt_short(form.c_str());
    if (!text)
        return 0;
    if (std::strlen(text) > 1024)
        std::abort();
    std::string copy = text; // the next call may reuse the buffer
    int bytes = 0;
    if (filt_node *f = nif_filt_parse(copy.c_str(), &bytes)) {
        if (nif_filt_check(f, bytes) != 0)
            std::abort();
        fuzz::match_all(f);
        nif_filt_free(f);
    }
    return 0;
}
