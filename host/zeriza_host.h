/*
 * Host support interface of zeriza.so.1.
 *
 * The library calls these routines and writes this buffer but defines none of
 * them: the host process provides them, and the dynamic loader resolves them
 * when the library is loaded. libzeriza-host is our reference implementation;
 * a host may bring its own as long as it keeps the layouts and the buffer
 * size below.
 *
 * Compiles as C and as C++.
 */
#ifndef ZERIZA_HOST_H
#define ZERIZA_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define GNL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define GNL_PRINTF(f, a)
#endif

/* ---- messages ------------------------------------------------------------ */

/* Size of gnl_usrmsg in bytes, NUL included. Every writer stays inside it. */
#define GNL_USRMSG_SIZE 1024

/* The last failure's one-line message. */
extern char gnl_usrmsg[GNL_USRMSG_SIZE];

/* printf-style log line (a newline is added). Result: characters formatted. */
int gnl_msglog(const char *format, ...) GNL_PRINTF(1, 2);

/* printf-style diagnostic trace at a level, with flags. */
int dbgtrc(int level, int flags, const char *format, ...) GNL_PRINTF(3, 4);

/*
 * Where gnl_msglog and dbgtrc lines go: standard error by default. A program
 * or a test installs a sink to receive each formatted line (without the
 * newline) instead; a null sink restores standard error. Set it before other
 * threads log.
 */
enum gnl_source { GNL_MSGLOG = 1, GNL_DBGTRC = 2 };
typedef void (*gnl_sink_fn)(int source, const char *line, void *ctx);
void gnl_set_sink(gnl_sink_fn sink, void *ctx);

/* ---- word tree ------------------------------------------------------------ */

/* A trie over a fixed alphabet mapping words to non-zero ids. */
typedef struct wtree wtree;

/*
 * A new, empty tree over the `length` characters of `alphabet`. With
 * `nocase` non-zero, letters match whatever their case. Null on failure.
 */
wtree *wtree_create(const char *alphabet, int length, int nocase);

/*
 * Add `length` characters of `word` with `id` (non-zero). Returns 0, or a
 * negative value: -1 no memory, -2 bad arguments, -3 a character outside the
 * alphabet, -4 the word is already present.
 */
int wtree_add_word(wtree *tree, const char *word, int length, int id);

/* The id of the word equal to the first `length` characters of `text`, or 0. */
int wtree_find_word(const wtree *tree, const char *text, int length);

/* Release the tree; null is accepted. */
void wtree_destroy(wtree *tree);

/* ---- linked list ---------------------------------------------------------- */

/*
 * Element: next element in the first pointer word (null after the last),
 * data block in the third. No element points back to its descriptor, so a
 * descriptor may be moved by copying its three fields.
 */
typedef struct llist_elem {
    struct llist_elem *next;
    struct llist_elem *prev;
    void *data;
    size_t size; /* bytes of a block owned by the element; 0 for caller data */
} llist_elem;

/* Descriptor: head, tail, element count. */
typedef struct llist {
    llist_elem *head;
    llist_elem *tail;
    int32_t count;
} llist;

/*
 * Link a new element after `after` (first in the list when null). With null
 * `data`, the element owns a fresh zero-filled block of `size` bytes that is
 * released with it; otherwise it carries the caller's pointer and never frees
 * it. Returns the element, or null when no memory.
 */
llist_elem *llist_insert_a(llist *list, llist_elem *after, void *data, int size);

/* Release every element (with the blocks they own) and empty the list. */
void llist_clear(llist *list);

/* ---- strings -------------------------------------------------------------- */

/* Lower-case in place; returns text. */
char *str2lcs(char *text);

/* Remove leading white space by moving the rest to `text`; returns text. */
char *stripl(char *text, int flags);

/* Remove trailing white space; returns text. */
char *stript(char *text, int flags);

/* Non-zero when text is one or more decimal digits and nothing else. */
int isdecstr(const char *text);

/*
 * Store the `count` (1 to 8) low-order bytes of `value` at `dest`, most
 * significant first. Returns 0, or -1 for a bad count.
 */
int buf_hton(int64_t value, void *dest, int count);

#ifdef __cplusplus
}
#endif

#endif /* ZERIZA_HOST_H */
