// A host program that provides the support routines loads the library by its
// SONAME, and the library's undefined host routines resolve against it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "zeriza_host.h"

namespace {

TEST(Dlopen, LoadsBySonameAndResolvesNifSymbols)
{
    // The routines this program provides are in its global scope.
    gnl_usrmsg[0] = '\0';
    ASSERT_NE(dlsym(RTLD_DEFAULT, "wtree_create"), nullptr);

    void *lib = dlopen("zeriza.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto *desc = static_cast<const char *const *>(dlsym(lib, "nif_logdesc"));
    ASSERT_NE(desc, nullptr) << dlerror();
    EXPECT_EQ(desc[0], nullptr);
    EXPECT_STREQ(desc[3], "Tcpdump");
    EXPECT_EQ(dlsym(lib, "tok2txt"), nullptr) << "internal names stay hidden";
    EXPECT_EQ(dlclose(lib), 0);
}

} // namespace
