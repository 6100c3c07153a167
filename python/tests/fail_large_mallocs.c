/* Preloaded: once armed, malloc refuses blocks of `size` bytes or more, the
 * library's working memory, while Python's small objects come from its arenas. */
#include <stddef.h>

extern void* __libc_malloc(size_t size);
static size_t refused_from = (size_t)-1;

void fail_mallocs_from(size_t size) { refused_from = size; }
void* malloc(size_t size) { return size >= refused_from ? NULL : __libc_malloc(size); }
