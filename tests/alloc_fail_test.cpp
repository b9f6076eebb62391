// Allocation failures injected into the compiler: every allocation of a
// compilation is made to fail in turn, and each failure must give a null
// result with its message, leave `size` alone and hold nothing.
//
// This program is linked with --wrap for the allocation routines, so the
// library's and the host layer's calls come here; the wrappers count only
// while a call under test runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "zeriza.h"
#include "zeriza_host.h"

extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void __real_free(void *);
}

namespace {

bool counting = false;
long fail_at = -1; // index of the allocation that fails, -1 for none
long calls = 0;
long live = 0;

// What `real` allocates, or null when this is the allocation that must fail.
template <class F> void *allocate(F real)
{
    if (counting && calls++ == fail_at)
        return nullptr;
    void *p = real();
    live += counting && p;
    return p;
}

} // namespace

extern "C" {

void *__wrap_malloc(size_t n)
{
    return allocate([n] { return __real_malloc(n); });
}

void *__wrap_calloc(size_t n, size_t m)
{
    return allocate([n, m] { return __real_calloc(n, m); });
}

char *__wrap_strdup(const char *s)
{
    size_t n = std::strlen(s) + 1;
    auto *p = static_cast<char *>(__wrap_malloc(n));
    return p ? static_cast<char *>(std::memcpy(p, s, n)) : nullptr;
}

void __wrap_free(void *p)
{
    live -= counting && p;
    __real_free(p);
}

} // extern "C"

namespace {

// Runs `call` with allocation number `fail` failing (none for -1); returns
// the number of blocks it left held.
template <class F> long held_after(long fail, F call)
{
    fail_at = fail, calls = 0, live = 0, counting = true;
    call();
    counting = false;
    return live;
}

TEST(AllocFail, EveryAllocationOfACompilationCanFail)
{
    for (const char *text : {"TCP", "((TCP SD=80) | (UDP SD=domain)) & (IP SD=10.0.0.1/8)",
                             "^(^(ARP)) | (ETH SRC=b) | (ICMP TYPE=echo)", "((((IP#6))))"}) {
        int failures = 0;
        for (long k = 0;; ++k) {
            int size = -1;
            filt_node *f;
            long held = held_after(k, [&] { f = nif_filt_parse(text, &size); });
            if (f) {
                EXPECT_EQ(held, 1) << text << ": only the compiled filter is held";
                nif_filt_free(f);
                break;
            }
            ++failures;
            std::string msg = gnl_usrmsg;
            EXPECT_TRUE(msg == "OUT OF MEMORY" || msg.rfind("Out of memory - malloc(", 0) == 0)
                << text << " #" << k << ": " << msg;
            EXPECT_EQ(size, -1) << text;
            EXPECT_EQ(held, 0) << text << ": allocation #" << k << " failed and left memory held";
            ASSERT_LT(k, 10000) << "compilation never succeeds";
        }
        EXPECT_GE(failures, 4) << text << ": tree, root, copy and array at least";
    }
}

TEST(AllocFail, ShortFormCopyCanFail)
{
    char *out;
    held_after(0, [&] { out = nif_filt_short("10.1.1.1:80"); });
    EXPECT_EQ(out, nullptr);
    EXPECT_STREQ(gnl_usrmsg, "OUT OF MEMORY");
    EXPECT_EQ(held_after(-1, [&] { out = nif_filt_short("10.1.1.1:80"); }), 0);
    EXPECT_STREQ(out, "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)");
}

} // namespace
