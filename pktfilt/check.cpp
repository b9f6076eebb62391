// nif_filt_check: whether bytes from outside (a log, a file) are a compiled
// filter that the matcher can walk safely: a tree of contiguous child blocks
// inside the array, each node below its parent, no deeper than the compiler
// ever makes.
#include <cstdint>
#include <cstdlib>

#include "nifutils/usrmsg.h"
#include "pktfilt/compiler.h"

namespace zeriza {
namespace {

// The deepest tree the compiler writes: the root and one level per bracket.
constexpr int kMaxLevels = kMaxBracketDepth + 1;

// `level[i]` is node i's level below the root (1 for the root), 0 while no
// node has named it as a child. Children always follow their parent, so one
// pass in index order sees every parent before its children.
bool check_nodes(const filt_node *f, int n, unsigned char *level)
{
    level[0] = 1;
    for (int i = 0; i < n; ++i) {
        const filt_node &node = f[i];
        if (level[i] == 0) {
            usrmsg("Filter node %d is not reached from the root", i);
            return false;
        }
        if (node.flags & ~(NIF_FLAG_NEGATE | NIF_FLAG_OR)) {
            usrmsg("Filter node %d has unknown flag bits 0x%x", i, node.flags);
            return false;
        }
        if (node.nkids == 0)
            continue;
        if (node.nkids < 2) {
            usrmsg("Filter node %d has %d children, a group needs at least 2", i, node.nkids);
            return false;
        }
        if (node.kid_off < 1) {
            usrmsg("Filter node %d has its children at offset %d, they must follow it", i,
                   node.kid_off);
            return false;
        }
        int64_t first = int64_t{i} + node.kid_off;
        int64_t end = first + node.nkids;
        if (end > n) {
            usrmsg("Filter node %d has children %ld to %ld outside the %d-node filter", i,
                   static_cast<long>(first), static_cast<long>(end - 1), n);
            return false;
        }
        if (level[i] >= kMaxLevels) {
            usrmsg("Filter is more than %d levels deep at node %d", kMaxLevels, i);
            return false;
        }
        for (auto c = static_cast<int>(first); c < end; ++c) {
            if (level[c] != 0) {
                usrmsg("Filter node %d is reached more than once", c);
                return false;
            }
            level[c] = static_cast<unsigned char>(level[i] + 1);
        }
    }
    return true;
}

} // namespace
} // namespace zeriza

using namespace zeriza;

extern "C" NIF_API int nif_filt_check(const void *filter, int size)
{
    if (!filter) {
        usrmsg("No filter to check");
        return 1;
    }
    if (size <= 0 || size % NIF_NODE_SIZE != 0) {
        usrmsg("Filter size %d is not a positive multiple of %d bytes", size, NIF_NODE_SIZE);
        return 1;
    }
    if (reinterpret_cast<uintptr_t>(filter) % alignof(filt_node) != 0) {
        usrmsg("Filter is not aligned for its nodes");
        return 1;
    }
    int n = size / NIF_NODE_SIZE;
    auto *level = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(n), 1));
    if (!level) {
        usrmsg("OUT OF MEMORY checking a %d-node filter", n);
        return 1;
    }
    bool ok = check_nodes(static_cast<const filt_node *>(filter), n, level);
    std::free(level);
    return ok ? 0 : 1;
}
