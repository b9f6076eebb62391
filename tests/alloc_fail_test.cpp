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
void *__real_realloc(void *, size_t);
void __real_free(void *);
}

namespace {

bool counting = false;
long fail_at = -1; // index of the allocation that fails, -1 for none
long calls = 0;
long live = 0;
size_t largest = 0; // the largest block asked for while counting

// What `real` allocates, or null when this is the allocation that must fail.
template <class F> void *allocate(size_t bytes, F real)
{
    if (counting && bytes > largest)
        largest = bytes;
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
    return allocate(n, [n] { return __real_malloc(n); });
}

void *__wrap_calloc(size_t n, size_t m)
{
    return allocate(n * m, [n, m] { return __real_calloc(n, m); });
}

void *__wrap_realloc(void *p, size_t n)
{
    void *q = allocate(n, [p, n] { return __real_realloc(p, n); });
    live -= counting && p && q; // a block moved, not a new one
    return q;
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
    fail_at = fail, calls = 0, live = 0, largest = 0, counting = true;
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

// Found by fuzzing: a session header whose filter length is corrupt made
// the reader ask for that much memory before reading a byte of it. It must
// cost no more than what the file holds, and say the read failed.
TEST(AllocFail, CorruptFilterLengthAllocatesOnlyWhatTheFileHolds)
{
    std::string file(15 + 216 + 100, '\0');
    std::memcpy(&file[0], "vavuda", 7);
    file[10] = 3, file[11] = 1, file[14] = 1; // version 3.1, one session
    const uint16_t mark = 0x1234;
    std::memcpy(&file[12], &mark, 2);
    const int64_t filtlen = int64_t{1} << 30;
    std::memcpy(&file[15 + 144], &filtlen, 8);
    FILE *fp = fmemopen(file.data(), file.size(), "r");
    ASSERT_NE(fp, nullptr);
    nif_log log{};
    log.fp = fp;
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0) << gnl_usrmsg;
    int rc = 0;
    held_after(-1, [&] { rc = nif_read_seshdr(&log, 0); });
    EXPECT_EQ(rc, 1);
    EXPECT_STREQ(gnl_usrmsg, "1073741824-byte Read failed - errno=0 [Success]");
    EXPECT_LE(largest, size_t{1} << 17) << "asked for " << largest << " bytes";

    // And when even a piece cannot be had, it says how much it wanted.
    std::rewind(fp);
    nif_close_logfile(&log);
    log = nif_log{};
    log.fp = fp;
    ASSERT_EQ(nif_read_loghdr(&log, nullptr, 0), 0);
    held_after(0, [&] { rc = nif_read_seshdr(&log, 0); });
    EXPECT_EQ(rc, 1);
    EXPECT_STREQ(gnl_usrmsg, "OUT OF MEMORY on 1073741824-byte filter");
    nif_close_logfile(&log);
    std::fclose(fp);
}

} // namespace
