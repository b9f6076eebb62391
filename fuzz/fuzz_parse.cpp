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
    fuzz::compile_and_match(std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
