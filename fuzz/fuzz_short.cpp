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
    fuzz::compile_and_match(text); // a copy: the next call may reuse the buffer
    return 0;
}
