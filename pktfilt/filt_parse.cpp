// nif_filt_parse and nif_filt_free: filter text to compiled filter and back.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "nifutils/usrmsg.h"
#include "pktfilt/compiler.h"
#include "pktfilt/vocabulary.h"

namespace zeriza {
namespace {

void release_tree(trule *root)
{
    free_trules(root);
    std::free(root);
}

// Parse a private copy of the text into `root`. False with the message in
// gnl_usrmsg; the copy is gone either way.
bool parse_text(const char *text, trule *root)
{
    char *copy = strdup(text);
    if (!copy) {
        usrmsg("OUT OF MEMORY");
        return false;
    }
    char *stop = parse_rule(copy, root, 0, 0);
    if (stop && *stop) { // a parser that stops early must not pass half a filter
        usrmsg("Invalid characters after filter %s", quoted(stop).text);
        stop = nullptr;
    }
    std::free(copy);
    return stop != nullptr;
}

// Root of the optimised rule tree of `text`, or null.
trule *build_tree(const char *text)
{
    if (build_keywords() != 0)
        return nullptr;
    auto *root = static_cast<trule *>(std::calloc(1, sizeof(trule)));
    if (!root) {
        usrmsg("OUT OF MEMORY");
    } else if (!parse_text(text, root)) {
        release_tree(root);
        root = nullptr;
    } else {
        optimise_trule(root);
    }
    destroy_keywords();
    return root;
}

} // namespace
} // namespace zeriza

using namespace zeriza;

extern "C" NIF_API filt_node *nif_filt_parse(const char *text, int *size)
{
    trule *root = build_tree(text ? text : "");
    if (!root)
        return nullptr;
    int count = count_trule_nodes(root);
    if (count > INT_MAX / NIF_NODE_SIZE) { // the size is reported as an int
        usrmsg("Out of memory - filter of %d nodes is too large", count);
        release_tree(root);
        return nullptr;
    }
    int bytes = count * NIF_NODE_SIZE;
    auto *nodes = static_cast<filt_node *>(std::calloc(static_cast<size_t>(count), NIF_NODE_SIZE));
    if (!nodes) {
        usrmsg("Out of memory - malloc(%d) on %d-node filter", bytes, count);
        release_tree(root);
        return nullptr;
    }
    int written = transform_trule(root, nodes, 0, 1);
    release_tree(root);
    if (written != count) {
        usrmsg("Internal error transforming filter rules (%d vs %d)", count, written);
        std::free(nodes);
        return nullptr;
    }
    if (size)
        *size = bytes;
    return nodes;
}

extern "C" NIF_API void nif_filt_free(filt_node *filter)
{
    std::free(filter);
}
