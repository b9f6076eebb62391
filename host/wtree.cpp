// Word tree: a trie whose nodes hold one child slot per alphabet character.
// Lookup costs one table index and one step per character, whatever the
// number of words.
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zeriza_host.h"

namespace {

// Nodes live in one growing array and name their children by index (0 for
// none; the root is node 0 and nobody's child), so that building and
// destroying a tree costs a couple of allocations, not one per node: the
// filter compiler builds its keyword tree afresh for every filter.
using Index = uint16_t;
constexpr size_t kMaxNodes = 65535;

// The library leaves the message of a tree that cannot be built to us.
void out_of_memory()
{
    std::snprintf(gnl_usrmsg, sizeof gnl_usrmsg, "OUT OF MEMORY");
}

} // namespace

struct wtree {
    int nsym;
    // Character code to alphabet slot + 1; 0 for a character outside it.
    std::array<unsigned char, 256> slot;
    size_t stride; // Index entries a node: its id (two entries) and its children
    size_t used, capacity;
    Index *nodes;

    Index *node(size_t i) const { return nodes + i * stride; }
    static int id(const Index *n)
    {
        return static_cast<int>(n[0] | static_cast<uint32_t>(n[1]) << 16);
    }
    static void set_id(Index *n, int id)
    {
        n[0] = static_cast<Index>(static_cast<uint32_t>(id));
        n[1] = static_cast<Index>(static_cast<uint32_t>(id) >> 16);
    }
    Index *kids(Index *n) const { return n + 2; }

    // A fresh zeroed node, or 0 when there is no room or memory. The array
    // is zeroed when it is allocated or grown, not node by node.
    size_t add_node()
    {
        if (used == capacity) {
            size_t more = capacity * 2;
            if (more > kMaxNodes)
                more = kMaxNodes;
            if (more <= capacity)
                return 0;
            auto *grown = static_cast<Index *>(std::realloc(nodes, more * stride * sizeof(Index)));
            if (!grown)
                return 0;
            nodes = grown;
            std::memset(node(capacity), 0, (more - capacity) * stride * sizeof(Index));
            capacity = more;
        }
        return used++;
    }
};

extern "C" {

wtree *wtree_create(const char *alphabet, int length, int nocase)
{
    if (!alphabet || length <= 0 || length > 255)
        return nullptr;
    auto *t = static_cast<wtree *>(std::calloc(1, sizeof(wtree)));
    if (!t) {
        out_of_memory();
        return nullptr;
    }
    t->nsym = length;
    for (int i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(alphabet[i]);
        if (c == 0 || t->slot[c] != 0) { // NUL or a repeated character
            std::free(t);
            return nullptr;
        }
        t->slot[c] = static_cast<unsigned char>(i + 1);
    }
    if (nocase) // each letter's other case shares its slot, unless it has its own
        for (int i = 0; i < length; ++i) {
            auto c = static_cast<unsigned char>(alphabet[i]);
            const auto other = static_cast<unsigned char>(std::isupper(c)   ? std::tolower(c)
                                                          : std::islower(c) ? std::toupper(c)
                                                                            : c);
            if (t->slot[other] == 0)
                t->slot[other] = t->slot[c];
        }
    t->stride = 2 + static_cast<size_t>(length);
    t->capacity = 128;
    t->nodes = static_cast<Index *>(std::calloc(t->capacity * t->stride, sizeof(Index)));
    if (!t->nodes) {
        std::free(t);
        out_of_memory();
        return nullptr;
    }
    t->add_node(); // the root
    return t;
}

int wtree_add_word(wtree *tree, const char *word, int length, int id)
{
    if (!tree || !word || length <= 0 || id == 0)
        return -2;
    size_t n = 0;
    for (int i = 0; i < length; ++i) {
        int s = tree->slot[static_cast<unsigned char>(word[i])];
        if (s == 0)
            return -3;
        Index kid = tree->kids(tree->node(n))[s - 1];
        if (kid == 0) {
            size_t fresh = tree->add_node(); // may move the array: index again below
            if (fresh == 0) {
                out_of_memory();
                return -1; // nodes made so far stay in the tree, without an id
            }
            kid = static_cast<Index>(fresh);
            tree->kids(tree->node(n))[s - 1] = kid;
        }
        n = kid;
    }
    Index *end = tree->node(n);
    if (wtree::id(end) != 0)
        return -4;
    wtree::set_id(end, id);
    return 0;
}

int wtree_find_word(const wtree *tree, const char *text, int length)
{
    if (!tree || !text || length <= 0)
        return 0;
    size_t n = 0;
    for (int i = 0; i < length; ++i) {
        int s = tree->slot[static_cast<unsigned char>(text[i])];
        if (s == 0)
            return 0;
        n = tree->node(n)[2 + s - 1];
        if (n == 0)
            return 0;
    }
    return wtree::id(tree->node(n));
}

void wtree_destroy(wtree *tree)
{
    if (!tree)
        return;
    std::free(tree->nodes);
    std::free(tree);
}

} // extern "C"
