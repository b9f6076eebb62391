// Word tree: a trie whose nodes hold one child slot per alphabet character.
// Lookup costs one table index and one pointer step per character, whatever
// the number of words.
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "zeriza_host.h"

namespace {

struct wnode {
    int id;       // non-zero when a word ends here
    wnode **kids; // alphabet-sized, points just past this record
};

wnode *new_node(int nsym)
{
    auto *n = static_cast<wnode *>(std::calloc(1, sizeof(wnode) + sizeof(wnode *) * nsym));
    if (n)
        n->kids = reinterpret_cast<wnode **>(n + 1);
    return n;
}

void free_node(wnode *n, int nsym)
{
    if (!n)
        return;
    for (int i = 0; i < nsym; ++i)
        free_node(n->kids[i], nsym);
    std::free(n);
}

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
    wnode *root;
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
    if (nocase) {
        for (int c = 0; c < 256; ++c) {
            if (!std::isalpha(c) || t->slot[c] != 0)
                continue;
            int other = std::isupper(c) ? std::tolower(c) : std::toupper(c);
            t->slot[c] = t->slot[other];
        }
    }
    t->root = new_node(length);
    if (!t->root) {
        std::free(t);
        out_of_memory();
        return nullptr;
    }
    return t;
}

int wtree_add_word(wtree *tree, const char *word, int length, int id)
{
    if (!tree || !word || length <= 0 || id == 0)
        return -2;
    wnode *n = tree->root;
    for (int i = 0; i < length; ++i) {
        int s = tree->slot[static_cast<unsigned char>(word[i])];
        if (s == 0)
            return -3;
        wnode *&kid = n->kids[s - 1];
        if (!kid && !(kid = new_node(tree->nsym))) {
            out_of_memory();
            return -1; // nodes made so far stay in the tree, without an id
        }
        n = kid;
    }
    if (n->id != 0)
        return -4;
    n->id = id;
    return 0;
}

int wtree_find_word(const wtree *tree, const char *text, int length)
{
    if (!tree || !text || length <= 0)
        return 0;
    const wnode *n = tree->root;
    for (int i = 0; i < length && n; ++i) {
        int s = tree->slot[static_cast<unsigned char>(text[i])];
        if (s == 0)
            return 0;
        n = n->kids[s - 1];
    }
    return n ? n->id : 0;
}

void wtree_destroy(wtree *tree)
{
    if (!tree)
        return;
    free_node(tree->root, tree->nsym);
    std::free(tree);
}

} // extern "C"
