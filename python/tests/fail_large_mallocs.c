/* Preloaded into a test's Python: once armed, malloc refuses every block of
 * `size` bytes or more, so that the library's working memory cannot be had
 * while Python's own small objects, which come from its arenas, still can. */
#include <stddef.h>

extern void* __libc_malloc(size_t size);

static size_t refused_from = (size_t)-1;

void fail_mallocs_from(size_t size) { refused_from = size; }

void* malloc(size_t size) { return size >= refused_from ? NULL : __libc_malloc(size); }
