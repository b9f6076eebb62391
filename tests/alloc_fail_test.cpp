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

void *note(void *p)
{
    if (p)
        ++live;
    return p;
}

bool should_fail()
{
    return counting && calls++ == fail_at;
}

} // namespace

extern "C" {

void *__wrap_malloc(size_t n)
{
    if (should_fail())
        return nullptr;
    void *p = __real_malloc(n);
    return counting ? note(p) : p;
}

void *__wrap_calloc(size_t n, size_t m)
{
    if (should_fail())
        return nullptr;
    void *p = __real_calloc(n, m);
    return counting ? note(p) : p;
}

char *__wrap_strdup(const char *s)
{
    size_t n = std::strlen(s) + 1;
    auto *p = static_cast<char *>(__wrap_malloc(n));
    if (p)
        std::memcpy(p, s, n);
    return p;
}

void __wrap_free(void *p)
{
    if (counting && p)
        --live;
    __real_free(p);
}

} // extern "C"

namespace {

struct Window {
    explicit Window(long fail)
    {
        fail_at = fail;
        calls = 0;
        live = 0;
        counting = true;
    }
    ~Window() { counting = false; }
};

bool out_of_memory_message(const std::string &msg)
{
    return msg == "OUT OF MEMORY" || msg.rfind("Out of memory - malloc(", 0) == 0;
}

TEST(AllocFail, EveryAllocationOfACompilationCanFail)
{
    const char *texts[] = {
        "TCP",
        "((TCP SD=80) | (UDP SD=domain)) & (IP SD=10.0.0.1/8)",
        "^(^(ARP)) | (ETH SRC=b) | (ICMP TYPE=echo)",
        "((((IP#6))))",
    };
    for (const char *text : texts) {
        int failures = 0;
        for (long k = 0;; ++k) {
            int size = -1;
            filt_node *f;
            long still_live;
            {
                Window w(k);
                f = nif_filt_parse(text, &size);
                still_live = live;
            }
            if (f) {
                EXPECT_EQ(still_live, 1) << text << ": only the compiled filter is held";
                nif_filt_free(f);
                break;
            }
            ++failures;
            EXPECT_TRUE(out_of_memory_message(gnl_usrmsg))
                << text << " #" << k << ": " << gnl_usrmsg;
            EXPECT_EQ(size, -1) << text;
            EXPECT_EQ(still_live, 0)
                << text << ": allocation #" << k << " failed and left memory held";
            ASSERT_LT(k, 10000) << "compilation never succeeds";
        }
        EXPECT_GE(failures, 4) << text << ": tree, root, copy and array at least";
    }
}

TEST(AllocFail, ShortFormCopyCanFail)
{
    char *out;
    {
        Window w(0);
        out = nif_filt_short("10.1.1.1:80");
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_STREQ(gnl_usrmsg, "OUT OF MEMORY");
    {
        Window w(-1);
        out = nif_filt_short("10.1.1.1:80");
        EXPECT_EQ(live, 0);
    }
    EXPECT_STREQ(out, "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)");
}

} // namespace
