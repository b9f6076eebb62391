// Doubly linked list whose elements may carry their own data block.
#include <cstddef>
#include <cstdlib>

#include "zeriza_host.h"

namespace {
// The owned data block follows the element in the same allocation, so that
// releasing the element releases its data; keep it aligned for any record.
static_assert(sizeof(llist_elem) % alignof(std::max_align_t) == 0);
} // namespace

extern "C" {

llist_elem *llist_insert_a(llist *list, llist_elem *after, void *data, int size)
{
    if (!list || (!data && size < 0))
        return nullptr;
    size_t block = data ? 0 : static_cast<size_t>(size);
    auto *e = static_cast<llist_elem *>(std::calloc(1, sizeof(llist_elem) + block));
    if (!e)
        return nullptr;
    e->data = data ? data : static_cast<void *>(e + 1);
    e->size = block;
    e->prev = after;
    e->next = after ? after->next : list->head;
    if (e->next)
        e->next->prev = e;
    else
        list->tail = e;
    if (after)
        after->next = e;
    else
        list->head = e;
    ++list->count;
    return e;
}

void llist_clear(llist *list)
{
    if (!list)
        return;
    for (llist_elem *e = list->head; e;) {
        llist_elem *next = e->next;
        std::free(e);
        e = next;
    }
    list->head = list->tail = nullptr;
    list->count = 0;
}

} // extern "C"
